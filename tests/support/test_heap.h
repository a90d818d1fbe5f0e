// The client's heap as the test programs link it: it counts the client's
// blocks and makes chosen allocations fail, so that tests can show that a
// busy client holds no more than it should and survives every failure.
// Linked into the test programs and the soak run only; the product uses the
// plain allocator of src/common/heap.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qxtest {

struct HeapCounts {
  uint64_t allocations = 0;  // every request since the program started
  uint64_t failures = 0;     // requests answered with null on purpose
  uint64_t liveBlocks = 0;   // blocks allocated and not yet released
  uint64_t liveBytes = 0;    // bytes those blocks hold, as requested
};
HeapCounts heapCounts();

// The n-th allocation from now on (1 is the next one) fails; 0 fails none.
void failAllocationNumber(uint64_t n);
// Every allocation for which fails(size) is true fails, until the next call;
// nullptr fails none.
using AllocationFilter = bool (*)(size_t size);
void failAllocations(AllocationFilter fails);
// An allocation filter that fails everything.
bool everyAllocation(size_t size);

}  // namespace qxtest
