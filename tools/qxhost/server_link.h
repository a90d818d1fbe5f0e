// The host's link to a game server (--server HOST:PORT): one UDP socket
// that carries the game connection. Packets the client sends to the server
// go out as datagrams; datagrams from the server go to the client as host
// event 13.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qxhost {

// Opens a non-blocking UDP socket towards host:port; false on failure.
bool linkOpen(const std::string &hostPort);
bool linkActive();

// Sends one datagram to the server, or to address:port.
void linkSend(const void *data, int length);
void linkSendTo(const char *address, int port, const void *data, int length);

// Takes the datagrams that have arrived, without waiting.
std::vector<std::vector<uint8_t>> linkReceive();

}  // namespace qxhost
