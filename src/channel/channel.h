// The server channel as the rest of the client sees it: packets in and out,
// the channel key, sealing, the delayed-send queue, dispatch of server
// messages and the requests sent on the player's behalf.
#pragma once

#include <cstdint>

#include "qx/game_interface.h"

namespace qx::channel {

// ---- packets ---------------------------------------------------------------

// Checks, unframes and dispatches one packet from the server (or a master
// server); returns 0 when the packet was refused or left unhandled, non-zero
// when it was consumed.
int receivePacket(QxGameInterface *gi, int32_t length, const uint8_t *data);

// Frames one message ('E' once a channel key exists, else 'P'; messages
// starting with 'J' always 'P') and hands it to the host at once. Messages
// longer than 1100 bytes are cut.
void sendMessage(QxGameInterface *gi, const uint8_t *message, int length);

// Check value of a plain message.
int32_t checkValue(const uint8_t *message, int length);

// ---- channel key
// -------------------------------------------------------------

// Creates the key block (1000 random bytes and the key's start offset) when
// it does not exist yet; false when the allocation failed.
bool ensureKeyBlock();

// Writes the channel key derived from the host numbers a, b, c, d into the
// key block and returns the key text; a fixed error text when there is no
// block.
const char *deriveChannelKey(uint8_t *block, int32_t a, int32_t b, int32_t c,
                             int32_t d);

// Host code 18: derives the channel key from a text of five words (the first
// is ignored, the others are read as decimal numbers) and returns the key
// text, creating the key block when needed.
const char *deriveKeyFromText(const char *text);

// The current key text (empty when there is none).
const char *keyText();

// ---- sealing and sending later ---------------------------------------------

// Wraps the message in a seal when the seal allowance permits; returns the
// new length. message has room for length + 13 bytes.
int sealMessage(uint8_t *message, int length);

// Stores a message in the outbound queue, to go out once delay ms have
// passed; delay 0 sends it now.
void queueMessage(const uint8_t *message, int length, uint32_t delay);

// Sends due queued messages (work frame).
void flushQueue(QxGameInterface *gi, uint32_t now);

// Drops every queued message unsent: replies meant for the server the host
// has just left must not reach the next one.
void clearQueue();

// Connect hook stored in the game interface at start-up.
const char *QX_CDECL connectHook(int32_t mode, char *buffer, int32_t *length);

// ---- dispatch
// ----------------------------------------------------------------

// Routes one unframed message by its code byte; always returns 1. The
// message may be modified in place.
int dispatchMessage(QxGameInterface *gi, int length, uint8_t *message);

// Replies 'T' and a decimal number (alive and identity replies), sealed
// when permitted, sent now (delay 0) or queued for delay ms.
void sendNumberReply(uint32_t number, uint32_t delay);

// Length of the GUID the server has assigned this client (gi->serverGuid);
// 0 until it has, while the record holds an empty text or a placeholder
// beginning with '?', and for a null gi.
int assignedGuidLength(const QxGameInterface *gi);

// ---- player requests -------------------------------------------------------

enum class Request {
  kPlayerList,     // qx_Plist: "BD args"
  kAdminList,      // QX_ALIST: "BTargs"
  kPower,          // qx_Power: "BJ args"
  kKick,           // qx_Kick: "Uargs"
  kVariableValue,  // qx_CvarVal and QX_CVAR=: "BBname", name cut at 255
  kRcon,           // QX_RCON: "Vargs"
  kReport,         // QX_SREQ: "BR args"
  kRawText,        // a command line beginning with qx_ypg_: "Aline"
};

// Builds the request text from the argument text (null or empty when there
// is none; for kRawText the whole command line), seals it when permitted
// and sends it at once. Texts are cut at 255 characters; raw-text requests
// keep up to 1098 characters of the line and at most two leave in any two
// seconds (the others are dropped silently).
void sendRequest(QxGameInterface *gi, Request request, const char *args);

}  // namespace qx::channel
