// UDP on the loopback address for the reference servers (qxserver,
// qxmaster), which run natively beside the client; qxmaster also ships as
// qxmaster.exe, so this works with Windows sockets too.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <vector>

namespace qxtools {

#ifdef _WIN32
using socklen_t = int;
// Socket handles are small kernel handles: they fit an int.
inline int pollSocket(pollfd *p, int ms) { return ::WSAPoll(p, 1, ms); }
inline void closeLoopbackUdp(int s) { ::closesocket(static_cast<SOCKET>(s)); }
inline bool startSockets() {
  WSADATA data;
  return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}
#else
inline int pollSocket(pollfd *p, int ms) { return ::poll(p, 1, ms); }
inline void closeLoopbackUdp(int s) { ::close(s); }
inline bool startSockets() { return true; }
#endif

// A UDP socket bound to 127.0.0.1:port (0: a free port the system picks),
// or -1.
inline int openLoopbackUdp(int port) {
  if (!startSockets()) return -1;
  const auto opened = ::socket(AF_INET, SOCK_DGRAM, 0);
#ifdef _WIN32
  if (opened == INVALID_SOCKET) return -1;
#else
  if (opened < 0) return -1;
#endif
  const int s = static_cast<int>(opened);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    closeLoopbackUdp(s);
    return -1;
  }
  return s;
}

inline void sendDatagram(int s, const std::vector<uint8_t> &packet,
                         const sockaddr_in &to) {
  ::sendto(s, reinterpret_cast<const char *>(packet.data()),
           static_cast<int>(packet.size()), 0,
           reinterpret_cast<const sockaddr *>(&to), sizeof to);
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
  pollfd p{};
  p.fd = s;
  p.events = POLLIN;
  const int ready = pollSocket(&p, ms);
  if (ready <= 0) return ready < 0 ? -1 : 0;
  uint8_t buffer[2048];
  socklen_t fromLength = sizeof from;
  const auto got =
      ::recvfrom(s, reinterpret_cast<char *>(buffer), sizeof buffer, 0,
                 reinterpret_cast<sockaddr *>(&from), &fromLength);
  if (got <= 0) return 0;
  datagram.assign(buffer, buffer + got);
  return 1;
}

}  // namespace qxtools
