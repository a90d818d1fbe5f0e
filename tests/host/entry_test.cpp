// The entry points as a host sees them: codes, bad arguments, start-up
// through the first event, shut-off.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fake_host.h"
#include "host/client_state.h"
#include "host/frame.h"
#include "qx/qxcl.h"

using qxtest::FakeHost;

namespace {

std::string text(intptr_t result) {
  return result ? reinterpret_cast<const char *>(result) : "";
}

TEST(Entry, ConstantAnswersNeedNoStartUp) {
  FakeHost host;
  EXPECT_EQ(host.call(QX_CB_VERSION), 1199);
  EXPECT_FALSE(qx::client().host.initialised);
  for (int code : {19, 20, 21}) EXPECT_EQ(host.call(code), 90000) << code;
  EXPECT_EQ(host.call(22), 4);
  EXPECT_EQ(host.call(300), 0);
  EXPECT_EQ(host.call(QX_CB_SCAN_STATUS), 0);
  host.start();
  EXPECT_TRUE(qx::client().host.initialised);
  EXPECT_EQ(host.call(QX_CB_VERSION), 1199);
}

TEST(Entry, SealConstantsAreStoredLittleEndian) {
  FakeHost host;
  auto bytes = [&](int code) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(host.call(code));
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
           uint32_t(p[3]) << 24;
  };
  EXPECT_EQ(bytes(QX_CB_SEAL_EXPONENT), qx::client().channel.sealExponent);
  EXPECT_EQ(bytes(QX_CB_SEAL_MODULUS), qx::client().channel.sealModulus);
}

TEST(Entry, EventCodesStartUpAndQueue) {
  FakeHost host;
  EXPECT_EQ(host.call(16), 0);
  EXPECT_TRUE(qx::client().host.initialised);
  EXPECT_EQ(qx::client().events.count, 1);
  // Negative codes are events too (signed comparison).
  EXPECT_EQ(host.call(-5), 0);
  EXPECT_EQ(qx::client().events.count, 2);
  EXPECT_EQ(qx::client().events.records[1].code, -5);
}

TEST(Entry, ConsoleLineMakesTheNextFrameDue) {
  FakeHost host;
  host.start();
  host.advance(1);
  host.console("qx_ver");
  EXPECT_EQ(qx::client().frame.lastFrameTick, 0u);
}

TEST(Entry, EnabledStateAndWantedQueries) {
  FakeHost host("0");
  EXPECT_EQ(host.call(QX_CB_ENABLED_STATE), -2);
  EXPECT_EQ(host.call(QX_CB_WANTED), 0);
  host.call(QX_CB_ENABLE);
  EXPECT_EQ(host.cvars["cl_quellor"], "1");
  EXPECT_EQ(host.call(QX_CB_ENABLED_STATE), 0);
  EXPECT_EQ(host.call(QX_CB_WANTED), 1);
  host.cvars["cl_quellor"] = "0";
  EXPECT_EQ(host.call(QX_CB_WANTED), 0);  // variable and flag must agree
}

TEST(Entry, ShutOffClientAnswersNothing) {
  FakeHost host;
  host.start();
  qx::client().frame.shutOff = 1;
  EXPECT_EQ(host.call(QX_CB_VERSION), 0);
  EXPECT_EQ(host.call(QX_EV_CONSOLE_LINE, 3, "abc"), 0);
  EXPECT_EQ(qx::client().events.count, 0);
}

TEST(Entry, ShutOffTimeEndsWorkFramesAfterTenSeconds) {
  FakeHost host;
  host.start();
  int works = 0;
  static int *counter;
  counter = &works;
  qx::client().frame.testFault = [] { ++*counter; };
  qx::client().frame.shutOffTime = FakeHost::now;
  host.pump(4);
  EXPECT_EQ(works, 2);  // every second due call works
  host.advance(10000);
  host.pump(6);
  EXPECT_NE(qx::client().frame.shutOff, 0u);
  const int before = works;
  host.pump(4);
  EXPECT_EQ(works, before);
}

