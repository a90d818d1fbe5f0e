#include "console/record_list.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/heap.h"
#include "common/text.h"

namespace qx::console {

void listConstruct(RecordList &list, int32_t recordSize, const char *name) {
  list.data = nullptr;
  list.count = 0;
  list.capacity = 0;
  list.growBy = 4;
  list.recordSize = recordSize > 0 ? recordSize : 1;
  if (name && name[0])
    copyText(list.name, name, sizeof list.name - 1);
  else
    formatText(list.name, sizeof list.name, "F%ld",
               static_cast<long>(list.recordSize));
}

int listReserve(RecordList &list) {
  if (list.count < list.capacity) return 1;
  const int32_t grown =
      list.capacity < list.growBy ? list.growBy : list.capacity * 2;
  if (grown <= list.capacity) return 0;  // the count would overflow
  const size_t bytes =
      static_cast<size_t>(grown) * static_cast<size_t>(list.recordSize);
  void *block = heap::allocate(bytes);
  if (!block) return 0;
  if (list.data && list.count > 0)
    std::memcpy(
        block, list.data,
        static_cast<size_t>(list.count) * static_cast<size_t>(list.recordSize));
  heap::release(list.data);
  list.data = static_cast<uint8_t *>(block);
  list.capacity = grown;
  return 1;
}

int32_t listAppend(RecordList &list, const void *record) {
  if (!record || !listReserve(list)) return 0;
  std::memcpy(list.data + static_cast<size_t>(list.count) *
                              static_cast<size_t>(list.recordSize),
              record, static_cast<size_t>(list.recordSize));
  return ++list.count;
}

void *listAt(const RecordList &list, int32_t index) {
  if (index < 0 || index >= list.count || !list.data) return nullptr;
  return list.data +
         static_cast<size_t>(index) * static_cast<size_t>(list.recordSize);
}

void listDestroy(RecordList &list) {
  if (list.releaseRecords) list.releaseRecords(list);
  appendText(list.name, sizeof list.name, "!");
  heap::release(list.data);
  list.data = nullptr;
}

}  // namespace qx::console
