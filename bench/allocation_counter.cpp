// Every allocation of the process goes through these (glibc's own allocator
// does the work); operator new of libstdc++ allocates with malloc, so it is
// counted too.
#include "allocation_counter.h"

#include <cstddef>

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void __libc_free(void *);

namespace {
uint64_t g_allocations = 0;
}

extern "C" void *malloc(size_t size) {
  ++g_allocations;
  return __libc_malloc(size);
}
extern "C" void *calloc(size_t count, size_t size) {
  ++g_allocations;
  return __libc_calloc(count, size);
}
extern "C" void *realloc(void *p, size_t size) {
  ++g_allocations;
  return __libc_realloc(p, size);
}
extern "C" void free(void *p) { __libc_free(p); }

namespace qxbench {
uint64_t allocations() { return g_allocations; }
}  // namespace qxbench
