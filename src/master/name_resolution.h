// Host names to dotted addresses, through the host game and a cache: the
// game resolves names in its own time, and the client asks it again until it
// has an answer.
#pragma once

#include "qx/game_interface.h"

namespace qx::master {

constexpr int kMaxCachedNames = 512;  // records of "FLHN"

// Writes the dotted address of host into address (at most 15 characters).
// A host made of digits and dots (optionally ":port") is its own address.
// Other names are asked of the host game ("qx_isresolved <host>", query
// 103) until it answers, and cached; address stays empty until then.
// Returns true when address is not empty.
bool resolveHost(QxGameInterface *gi, const char *host, char address[16]);

// Resolves qx_LogAddr through the cache, which adds the name to it.
void resolveLogAddress(QxGameInterface *gi);

}  // namespace qx::master
