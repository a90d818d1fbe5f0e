// Agent orders: passed to the agent with their argument, the orders the
// client answers itself, a missing or broken agent, and a fault inside it.
#include <gtest/gtest.h>

#include "module_fixture.h"
#include "platform/platform.h"

namespace moduletest {
namespace {

class OrderTest : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    control(wanting(1199, 0));  // every version current: a keyed channel
    host.clearOutput();
  }
  void order(const std::string &text) { send(peer::agentOrderText(text)); }
};

TEST_F(OrderTest, OrdersReachTheAgentWithTheirArgument) {
  place(QX_BUILT(QX_AGENT_1300), agentFile());  // loaded on demand
  struct Case {
    const char *text;
    const char *shown;
  } cases[] = {
      {"5 hello world", "agent A1300: order 5 \"hello world\""},
      {"  12\t  two  spaces ", "agent A1300: order 12 \"two  spaces \""},
      {"7", "agent A1300: order 7 \"\""},
      {"-9 x", "agent A1300: order 9 \"x\""},  // the reader has no sign
  };
  for (const Case &c : cases) {
    host.clearOutput();
    order(c.text);
    EXPECT_TRUE(host.printed(c.shown)) << c.text;
    EXPECT_FALSE(host.printedPart("ERROR")) << c.text;
  }
  EXPECT_NE(host.gi.agentModule, 0u);
  EXPECT_EQ(client().update.modules.distressCount, 0);
}

TEST_F(OrderTest, AnErrorTextIsShownAndReported) {
  useAgent(QX_BUILT(QX_AGENT_1300));
  order("66 please");
  EXPECT_TRUE(host.printed("ERROR: agent refused order 66"));
  EXPECT_EQ(client().update.modules.distressCount, 1);
}

TEST_F(OrderTest, OrdersWithoutANumberAreDropped) {
  for (const char *text : {"", "   ", "hello 5", "- x"}) {
    order(text);
    EXPECT_TRUE(host.texts.empty()) << text;
  }
  EXPECT_EQ(host.gi.agentModule, 0u);  // not even loaded
}

TEST_F(OrderTest, TheClientAnswersTheAliveOrderItself) {
  useAgent(QX_BUILT(QX_AGENT_1300));
  order("9998 anything");
  const auto r = repliesOf("agent-alive");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_GE(r[0].number, 130500u);
  EXPECT_LT(r[0].number, 130600u);
  EXPECT_TRUE(host.texts.empty());  // the agent was not called
}

TEST_F(OrderTest, UnloadOrderAndReloadOnDemand) {
  useAgent(QX_BUILT(QX_AGENT_1300));
  order("78");
  EXPECT_EQ(host.gi.agentModule, 0u);
  order("5 again");
  EXPECT_TRUE(host.printed("agent A1300: order 5 \"again\""));
  EXPECT_NE(host.gi.agentModule, 0u);
}

TEST_F(OrderTest, VersionOrdersStoreTheVersionInsteadOfShowingIt) {
  useAgent(QX_BUILT(QX_AGENT_1300));
  client().host.agentVersion = 0;
  order("77");
  EXPECT_EQ(client().host.agentVersion, 1300);
  EXPECT_TRUE(host.texts.empty());
}

TEST_F(OrderTest, AMissingOrBrokenAgentIsReported) {
  order("5 x");
  EXPECT_TRUE(host.printed(std::string("ERROR loading qxag") +
                           p::kThisPlatform.suffix + " (A)"));
  EXPECT_EQ(client().update.modules.distressCount, 1);

  host.clearOutput();
  host.advance(30000);
  place(QX_BUILT(QX_AGENT_NOEXPORT), agentFile());
  order("5 x");
  EXPECT_TRUE(host.printed(std::string("ERROR loading qxag") +
                           p::kThisPlatform.suffix + " (B)"));
  EXPECT_EQ(client().update.modules.distressCount, 2);
}

// The fault abandons the handling of the packet that carried the order,
// which is not handled again, and the next orders reach the agent.
TEST_F(OrderTest, AFaultInsideTheAgentIsContainedAndTheGameGoesOn) {
  useAgent(QX_BUILT(QX_AGENT_1300));
  // Through the game's connection, which the event queue drains.
  order("13 crash");
  EXPECT_TRUE(host.printed("O/S Exception Notice"));
  host.clearOutput();
  order("5 next");
  EXPECT_TRUE(host.printed("agent A1300: order 5 \"next\""));
  EXPECT_FALSE(host.printed("O/S Exception Notice"));

  // On the client's own UDP socket, which the work frame reads in place.
  namespace platform = qx::platform;
  uint16_t port = 0;
  for (uint16_t p = 28600; p < 28700 && !port; ++p) {
    client().settings.netPort = p;
    host.pump(2);
    if (client().settings.netPort == p) port = p;
  }
  ASSERT_NE(port, 0);
  const platform::Socket sender = platform::udpOpen();
  ASSERT_NE(sender, platform::kNoSocket);
  auto datagram = [&](const Bytes &message) {
    const Bytes packet = peer::frameScrambled(key, message);
    platform::socketSendTo(sender, "127.0.0.1", port, packet.data(),
                           static_cast<int>(packet.size()));
    host.pump(4);
  };
  host.clearOutput();
  datagram(peer::agentOrder(13, "crash"));
  EXPECT_TRUE(host.printed("O/S Exception Notice"));
  host.clearOutput();
  datagram(peer::agentOrder(5, "still here"));
  EXPECT_TRUE(host.printed("agent A1300: order 5 \"still here\""));
  EXPECT_FALSE(host.printed("O/S Exception Notice"));
  order("5 and here");
  EXPECT_TRUE(host.printed("agent A1300: order 5 \"and here\""));
  platform::socketClose(sender);
}

}  // namespace
}  // namespace moduletest
