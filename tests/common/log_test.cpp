// The message formatter, warnings and the local log qxcl.log.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fake_host.h"
#include "host/client_state.h"
#include "log/log.h"
#include "platform/platform.h"

using qx::client;
using qxtest::FakeHost;

namespace {

qx::platform::CalendarTime fixedTime() { return {2024, 3, 5, 14, 7, 9}; }

class LogTest : public testing::Test {
 protected:
  void SetUp() override {
    host.start();
    qx::platform::setCalendarSource(fixedTime);
    host.clearOutput();
  }
  std::string logFile() {
    return qxtest::readFile(std::string(client().host.homeDir) + "qxcl.log");
  }
  FakeHost host;
};

TEST_F(LogTest, NothingIsLoggedWhenLoggingIsOff) {
  qx::log::printMessage(1, "hello %d", 5);
  EXPECT_TRUE(host.printed("hello 5"));
  EXPECT_EQ(logFile(), "");
}

TEST_F(LogTest, LogLinesCarryMonthDayYearAndTime) {
  client().settings.logToFile = 1;
  qx::log::printMessage(1, "first");
  qx::log::printMessage(qx::log::kLogOnly, "second");
  EXPECT_EQ(logFile(),
            "[03.05.2024 14:07:09] first\r\n[03.05.2024 14:07:09] second\r\n");
  EXPECT_TRUE(host.printed("first"));
  EXPECT_FALSE(host.printed("second"));  // log only
}

TEST_F(LogTest, LongMessagesAreCutAt4149Characters) {
  client().settings.logToFile = 1;
  const std::string big(5000, 'm');
  qx::log::printMessage(1, "%s", big.c_str());
  ASSERT_FALSE(host.texts.empty());
  EXPECT_EQ(host.texts.back(), std::string(4149, 'm'));
  EXPECT_EQ(logFile(),
            "[03.05.2024 14:07:09] " + std::string(4149, 'm') + "\r\n");
}

TEST_F(LogTest, WarningUsesItsLabelAndRestoresThePrefix) {
  std::strcpy(host.gi.msgPrefix, "My Prefix");
  qx::log::printWarning(&host.gi, "watch out", false);
  ASSERT_EQ(host.lines.size(), 1u);
  EXPECT_EQ(host.lines[0], "*WARNING*|watch out");
  EXPECT_STREQ(host.gi.msgPrefix, "My Prefix");
  EXPECT_TRUE(host.forwarded.empty());
}

TEST_F(LogTest, ForwardedWarningEndsInLabelAndText) {
  qx::log::printWarning(&host.gi, "watch out", true);
  ASSERT_EQ(host.forwarded.size(), 1u);
  const std::string &line = host.forwarded[0];
  const std::string tail = " *WARNING*: watch out";
  EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
  // A long text keeps the forwarded line within 511 characters.
  qx::log::printWarning(&host.gi, std::string(900, 'w').c_str(), true);
  EXPECT_EQ(host.forwarded[1].size(), 511u);
}

TEST_F(LogTest, UnwritableLogIsSkippedSilently) {
  client().settings.logToFile = 1;
  std::strcpy(client().host.homeDir, "/nonexistent/dir/\\");
  qx::log::printMessage(1, "still shown");
  EXPECT_TRUE(host.printed("still shown"));
}

}  // namespace
