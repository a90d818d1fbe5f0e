#include "update/memory.h"

#include <cstdlib>

namespace qx::update {

namespace {
Allocator g_allocator = nullptr;
}  // namespace

void *allocate(size_t size) {
  // malloc(0) may answer null or a block; a zero-byte block is asked for as
  // one byte so that success never looks like a failure.
  const size_t bytes = size ? size : 1;
  return g_allocator ? g_allocator(bytes) : std::malloc(bytes);
}

void release(void *block) { std::free(block); }

void setAllocator(Allocator allocator) { g_allocator = allocator; }

}  // namespace qx::update
