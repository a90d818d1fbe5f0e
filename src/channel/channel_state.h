// State of the server channel: identity texts, channel token and key block,
// seal values, traffic counters and the outbound message queue.
#pragma once

#include <cstdint>

#include "console/record_list.h"

namespace qx::channel {

constexpr int kMaxMessage = 1100;  // longest message the channel carries
constexpr int kGuidMax = 32;       // identity texts: 32 characters

// Record of the outbound message queue "FLOU". length 0 marks a free record.
struct Outbound {
  uint32_t queuedAt;
  uint32_t delay;  // milliseconds
  uint32_t length;
  uint8_t message[kMaxMessage];
};

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
};

// Draws the channel token from the client's random generator when it is
// still 0: (rand << 16) | rand, repeated until non-zero.
void ensureToken();

}  // namespace qx::channel
