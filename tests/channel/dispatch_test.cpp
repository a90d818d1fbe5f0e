// Dispatch of server messages and the replies the channel itself gives:
// alive requests, the echo, identity-addressed messages, the host-entry
// lookup, server text and screenshot restarts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "channel_fixture.h"
#include "common/heap.h"
#include "peer/cvars_peer.h"
#include "screenshot/capture.h"
#include "screenshot/screenshot.h"

namespace channeltest {
namespace {

Bytes addressed(const Bytes &inner, const std::string &guid = kServerGuid) {
  return peer::identityAddressed(guid, kHostNumbers[2], inner);
}

TEST_F(ChannelTest, UnknownCodesAreConsumedSilently) {
  Bytes message = {'Z', 1, 2};
  EXPECT_EQ(channel::dispatchMessage(&host.gi, 3, message.data()), 1);
  EXPECT_EQ(channel::dispatchMessage(&host.gi, 0, message.data()), 1);
  Bytes query = {'B', '?'};
  EXPECT_EQ(channel::dispatchMessage(&host.gi, 2, query.data()), 1);
  EXPECT_EQ(client().channel.dispatched, 3u);
  EXPECT_TRUE(host.sent.empty());
  EXPECT_TRUE(host.texts.empty());
}

TEST_F(ChannelTest, ServerTextIsShownAndBoundedByTheMessage) {
  sendE(peer::serverText("Welcome to the server"));
  EXPECT_TRUE(host.printed("Welcome to the server"));
  sendE({'A', 'n', 'o', 'z', 'e', 'r', 'o'});  // no terminator
  EXPECT_TRUE(host.printed("nozero"));
}

TEST_F(ChannelTest, AliveRequestAnswersThenAnswersTheAddressedPart) {
  assignServerGuid();
  sendE(peer::aliveRequest(peer::addressedBody(kServerGuid, kHostNumbers[2],
                                               peer::serverText("inner"))));
  EXPECT_TRUE(host.printed("inner"));
  const auto r = replies();
  ASSERT_EQ(r.size(), 2u);
  // Sent at once or after alive mod 50 ms: either may leave first.
  const peer::Reply &alive = r[0].kind == "alive" ? r[0] : r[1];
  const peer::Reply &identity = r[0].kind == "alive" ? r[1] : r[0];
  EXPECT_EQ(alive.kind, "alive");
  EXPECT_GE(alive.number, 130700u);
  EXPECT_LT(alive.number, 130800u);
  EXPECT_EQ(client().channel.aliveNumber, alive.number);
  EXPECT_EQ(identity.kind, "identity");
  EXPECT_EQ(identity.number, 40003u);

  host.clearOutput();
  sendE(peer::aliveEcho());
  const auto echo = replies();
  ASSERT_EQ(echo.size(), 1u);
  EXPECT_EQ(echo[0].kind, "echo");
  EXPECT_EQ(echo[0].number, alive.number);
}

// The identity replies among the replies, in the order they left.
std::vector<uint32_t> identityReplies(const std::vector<peer::Reply> &r) {
  std::vector<uint32_t> out;
  for (const peer::Reply &reply : r)
    if (reply.kind == "identity") out.push_back(reply.number);
  return out;
}

TEST_F(ChannelTest, IdentityAddressedMessages) {
  const Bytes text = peer::serverText("inner");
  struct Case {
    const char *name;
    int32_t serverVersion;
    const char *clientGuid;  // server-assigned GUID the client holds
    Bytes message;
    std::vector<uint32_t> replies;
    bool innerRuns;
  } cases[] = {
      {"old server", 1091, kServerGuid, addressed(text), {}, false},
      {"no GUID", 1092, "", addressed(text), {40001}, false},
      // The record holds a placeholder until the server assigns a GUID.
      {"placeholder GUID", 1092, "?", addressed(text, "?"), {40001}, false},
      {"placeholder text",
       1092,
       "?none",
       addressed(text, "?none"),
       {40001},
       false},
      {"right GUID", 1092, kServerGuid, addressed(text), {40003}, true},
      {"other GUID",
       1092,
       kServerGuid,
       addressed(text, "OtherGuid"),
       {40002},
       false},
      {"shorter than the GUID",
       1092,
       kServerGuid,
       {0x03, 'S', 'r', 'v'},
       {40002},
       false},
      // One addressed message inside another is unwrapped; a third level
      // is not, and only the two outer ones answer.
      {"one level of nesting",
       1092,
       kServerGuid,
       addressed(addressed(text)),
       {40003, 40003},
       true},
      {"two levels of nesting",
       1092,
       kServerGuid,
       addressed(addressed(addressed(text))),
       {40003, 40003},
       false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    host.clearOutput();
    client().channel.serverVersion = c.serverVersion;
    std::snprintf(host.gi.serverGuid, sizeof host.gi.serverGuid, "%s",
                  c.clientGuid);
    sendE(c.message);
    EXPECT_EQ(host.printed("inner"), c.innerRuns);
    const auto r = replies();
    EXPECT_EQ(r.size(), c.replies.size());
    EXPECT_EQ(identityReplies(r), c.replies);
    if (!c.replies.empty()) {
      EXPECT_EQ(client().channel.identityReply, c.replies.back());
    }
  }
}

// An addressed message wrapping an alive request that carries its own
// addressed part: the alive reply, two addressed replies, and the text.
TEST_F(ChannelTest, AddressedAliveRequestIsAnsweredAtBothLevels) {
  assignServerGuid();
  sendE(addressed(peer::aliveRequest(peer::addressedBody(
      kServerGuid, kHostNumbers[2], peer::serverText("inner")))));
  EXPECT_TRUE(host.printed("inner"));
  const auto r = replies();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(identityReplies(r), (std::vector<uint32_t>{40003, 40003}));
  EXPECT_EQ(
      std::count_if(r.begin(), r.end(),
                    [](const peer::Reply &x) { return x.kind == "alive"; }),
      1);
}

// A fault inside the handler of a nested addressed message is contained,
// and later addressed messages are handled as before.
TEST_F(ChannelTest, FaultInsideAnAddressedMessageLeavesNothingBehind) {
  assignServerGuid();
  host.faultOnQuery = QX_Q_BIND_FIND;
  sendE(addressed(addressed(peer::bindingSearch("x"))));
  EXPECT_TRUE(host.printed("O/S Exception Notice"));
  host.faultOnQuery = 0;
  host.clearOutput();
  sendE(addressed(addressed(peer::serverText("after"))));
  EXPECT_TRUE(host.printed("after"));
  EXPECT_EQ(identityReplies(replies()), (std::vector<uint32_t>{40003, 40003}));
}

TEST_F(ChannelTest, IdentityReplyWaitsCodeModFiftyMilliseconds) {
  assignServerGuid("");
  client().channel.serverVersion = 1092;
  Bytes message = {0x03, 'x'};
  const uint32_t start = qxtest::FakeHost::now;
  channel::dispatchMessage(&host.gi, 2, message.data());
  EXPECT_TRUE(host.sent.empty());
  channel::flushQueue(&host.gi, start);
  EXPECT_TRUE(host.sent.empty());
  channel::flushQueue(&host.gi, start + 1);
  EXPECT_EQ(host.sent.size(), 1u);
}

TEST_F(ChannelTest, QueryAliveIsQueuedAndKeepsTheAliveNumber) {
  client().channel.aliveNumber = 130712;
  Bytes message = peer::queryAlive();
  channel::dispatchMessage(&host.gi, 2, message.data());
  EXPECT_TRUE(host.sent.empty());  // at least 12 ms later
  channel::flushQueue(&host.gi, qxtest::FakeHost::now + 27);
  const auto r = replies();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].kind, "alive");
  EXPECT_GE(r[0].number, 130600u);
  EXPECT_LT(r[0].number, 130700u);
  EXPECT_EQ(client().channel.aliveNumber, 130712u);
  EXPECT_EQ(client().channel.lastAliveTick, qxtest::FakeHost::now);
}

TEST_F(ChannelTest, LookupAnswersFromTheHostList) {
  const std::vector<std::string> list = {"alpha 1.2.3.4 -7", "Beta b 12",
                                         "gamma"};
  host.queryOverride = [&](int32_t code, char *buffer, int32_t size) {
    if (code != QX_Q_LIST_ENTRY) return intptr_t{1};
    const size_t index = std::strtoul(buffer, nullptr, 10);
    // Past the end the host repeats the number it was asked for.
    if (index < list.size())
      std::snprintf(buffer, static_cast<size_t>(size), "%s",
                    list[index].c_str());
    return intptr_t{0};
  };
  struct Case {
    std::string name, reply;
  } cases[] = {
      {"BETA", "BUBeta b 12"},
      {"alpha", "BUalpha 1.2.3.4 7"},
      {"delta", "BUdelta NOT_FOUND"},
      {std::string(300, 'n'), "BU" + std::string(255, 'n') + " NOT_FOUND"},
  };
  for (const Case &c : cases) {
    host.clearOutput();
    sendE(peer::lookup(c.name));
    const auto r = replies();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].kind, "lookup");
    EXPECT_EQ("BU" + r[0].text, c.reply);
    EXPECT_EQ(r[0].message.back(), 0);
  }
}

