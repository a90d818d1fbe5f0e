// Named record list: a growable array of fixed-size records with a short
// name ("FLCV", "FLOU", ...). Records are copied in and out byte for byte;
// the list never interprets them. A record is removed by clearing it in
// place, and users treat an all-zero record as a free slot.
#pragma once

#include <cstdint>

namespace qx::console {

struct RecordList {
  uint8_t *data = nullptr;  // owned; null until the first append
  int32_t count = 0;        // records in use
  int32_t recordSize = 1;   // bytes per record, at least 1
  int32_t capacity = 0;     // records that fit in data
  int32_t growBy = 4;       // first capacity allocated
  char name[31] = {};       // at most 30 characters; "!" appended on destroy

  // Called before the list is freed, for lists whose records own memory.
  void (*releaseRecords)(RecordList &list) = nullptr;
};

void listConstruct(RecordList &list, int32_t recordSize, const char *name);
int listReserve(RecordList &list);  // 1, or 0 when allocation fails
// Returns the new count (the 1-based position of the record), 0 on failure.
int32_t listAppend(RecordList &list, const void *record);
void *listAt(const RecordList &list, int32_t index);  // null out of range
void listDestroy(RecordList &list);

template <typename Record>
Record *listRecord(const RecordList &list, int32_t index) {
  return static_cast<Record *>(listAt(list, index));
}

}  // namespace qx::console
