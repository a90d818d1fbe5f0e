// The product's heap: the C library's allocator. Keep every function of
// heap.h in this one file: a test program replaces them all together.
#include "common/heap.h"

#include <cstdlib>

#if defined(_WIN32)
#include <malloc.h>
#endif

namespace qx::heap {

void *allocate(size_t size) { return std::malloc(size ? size : 1); }

void *allocateZeroed(size_t count, size_t size) {
  if (count == 0 || size == 0) return std::calloc(1, 1);
  return std::calloc(count, size);
}

void release(void *block) { std::free(block); }

void *shrink(void *block, size_t size) {
#if defined(_WIN32)
  // In place only: a block that would have to move is left as it is.
  return _expand(block, size ? size : 1);
#else
  // The C library shrinks a block in place: a large one by unmapping its
  // last pages, a small one by splitting it.
  return std::realloc(block, size ? size : 1);
#endif
}

}  // namespace qx::heap
