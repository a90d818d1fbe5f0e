// The delayed-send queue "FLOU" and the bound the event drain puts on the
// packets sent in one frame.
#include <gtest/gtest.h>

#include "channel_fixture.h"
#include "console/record_list.h"
#include "host/event_queue.h"
#include "test_heap.h"

namespace channeltest {
namespace {

const Bytes kReply = {'T', '4', '0', '0', '0', '1', 0};

TEST_F(ChannelTest, QueuedMessageLeavesOnceItsDelayHasPassed) {
  const uint32_t start = qxtest::FakeHost::now;
  channel::queueMessage(kReply.data(), 7, 12);
  channel::flushQueue(&host.gi, start + 11);
  EXPECT_TRUE(host.sent.empty());
  channel::flushQueue(&host.gi, start + 12);
  channel::flushQueue(&host.gi, start + 40);
  const auto sent = packets();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].message, kReply);
}

TEST_F(ChannelTest, SentRecordsAreReusedAndAllDueRecordsLeaveTogether) {
  const uint32_t start = qxtest::FakeHost::now;
  channel::queueMessage(kReply.data(), 7, 1);
  channel::queueMessage(kReply.data(), 7, 2);
  channel::queueMessage(kReply.data(), 7, 100);
  channel::flushQueue(&host.gi, start + 5);
  EXPECT_EQ(host.sent.size(), 2u);
  channel::queueMessage(kReply.data(), 7, 3);  // takes a freed record
  EXPECT_EQ(client().channel.outbound.count, 3);
  channel::queueMessage(kReply.data(), 7, 0);  // delay 0: now
  EXPECT_EQ(host.sent.size(), 3u);
}

TEST_F(ChannelTest, FailedQueueAllocationDropsOnlyThatMessage) {
  qxtest::failAllocations(qxtest::everyAllocation);
  channel::queueMessage(kReply.data(), 7, 5);
  qxtest::failAllocations(nullptr);
  EXPECT_EQ(client().channel.outbound.count, 0);
  channel::queueMessage(kReply.data(), 7, 5);
  channel::flushQueue(&host.gi, qxtest::FakeHost::now + 5);
  EXPECT_EQ(host.sent.size(), 1u);
}

// While the client sits on the local server nothing is flushed: the queue
// stops at 256 records, and a server change drops them all unsent, so no
// reply meant for one server reaches the next.
TEST_F(ChannelTest, QueueIsCappedAndEmptiedWhenTheServerChanges) {
  host.serverAddress = "localhost:27960";
  host.pump(2);
  ASSERT_EQ(client().frame.connected, 0);
  sendE(peer::serverText("key"));  // the channel key now exists
  for (int i = 0; i < 300; ++i) {
    host.packet(peer::frameScrambled(key, peer::queryAlive()));
    if (i % 100 == 99) host.pump(2);
  }
  host.pump(2);
  EXPECT_EQ(client().events.count, 0);
  EXPECT_EQ(client().channel.outbound.count, 256);
  EXPECT_TRUE(host.sent.empty());

  host.serverAddress = "10.9.9.9:27960";
  host.pump(4);
  EXPECT_EQ(client().channel.outbound.count, 0);
  for (const peer::Reply &r : replies()) EXPECT_NE(r.kind, "alive");
}

// Each 'T' request whose alive number is a multiple of 50 answers at once,
// and its addressed echo request answers at once too: two packets per event.
TEST_F(ChannelTest, DrainStopsAfterTheEventThatPassedFourPackets) {
  assignServerGuid();
  // Find a generator state whose next three alive numbers are multiples
  // of 50.
  uint32_t seed = 1;
  for (;; ++seed) {
    qx::platform::Random r;
    r.seed(seed);
    if (r.next() % 50 == 0 && r.next() % 50 == 0 && r.next() % 50 == 0) break;
  }
  const Bytes request = peer::aliveRequest(
      peer::addressedBody(kServerGuid, kHostNumbers[2], peer::aliveEcho()));
  sendE(peer::serverText("key"));
  for (int i = 0; i < 4; ++i) host.packet(peer::frameScrambled(key, request));
  host.clearOutput();
  client().host.random.seed(seed);
  client().settings.sleep = 20;
  // Run frames until the drain has happened once.
  while (client().events.count == 4) {
    host.advance(100);
    host.frame();
  }
  EXPECT_EQ(client().events.count, 1);
  EXPECT_EQ(host.sent.size(), 6u);
}

}  // namespace
}  // namespace channeltest
