// State of the registered names.
#pragma once

#include <cstdint>

#include "console/record_list.h"

namespace qx::regnames {

// Record of "FLRN", 100 bytes. An empty match marks a deleted record, which
// keeps its slot so that the slot numbers shown to the player stay stable.
struct Record {
  char match[33];
  char password[33];
  char passwordDigest[33];  // seeded MD5 text of password
  uint8_t kind;             // 1 Full, 2 Partial
};

struct State {
  console::RecordList names;  // "FLRN"
  // The file the list was last loaded from in place of what it held, and
  // whether the list then took in everything that file held (or the file
  // did not exist). A file holding names the list lacks is never replaced,
  // so a wrong or missing key cannot cost the player the names in it.
  char loadedPath[256];
  int32_t loadedWhole;
};

}  // namespace qx::regnames
