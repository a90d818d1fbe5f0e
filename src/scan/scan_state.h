// State that belongs to the integrity scanning. The scans themselves are not
// part of this build; their tables exist so that the client's lists are
// complete and the frame driver's bookkeeping has a place.
#pragma once

#include <cstdint>

#include "console/record_list.h"

namespace qx::scan {

struct ProcessEntry {  // "FLPR"
  uint32_t processId;
  char name[260];
};

struct ModuleEntry {  // "FLMO"
  uintptr_t base;
  uint32_t size;
  char name[260];
};

struct WindowEntry {  // "FLMF"
  uintptr_t window;
  char title[128];
};

struct BufferEntry {  // "FLBU"
  uint8_t bytes[64];
};

struct State {
  console::RecordList processes;  // "FLPR"
  console::RecordList modules;    // "FLMO"
  console::RecordList windows;    // "FLMF"
  console::RecordList buffers;    // "FLBU"
  uint32_t processId, threadId;   // recorded at start-up
  uint32_t pageSize;
  uintptr_t minAppAddress, maxAppAddress;
  uint32_t allocationGranularity;
};

}  // namespace qx::scan
