// State of the master list, master queries and the web update.
#pragma once

#include <cstdint>

#include "console/record_list.h"

namespace qx::master {

// Record of "FLFC": one content transfer; buffer is owned by the record.
struct ContentTransfer {
  uint32_t identifier;  // 0 marks a free record
  uint32_t finalSize;
  uint32_t transferSize;
  uint32_t chunkCount;
  uint32_t chunksReceived;
  uint32_t announcedAt;
  uint8_t digest[16];
  char name[256];
  int32_t state;  // -1 announced, 1 last byte received
  int32_t handle;
  uint8_t *buffer;
};

// Record of "FLHN": the name cache.
struct HostName {
  char host[256];
  char address[16];
  uint32_t resolved;
};

struct State {
  console::RecordList transfers;  // "FLFC"
  console::RecordList hostNames;  // "FLHN"
  uint32_t lastMasterQuery;       // tick
  int32_t queryRotation;          // starting index of the master rotation
};

// Frees the buffers the "FLFC" records own (called by the list's destroy).
void releaseTransfers(console::RecordList &list);

}  // namespace qx::master
