// Variable and binding queries: the reply texts for the server, the console
// commands, and hosts that answer badly or not at all.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cvars/host_query.h"
#include "cvars/queries.h"
#include "fake_host.h"
#include "host/client_state.h"

using qx::client;
using qxtest::FakeHost;
namespace cv = qx::cvars;

namespace {

// The reply text; its length must count the terminator.
std::string text(const uint8_t *reply, int length) {
  if (length == 0) return "<none>";
  EXPECT_EQ(reply[length - 1], 0);
  return std::string(reinterpret_cast<const char *>(reply),
                     static_cast<size_t>(length - 1));
}

class QueriesTest : public testing::Test {
 protected:
  void SetUp() override {
    host.start();
    host.clearOutput();
  }
  std::string variable(const char *name,
                       cv::ReportKind kind = cv::ReportKind::Plain) {
    return text(reply, cv::buildVariableReport(&host.gi, name, kind, reply));
  }
  std::string bindings(const char *search) {
    return text(reply, cv::buildBindingsReport(&host.gi, search, reply));
  }
  std::string variables(const char *search) {
    return text(reply, cv::buildVariablesReport(&host.gi, search, reply));
  }
  FakeHost host;
  uint8_t reply[cv::kReplyCapacity];
};

TEST_F(QueriesTest, VariableReports) {
  host.cvars["sensitivity"] = "5";
  host.cvars["my var"] = "a b";
  host.cvars["rcon_password"] = "x";
  EXPECT_EQ(variable("sensitivity"), "Msensitivity = \"5\"");
  EXPECT_EQ(variable("sensitivity", cv::ReportKind::Watched),
            "Lsensitivity = \"5\"");
  EXPECT_EQ(variable("my var"), "M\"my var\" = \"a b\"");
  EXPECT_EQ(variable("missing"), "Mmissing = \"\"");
  EXPECT_EQ(variable("rcon_password"), "<none>");
  EXPECT_EQ(variable("sv_CdKey"), "<none>");
}

TEST_F(QueriesTest, OnlyTheWatchedReportSwitchesOnViolationReports) {
  const uint8_t secret[] = {'p', 'a', 's', 's'};
  cv::reportVariable(&host.gi, secret, 4, cv::ReportKind::Watched);
  EXPECT_EQ(client().cvars.reportViolations, 0);  // no reply at all
  const uint8_t name[] = {'r', 'a', 't', 'e'};    // not terminated
  cv::reportVariable(&host.gi, name, 4, cv::ReportKind::Plain);
  EXPECT_EQ(client().cvars.reportViolations, 0);
  cv::reportVariable(&host.gi, name, 4, cv::ReportKind::Watched);
  EXPECT_EQ(client().cvars.reportViolations, 1);
}

TEST_F(QueriesTest, BindingSearch) {
  host.keys[2] = {"MOUSE1", "+attack"};
  host.keys[40] = {"F", "+attack; say hi"};
  host.keys[41] = {"G", "kill"};
  EXPECT_EQ(bindings("xyz"), "A[0 key binding matches found]");
  EXPECT_EQ(bindings("kill"), "A[G = kill] [1 key binding match found]");
  EXPECT_EQ(bindings("+attack"),
            "A[MOUSE1 = +attack] [F = +attack; say hi] [2 key binding matches "
            "found]");
}

// A match whose key name (108) or binding (107) the host cannot read is
// counted all the same, and the search ends there.
TEST_F(QueriesTest, AMatchThatCannotBeReadStillCounts) {
  for (int32_t failing : {QX_Q_BIND_NAME, QX_Q_BIND_TEXT}) {
    SCOPED_TRACE(failing);
    // Keys 3 and 9 match; the host cannot read key 9.
    host.queryOverride = [failing](int32_t code, char *buffer, int32_t size) {
      const int key = std::atoi(buffer);
      const size_t n = static_cast<size_t>(size);
      if (code == QX_Q_BIND_FIND) {
        std::snprintf(buffer, n, "%d", key <= 3 ? 3 : key <= 9 ? 9 : -1);
        return intptr_t{0};
      }
      if (code == failing && key == 9) return intptr_t{1};
      if (code == QX_Q_BIND_NAME) std::snprintf(buffer, n, "K%d", key);
      if (code == QX_Q_BIND_TEXT) std::snprintf(buffer, n, "say gg");
      return intptr_t{0};
    };
    EXPECT_EQ(bindings("gg"), "A[K3 = say gg] [2 key binding matches found]");
    host.clearOutput();
    cv::searchBindingsCommand(&host.gi, "gg");
    EXPECT_EQ(host.texts,
              (std::vector<std::string>{"K3 = say gg",
                                        "\"gg\" found in 2 key bindings"}));
  }
}

TEST_F(QueriesTest, BindingReplyStopsBelowItsLimitButCountsAll) {
  for (int i = 0; i < 100; ++i)
    host.keys[i] = {"KEY" + std::to_string(i), std::string(20, 'b')};
  const std::string r = bindings("b");
  EXPECT_LT(r.size(), 1030u);
  // The summary no longer fits: the count of 100 is not sent at all.
  EXPECT_EQ(r.find("found]"), std::string::npos);
  for (int i = 0; i < 100; ++i) host.keys.erase(i);
  for (int i = 0; i < 30; ++i)
    host.keys[i] = {"K" + std::to_string(i), std::string(20, 'b')};
  const std::string s = bindings("b");
  EXPECT_NE(s.find("[30 key binding matches found]"), std::string::npos);
  EXPECT_LT(s.size(), 1024u);
}

TEST_F(QueriesTest, VariableSearchSkipsSecretNames) {
  host.cvars["rcon_password"] = "x";
  host.cvars["g_password"] = "y";
  host.cvars["r_mode"] = "3";
  EXPECT_EQ(variables("pass"), "Q[0 cvar matches found]");
  EXPECT_EQ(variables("r_mo"), "Q\"r_mode\" [1 cvar match found]");
  // The player's own search lists what the host returns.
  cv::searchVariablesCommand(&host.gi, "pass");
  EXPECT_TRUE(host.printed("g_password"));
  EXPECT_TRUE(host.printed("rcon_password"));
  EXPECT_TRUE(host.printed("\"pass\" found in 2 cvars"));
}

TEST_F(QueriesTest, TwoHundredMatchesStopBeforeTheNameLimit) {
  for (int i = 0; i < 200; ++i) host.cvars["zz_var" + std::to_string(i)] = "1";
  const std::string r = variables("zz_");
  const size_t summary = r.find("[200 cvar matches found]");
  ASSERT_NE(summary, std::string::npos);
  EXPECT_LT(summary, 993u);
  EXPECT_GT(summary, 950u);
  EXPECT_EQ(summary + std::strlen("[200 cvar matches found]"), r.size());
}

TEST_F(QueriesTest, UserCreatedAndChangedVariables) {
  host.cvars = {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", ""}, {"e", "5"}};
  host.cvarFlags = {{"a", 0x80}, {"b", 0x81}, {"c", -128}, {"e", 0x180}};
  host.cvarDefaults = {{"a", "1"}, {"b", "0"}, {"d", "x"}, {"e", "0"}};
  EXPECT_EQ(text(reply, cv::buildUserVariablesReport(&host.gi, reply)),
            "Q\"a\" \"c\" \"e\" [3 user cvars found]");
  EXPECT_EQ(text(reply, cv::buildChangedVariablesReport(&host.gi, reply)),
            "Q\"b\" \"e\" [2 changed cvars found]");
  cv::userVariablesCommand(&host.gi);
  EXPECT_TRUE(host.printed("3 User-defined cvars found"));
  cv::changedVariablesCommand(&host.gi);
  EXPECT_TRUE(host.printed("b 2"));
  EXPECT_TRUE(host.printed("2 Changed cvars found"));
}

TEST_F(QueriesTest, ConsoleBindingSearchAndSecretChangedValues) {
  host.keys[7] = {"K", "say gg"};
  cv::searchBindingsCommand(&host.gi, "gg");
  EXPECT_TRUE(host.printed("K = say gg"));
  EXPECT_TRUE(host.printed("\"gg\" found in 1 key binding"));
  host.cvars = {{"sv_password", "secret"}};
  host.cvarDefaults = {{"sv_password", ""}};
  cv::changedVariablesCommand(&host.gi);
  EXPECT_TRUE(host.printed("sv_password **Protected**"));
  EXPECT_FALSE(host.printedPart("secret"));
}

TEST(ListAcknowledgement, XorOfTheTwoNumbersAtLeastThirty) {
  struct Case {
    const char *request, *reply;
  } cases[] = {
      {"5 3 list", "BK36"},  // 6 is below 30
      {"100 -7 x", "BK99"},  // minus signs are skipped
      {"4294967295 0", "BK4294967295"},
      {"", "BK30"},
      {"30", "BK30"},
  };
  uint8_t reply[cv::kReplyCapacity];
  for (const Case &c : cases)
    EXPECT_EQ(text(reply, cv::buildListAcknowledgement(c.request, reply)),
              c.reply)
        << c.request;
}

// Hosts that answer badly: nothing is read or written past a buffer and
// every walk ends.
TEST_F(QueriesTest, BadHostAnswersAreBounded) {
  std::vector<int32_t> sizes;
  int calls = 0;
  host.queryOverride = [&](int32_t code, char *buffer, int32_t size) {
    sizes.push_back(size);
    ++calls;
    std::memset(buffer, 'x', static_cast<size_t>(size));       // unterminated
    if (code == QX_Q_BIND_FIND) std::memcpy(buffer, "3", 2);   // never moves on
    if (code == QX_Q_CVAR_NEXT_USER) return intptr_t(buffer);  // never ends
    return intptr_t(0);
  };
  EXPECT_EQ(variable("v"), "Mv = \"" + std::string(255, 'x') + "\"");
  const std::string b = bindings("q");
  EXPECT_EQ(b.rfind("[1 key binding match found]"), b.size() - 27);
  calls = 0;
  const std::string u =
      text(reply, cv::buildUserVariablesReport(&host.gi, reply));
  EXPECT_EQ(calls, cv::kMaxEnumeration);
  EXPECT_NE(u.find("[0 user cvars found]"), std::string::npos);  // flags xxx
  for (int32_t size : sizes) EXPECT_EQ(size, cv::kHostText);
}

TEST_F(QueriesTest, AHostWithoutQueriesFindsNothing) {
  host.gi.query = nullptr;
  EXPECT_EQ(variable("rate"), "Mrate = \"\"");
  EXPECT_EQ(bindings("a"), "A[0 key binding matches found]");
  EXPECT_EQ(variables("a"), "Q[0 cvar matches found]");
  EXPECT_EQ(text(reply, cv::buildChangedVariablesReport(&host.gi, reply)),
            "Q[0 changed cvars found]");
}

}  // namespace
