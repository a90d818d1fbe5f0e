// State of file transfer, update packages and module management.
#pragma once

#include <cstdint>

#include "console/record_list.h"
#include "update/module_state.h"

namespace qx::update {

// Record of "FLPA": one entry of the update index.
struct IndexEntry {
  char name[256];
  uint8_t digest[16];
  int32_t version;
};

struct State {
  console::RecordList index;  // "FLPA"
  ModuleState modules;        // agent and replacement client
};

}  // namespace qx::update
