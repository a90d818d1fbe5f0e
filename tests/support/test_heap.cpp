// Replaces the functions of src/common/heap.h for the test programs. Each
// block carries its size in a header ahead of the bytes the client sees, so
// that the bytes held are exact on every platform.
#include "test_heap.h"

#include <cstdlib>
#include <cstring>

#include "common/heap.h"

namespace qxtest {

namespace {

// The header keeps the client's bytes aligned as malloc's own are.
constexpr size_t kHeader = alignof(std::max_align_t) > sizeof(size_t)
                               ? alignof(std::max_align_t)
                               : sizeof(size_t);

HeapCounts g_counts;
uint64_t g_failNumber = 0;  // counts down; the allocation at 1 fails
AllocationFilter g_filter = nullptr;

bool shouldFail(size_t size) {
  if (g_filter && g_filter(size)) return true;
  if (g_failNumber == 0) return false;
  return --g_failNumber == 0;
}

void *track(size_t size, bool zeroed) {
  ++g_counts.allocations;
  if (shouldFail(size) || size > SIZE_MAX - kHeader) {
    ++g_counts.failures;
    return nullptr;
  }
  uint8_t *raw = static_cast<uint8_t *>(zeroed ? std::calloc(1, kHeader + size)
                                               : std::malloc(kHeader + size));
  if (!raw) return nullptr;
  std::memcpy(raw, &size, sizeof size);
  ++g_counts.liveBlocks;
  g_counts.liveBytes += size;
  return raw + kHeader;
}

}  // namespace

HeapCounts heapCounts() { return g_counts; }
void failAllocationNumber(uint64_t n) { g_failNumber = n; }
void failAllocations(AllocationFilter fails) { g_filter = fails; }
bool everyAllocation(size_t) { return true; }

}  // namespace qxtest

namespace qx::heap {

void *allocate(size_t size) { return qxtest::track(size ? size : 1, false); }

void *allocateZeroed(size_t count, size_t size) {
  if (count == 0 || size == 0) return qxtest::track(1, true);
  if (count > SIZE_MAX / size) return nullptr;
  return qxtest::track(count * size, true);
}

void release(void *block) {
  if (!block) return;
  uint8_t *raw = static_cast<uint8_t *>(block) - qxtest::kHeader;
  size_t size;
  std::memcpy(&size, raw, sizeof size);
  --qxtest::g_counts.liveBlocks;
  qxtest::g_counts.liveBytes -= size;
  std::free(raw);
}

void *shrink(void *block, size_t size) {
  if (!block) return nullptr;
  uint8_t *raw = static_cast<uint8_t *>(block) - qxtest::kHeader;
  size_t held;
  std::memcpy(&held, raw, sizeof held);
  if (size == 0) size = 1;
  if (size >= held) return block;
  uint8_t *shrunk =
      static_cast<uint8_t *>(std::realloc(raw, qxtest::kHeader + size));
  if (!shrunk) return nullptr;
  std::memcpy(shrunk, &size, sizeof size);
  qxtest::g_counts.liveBytes -= held - size;
  return shrunk + qxtest::kHeader;
}

}  // namespace qx::heap
