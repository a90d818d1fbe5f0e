// Lookup of one entry in the host's numbered list (query 118), which the
// server asks for by name.
#pragma once

#include <cstdint>

#include "qx/game_interface.h"

namespace qx::cvars {

struct ListEntry {
  char name[256];  // in: the wanted name; out: the entry's first word
  char value[33];  // the entry's second word
  int32_t number;  // decimal value of the entry's third word
};

// Walks the host's list from entry 0 until the host repeats the entry number
// (no such entry), answers with a text starting with '\' (end of the list),
// or answers with an entry whose first word equals entry.name ignoring case.
// Fills entry and returns 1 on a match, else 0.
int findListEntry(QxGameInterface *gi, ListEntry &entry);

}  // namespace qx::cvars
