// Directive text from the server and the player's request commands, through
// the real entry points: the server side sends the directive, the client's
// command processor runs it, and requests come back to the server side.
#include <gtest/gtest.h>

#include "channel_fixture.h"

namespace channeltest {
namespace {

TEST_F(ChannelTest, DirectivesThatAnswerLocally) {
  sendE(peer::directive("QX_NETSTAT"));
  EXPECT_TRUE(host.printedPart("In="));
  host.clearOutput();
  sendE(peer::directive("qx_netstat"));
  EXPECT_TRUE(host.printedPart("In="));
  host.clearOutput();
  sendE(peer::directive("qx_cmd say hello"));
  ASSERT_EQ(host.namedOps.size(), 1u);
  EXPECT_EQ(host.namedOps[0].name, "Cmd_Exec");
  EXPECT_EQ(host.namedOps[0].argument, "say hello");
  host.clearOutput();
  // Without its terminator the line ends with the message.
  sendE(peer::text("\tqx_cmd say unterminated", false));
  ASSERT_EQ(host.namedOps.size(), 1u);
  EXPECT_EQ(host.namedOps[0].argument, "say unterminated");
  host.clearOutput();
  sendE(peer::directive("no such directive"));  // ignored silently
  EXPECT_TRUE(host.texts.empty());
}

TEST_F(ChannelTest, DirectivesThatSendRequests) {
  struct Case {
    const char *line, *request;
  } cases[] = {
      {"QX_CVAR= rate", "BBrate"},
      {"QX_ALIST some text", "BTsome text"},
      {"QX_RCON status", "Vstatus"},
      {"QX_SREQ abc", "BR abc"},
      {"qx_ypg_Vote yes", "Aqx_ypg_Vote yes"},
      {"qx_Kick 3", "U3"},
  };
  for (const Case &c : cases) {
    host.clearOutput();
    sendE(peer::directive(c.line));
    const auto r = replies();
    ASSERT_EQ(r.size(), 1u) << c.line;
    EXPECT_EQ(r[0].kind, "request");
    EXPECT_EQ(r[0].message, peer::text(c.request)) << c.line;
  }
}

TEST_F(ChannelTest, PlayerCommandsSendRequests) {
  struct Case {
    const char *line;
    Bytes request;
  } cases[] = {
      {"qx_Plist", {'B', 'D', ' ', 0}},
      {"qx_plist all", peer::text("BD all")},
      {"qx_Power", {'B', 'J', ' ', 0}},
      {"qx_Kick 3", {'U', '3', 0}},
      {"qx_CvarVal cl_maxpackets", peer::text("BBcl_maxpackets")},
      {"QX_YPG_hello there", peer::text("AQX_YPG_hello there")},
  };
  for (const Case &c : cases) {
    host.clearOutput();
    host.console(c.line);
    host.pump(2);
    const auto sent = packets();
    ASSERT_EQ(sent.size(), 1u) << c.line;
    EXPECT_EQ(sent[0].message, c.request) << c.line;
    EXPECT_TRUE(host.texts.empty()) << c.line;  // nothing printed locally
  }
}

}  // namespace
}  // namespace channeltest
