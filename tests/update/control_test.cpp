// Control messages: what the client takes from them, the old-server
// warning, the host-number notice with the emptied key, and the all-current
// path that derives the key and sends the ready message.
#include <gtest/gtest.h>

#include <cstring>

#include "channel/channel.h"
#include "common/text.h"
#include "module_fixture.h"
#include "peer/regnames_peer.h"
#include "peer/transfer_peer.h"
#include "regnames/regnames.h"

namespace moduletest {
namespace {

TEST_F(ModuleTest, AllCurrentDerivesTheKeyAndSendsTheReadyMessage) {
  control(wanting(1199, 0));
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(host.gi.agentParams[i], kHostNumbers[i]);
  EXPECT_EQ(client().channel.serverVersion, 1092);
  EXPECT_STREQ(qx::channel::keyText(), pendingKey.c_str());
  const auto r = replies();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].kind, "ready");
  EXPECT_EQ(r[0].platform, p::kThisPlatform.letter);
  EXPECT_EQ(r[0].client, 1199);
  EXPECT_EQ(packets()[0].type, 'E');  // under the new key
  EXPECT_EQ(key, pendingKey);
  EXPECT_FALSE(exists(agentFile()));

  // Identity-addressed messages now reach the client and get replies.
  host.clearOutput();
  send(peer::identityAddressed("SrvGuid42", kHostNumbers[2],
                               peer::serverText("for you alone")));
  EXPECT_TRUE(host.printed("for you alone"));
  bool accepted = false;
  for (const peer::Unframed &u : packets())
    accepted |= peer::decodeReply(u.message).number == p::kIdentityAccepted;
  EXPECT_TRUE(accepted);
}

TEST_F(ModuleTest, AllCurrentReportsTheRegisteredNames) {
  ASSERT_EQ(qx::regnames::addRegisteredName(&host.gi, "Bob", "pw", "Full", 0),
            1);
  host.clearOutput();
  control(wanting(1199, 0));
  std::vector<std::string> order;
  for (const peer::Unframed &u : packets()) {
    const peer::RegisteredNamesReport names =
        peer::decodeRegisteredNames(u.message);
    if (names.ok) {
      ASSERT_EQ(names.names.size(), 1u);
      EXPECT_EQ(names.names[0].match, "Bob");
      order.push_back("names");
    } else {
      order.push_back(
          peer::decodeModuleReply(peer::unseal(u.message).message).kind);
    }
  }
  EXPECT_EQ(order, (std::vector<std::string>{"ready", "names"}));

  // Not when something is still to be installed.
  host.clearOutput();
  client().settings.security = 0;
  control(wanting(1199, 1301));
  for (const peer::Unframed &u : packets())
    EXPECT_FALSE(peer::decodeRegisteredNames(u.message).ok);
}

// A transfer that stopped 20 s ago is dropped by a control message that
// finds something to install, so the package can be pushed afresh.
TEST_F(ModuleTest, AStaleTransferIsAbandoned) {
  client().settings.security = 0;
  const std::string content(5000, 'x');
  peer::FilePush push(p::kThisPlatform.letter + std::string("a001301.htm"),
                      Bytes(content.begin(), content.end()));
  control(wanting(1199, 0));
  send(push.announcement());
  send(push.chunk(0));
  ASSERT_NE(client().update.transfer.buffer, nullptr);
  host.advance(20000);
  control(wanting(1199, 0));  // all current: the transfer may go on
  ASSERT_NE(client().update.transfer.buffer, nullptr);
  control(wanting(1199, 1301));
  EXPECT_EQ(client().update.transfer.buffer, nullptr);
  EXPECT_EQ(client().update.transfer.path[0], '\0');
}

TEST_F(ModuleTest, TheServerAssignedGuid) {
  struct Case {
    const char *word;
    const char *stored;
  } cases[] = {
      {"", "?"},
      {"?", "?"},
      {"?abc", "?"},
      {"Abc", "Abc"},
      {"0123456789012345678901234567890123456789",
       "01234567890123456789012345678901"},
  };
  for (const Case &c : cases) {
    direct(peer::controlText(std::string("S 1092 1199 0 1 2 3 4 ") + c.word));
    EXPECT_STREQ(host.gi.serverGuid, c.stored) << c.word;
  }
  // Only the first real GUID is logged.
  int logged = 0;
  for (const std::string &t : host.texts)
    logged += t.rfind("QX Server assigned guid = ", 0) == 0;
  EXPECT_EQ(logged, 1);
  EXPECT_TRUE(host.printed("QX Server assigned guid = Abc"));
}

