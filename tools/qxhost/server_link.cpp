#include "server_link.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
using SocketHandle = SOCKET;
constexpr SocketHandle kNoSocket = INVALID_SOCKET;
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
using SocketHandle = int;
constexpr SocketHandle kNoSocket = -1;
#endif

namespace qxhost {

namespace {

SocketHandle g_socket = kNoSocket;
sockaddr_in g_server{};

bool resolve(const std::string &host, int port, sockaddr_in &out) {
  std::memset(&out, 0, sizeof out);
  out.sin_family = AF_INET;
  out.sin_port = htons(static_cast<uint16_t>(port));
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo *found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found)
    return false;
  out.sin_addr = reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

void sendDatagram(const sockaddr_in &to, const void *data, int length) {
  if (g_socket == kNoSocket || length <= 0) return;
  sendto(g_socket, static_cast<const char *>(data), length, 0,
         reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

}  // namespace

bool linkOpen(const std::string &hostPort) {
  const size_t colon = hostPort.rfind(':');
  if (colon == std::string::npos) return false;
  const int port = std::atoi(hostPort.c_str() + colon + 1);
#if defined(_WIN32)
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return false;
#endif
  if (!resolve(hostPort.substr(0, colon), port, g_server)) return false;
  g_socket = socket(AF_INET, SOCK_DGRAM, 0);
  if (g_socket == kNoSocket) return false;
#if defined(_WIN32)
  u_long nonBlocking = 1;
  ioctlsocket(g_socket, FIONBIO, &nonBlocking);
#else
  fcntl(g_socket, F_SETFL, fcntl(g_socket, F_GETFL, 0) | O_NONBLOCK);
#endif
  return true;
}

bool linkActive() { return g_socket != kNoSocket; }

void linkSend(const void *data, int length) {
  sendDatagram(g_server, data, length);
}

void linkSendTo(const char *address, int port, const void *data, int length) {
  sockaddr_in to{};
  if (address && resolve(address, port, to)) sendDatagram(to, data, length);
}

std::vector<std::vector<uint8_t>> linkReceive() {
  std::vector<std::vector<uint8_t>> out;
  if (g_socket == kNoSocket) return out;
  char buffer[2048];
  for (;;) {
    const int got = static_cast<int>(recv(g_socket, buffer, sizeof buffer, 0));
    if (got <= 0) break;
    out.emplace_back(buffer, buffer + got);
  }
  return out;
}

}  // namespace qxhost
