// The time one entry call may spend on the client's bulk work (screenshots,
// integrity scans), and how the stages of that work share it.
//
// A call of the client must stay below 1 ms, or the game stutters. What the
// game feels is wall time: a call that sleeps, blocks on a file or is held
// up by the machine is as long for the game as one that computes. So the
// budget is counted on a monotonic wall clock from the entry of every call
// of ca, and covers everything the call does: the events it drains, the
// work frame and the host's callbacks inside them come first, and the
// sliced stages get what is left, the screenshots first, then the scans.
//
// A slice starts only when the call's time so far and the time a slice can
// take still end before 0.7 ms: that leaves room for the little a call does
// after its bulk work and for a slice that takes longer than any before it
// (on a virtual machine a slice now and then takes 0.2 to 0.3 ms more than
// the slowest before it). How long a slice can take is learnt by each stage
// as its work goes: the longest slice seen (up to half the budget),
// forgotten slowly from call to call (deflate's slices, for one, take three
// times as long when they end a block). Within a work frame a stage is
// followed by the frame's other steps, so there it stops at 0.5 ms; the
// rest of the call goes on at its end.
//
// Some steps cannot be cut: the copy of a locked surface, the host's
// read-back (the lock must be held for the copy alone, and the read-back is
// one host call), and the steps that call on the system's memory (getting a
// record's buffers, setting up a compressor, giving memory back: mapping or
// unmapping pages takes from a few microseconds to most of a millisecond on
// a virtual machine, where the host takes part in every change of the page
// tables). Such a step runs only in a call that has done little yet and in
// which no stage has run one so far, so there is at most one per call;
// slices follow it in the same call only while the budget still holds
// them. A step that calls on the system's memory never runs in a work
// frame's budget, whose other steps come after it.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace qx::host {

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

// The budget of the current entry call: where it began on the wall clock
// and whether a stage has run a step that cannot be cut in it yet. The client
// state holds the one of the current call (currentCall()); ca begins it at its
// entry.
class CallBudget {
 public:
  // A call begins now: everything it does from here counts.
  void begin() {
    start_ = platform::wallMicroseconds();
    wholeStepTaken_ = false;
  }
  // Microseconds the call has spent so far.
  uint64_t spent() const { return platform::wallMicroseconds() - start_; }

 private:
  friend class StageBudget;
  uint64_t start_ = 0;
  bool wholeStepTaken_ = false;
};

// The call budget of the entry call under way (the client state's).
CallBudget &currentCall();

// One stage's turn in a call: the call's time so far, the stage's own
// limit (kCallBudgetMicros, or kWorkFrameBudgetMicros inside a work frame)
// and how long the stage's slices can take (estimate, kept by the stage
// from call to call; 0 unknown). Stages that run one after the other in a
// call each take a turn of the same CallBudget, so a later stage gets only
// what the earlier ones left.
class StageBudget {
 public:
  StageBudget(CallBudget &call, uint64_t limit, uint32_t &estimate)
      : call_(call),
        limit_(limit),
        entered_(call.spent()),
        estimate_(estimate) {
    // Forgotten by a thirty-second at every turn, so that one slow slice
    // cannot keep the work from every call for good.
    estimate_ =
        estimate_ == 0 ? kFirstSliceEstimate : estimate_ - estimate_ / 32;
    if (estimate_ < 1) estimate_ = 1;
    lastSpent_ = entered_;
  }
  // A slice still fits in this call (reads the clock once this turn has
  // run a slice, and learns how long that slice took).
  bool left() {
    uint64_t spent = entered_;
    if (used_) {
      spent = call_.spent();
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
  // Nothing has been done in this turn, no stage has run a step that
  // cannot be cut in this call, and the call has spent little so far: such
  // a step may run.
  bool fresh() const {
    return !used_ && !call_.wholeStepTaken_ && entered_ < kFreshCallMicros;
  }
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
  // holdsSystemStep() said it may). Its time is not learnt as a slice's;
  // later slices of the call fit only in what it leaves.
  void wholeStep() {
    used_ = true;
    inSlice_ = false;
    call_.wholeStepTaken_ = true;
  }

 private:
  // The longest slice seen, up to kLongestSliceEstimate.
  void learn(uint64_t took) {
    inSlice_ = false;
    if (took > kLongestSliceEstimate) took = kLongestSliceEstimate;
    if (took > estimate_) estimate_ = static_cast<uint32_t>(took);
  }
  CallBudget &call_;
  uint64_t limit_;
  uint64_t entered_;  // spent by the call before this turn
  uint32_t &estimate_;
  uint64_t sliceStart_ = 0, lastSpent_ = 0;
  bool used_ = false, inSlice_ = false;
};

}  // namespace qx::host
