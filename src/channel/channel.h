// The server channel as the rest of the client sees it.
#pragma once

#include <cstdint>

#include "qx/game_interface.h"

namespace qx::channel {

// Checks, unframes and dispatches one packet from the server; returns
// non-zero when the packet was accepted.
int receivePacket(QxGameInterface *gi, int32_t length, const uint8_t *data);

// Host code 18: derives the channel key from a text of five words (the first
// is ignored) and returns the key text.
const char *deriveKeyFromText(const char *text);

// Sends due queued messages (work frame).
void flushQueue(QxGameInterface *gi, uint32_t now);

// Connect hook stored in the game interface at start-up.
const char *QX_CDECL connectHook(int32_t mode, char *buffer, int32_t *length);

}  // namespace qx::channel

namespace qx::channel {

// Wraps the message in a seal when the seal allowance permits; returns the
// new length. message has room for length + 13 bytes.
int sealMessage(uint8_t *message, int length);

// Stores a message in the outbound queue, to go out once delay ms have
// passed; delay 0 sends it now.
void queueMessage(const uint8_t *message, int length, uint32_t delay);

}  // namespace qx::channel
