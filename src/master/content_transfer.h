// Content transfers: files that master servers push in numbered 1024-byte
// chunks ('C' packets). Completed transfers are checked with MD5, inflated
// when compressed, and merged as master list text or stored as a file in
// the home directory.
#pragma once

#include <cstdint>

#include "qx/game_interface.h"

namespace qx::master {

constexpr uint32_t kTransferDropDelay = 120000;  // ms after the announcement
constexpr int32_t kMaxTransfers = 16;            // records of "FLFC"

// Handler of 'C' packets: an announcement or a chunk. The body is read, not
// written.
void contentTransfer(QxGameInterface *gi, const uint8_t *body, int length);

// Work-frame step: completes the transfers whose bytes have all arrived and
// drops those that stay incomplete.
void finishTransfers(QxGameInterface *gi, uint32_t now);

}  // namespace qx::master
