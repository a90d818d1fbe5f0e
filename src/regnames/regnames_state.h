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
  // The file whose names the list has all taken in (or that did not
  // exist), when loadedWhole is 1. Before another file is replaced, its
  // names are read into the list, and one that cannot be read is never
  // replaced, so a wrong or missing key cannot cost the player its names.
  char loadedPath[256];
  int32_t loadedWhole;
};

}  // namespace qx::regnames