TEST_F(ChannelTest, LookupStopsAtTheListEndMarker) {
  int asked = 0;
  host.queryOverride = [&](int32_t code, char *buffer, int32_t size) {
    if (code != QX_Q_LIST_ENTRY) return intptr_t{1};
    ++asked;
    std::snprintf(buffer, static_cast<size_t>(size), "%s",
                  asked == 1 ? "one 1 1" : "\\end");
    return intptr_t{0};
  };
  sendE(peer::lookup("two"));
  EXPECT_EQ(asked, 2);
  const auto r = replies();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].text, "two NOT_FOUND");
}

TEST_F(ChannelTest, RestartWithoutImageMagicIsLogged) {
  sendE(peer::screenshotRestart("PNX"));
  EXPECT_TRUE(host.printed("Invalid Restart Packet: 50 4e 58"));
  sendE({'O', 'P'});
  EXPECT_TRUE(host.printed("Invalid Restart Packet: 50 0 0"));
}

// Slots of the screenshot upload: 0 and 1 upload 'C' (1 after 18
// restarts), 2 uploads 'D', 3 has finished uploading 'C'.
class ScreenshotRestart : public ChannelTest {
 protected:
  void SetUp() override {
    ChannelTest::SetUp();
    const struct {
      int32_t stage;
      char letter;
      int32_t restarts;
    } kSlots[] = {{3, 'C', 0}, {3, 'C', 18}, {3, 'D', 0}, {4, 'C', 0}};
    for (int i = 0; i < 4; ++i) {
      qx::screenshot::Slot &s = slot(i);
      s.stage = kSlots[i].stage;
      std::snprintf(s.text, sizeof s.text, "2 3 %d", 40 + i);
      s.number = 40 + i;
      s.restarts = kSlots[i].restarts;
      s.transfer.letter = kSlots[i].letter;
      s.transfer.chunksSent = 5;
      s.transfer.lastChunkTick = qxtest::FakeHost::now;
      s.capture = qx::screenshot::newCapture();
      s.capture->pngSize = 6000;
      s.capture->work =
          static_cast<uint8_t *>(qx::heap::allocateZeroed(6000, 1));
      s.transfer.pngData = s.capture->work;
      s.transfer.size = 6000;
      std::snprintf(s.transfer.transferName, sizeof s.transfer.transferName,
                    "scrnshot\\qx%06d.png", 40 + i);
    }
  }
  qx::screenshot::Slot &slot(int i) { return client().screenshot.slots[i]; }
  void restart(const std::string &rest) {
    Bytes m = peer::screenshotRestart(rest);
    channel::dispatchMessage(&host.gi, int(m.size()), m.data());
  }
  std::vector<int32_t> chunks() {
    std::vector<int32_t> out;
    for (int i = 0; i < 4; ++i) out.push_back(slot(i).transfer.chunksSent);
    return out;
  }
  std::vector<int32_t> restarts() {
    std::vector<int32_t> out;
    for (int i = 0; i < 4; ++i) out.push_back(slot(i).restarts);
    return out;
  }
};

