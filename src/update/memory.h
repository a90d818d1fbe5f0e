// Heap blocks of the update subsystem: transfer buffers and the data of
// update packages. Tests force allocation failures through the hook.
#pragma once

#include <cstddef>

namespace qx::update {

// Returns a block of size bytes, or null. A hook's blocks must be ones that
// std::free releases.
void *allocate(size_t size);
void release(void *block);

using Allocator = void *(*)(size_t size);
void setAllocator(Allocator allocator);  // nullptr: malloc

}  // namespace qx::update