TEST(Entry, NegativeBudgetRunsOnlyTheNewestEvent) {
  FakeHost host;
  EXPECT_EQ(host.frame(-1), nullptr);
  EXPECT_FALSE(qx::client().host.initialised);

  host.start();
  qx::client().settings.sleep = 500;
  for (const char *line : {"qx_Sleep 21", "qx_Sleep 22", "qx_Sleep 23"})
    host.console(line);
  host.clearOutput();
  EXPECT_EQ(host.frame(-1), nullptr);
  EXPECT_EQ(host.texts, std::vector<std::string>{"qx_Sleep = 23 (20 to 500)"});
  ASSERT_EQ(qx::client().events.count, 2);
  EXPECT_STREQ(reinterpret_cast<char *>(qx::client().events.records[0].data),
               "qx_Sleep 21");
  EXPECT_STREQ(reinterpret_cast<char *>(qx::client().events.records[1].data),
               "qx_Sleep 22");
  // A fault in that event's handler is contained too.
  host.faultOnQuery = QX_Q_BIND_FIND;
  host.console("qx_BindSrch x");
  host.clearOutput();
  EXPECT_EQ(host.frame(-1), nullptr);
  EXPECT_EQ(host.texts, std::vector<std::string>{"O/S Exception Notice"});
  EXPECT_EQ(qx::client().events.count, 2);
}

TEST(Entry, BadArgumentsNeverCrash) {
  FakeHost host;
  // Null data with a positive length, zero and negative lengths.
  EXPECT_EQ(host.call(QX_EV_CONSOLE_LINE, 50, nullptr), 0);
  EXPECT_EQ(qx::client().events.records[0].length, 0);
  EXPECT_EQ(qx::client().events.records[0].data, nullptr);
  EXPECT_EQ(host.call(QX_EV_CONSOLE_LINE, -7, "abc"), 0);
  EXPECT_EQ(qx::client().events.records[1].data[0], 0);
  EXPECT_EQ(host.call(QX_EV_SERVER_PACKET, 0, "x"), 0);
  for (int code : {QX_CB_COMPLETE, QX_CB_DERIVE_KEY, 23, 24, 113, 117, 118, 119,
                   121, 1000, -1000})
    host.call(code, 10, nullptr);
  host.pump(4);
  // A null game interface: ca does nothing, cb answers only the version.
  EXPECT_EQ(ca(nullptr, 0), nullptr);
  EXPECT_EQ(ca(nullptr, -1), nullptr);
  EXPECT_EQ(cb(nullptr, QX_CB_VERSION, 0, nullptr, 0), 1199);
  EXPECT_EQ(cb(nullptr, QX_EV_CONSOLE_LINE, 3, "abc", 0), 0);
  EXPECT_EQ(cb(nullptr, QX_CB_ENABLE, 0, nullptr, 0), 0);
}

TEST(Entry, WrongMagicFailsEveryCall) {
  FakeHost host;
  host.gi.magic = 0x264B8BAC;
  EXPECT_EQ(std::string(host.frame()), qx::host::kInitFailed);
  ASSERT_FALSE(host.texts.empty());
  const std::string &line = host.texts.back();
  EXPECT_EQ(line.substr(line.size() - 7), " (8BAC)");
  EXPECT_EQ(text(host.call(QX_EV_CONSOLE_LINE, 3, "abc")),
            qx::host::kInitFailed);
  EXPECT_TRUE(host.printedPart("(A) "));
  EXPECT_EQ(std::string(host.frame()), qx::host::kInitFailed);
  EXPECT_EQ(qx::client().events.count, 0);
  // Every call fails, but each message is printed once, not every frame.
  for (int i = 0; i < 5; ++i) {
    host.advance(100);
    EXPECT_EQ(std::string(host.frame()), qx::host::kInitFailed);
    host.call(QX_EV_CONSOLE_LINE, 3, "abc");
  }
  EXPECT_EQ(host.texts.size(), 2u);
}

TEST(Entry, NotWantedClientQueuesButDoesNoWork) {
  FakeHost host("0");
  int works = 0;
  static int *counter;
  counter = &works;
  qx::client().frame.testFault = [] { ++*counter; };
  EXPECT_EQ(host.packet({'Q', 'X', '_', 'E'}), 0);
  EXPECT_EQ(qx::client().events.count, 1);
  for (int i = 0; i < 4; ++i) {
    host.advance(1000);
    EXPECT_EQ(host.frame(), nullptr);
  }
  EXPECT_EQ(works, 0);
  EXPECT_FALSE(qx::client().host.initialised);
  EXPECT_EQ(qx::client().events.count, 0);  // drained all the same
}

}  // namespace
