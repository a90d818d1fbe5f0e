// UDP on the loopback address for the reference servers (qxserver,
// qxmaster), which run natively beside the client.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

namespace qxtools {

// A UDP socket bound to 127.0.0.1:port (0: a free port the system picks),
// or -1.
inline int openLoopbackUdp(int port) {
  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

// The port a socket is bound to, or 0.
inline int boundPort(int s) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (::getsockname(s, reinterpret_cast<sockaddr *>(&address), &length) != 0)
    return 0;
  return ntohs(address.sin_port);
}

// Waits up to ms for one datagram of at most 2048 bytes. 1 with its bytes
// and sender, 0 when none came (or it could not be read), -1 when the wait
// itself failed.
inline int receiveDatagram(int s, int ms, std::vector<uint8_t> &datagram,
                           sockaddr_in &from) {
  pollfd p{s, POLLIN, 0};
  const int ready = ::poll(&p, 1, ms);
  if (ready <= 0) return ready < 0 ? -1 : 0;
  uint8_t buffer[2048];
  socklen_t fromLength = sizeof from;
  const ssize_t got =
      ::recvfrom(s, buffer, sizeof buffer, 0,
                 reinterpret_cast<sockaddr *>(&from), &fromLength);
  if (got <= 0) return 0;
  datagram.assign(buffer, buffer + got);
  return 1;
}

}  // namespace qxtools
