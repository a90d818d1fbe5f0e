// Content transfers: files that master servers push in numbered 1024-byte
// chunks ('C' packets). Completed transfers are checked with MD5, inflated
// when compressed, and merged as master list text or stored as a file in
// the home directory.
#pragma once

#include <cstdint>

#include "qx/game_interface.h"

namespace qx::master {

constexpr uint32_t kTransferDropDelay = 120000;  // ms after the announcement
// Transfers held at once (records of "FLFC"): a master chooses how many it
// announces, so their number is capped like their sizes.
constexpr int32_t kMaxTransfers = 16;

// Handler of 'C' packets: an announcement or a chunk. The body is read, not
// written.
void contentTransfer(QxGameInterface *gi, const uint8_t *body, int length);

// Work-frame step: completes the transfers whose bytes have all arrived and
// drops those that stay incomplete.
void finishTransfers(QxGameInterface *gi, uint32_t now);

}  // namespace qx::master
