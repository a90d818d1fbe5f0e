// The product's heap: the C library's allocator. Keep every function of
// heap.h in this one file: a test program replaces them all together.
#include "common/heap.h"

#include <cstdlib>

namespace qx::heap {

void *allocate(size_t size) { return std::malloc(size ? size : 1); }

void *allocateZeroed(size_t count, size_t size) {
  if (count == 0 || size == 0) return std::calloc(1, 1);
  return std::calloc(count, size);
}

void release(void *block) { std::free(block); }

}  // namespace qx::heap
