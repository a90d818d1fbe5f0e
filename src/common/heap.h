// The client's heap: every block the client allocates or frees goes through
// these three functions, so that a test build can count the client's live
// blocks and make any one allocation fail on purpose. The product links
// heap.cpp (the C library's allocator); the test programs link a counting,
// failing replacement of the same functions instead (tests/support/
// test_heap.cpp), which the linker prefers to the archive's member.
#pragma once

#include <cstddef>

namespace qx::heap {

// A block of size bytes (one byte when size is 0, so that success never
// looks like a failure), or null.
void *allocate(size_t size);
// count * size zero bytes (at least one byte), or null; null also when the
// product would overflow.
void *allocateZeroed(size_t count, size_t size);
// Frees a block of allocate or allocateZeroed; null is ignored.
void release(void *block);
// Gives the end of a block back so that it holds size bytes (fewer than it
// holds); returns the block, which keeps its first size bytes. Null when the
// heap cannot shrink it: the block is then unchanged. Freeing a block of
// several MB unmaps all its pages at once, which can take a millisecond;
// shrinking it a piece at a time spreads that over several calls.
void *shrink(void *block, size_t size);

}  // namespace qx::heap
