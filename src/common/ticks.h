// Tick time: milliseconds of the system tick counter, 32 bits, wrapping.
// Every interval test of the client goes through tickDiff.
#pragma once

#include <cstdint>

namespace qx {

// Elapsed time from tick b to tick a. A b that lies less than five seconds
// in the future counts as now (0); one that lies further off is taken as a
// timer long expired and gives a very large value, so that wrap-around and
// stale timers never stall the client.
constexpr uint32_t tickDiff(uint32_t a, uint32_t b) {
  const int32_t d = static_cast<int32_t>(a - b);
  if (d >= 0) return static_cast<uint32_t>(d);
  if (d > -5000) return 0;
  return static_cast<uint32_t>(d) + 0x80000000u;
}

}  // namespace qx