TEST_F(ScreenshotRestart, MovesTheUploadingSlotsOfTheLetterBack) {
  restart("PNGC2");
  EXPECT_EQ(chunks(), (std::vector<int32_t>{2, 2, 5, 5}));
  EXPECT_EQ(restarts(), (std::vector<int32_t>{1, 19, 0, 0}));
  // The twentieth restart of slot 1 is counted but not followed.
  restart("PNGC-");
  EXPECT_EQ(chunks(), (std::vector<int32_t>{0, 2, 5, 5}));
  EXPECT_EQ(restarts(), (std::vector<int32_t>{2, 20, 0, 0}));
  restart("PNGC1");
  EXPECT_EQ(chunks(), (std::vector<int32_t>{1, 2, 5, 5}));
  // A letter no slot has, a letter 0 and a huge chunk number.
  restart("PNGZ0");
  restart(std::string("PNG\0", 4) + "0");
  EXPECT_EQ(chunks(), (std::vector<int32_t>{1, 2, 5, 5}));
  restart("PNGD4294967295");
  EXPECT_EQ(slot(2).transfer.chunksSent, 0x7FFFFFFF);
  EXPECT_TRUE(host.texts.empty());
}

TEST_F(ScreenshotRestart, RestartToZeroSendsTheHeaderAgainWithTheSameLetter) {
  restart("PNGC-");
  const uint32_t now = qxtest::FakeHost::now;
  qx::screenshot::uploadStage(&host.gi, slot(0), now + 500);
  EXPECT_TRUE(host.sent.empty());  // the chunk interval still runs
  qx::screenshot::uploadStage(&host.gi, slot(0), now + 1000);
  const auto r = packets();
  ASSERT_EQ(r.size(), 2u);
  const std::string header(r[0].message.begin(), r[0].message.end() - 1);
  EXPECT_EQ(header.substr(0, 6), "G6000 ");
  EXPECT_EQ(header.substr(header.size() - 13), "Cqx000040.png");
  EXPECT_EQ(r[1].message[0], 'H');
  EXPECT_EQ(r[1].message[1] << 8 | r[1].message[2], 0);
  EXPECT_EQ(r[1].message[3], 'C');
  // The finished slot stores and logs as before.
  for (int call = 0; call < 10 && slot(3).stage != 99; ++call) {
    uint32_t sliceEstimate = 0;
    qx::host::CallBudget entry;
    entry.begin();
    qx::host::StageBudget budget(entry, qx::host::kCallBudgetMicros,
                                 sliceEstimate);
    qx::screenshot::storeStage(&host.gi, slot(3), now, budget);
  }
  EXPECT_EQ(slot(3).stage, qx::screenshot::kStageFinished);
}

}  // namespace
}  // namespace channeltest