TEST_F(ModuleTest, OldServerWarning) {
  direct(peer::controlText("S 1092 1092 0 1 2 3 4 g"));
  const std::string warning =
      "  Quellor Reports QX Server Running Old Version C1.092 ";
  EXPECT_TRUE(host.printed(warning));
  ASSERT_FALSE(host.forwarded.empty());
  EXPECT_NE(host.forwarded.back().find(warning), std::string::npos);

  // An agent older than the one loaded is named too.
  useAgent(QX_BUILT(QX_AGENT_1301));
  host.clearOutput();
  direct(peer::controlText("S 1092 1092 1300 1 2 3 4 g"));
  EXPECT_TRUE(host.printed(warning + "A1300"));
  host.clearOutput();
  direct(peer::controlText("S 1092 1199 1301 1 2 3 4 g"));
  EXPECT_FALSE(host.printedPart("Old Version"));
}

TEST_F(ModuleTest, NewHostNumbersEmptyTheKeyAndAreNoticedEvery120Seconds) {
  control(wanting(1199, 0));
  ASSERT_STRNE(qx::channel::keyText(), "");
  host.advance(120000);
  host.clearOutput();
  peer::Control c = wanting(1199, 0);
  c.numbers[0] = 4321;
  c.agentVersion = 5;  // not current: the key stays empty
  qx::client().settings.security = 0;
  control(c);
  EXPECT_STREQ(qx::channel::keyText(), "");
  EXPECT_TRUE(
      host.printed("QX Server S1.092 wants agent A5 and client C1.199"));
  ASSERT_FALSE(packets().empty());
  EXPECT_EQ(packets().back().type, 'P');  // the package request, unscrambled

  // The number is forgotten after a message that is not all current, so
  // the next one notes it again, but the notice waits for 120 s.
  host.clearOutput();
  control(c);
  EXPECT_FALSE(host.printedPart("QX Server S1.092"));
  host.advance(120000);
  control(c);
  EXPECT_TRUE(host.printedPart("QX Server S1.092"));
}

TEST_F(ModuleTest, TimersOfTheFrameDriverFireAtTheNextFrame) {
  const uint32_t now = qxtest::FakeHost::now;
  client().frame.mark30 = now;
  client().frame.mark67 = now;
  direct(peer::controlText("S 1092 1199 0 1 2 3 4 g"));
  EXPECT_EQ(client().frame.mark30, now - 31000);
  EXPECT_EQ(client().frame.mark67, now - 68000);
  client().frame.mark30 = now - 40000;  // already due: left alone
  direct(peer::controlText("S 1092 1199 0 1 2 3 4 g"));
  EXPECT_EQ(client().frame.mark30, now - 40000);
}

TEST_F(ModuleTest, AutoExecIsForwardedOnTheFirstControlMessageOnly) {
  qx::copyText(client().settings.autoExec, "server.cfg", 31);
  direct(peer::controlText("S 1092 1199 0 1 2 3 4 g"));
  direct(peer::controlText("S 1092 1199 0 1 2 3 4 g"));
  ASSERT_EQ(host.forwarded.size(), 1u);
  EXPECT_EQ(host.forwarded[0], "exec server.cfg");
}

// Malformed words never crash and follow the decimal reader: no sign, digits
// up to the first other character, wrapping at 2^32.
TEST_F(ModuleTest, MalformedControlMessages) {
  client().settings.security = 0;
  struct Case {
    const char *text;
    int32_t server, wantedClient, wantedAgent, first;
    const char *request;  // the package request sent, or ""
  } cases[] = {
      {"", 0, 0, 0, 0, ""},
      {"S", 0, 0, 0, 0, ""},
      {"S 1092 1199", 1092, 1199, 0, 0, ""},
      {"S -1092 -1199 -5 -1 2 3 4 g", 1092, 1199, 5, 1, "agent"},
      {"S x1 y z 7q", 0, 0, 0, 7, ""},
      {"S 99999999999 4294967295 4294967296 1", 1215752191, -1, 0, 1, ""},
      {"S 1092 1199 2147483647 1 2 3 4 g", 1092, 1199, 2147483647, 1, "agent"},
      {"S 1092 0 0 1 2 3 4 g", 1092, 0, 0, 1, ""},
  };
  for (const Case &c : cases) {
    host.advance(5000);  // package requests are spaced
    host.clearOutput();
    direct(peer::controlText(c.text));
    EXPECT_EQ(client().channel.serverVersion, c.server) << c.text;
    EXPECT_EQ(client().update.modules.wantedClient, c.wantedClient) << c.text;
    EXPECT_EQ(client().update.modules.wantedAgent, c.wantedAgent) << c.text;
    EXPECT_EQ(host.gi.agentParams[0], c.first) << c.text;
    const auto r = replies();
    const bool requested = !r.empty() && r.back().kind == "agent-package";
    EXPECT_EQ(requested, std::string(c.request) == "agent") << c.text;
    if (requested) {
      EXPECT_EQ(r.back().wanted, c.wantedAgent);
    }
  }
}

}  // namespace
}  // namespace moduletest
