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

// The file the server is pushing: one at a time, assembled in memory and
// written under the home directory once its digest checks out.
struct Transfer {
  uint8_t *buffer;        // size bytes; null when no transfer
  char path[256];         // "htm\" and the file name; empty when no transfer
  char digest[33];        // expected MD5 of the content, 32 hex digits
  char letter;            // second letter of the last name announced; 0 none
  int32_t lastChunk;      // index of the last chunk stored; -1 after 'G'
  uint32_t size;          // announced size in bytes
  uint32_t lastActivity;  // tick of the last chunk
  uint32_t lastRequest;   // tick of the last resend request; 0 never
};

struct State {
  console::RecordList index;  // "FLPA"
  Transfer transfer;
  ModuleState modules;  // agent and replacement client
};

}  // namespace qx::update
