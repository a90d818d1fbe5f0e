// Master queries: every 30 minutes the client asks one master server of the
// master list, in turn, for news. The masters answer with master list
// replies ('1') and content transfers ('C').
#pragma once

#include <cstddef>
#include <cstdint>

#include "qx/game_interface.h"

namespace qx::master {

constexpr uint32_t kMasterQueryInterval = 1800000;  // ms

// The query text, "qxmq C <nonce>", into out (capacity bytes, terminated);
// returns its length without the terminator.
size_t buildMasterQuery(char *out, size_t capacity);

// Work-frame step: sends the next query when one is due.
void masterQuery(QxGameInterface *gi, uint32_t now);

}  // namespace qx::master
