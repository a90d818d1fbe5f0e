// Requests sent on the player's behalf, as the server receives them.
#include <gtest/gtest.h>

#include <functional>

#include "channel_fixture.h"

namespace channeltest {
namespace {

using channel::Request;

TEST_F(ChannelTest, RequestTexts) {
  struct Case {
    Request request;
    std::string args;
    std::string text;  // without the terminator, which is always sent
  } cases[] = {
      {Request::kPlayerList, "", "BD "},
      {Request::kPlayerList, "all", "BD all"},
      {Request::kAdminList, "x", "BTx"},
      {Request::kPower, "2 up", "BJ 2 up"},
      {Request::kKick, "3", "U3"},
      {Request::kVariableValue, "rate", "BBrate"},
      {Request::kRcon, "status", "Vstatus"},
      {Request::kReport, "abc", "BR abc"},
      {Request::kRawText, "qx_ypg_hello there", "Aqx_ypg_hello there"},
      // Cut to the buffer: 255 characters of text, and 255 characters of
      // variable name after "BB".
      {Request::kPlayerList, std::string(300, 'p'),
       "BD " + std::string(252, 'p')},
      {Request::kVariableValue, std::string(300, 'v'),
       "BB" + std::string(255, 'v')},
  };
  for (const Case &c : cases) {
    host.clearOutput();
    client().channel.rawWindowStart = 0;
    channel::sendRequest(&host.gi, c.request, c.args.c_str());
    const auto sent = packets();
    ASSERT_EQ(sent.size(), 1u) << c.text;
    EXPECT_EQ(sent[0].message, peer::text(c.text)) << c.text;
  }
  host.clearOutput();
  channel::sendRequest(&host.gi, Request::kPlayerList, nullptr);
  EXPECT_EQ(host.sent.at(0).bytes.size(), 8u + 4u);
}

TEST_F(ChannelTest, LongRawTextKeepsItsTerminator) {
  channel::sendRequest(&host.gi, Request::kRawText,
                       std::string(2000, 'r').c_str());
  const auto sent = packets();
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(sent[0].message.size(), 1100u);
  EXPECT_EQ(sent[0].message.front(), 'A');
  EXPECT_EQ(sent[0].message.back(), 0);
}

TEST_F(ChannelTest, RawTextThrottleAllowsTwoPerTwoSeconds) {
  const uint32_t start = qxtest::FakeHost::now;
  channel::sendRequest(&host.gi, Request::kRawText, "qx_ypg_1");
  host.advance(300);
  channel::sendRequest(&host.gi, Request::kRawText, "qx_ypg_2");
  host.advance(300);
  channel::sendRequest(&host.gi, Request::kRawText, "qx_ypg_3");  // dropped
  EXPECT_EQ(host.sent.size(), 2u);
  qxtest::FakeHost::now = start + 1999;
  channel::sendRequest(&host.gi, Request::kRawText,
                       "qx_ypg_4");  // still the same window
  EXPECT_EQ(host.sent.size(), 2u);
  qxtest::FakeHost::now = start + 2000;
  channel::sendRequest(&host.gi, Request::kRawText, "qx_ypg_5");
  ASSERT_EQ(host.sent.size(), 3u);
  EXPECT_EQ(packets()[2].message, peer::text("Aqx_ypg_5"));
}

TEST_F(ChannelTest, RequestsAreSealedWhenAllowed) {
  client().channel.sealAllowance = 1;
  channel::sendRequest(&host.gi, Request::kKick, "7");
  channel::sendRequest(&host.gi, Request::kKick, "8");
  const auto r = replies();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_TRUE(r[0].sealed);
  EXPECT_TRUE(r[0].sealValid);
  EXPECT_EQ(r[0].message, peer::text("U7"));
  EXPECT_FALSE(r[1].sealed);
}

}  // namespace
}  // namespace channeltest
