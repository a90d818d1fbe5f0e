// The web update: a master list update fetched over HTTP/1.0 from the
// default web host ("qxsec.htm"), saved in the home directory, merged into
// the master list and deleted again. The exchange runs over work frames (a
// non-blocking connect, the request once the socket is writable, the reply
// read once per frame for at most 2000 ms), so no call of the host waits on
// the network. Also the local update file, offered once per client life.
#pragma once

#include <cstdint>

#include "qx/game_interface.h"

namespace qx::master {

constexpr uint32_t kWebThrottle = 60000;     // ms between attempts
constexpr uint32_t kWebExchangeTime = 2000;  // ms for connect and reply

// Starts a web update. report is 1 when a player or the server asked for it
// (a throttled request then says so), 0 for automatic calls. The throttle
// and its message apply at once; the exchange runs in later work frames.
void webUpdate(QxGameInterface *gi, int report);

// Work-frame step: moves a running exchange on without waiting.
void webUpdateStep(QxGameInterface *gi, uint32_t now);

// The end of an exchange: shows the outcome of the reply (length bytes, 0
// when nothing arrived), saves its body as qxsec.htm, processes it and
// deletes the file again.
void handleWebReply(QxGameInterface *gi, const uint8_t *reply, int32_t length);

// Start-up: asks the host game to resolve the default web host.
void resolveWebHost(QxGameInterface *gi);

// Offers the local update file to the same processing: first in the home
// directory, then in its second directory.
void importLocalUpdate(QxGameInterface *gi);

// Reads the update file at path (or, when it cannot be opened, the same path
// without its last character), deletes it, parses it as master list text
// and merges it; notices name source. False when no file could be read.
bool processUpdateFile(QxGameInterface *gi, const char *path,
                       const char *source);

}  // namespace qx::master
