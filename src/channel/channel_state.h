// State of the server channel: identity texts, channel token and key block,
// seal values, traffic counters and the outbound message queue.
#pragma once

#include <cstdint>

#include "common/protocol.h"
#include "console/record_list.h"

namespace qx::channel {

constexpr int kMaxMessage = protocol::kMaxMessage;  // longest message
constexpr int kGuidMax = 32;  // identity texts: 32 characters

// Record of the outbound message queue "FLOU". length 0 marks a free record.
struct Outbound {
  uint32_t queuedAt;
  uint32_t delay;  // milliseconds
  uint32_t length;
  uint8_t message[kMaxMessage];
};

constexpr int32_t kStreamWords = 624;
constexpr int32_t kStreamUnseeded = kStreamWords + 1;

struct State {
  char playerGuid[kGuidMax + 1];  // from the host variable QX_GUID_CVAR
  uint32_t token;                 // channel token; 0 until first needed
  uint8_t *keyBlock;              // 1000 bytes, created on first need
  int32_t keyOffset;              // where the key text starts in keyBlock
  uint32_t sealAllowance;         // messages that may still be sealed
  uint32_t sealModulus;           // stored little-endian for host code 24
  uint32_t sealExponent;          // stored little-endian for host code 23
  int32_t linkEstablished;        // a valid 'E' packet arrived
  int32_t packetsSentThisFrame;   // reset by the event drain
  uint32_t bytesIn, bytesOut;     // since the last traffic report
  uint32_t countingSince;         // tick; 0 = not started
  console::RecordList outbound;   // "FLOU"

  // Sealing key stream: MT19937 state, shared by every sealing site and
  // reseeded for each sealed message.
  uint32_t streamState[kStreamWords];
  int32_t streamPosition;  // kStreamUnseeded until the first seal

  // Dispatch bookkeeping.
  uint32_t dispatched;     // messages dispatched
  int32_t serverVersion;   // announced by the agent control message
  uint32_t aliveNumber;    // number of the last 'T' alive reply
  uint32_t lastAliveTick;  // tick of the last alive reply
  uint32_t identityReply;  // last identity reply code (40001..40003)
  uint32_t identityReplyTick;

  // Raw-text request throttle: at most two requests per window.
  uint32_t rawWindowStart;  // tick; 0 = no window yet
  uint32_t rawCount;        // requests sent in the window

  // The channel key repeated over the longest message, so scrambling is a
  // plain XOR of two buffers; rebuilt whenever the key text changes.
  uint8_t keyStream[kMaxMessage];
  char keyStreamOf[protocol::kKeyLength + 1];  // the key it was built from

  // Unframed message of the packet being handled, with room for a
  // terminator behind the longest message.
  uint8_t received[kMaxMessage + 1];
};

// Draws the channel token from the client's random generator when it is
// still 0: (rand << 16) | rand, repeated until non-zero.
void ensureToken();

}  // namespace qx::channel
