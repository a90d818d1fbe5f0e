// State of the registered names.
#pragma once

#include <cstdint>

#include "console/record_list.h"

namespace qx::regnames {

// Record of "FLRN". An empty match marks a deleted record.
struct Record {
  char match[33];
  char password[33];
  char passwordDigest[33];
  uint8_t kind;  // 1 Full, 2 Partial
};

struct State {
  console::RecordList names;  // "FLRN"
};

}  // namespace qx::regnames
