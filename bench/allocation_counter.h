// Counts every heap allocation of the benchmark process, so a benchmark can
// show that a path allocates nothing per packet, line or frame.
#pragma once

#include <cstdint>

namespace qxbench {

// Allocations (malloc, calloc, realloc, and operator new through malloc)
// since the program started.
uint64_t allocations();

}  // namespace qxbench
