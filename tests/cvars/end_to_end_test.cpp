// Rules and queries end to end: the server side (peer/) sends rule sets and
// queries through the real entry points and decodes the client's replies.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../channel/channel_fixture.h"
#include "cvars/rules.h"
#include "peer/cvars_peer.h"

using qx::client;
using qx::peer::Bytes;
namespace peer = qx::peer;

namespace channeltest {
namespace {

class CvarsEndToEnd : public ChannelTest {
 protected:
  // As after joining the server: no rules yet, so the client asks for them.
  void SetUp() override {
    ChannelTest::SetUp();
    qx::cvars::resetRulesForServer();
  }
  // The client's replies, unsealed (a bad seal fails the test) and decoded.
  // Until it holds a complete rule set the client also asks for the rules
  // every eight seconds; those requests are left out unless wanted.
  std::vector<peer::VariableReply> variableReplies(bool ruleRequests = false) {
    std::vector<peer::VariableReply> out;
    for (const peer::Reply &r : replies()) {
      EXPECT_TRUE(!r.sealed || r.sealValid);
      out.push_back(peer::decodeVariableReply(r.message));
      if (!ruleRequests && out.back().kind == "rule-request") out.pop_back();
    }
    return out;
  }
  void sendAll(const std::vector<Bytes> &messages) {
    for (const Bytes &m : messages) sendE(m);
  }
  peer::RuleSet rules{{"cl_maxpackets in 30 100", "rate in 8000 25000",
                       "r_picmip out 3 10", "model exclude BOT"}};
};

TEST_F(CvarsEndToEnd, ACompleteRuleSetIsListed) {
  host.cvars["cl_maxpackets"] = "30";
  host.cvars["rate"] = "25000";
  host.cvars["r_picmip"] = "1";
  host.cvars["model"] = "sarge";
  sendAll(rules.messages(0, 3));
  EXPECT_EQ(client().cvars.ruleState, qx::cvars::kRulesComplete);
  EXPECT_TRUE(
      host.printed("cl_maxpackets = \"30\" : must be INSIDE 30 to 100 (OK)"));
  EXPECT_TRUE(
      host.printed("model = \"sarge\" : must NOT INCLUDE \"BOT\" (OK)"));
  EXPECT_TRUE(host.printed("0 Current Cvar Violations"));
}

TEST_F(CvarsEndToEnd, AnIncompleteSetIsAskedForAgainAndCompleted) {
  // Asked for at once after joining, as nothing has arrived.
  host.clearOutput();
  host.advance(8000);
  host.pump(2);
  std::vector<peer::VariableReply> r = variableReplies(true);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].kind, "rule-request");
  EXPECT_EQ(r[0].number, 0u);
  host.clearOutput();
  // Two rule lines, no count line: asked again after 500 ms, then every
  // eight seconds.
  sendE(rules.messages(0, 2, false)[0]);
  ASSERT_EQ(client().cvars.ruleState, 2);
  r = variableReplies(true);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].kind, "rule-request");
  EXPECT_EQ(r[0].number, 2u);
  host.clearOutput();
  host.pump(6);
  EXPECT_TRUE(host.sent.empty());
  host.pump(2);
  EXPECT_EQ(variableReplies(true).size(), 1u);
  sendAll(rules.resend(static_cast<int32_t>(r[0].number)));
  EXPECT_EQ(client().cvars.ruleState, qx::cvars::kRulesComplete);
  EXPECT_EQ(client().cvars.rules.count, 4);
  host.clearOutput();
  host.pump(20);
  EXPECT_TRUE(variableReplies(true).empty());
}

TEST_F(CvarsEndToEnd, ViolationsWarnAndAreReportedAfterAWatchedQuery) {
  host.cvars["rate"] = "25000";
  sendAll(peer::RuleSet{{"rate in 8000 25000"}}.messages());
  host.cvars["rate"] = "90000";  // the player changes it
  host.clearOutput();
  host.pump(2);
  EXPECT_TRUE(host.printedPart("Cvar Violation: rate = \"90000\""));
  EXPECT_TRUE(host.sent.empty());  // not reported until asked for

  client().channel.sealAllowance = 5;
  sendE(peer::variableQuery("rate", true));
  auto r = variableReplies();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].kind, "watched");
  EXPECT_EQ(r[0].text, "rate = \"90000\"");
  host.clearOutput();
  host.advance(10000);
  host.pump(4);  // queued for 4 ms: out with the next work frame
  r = variableReplies();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].kind, "watched");
  // A new server ends the reports.
  host.serverAddress = "10.9.9.9:27960";
  host.pump(2);
  sendAll(peer::RuleSet{{"rate in 8000 25000"}}.messages());
  host.clearOutput();
  host.advance(20000);
  host.pump(4);
  for (const auto &reply : variableReplies()) EXPECT_NE(reply.kind, "watched");
}

TEST_F(CvarsEndToEnd, QueriesAreAnsweredWithDecodableReplies) {
  host.cvars["sensitivity"] = "5";
  host.cvars["rcon_password"] = "x";
  host.keys[3] = {"MOUSE1", "+attack"};
  host.cvarFlags["zz_mine"] = 0x80;
  host.cvars["zz_mine"] = "1";
  host.cvarDefaults["sensitivity"] = "3";
  client().channel.sealAllowance = 100;
  struct Case {
    Bytes request;
    const char *kind, *text;
  } cases[] = {
      {peer::variableQuery("sensitivity", false), "variable",
       "sensitivity = \"5\""},
      {peer::bindingSearch("attack"), "bindings",
       "[MOUSE1 = +attack] [1 key binding match found]"},
      {peer::variableSearch("sens"), "variables",
       "\"sensitivity\" [1 cvar match found]"},
      {peer::variableSearch("pass"), "variables", "[0 cvar matches found]"},
      {peer::userVariablesQuery(), "variables",
       "\"zz_mine\" [1 user cvar found]"},
      {peer::changedVariablesQuery(), "variables",
       "\"sensitivity\" [1 changed cvar found]"},
      {peer::listRequest(77, 75, "players"), "list-ack", "36"},
  };
  for (const Case &c : cases) {
    host.clearOutput();
    sendE(c.request);
    const auto r = variableReplies();
    ASSERT_EQ(r.size(), 1u) << c.kind;
    EXPECT_EQ(r[0].kind, c.kind);
    EXPECT_EQ(r[0].text, c.text);
  }
  EXPECT_EQ(peer::listAcknowledgement(77, 75), 36u);
  host.clearOutput();
  sendE(peer::variableQuery("rcon_password", false));
  EXPECT_TRUE(variableReplies().empty());
}

}  // namespace
}  // namespace channeltest
