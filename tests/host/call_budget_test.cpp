// The one budget of an entry call: counted on the wall clock from the
// call's entry, shared by the stages that run in the call one after the
// other, and learning how long a stage's slices take.
#include <gtest/gtest.h>

#include <cstdint>

#include "host/call_budget.h"
#include "platform/platform.h"

namespace {

namespace qxh = qx::host;

// The wall clock, set by the test.
uint64_t g_now = 0;
uint64_t testClock() { return g_now; }

class CallBudgetTest : public ::testing::Test {
 protected:
  void SetUp() override { qx::platform::setWallClockSource(testClock); }
  void TearDown() override { qx::platform::setWallClockSource(nullptr); }

  // A call that began at start.
  qxh::CallBudget beginAt(uint64_t start) {
    g_now = start;
    qxh::CallBudget call;
    call.begin();
    return call;
  }
};

// The budget counts the whole call, learns how long a slice takes and
// forgets it slowly, so one slow slice never stops the work for long.
TEST_F(CallBudgetTest, CountsTheWholeCallAndLearnsTheSlices) {
  const uint64_t limit = qxh::kCallBudgetMicros;
  uint32_t estimate = 0;
  qxh::CallBudget drainedCall = beginAt(1000);
  g_now = 1000 + limit;  // the call's events took the whole budget
  qxh::StageBudget drained(drainedCall, limit, estimate);
  EXPECT_EQ(estimate, qxh::kFirstSliceEstimate);
  EXPECT_FALSE(drained.left());
  EXPECT_FALSE(drained.fresh());

  qxh::CallBudget call = beginAt(2000);
  g_now = 2100;  // 100 us into the call
  qxh::StageBudget turn(call, limit, estimate);
  EXPECT_TRUE(turn.fresh());
  ASSERT_TRUE(turn.left());
  turn.use();
  g_now += 2600;  // a slice held up by the machine
  EXPECT_FALSE(turn.left());
  // Learnt as half the budget at most: a call that has spent little goes
  // on at once.
  EXPECT_EQ(estimate, qxh::kLongestSliceEstimate);
  qxh::CallBudget nextCall = beginAt(10000);
  g_now = 10100;
  qxh::StageBudget next(nextCall, limit, estimate);
  EXPECT_TRUE(next.left());

  // A call that has spent more waits while later calls forget a little of
  // the slow slice each, until a slice fits again.
  int calls = 0;
  for (bool fits = false; !fits && calls < 100; ++calls) {
    qxh::CallBudget laterCall = beginAt(10000 * (calls + 2));
    g_now += 500;
    qxh::StageBudget later(laterCall, limit, estimate);
    fits = later.left();
  }
  EXPECT_GT(calls, 1);
  EXPECT_LT(calls, 100);

  // Slices that may touch fresh pages start in the first half only; steps
  // that cannot be cut only in a call that has done little.
  estimate = 100;
  static_assert(qxh::kFreshCallMicros > qxh::kCallBudgetMicros / 2, "");
  qxh::CallBudget halfCall = beginAt(50000);
  g_now += qxh::kFreshCallMicros;
  qxh::StageBudget half(halfCall, limit, estimate);
  EXPECT_TRUE(half.left());
  EXPECT_FALSE(half.leftForFreshPages());
  EXPECT_FALSE(half.fresh());

  // A step that cannot be cut is not learnt as a slice, and slices follow
  // it in the same call while the budget holds them.
  qxh::CallBudget wholeCall = beginAt(60000);
  g_now += 100;
  qxh::StageBudget whole(wholeCall, limit, estimate);
  ASSERT_TRUE(whole.fresh());
  whole.wholeStep();
  g_now += 300;
  EXPECT_TRUE(whole.left());
  EXPECT_LT(estimate, 100u);
  whole.use();
  g_now += 400;
  EXPECT_FALSE(whole.left());
}

// Two stages in one call: the second gets what the first left, and the
// steps that cannot be cut stay one per call, whichever stage runs it.
TEST_F(CallBudgetTest, StagesOfOneCallShareIt) {
  const uint64_t limit = qxh::kCallBudgetMicros;
  uint32_t firstEstimate = 100, secondEstimate = 100;

  qxh::CallBudget call = beginAt(1000);
  g_now += 50;
  {
    qxh::StageBudget first(call, limit, firstEstimate);
    ASSERT_TRUE(first.left());
    first.use();
    g_now += 450;  // the first stage's slices
  }
  qxh::StageBudget second(call, limit, secondEstimate);
  EXPECT_FALSE(second.fresh());  // 500 us gone
  ASSERT_TRUE(second.left());    // room for one slice of 100 us
  second.use();
  g_now += 150;                 // a slice that took 150 us
  EXPECT_FALSE(second.left());  // 650 us gone

  // Steps that call on the system's memory: in a call that has done
  // little, one per call across the stages, never in the work frame's
  // budget.
  qxh::CallBudget quietCall = beginAt(70000);
  g_now += 10;
  qxh::StageBudget frame(quietCall, qxh::kWorkFrameBudgetMicros, firstEstimate);
  EXPECT_TRUE(frame.fresh());
  EXPECT_FALSE(frame.holdsSystemStep());
  qxh::StageBudget screenshots(quietCall, limit, firstEstimate);
  ASSERT_TRUE(screenshots.holdsSystemStep());
  screenshots.wholeStep();
  EXPECT_FALSE(screenshots.holdsSystemStep());
  g_now += 20;  // a fast step: the call is still young
  qxh::StageBudget scans(quietCall, limit, secondEstimate);
  EXPECT_FALSE(scans.fresh());
  EXPECT_TRUE(scans.left());
  // The next call may run one again.
  qxh::CallBudget nextCall = beginAt(80000);
  qxh::StageBudget nextTurn(nextCall, limit, secondEstimate);
  EXPECT_TRUE(nextTurn.holdsSystemStep());
}

}  // namespace
