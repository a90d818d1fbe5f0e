// The slices that the screenshots' work is cut into, each run within the
// budget of the call (host/call_budget.h).
#pragma once

#include <cstdint>

#include "host/call_budget.h"

namespace qx::screenshot {

using host::StageBudget;

// Slice sizes: each slice takes well below a tenth of the budget on a
// machine that decodes a game's frame, so the budget is overrun by little.
constexpr uint32_t kClearSlice = 16 * 1024;  // bytes zero-filled
constexpr uint32_t kRowSlice = 32 * 1024;    // bytes of rows converted,
                                             // sampled or annotated

// Rows of rowBytes each that make one slice; at least one.
inline uint32_t rowsPerSlice(uint64_t rowBytes) {
  const uint64_t rows = rowBytes ? kRowSlice / rowBytes : kRowSlice;
  return rows > 0 ? static_cast<uint32_t>(rows) : 1u;
}

// The result of one slice of a stage's work.
enum class Step { More, Done, Failed };

}  // namespace qx::screenshot
