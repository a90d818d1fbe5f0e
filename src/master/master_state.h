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

// ---- the master list ---------------------------------------------------

constexpr int kMaxEntries = 4;
constexpr int kMaxMirrors = 2;
constexpr int kMaxModules = 8;  // records per module table
constexpr int kHostSize = 128;  // host texts: 127 characters
constexpr int kAddressSize = 16;

// Module tables of an entry: one per module kind ('A' agent, 'C' client,
// 'S' third kind) and platform letter ('W', 'L', 'K', any other).
constexpr int kModuleKinds = 3;
constexpr int kPlatformSlots = 4;

// A module version that may be installed, with the size and the digests of
// the module file (MD5 of the whole file, and of the file without its first
// byte, as 32 hexadecimal digits).
struct ModuleRecord {
  int32_t version;
  uint32_t size;
  char digest1[33];
  char digest2[33];
};

struct ModuleTable {
  int32_t count;  // 0..8
  ModuleRecord records[kMaxModules];
};

struct Mirror {
  char host[kHostSize];
  int32_t port;
  char address[kAddressSize];
};

// One master server. kind 0 is an empty entry and kind 1 one that is never
// queried; counter counts queries sent without a reply.
struct Entry {
  int32_t kind;
  int32_t port;
  int32_t counter;
  char host[kHostSize];  // upper-case
  char address[kAddressSize];
  ModuleTable tables[kModuleKinds][kPlatformSlots];
  int32_t mirrorCount;  // 0..2
  Mirror mirrors[kMaxMirrors];
};

struct State {
  Entry entries[kMaxEntries];
  int32_t entryCount;

  console::RecordList transfers;  // "FLFC"
  console::RecordList hostNames;  // "FLHN"
  uint32_t lastMasterQuery;       // tick
  int32_t queryRotation;          // starting index of the master rotation
};

// Frees the buffers the "FLFC" records own (called by the list's destroy).
void releaseTransfers(console::RecordList &list);

}  // namespace qx::master
