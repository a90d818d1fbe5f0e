// The deferred event queue: copies, capacity, retries, draining limits.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fake_host.h"
#include "host/client_state.h"
#include "host/event_queue.h"

using qx::client;
using qx::host::drainEvents;
using qx::host::pushEvent;
using qx::host::runNewestEvent;
using qxtest::FakeHost;

namespace {

// Event code 5 has no handler: every run refuses it.
constexpr int32_t kRefused = 5;

TEST(EventQueue, CopiesTheDataWithATerminator) {
  char source[3] = {'x', 'y', 'z'};
  EXPECT_EQ(pushEvent(14, 3, source, 0), nullptr);
  source[0] = 'q';  // the queue holds its own copy
  const qx::host::Event &e = client().events.records[0];
  EXPECT_EQ(e.length, 3);
  EXPECT_EQ(std::memcmp(e.data, "xyz\0", 4), 0);
}

TEST(EventQueue, RefusesThe257thEvent) {
  for (int i = 0; i < 256; ++i) ASSERT_EQ(pushEvent(15, 1, "a", i), nullptr);
  EXPECT_STREQ(pushEvent(15, 1, "a", 0), "QX ERROR: Event Overflow");
  EXPECT_EQ(client().events.count, 256);
  EXPECT_EQ(client().events.records[255].retries, 255);
}

TEST(EventQueue, OverflowReachesTheHost) {
  FakeHost host;
  for (int i = 0; i < 256; ++i) ASSERT_EQ(host.call(15, 1, "a"), 0);
  const intptr_t r = host.call(15, 1, "a");
  ASSERT_NE(r, 0);
  EXPECT_STREQ(reinterpret_cast<const char *>(r), "QX ERROR: Event Overflow");
}

TEST(EventQueue, RefusedEventIsRetriedThenDropped) {
  FakeHost host;
  pushEvent(kRefused, 2, "ab", 2);
  for (int retriesLeft : {1, 0}) {
    drainEvents(&host.gi, 0, true);
    ASSERT_EQ(client().events.count, 1);
    EXPECT_EQ(client().events.records[0].retries, retriesLeft);
    EXPECT_STREQ(reinterpret_cast<char *>(client().events.records[0].data),
                 "ab");
  }
  drainEvents(&host.gi, 0, true);
  EXPECT_EQ(client().events.count, 0);
}

TEST(EventQueue, RefusedEventWithoutRetriesIsDropped) {
  FakeHost host;
  pushEvent(kRefused, 0, nullptr, 0);
  drainEvents(&host.gi, 0, true);
  EXPECT_EQ(client().events.count, 0);
}

TEST(EventQueue, DropsEventsWithoutHandler) {
  FakeHost host;
  pushEvent(15, 1, "a", 3);
  pushEvent(16, 1, "b", 3);
  drainEvents(&host.gi, 0, true);
  EXPECT_EQ(client().events.count, 0);  // consumed, not retried
}

TEST(EventQueue, DrainRunsEverythingWithoutBudget) {
  FakeHost host;
  for (int i = 0; i < 10; ++i) pushEvent(15, 1, "a", 0);
  drainEvents(&host.gi, 0, true);
  EXPECT_EQ(client().events.count, 0);
}

// Events whose handler takes time: the clock moves 3 ms per handled event.
TEST(EventQueue, DrainStopsAtTheBudget) {
  FakeHost host;
  static int calls;
  calls = 0;
  qx::platform::setTickSource([]() -> uint32_t { return 1000 + 3 * calls++; });
  for (int i = 0; i < 10; ++i) pushEvent(15, 1, "a", 0);
  drainEvents(&host.gi, 5, true);
  EXPECT_GT(client().events.count, 0);
  EXPECT_LT(client().events.count, 10);
}

TEST(EventQueue, NewestEventRunsAloneAndOthersKeepTheirOrder) {
  FakeHost host;
  pushEvent(15, 1, "1", 0);
  pushEvent(15, 1, "2", 0);
  pushEvent(kRefused, 1, "3", 1);
  runNewestEvent(&host.gi);
  // The refused third event comes back in the same slot with a fresh copy.
  ASSERT_EQ(client().events.count, 3);
  EXPECT_STREQ(reinterpret_cast<char *>(client().events.records[0].data), "1");
  EXPECT_STREQ(reinterpret_cast<char *>(client().events.records[1].data), "2");
  EXPECT_STREQ(reinterpret_cast<char *>(client().events.records[2].data), "3");
  EXPECT_EQ(client().events.records[2].retries, 0);
  runNewestEvent(&host.gi);
  EXPECT_EQ(client().events.count, 2);
}

}  // namespace
