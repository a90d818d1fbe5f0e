// Variable rules: parsing rule lines, the rule-set state, the test of a
// value against a rule, the listing and the per-frame check.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "cvars/rules.h"
#include "fake_host.h"
#include "host/client_state.h"

using qx::client;
using qxtest::FakeHost;
namespace cv = qx::cvars;

namespace {

cv::Rule *ruleAt(int i) {
  return qx::console::listRecord<cv::Rule>(client().cvars.rules, i);
}

void receive(FakeHost &host, const std::string &text) {
  cv::receiveRules(&host.gi, text.data(), static_cast<int>(text.size()));
}

class RulesTest : public testing::Test {
 protected:
  void SetUp() override {
    host.start();
    host.clearOutput();
  }
  int parse(const std::string &line) {
    std::string copy = line;
    return cv::parseRule(&host.gi, copy.data());
  }
  FakeHost host;
};

TEST_F(RulesTest, ParsesRuleAndCountLines) {
  struct Case {
    const char *line;
    int result;
    uint8_t kind;
    const char *name, *text;
    double low, high;
  } cases[] = {
      {"1 sv_x in 5 1", cv::kRuleAdded, 1, "sv_x", "", 1, 5},
      {"2 rate OUT 0 0", cv::kRuleAdded, 2, "rate", "", 0, 0},
      {"3 r_pic include ABC", cv::kRuleAdded, 21, "r_pic", "ABC", 0, 0},
      {"4 name Exclude \"a b\"", cv::kRuleAdded, 22, "name", "a b", 0, 0},
      {"5 \"my var\" in -2.5e1", cv::kRuleAdded, 1, "my var", "", -25, 0},
      {"6 fov in wide 90", cv::kRuleAdded, 1, "fov", "", 0, 90},
      {"7 snd in", cv::kRuleAdded, 1, "snd", "", 0, 0},
      {"12", 12, 0, nullptr, nullptr, 0, 0},
      {"-1-2", 12, 0, nullptr, nullptr, 0, 0},  // minus signs are skipped
      {"2147483647", 2147483647, 0, nullptr, nullptr, 0, 0},
      {"2147483648", cv::kRuleInvalid, 0, nullptr, nullptr, 0, 0},
      {"99999999999 x in 1 2", cv::kRuleInvalid, 0, nullptr, nullptr, 0, 0},
  };
  for (const Case &c : cases) {
    client().cvars.rules.count = 0;
    EXPECT_EQ(parse(c.line), c.result) << c.line;
    if (!c.name) {
      EXPECT_EQ(client().cvars.rules.count, 0) << c.line;
      continue;
    }
    ASSERT_EQ(client().cvars.rules.count, 1) << c.line;
    const cv::Rule &r = *ruleAt(0);
    EXPECT_EQ(r.kind, c.kind) << c.line;
    EXPECT_STREQ(r.varName, c.name) << c.line;
    EXPECT_STREQ(r.text, c.text) << c.line;
    EXPECT_DOUBLE_EQ(r.low, c.low) << c.line;
    EXPECT_DOUBLE_EQ(r.high, c.high) << c.line;
  }
}

TEST_F(RulesTest, UnreadableRuleLinesAreReportedWithTheWholeLine) {
  for (const char *line :
       {"3 name sideways 1 2", "3 name inn 1 2", "3 name zz 1 2",
        "3 name excludes x", "3 name", "3 \"\" in 1 2"}) {
    host.clearOutput();
    EXPECT_EQ(parse(line), cv::kRuleInvalid) << line;
    EXPECT_TRUE(host.printed(
        std::string("Unable to Add Cvar Check - Invalid Specification: ") +
        line))
        << line;
  }
  EXPECT_EQ(client().cvars.rules.count, 0);
}

TEST_F(RulesTest, LongNamesTextsAndNumbersAreCut) {
  const std::string name(80, 'n'), text(80, 'T');
  EXPECT_EQ(parse("1 " + name + " include " + text), cv::kRuleAdded);
  EXPECT_EQ(std::string(ruleAt(0)->varName), name.substr(0, 63));
  EXPECT_EQ(std::string(ruleAt(0)->text), text.substr(0, 63));
  EXPECT_EQ(parse("2 x in 1e999 -1e999"), cv::kRuleAdded);
  EXPECT_EQ(ruleAt(1)->high, DBL_MAX);
  EXPECT_EQ(ruleAt(1)->low, -DBL_MAX);
}

TEST(RuleViolated, TestsValuesWithToleranceAndText) {
  auto rule = [](uint8_t kind, double low, double high, const char *text) {
    cv::Rule r{};
    std::strcpy(r.varName, "v");
    r.kind = kind;
    r.low = low;
    r.high = high;
    std::strcpy(r.text, text);
    return r;
  };
  struct Case {
    cv::Rule rule;
    const char *value;
    bool violated;
  } cases[] = {
      {rule(1, 1, 5, ""), "5.0000005", false},
      {rule(1, 1, 5, ""), "5.00001", true},
      {rule(1, 1, 5, ""), "0.9999995", false},
      {rule(1, 1, 5, ""), "\"3\"", false},  // quotes are ignored
      {rule(1, 1, 5, ""), "", true},        // unreadable: 0
      {rule(1, 1, 5, ""), "nan", true},     // no number: 0
      {rule(1, 1, 5, ""), "inf", true},
      {rule(1, 1, 5, ""), "0x3", true},  // the 0 before x
      {rule(1, -1, 1, ""), "  -0.5abc", false},
      {rule(2, 0, 0, ""), "0", true},
      {rule(2, 0, 0, ""), "1", false},
      {rule(2, 1, 5, ""), "3", true},
      {rule(2, 1, 5, ""), "5.00001", false},
      {rule(21, 0, 0, "ABC"), "xabcx", false},
      {rule(21, 0, 0, "ABC"), "xyz", true},
      {rule(21, 0, 0, "abc"), "abc", true},  // a lower-case rule text
      {rule(22, 0, 0, "ABC"), "\"xAbC\"", true},
      {rule(22, 0, 0, "ABC"), "xyz", false},
      {rule(7, 0, 0, ""), "anything", false},
  };
  for (const Case &c : cases)
    EXPECT_EQ(cv::ruleViolated(c.rule, c.value), c.violated)
        << int(c.rule.kind) << " " << c.value;
}

TEST_F(RulesTest, CompleteSetIsListedAndAShortSetStaysIncomplete) {
  host.cvars["a"] = "3";
  host.cvars["b"] = "xabcx";
  receive(host, "1 a in 1 5\n 2 b include ABC\r\n2");
  EXPECT_EQ(client().cvars.ruleState, cv::kRulesComplete);
  EXPECT_TRUE(host.printed("a = \"3\" : must be INSIDE 1 to 5 (OK)"));
  EXPECT_TRUE(host.printed("b = \"xabcx\" : must INCLUDE \"ABC\" (OK)"));
  EXPECT_TRUE(host.printed("0 Current Cvar Violations"));

  cv::resetRulesForServer();
  receive(host, "1 a in 1 5\n2 a in 1 5\n3 a in 1 5\n");
  EXPECT_EQ(client().cvars.ruleState, 3);  // no count line: lines so far
  receive(host, "5");
  EXPECT_EQ(client().cvars.ruleState, 0);
  EXPECT_EQ(client().cvars.rules.count, 3);
}

TEST_F(RulesTest, ACompleteSetTakesSingleLinesAndADisagreeingCount) {
  receive(host, "1 a in 1 5\n1");
  ASSERT_EQ(client().cvars.ruleState, cv::kRulesComplete);
  receive(host, "1");
  EXPECT_EQ(client().cvars.ruleState, cv::kRulesComplete);
  receive(host, "2 b in 1 5");  // stored; the set stays complete
  EXPECT_EQ(client().cvars.rules.count, 2);
  EXPECT_EQ(client().cvars.ruleState, cv::kRulesComplete);
  receive(host, "3");
  EXPECT_EQ(client().cvars.ruleState, 0);
}

TEST_F(RulesTest, RuleLinesTimeTheReRequest) {
  const uint32_t t0 = FakeHost::now;
  receive(host, "1 a in 1 5\n2 bad kind 1");
  EXPECT_EQ(client().cvars.ruleState, 2);  // invalid lines count too
  EXPECT_EQ(client().cvars.lastRuleLine, t0);
  EXPECT_EQ(client().cvars.nextRequestBase, t0 - 7500);
  // A count line shortly after is no rule line; much later it counts.
  host.advance(5000);
  receive(host, "9");
  EXPECT_EQ(client().cvars.lastRuleLine, t0);
  host.advance(10001);
  receive(host, "9");
  EXPECT_EQ(client().cvars.lastRuleLine, t0 + 15001);
}

TEST_F(RulesTest, BadBlocksAreBounded) {
  // Not terminated: the length bounds the block.
  const char block[] = {'1', ' ', 'a', ' ', 'i', 'n', ' ', '1', ' ', '2'};
  cv::receiveRules(&host.gi, block, sizeof block);
  EXPECT_EQ(client().cvars.rules.count, 1);
  // Longer than a message: the rest is cut.
  std::string big;
  while (big.size() < 3000) big += "1 v in 1 2\n";
  receive(host, big + "999");
  EXPECT_EQ(client().cvars.rules.count, 1 + 1100 / 11);
  EXPECT_GE(client().cvars.ruleState, 0);
  // Empty and blank blocks change nothing.
  const int32_t state = client().cvars.ruleState;
  receive(host, "");
  receive(host, " \r\n\n ");
  cv::receiveRules(&host.gi, "5", -4);
  EXPECT_EQ(client().cvars.ruleState, state);
}

TEST_F(RulesTest, ListingFormatsNumbersAndProtectsSecrets) {
  host.cvars["r_gamma"] = "1.5";
  host.cvars["rcon_PASSword"] = "hunter2";
  host.cvars["cl_cdkey"] = "0";
  receive(host,
          "1 r_gamma in 1.5 1.5\n2 rate out 0 0\n3 rcon_PASSword exclude "
          "HUNTER\n4 cl_cdkey in 2 0.25\n5 snd include q\n");
  cv::listRules(&host.gi, 0);
  const char *expected[] = {
      "r_gamma = \"1.5\" : must be EQUAL to 1.5 (OK)",
      "rate = \"\" : must NOT be EQUAL to 0 (VIOLATION)",
      "rcon_PASSword = \"**Protected**\" : must NOT INCLUDE \"HUNTER\" "
      "(VIOLATION)",
      "cl_cdkey = \"**Protected**\" : must be INSIDE 0.25 to 2 (VIOLATION)",
      "snd = \"\" : must INCLUDE \"q\" (VIOLATION)",
      "4 Current Cvar Violations",
  };
  ASSERT_EQ(host.texts.size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i)
    EXPECT_EQ(host.texts[i], expected[i]);
}

TEST_F(RulesTest, ListingAfterACompleteSetShowsTenSatisfiedRules) {
  std::string block;
  for (int i = 0; i < 15; ++i) {
    host.cvars["v" + std::to_string(i)] = "2";
    block += std::to_string(i) + " v" + std::to_string(i) + " in 1 3\n";
  }
  receive(host, block + "15");
  ASSERT_EQ(host.texts.size(), 12u);
  EXPECT_EQ(host.texts[10], "0 Current Cvar Violations");
  EXPECT_EQ(host.texts[11],
            "CvarList truncated; Use qx_cvarlist to see entire list");
  host.clearOutput();
  cv::listRules(&host.gi, 0);
  EXPECT_EQ(host.texts.size(), 16u);
  // A violation is always shown, and one is not plural.
  host.cvars["v14"] = "9";
  host.clearOutput();
  cv::listRules(&host.gi, 10);
  EXPECT_TRUE(host.printed("v14 = \"9\" : must be INSIDE 1 to 3 (VIOLATION)"));
  EXPECT_TRUE(host.printed("1 Current Cvar Violation"));
  EXPECT_EQ(host.texts.size(), 13u);
}

// Per-frame housekeeping while connected to a server.
class HousekeepingTest : public RulesTest {
 protected:
  void SetUp() override {
    host.serverAddress = "10.0.0.1:27960";
    RulesTest::SetUp();
    host.pump();
    host.clearOutput();
  }
  // Runs work frames (every second due call works).
  void workFrames(int n) {
    for (int i = 0; i < n; ++i) host.pump(2);
  }
};

TEST_F(HousekeepingTest, EachWorkFrameTestsOneRule) {
  receive(host, "1 a in 1 2\n2 b in 1 2\n3 c in 1 2\n3");
  std::map<std::string, int> reads;
  host.queryOverride = [&](int32_t code, char *buffer, int32_t size) {
    if (code == QX_Q_CVAR && std::strlen(buffer) == 1) ++reads[buffer];
    if (code == QX_Q_SERVER_ADDRESS)
      std::snprintf(buffer, size_t(size), "%s", host.serverAddress.c_str());
    return intptr_t(code == QX_Q_CVAR);
  };
  workFrames(1);
  EXPECT_EQ(reads.size(), 1u);
  workFrames(5);
  EXPECT_EQ(reads["a"], 2);
  EXPECT_EQ(reads["b"], 2);
  EXPECT_EQ(reads["c"], 2);
}

TEST_F(HousekeepingTest, AViolationWarnsAtMostEveryTenSeconds) {
  host.cvars["cl_maxfps"] = "125";
  receive(host, "1 cl_maxfps in 30 90\n1");
  host.clearOutput();
  workFrames(1);
  const std::string warning =
      "*WARNING*|Cvar Violation: cl_maxfps = \"125\" : must be INSIDE 30 to "
      "90";
  ASSERT_EQ(host.lines.size(), 1u);
  EXPECT_EQ(host.lines[0], warning);
  EXPECT_TRUE(host.forwarded.empty());
  workFrames(4);  // 8 s
  EXPECT_EQ(host.lines.size(), 1u);
  workFrames(2);
  EXPECT_EQ(host.lines.size(), 2u);
  host.cvars["cl_maxfps"] = "90";
  workFrames(10);
  EXPECT_EQ(host.lines.size(), 2u);
}

TEST_F(HousekeepingTest, JoiningAnotherServerEmptiesTheRules) {
  receive(host, "1 a in 1 2\n1");
  client().cvars.reportViolations = 1;
  host.serverAddress = "10.0.0.2:27960";
  host.pump();
  EXPECT_EQ(client().cvars.rules.count, 0);
  EXPECT_EQ(client().cvars.ruleState, 0);
  EXPECT_EQ(client().cvars.reportViolations, 0);
}

}  // namespace
