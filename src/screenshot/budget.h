// The time one entry call may spend on the screenshot slots, and the slices
// that work is cut into.
//
// A call of the client must stay below 1 ms of its own work, or the game
// stutters. The budget is counted from the start of the call, so that it
// covers everything the call does: the events it drains and the work frame
// come first, and the screenshots get what is left. A slice starts only
// when the call's time so far and the time a slice can take still end
// before 0.7 ms: that leaves room for the little a call does after its
// screenshot work and for a slice that takes longer than any before it (on
// a virtual machine a slice now and then takes 0.2 to 0.3 ms more than the
// slowest before it). How long a slice can take is learnt
// as the work goes: the longest slice seen (up to half the budget),
// forgotten slowly from call to call (deflate's slices, for one, take three
// times as long when they end a block). Within a work frame, the
// screenshot step is followed by the frame's other steps, so there it stops
// at 0.5 ms; the rest of the call goes on at its end.
//
// The budget is measured on the platform's work clock (the thread's
// processor time where the platform has a fine one), so time the machine
// gives to other processes does not count against the game's frame.
//
// The steps that are not cut are the copy of the locked surface and the
// host's read-back (the lock must be held for the copy alone, and the
// read-back is one host call). Each runs only in a call that has done
// little yet; slices follow it in the same call only if the budget still
// holds them.
//
// The steps that call on the system's memory are not cut either: getting a
// record's buffers, setting up its compressor, and giving memory back. One
// such step maps or unmaps pages, which takes from a few microseconds to
// most of a millisecond (far longer on a virtual machine, where the host
// takes part in every change of the page tables). They run only in a call
// that has done little yet, at most one per call, and never in a work
// frame, whose other steps come after the screenshots.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace qx::screenshot {

constexpr uint64_t kCallBudgetMicros = 700;
constexpr uint64_t kWorkFrameBudgetMicros = 500;
// A step that cannot be cut runs only while the call has spent less, so
// that the step's own work ends the call below 1 ms.
constexpr uint64_t kFreshCallMicros = 400;
// What a slice is taken to cost before any has been measured.
constexpr uint32_t kFirstSliceEstimate = 250;
// The most a slice is taken to cost. The slices are cut to take a small
// part of the budget; one that took more than half of it was held up by
// the machine (the thread was stalled or switched out), and learning all
// of it would keep the work from every call for most of a second while it
// is forgotten. A call that has spent little still runs a slice.
constexpr uint32_t kLongestSliceEstimate = kCallBudgetMicros / 2;

// Slice sizes: each slice takes well below a tenth of the budget on a
// machine that decodes a game's frame, so the budget is overrun by little.
constexpr uint32_t kClearSlice = 16 * 1024;  // bytes zero-filled
constexpr uint32_t kRowSlice = 32 * 1024;    // bytes of rows converted,
                                             // sampled or annotated

// The budget of one call: the call began at callStart on the work clock,
// and its screenshot work ends before limit microseconds of it have gone.
// estimate is how long a slice can take, kept from call to call.
class CallBudget {
 public:
  CallBudget(uint64_t callStart, uint64_t limit, uint32_t &estimate)
      : start_(callStart),
        limit_(limit),
        entered_(platform::workMicroseconds() - callStart),
        estimate_(estimate) {
    // Forgotten by a thirty-second at every call, so that one slow slice
    // cannot keep the work from every call for good.
    estimate_ =
        estimate_ == 0 ? kFirstSliceEstimate : estimate_ - estimate_ / 32;
    if (estimate_ < 1) estimate_ = 1;
    lastSpent_ = entered_;
  }
  // A slice still fits in this call (reads the work clock once a slice has
  // run, and learns how long that slice took).
  bool left() {
    uint64_t spent = entered_;
    if (used_) {
      spent = platform::workMicroseconds() - start_;
      if (inSlice_) learn(spent - sliceStart_);
    }
    lastSpent_ = spent;
    return spent + estimate_ <= limit_;
  }
  // A slice that may meet memory never touched before still fits. The
  // first touch of a page can take from a few to over a hundred
  // microseconds, far beyond anything learnt from the slices before, so
  // such slices only start in the first half of the budget.
  bool leftForFreshPages() { return left() && lastSpent_ <= limit_ / 2; }
  // Nothing has been done for the screenshots in this call, which has
  // spent little so far: a step that cannot be cut may run.
  bool fresh() const { return !used_ && entered_ < kFreshCallMicros; }
  // A step that calls on the system's memory may run: as for fresh(), and
  // not in the work frame's budget (which stops short of the call's, as the
  // frame's other steps follow it).
  bool holdsSystemStep() const {
    return fresh() && limit_ >= kCallBudgetMicros;
  }
  // Marks that a slice starts now (after left() said it fits).
  void use() {
    used_ = true;
    inSlice_ = true;
    sliceStart_ = lastSpent_;
  }
  // Marks that a step that cannot be cut starts now (after fresh() or
  // holdsSystemStep() said it may). Its time is not learnt as a slice's; later
  // slices of the call fit only in what it leaves.
  void wholeStep() {
    used_ = true;
    inSlice_ = false;
  }

 private:
  // The longest slice seen, up to kLongestSliceEstimate.
  void learn(uint64_t took) {
    inSlice_ = false;
    if (took > kLongestSliceEstimate) took = kLongestSliceEstimate;
    if (took > estimate_) estimate_ = static_cast<uint32_t>(took);
  }
  uint64_t start_;
  uint64_t limit_;
  uint64_t entered_;  // spent by the call before the screenshots' turn
  uint32_t &estimate_;
  uint64_t sliceStart_ = 0, lastSpent_ = 0;
  bool used_ = false, inSlice_ = false;
};

// Rows of rowBytes each that make one slice; at least one.
inline uint32_t rowsPerSlice(uint64_t rowBytes) {
  const uint64_t rows = rowBytes ? kRowSlice / rowBytes : kRowSlice;
  return rows > 0 ? static_cast<uint32_t>(rows) : 1u;
}

// The result of one slice of a stage's work.
enum class Step { More, Done, Failed };

}  // namespace qx::screenshot
