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

// Rule-set state: -1 once a complete set has arrived; 0 or more while the
// set is incomplete, counting the rule lines received so far.
constexpr int32_t kRulesComplete = -1;

struct State {
  console::RecordList rules;     // "FLCV"
  console::RecordList expected;  // "FLLC"; nothing adds to it
  int32_t ruleState;             // kRulesComplete or rule lines so far
  uint32_t lastRuleLine;         // tick of the last rule line; 0 = none
  uint32_t nextRequestBase;      // tick from which the re-request is timed
  int32_t nextCheck;             // rule the next housekeeping step tests
  int32_t reportViolations;      // an "L" report asked for them; per server
};

}  // namespace qx::cvars
