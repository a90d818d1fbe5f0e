// Whether the test programs run as 32-bit programs under user-mode
// emulation: ./qx arranges it where the kernel refuses 32-bit programs (or
// where QX_EMULATE_32BIT=1 asks for it) and tells the tests through
// QX_EMULATED_32BIT=1. Every instruction there is translated before it
// runs, many times slower than on the processor itself, so a limit on time
// made for a real processor cannot hold: such limits are switched off there
// (saying so in the test's output), never loosened for native runs.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qxtest {

inline bool underEmulation() {
  const char *value = std::getenv("QX_EMULATED_32BIT");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

// True where the time limit named applies; under emulation prints that it
// is switched off and returns false.
inline bool timeLimitApplies(const char *limit) {
  if (!underEmulation()) return true;
  std::printf("time limit off under 32-bit emulation: %s\n", limit);
  return false;
}

}  // namespace qxtest
