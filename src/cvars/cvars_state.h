// State of the console-variable rules and queries.
#pragma once

#include <cstdint>

#include "console/record_list.h"

namespace qx::cvars {

// Record of the rule list "FLCV". An empty varName marks a free record.
struct Rule {
  char varName[64];
  uint8_t kind;  // 1 in range, 2 out of range, 21 include, 22 exclude
  char text[64];
  double low;
  double high;
  uint32_t lastWarned;
};

// Record of "FLLC": a variable name and its expected value.
struct ExpectedValue {
  char varName[64];
  char value[64];
};

struct State {
  console::RecordList rules;     // "FLCV"
  console::RecordList expected;  // "FLLC"; nothing adds to it
};

}  // namespace qx::cvars
