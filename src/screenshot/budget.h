// The time one entry call may spend on the screenshot slots, and the slices
// that work is cut into.
//
// A call of the client must stay near 1 ms of its own work, or the game
// stutters. The screenshots get half of it, 0.5 ms: the other half is left
// to the rest of a work frame (events, the channel, the rules) and to the
// last slice, which may start just before the budget runs out. The budget
// is measured on the platform's work clock (the thread's processor time
// where the platform has a fine one), so time the machine gives to other
// processes does not count against the game's frame.
//
// The only steps that are not cut are the copy of the locked surface and
// the host's read-back (the lock must be held for the copy alone, and the
// read-back is one host call) and the release of a finished slot's buffers
// (one free each). Each runs only at the start of a call, and ends that
// call's screenshot work.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace qx::screenshot {

constexpr uint64_t kCallBudgetMicros = 500;

// Slice sizes: each slice takes well below a tenth of the budget on a
// machine that decodes a game's frame, so the budget is overrun by little.
constexpr uint32_t kClearSlice = 64 * 1024;  // bytes zero-filled
constexpr uint32_t kRowSlice = 32 * 1024;    // bytes of rows converted,
                                             // sampled or annotated

// The budget of one call.
class CallBudget {
 public:
  CallBudget() : start_(platform::workMicroseconds()) {}
  // Time is left in this call (reads the work clock). The first slice of
  // a call always runs, so that the work goes on whatever the clock says.
  bool left() const {
    if (over_) return false;
    return !used_ || platform::workMicroseconds() - start_ < kCallBudgetMicros;
  }
  // Nothing has been done in this call yet: a step that cannot be cut may
  // run.
  bool fresh() const { return !used_; }
  // Marks that a slice ran.
  void use() { used_ = true; }
  // Ends the call's screenshot work (after a step that cannot be cut).
  void close() { used_ = over_ = true; }

 private:
  uint64_t start_;
  bool used_ = false;
  bool over_ = false;
};

// Rows of rowBytes each that make one slice; at least one.
inline uint32_t rowsPerSlice(uint64_t rowBytes) {
  const uint64_t rows = rowBytes ? kRowSlice / rowBytes : kRowSlice;
  return rows > 0 ? static_cast<uint32_t>(rows) : 1u;
}

// The result of one slice of a stage's work.
enum class Step { More, Done, Failed };

}  // namespace qx::screenshot
