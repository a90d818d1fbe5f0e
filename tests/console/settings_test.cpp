// The three setting kinds, and the settings as the player sets them at the
// console.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "console/settings.h"
#include "fake_host.h"
#include "host/client_state.h"
#include "started_client.h"

using namespace qx::console;
using qx::client;
using qxtest::FakeHost;

namespace {

class SettingKinds : public testing::Test {
 protected:
  void SetUp() override { host.start(); }
  std::string last() const { return host.texts.back(); }
  FakeHost host;
};

TEST_F(SettingKinds, IntegerClampsAndShowsTheBounds) {
  struct Case {
    const char *line;
    int32_t stored;
  } cases[] = {
      {"n 5", 20},        {"N 9999", 500},        {"n \"250\"", 250},
      {"n \t 42 \t", 42}, {"n -7", 20},           {"n abc", 20},
      {"n 30x", 30},      {"n 99999999999", 500}, {"n -99999999999", 20},
  };
  for (const Case &c : cases) {
    int32_t value = 60;
    // Bounds given in either order.
    ASSERT_EQ(integerSetting(c.line, "n", &value, 500, 20), 1) << c.line;
    EXPECT_EQ(value, c.stored) << c.line;
    EXPECT_EQ(last(), "n = " + std::to_string(c.stored) + " (20 to 500)");
  }
}

TEST_F(SettingKinds, EmptyValueOnlyShows) {
  int32_t value = 60;
  for (const char *line : {"n", "n ", "n \"\""}) {
    ASSERT_EQ(integerSetting(line, "n", &value, 20, 500), 1) << line;
    EXPECT_EQ(value, 60);
    EXPECT_EQ(last(), "n = 60 (20 to 500)");
  }
}

TEST_F(SettingKinds, NameMustEndAtASpaceOrTheEnd) {
  int32_t value = 60;
  char field[8] = "x";
  host.clearOutput();
  for (const char *line : {"nn 3", "n\t3", "", "m 3"}) {
    EXPECT_EQ(integerSetting(line, "n", &value, 20, 500), 0) << line;
    EXPECT_EQ(yesNoSetting(line, "n", &value), 0) << line;
    EXPECT_EQ(textSetting(line, "n", field, 7), 0) << line;
  }
  EXPECT_EQ(value, 60);
  EXPECT_STREQ(field, "x");
  EXPECT_TRUE(host.texts.empty());
}

TEST_F(SettingKinds, YesNoReadsDigitsWithoutSign) {
  struct Case {
    const char *line;
    int32_t stored;
  } cases[] = {{"y 7", 1}, {"y -1", 1},    {"y x", 0},  {"y 0", 0},
               {"y 1", 1}, {"y \"1\"", 1}, {"y 00", 0}, {"y 4294967296", 1}};
  for (const Case &c : cases) {
    int32_t value = 5;
    ASSERT_EQ(yesNoSetting(c.line, "y", &value), 1) << c.line;
    EXPECT_EQ(value, c.stored) << c.line;
    EXPECT_EQ(last(), "y = " + std::to_string(c.stored) + " (0=No, 1=Yes)");
  }
}

TEST_F(SettingKinds, TextQuotesAndLength) {
  struct Case {
    const char *line;
    const char *stored;
  } cases[] = {
      {"t \"\"", ""},  // two quotes empty the field
      {"t \"a b\"", "a b"},
      {"t   spaced  ", "spaced"},
      {"t \" kept \"", " kept "},
      {"t \"", "\""},               // a lone quote is the value
      {"t \"\"x\"\"", "\"x\""},     // one pair of quotes is removed
      {"t 0123456789", "0123456"},  // cut at the field's length
      {"t", "old"},                 // empty value: unchanged
      {"t a\rqx_cmd quit", "a"},    // a line end ends the value
  };
  for (const Case &c : cases) {
    char field[8] = "old";
    ASSERT_EQ(textSetting(c.line, "t", field, 7), 1) << c.line;
    EXPECT_STREQ(field, c.stored) << c.line;
    EXPECT_EQ(last(), std::string("t = ") + c.stored);
  }
}

// ---- the settings at the console ------------------------------------------

using PlayerSettings = StartedClient;

TEST_F(PlayerSettings, SleepIsClampedAndShownWithItsTableName) {
  type("qx_sleep");
  EXPECT_TRUE(host.printed("qx_Sleep = 60 (20 to 500)"));
  type("qx_sleep 5");
  EXPECT_EQ(client().settings.sleep, 20);
  EXPECT_TRUE(host.printed("qx_Sleep = 20 (20 to 500)"));
  type("QX_SLEEP 9999");
  EXPECT_EQ(client().settings.sleep, 500);
  type("qx_Sleepy 3");
  EXPECT_EQ(client().settings.sleep, 500);
  EXPECT_TRUE(host.printed("Unknown Command/Setting: qx_Sleepy 3"));
}

TEST_F(PlayerSettings, EverySettingIsReachable) {
  struct Case {
    const char *line;
    const char *shown;
  } cases[] = {
      {"qx_MsgPrefix \"[QX] Me\"", "qx_MsgPrefix = [QX] Me"},
      {"qx_Security 0", "qx_Security = 0 (0=No, 1=Yes)"},
      {"qx_LogToFile 0", "qx_LogToFile = 0 (0=No, 1=Yes)"},
      {"qx_SsLog 0", "qx_SsLog = 0 (0=No, 1=Yes)"},
      {"qx_SsSave 3", "qx_SsSave = 1 (0=No, 1=Yes)"},
      {"qx_RegNameFn names.dat", "qx_RegNameFn = names.dat"},
      {"qx_RegNamePw secret", "qx_RegNamePw = secret"},
      {"qx_LogUser user", "qx_LogUser = user"},
      {"qx_LogPw pw", "qx_LogPw = pw"},
      {"qx_LogAddr \"http://log.example:80\"",
       "qx_LogAddr = http://log.example:80"},
      {"qx_LogPort", "qx_LogPort = 0 (1 to 65535)"},
      {"qx_LogPort 70000", "qx_LogPort = 65535 (1 to 65535)"},
      {"qx_forceoob 1", "qx_forceoob = 1 (0 to 1)"},
      {"QX_NETPORT -5", "QX_NETPORT = 0 (0 to 65535)"},
      {"qx_logmd5tool 1", "QX_LOGMD5TOOL = 1 (0 to 1)"},
      {"QX_LAN 1", "QX_LAN = 1 (0 to 1)"},
      {"QX_AUTOEXEC run.cfg", "QX_AUTOEXEC = run.cfg"},
      {"QX_IGNORE 1", "QX_IGNORE = 1 (0 to 1)"},
      {"QX_XPORT 27960", "QX_XPORT = 27960 (0 to 65535)"},
  };
  for (const Case &c : cases) {
    type(c.line);
    EXPECT_TRUE(host.printed(c.shown)) << c.line;
  }
  const qx::console::Settings &s = client().settings;
  EXPECT_STREQ(host.gi.msgPrefix, "[QX] Me");
  EXPECT_EQ(s.security, 0);
  EXPECT_EQ(s.ssSave, 1);
  EXPECT_STREQ(s.regNameFn, "names.dat");
  EXPECT_STREQ(s.logAddr, "http://log.example:80");
  EXPECT_EQ(s.logPort, 65535);
  EXPECT_EQ(s.lan, 1);
  EXPECT_STREQ(s.autoExec, "run.cfg");
  EXPECT_EQ(s.auxPort, 27960);
}

TEST_F(PlayerSettings, PrefixIsEmptiedByTwoQuotes) {
  type("qx_MsgPrefix \"\"");
  EXPECT_STREQ(host.gi.msgPrefix, "");
  type("qx_MsgPrefix a prefix longer than thirty-one characters");
  EXPECT_STREQ(host.gi.msgPrefix, "a prefix longer than thirty-one");
}

}  // namespace
