// Directive lines as the server sends them: processed at depth 0 without
// reporting text that matches nothing.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "console/command_processor.h"
#include "console/status.h"
#include "fake_host.h"
#include "host/client_state.h"

using qx::client;
using qxtest::FakeHost;

namespace {

class Directives : public testing::Test {
 protected:
  void SetUp() override {
    host.start();
    host.clearOutput();
  }
  void server(std::string line) {
    qx::console::processLine(&host.gi, line.data(), 0, 0);
  }
  std::string homeFile(const char *name) {
    return qxtest::readFile(std::string(client().host.homeDir) + name);
  }
  FakeHost host;
};

TEST_F(Directives, NetStatCountsSecondsSinceTheLastReport) {
  qx::channel::State &ch = client().channel;
  ch.bytesIn = 300;
  ch.bytesOut = 20;
  server("QX_NETSTAT");
  EXPECT_TRUE(host.printed("Last 1 Second: In=300 bytes; Out=20 bytes"));
  ch.bytesIn = 7;
  host.advance(999);
  server("qx_netstat");  // any case
  EXPECT_TRUE(host.printed("Last 1 Second: In=7 bytes; Out=0 bytes"));
  host.advance(5500);
  server("QX_NETSTAT");
  EXPECT_TRUE(host.printed("Last 5 Seconds: In=0 bytes; Out=0 bytes"));
  EXPECT_EQ(ch.countingSince, FakeHost::now);
}

TEST_F(Directives, NetStatTreatsAStartSlightlyAheadAsNow) {
  client().channel.countingSince = FakeHost::now + 3000;
  server("QX_NETSTAT");
  EXPECT_TRUE(host.printed("Last 1 Second: In=0 bytes; Out=0 bytes"));
}

// The server-assigned GUID while the server has assigned one, else the
// player GUID the client read from the host.
TEST_F(Directives, IdentityShowsTheAssignedGuidElseThePlayerGuid) {
  host.cvars[QX_GUID_CVAR] = "PLAYER42";
  host.pump(4);  // the player GUID is read from the fourth call on
  struct Case {
    const char *assigned, *shown;
  } cases[] = {{"SRV7", "GUID=SRV7"},
               {"", "GUID=PLAYER42"},
               {"?", "GUID=PLAYER42"},
               {"?pending", "GUID=PLAYER42"}};
  for (const Case &c : cases) {
    std::snprintf(host.gi.serverGuid, sizeof host.gi.serverGuid, "%s",
                  c.assigned);
    host.clearOutput();
    server("QX_MYGUID");
    EXPECT_EQ(host.texts, std::vector<std::string>{c.shown}) << c.assigned;
  }
}

TEST_F(Directives, HomePathAndConsoleText) {
  server("QX_HOMEPATH");
  EXPECT_TRUE(
      host.printed(std::string("Home Path is ") + client().host.homeDir));
  server("qx_cmd say hello");
  ASSERT_EQ(host.namedOps.size(), 1u);
  EXPECT_EQ(host.namedOps[0].name, "Cmd_Exec");
  EXPECT_EQ(host.namedOps[0].argument, "say hello");
}

TEST_F(Directives, NextMasterMakesTheQueryDue) {
  client().master.lastMasterQuery = FakeHost::now - 60000;
  server("QX_NEXTMASTER");
  EXPECT_EQ(client().master.lastMasterQuery, FakeHost::now - 1800000u);
}

TEST_F(Directives, HostTextsAreAskedAndShown) {
  std::string asked;
  host.queryOverride = [&](int32_t code, char *buffer, int32_t size) {
    asked = std::to_string(code) + ":" + buffer;
    std::snprintf(buffer, static_cast<size_t>(size), "answer%d", code);
    return intptr_t{0xAB};
  };
  server("QX_TEX one two");
  EXPECT_EQ(asked, "119:one");
  EXPECT_TRUE(host.printed("answer119"));
  server("qx_hqa some text");
  EXPECT_EQ(asked, "113:some text");
  EXPECT_TRUE(host.printed("AB answer113"));
  server("QX_HQE ignored");
  EXPECT_EQ(asked, "112:");
  EXPECT_TRUE(host.printed("AB answer112"));
}

TEST_F(Directives, SystemIsSavedAndLockedWhileConnected) {
  server("QX_SYSTEM");
  EXPECT_TRUE(host.printed("QX_SYSTEM = 1 (0 to 1)"));
  EXPECT_EQ(homeFile("qxsys.cfg"), "qx_system 1\r\n");

  server("qx_system 0");
  EXPECT_EQ(client().settings.system, 0);
  EXPECT_EQ(homeFile("qxsys.cfg"), "qx_system 0\r\n");

  client().frame.connected = 1;
  host.clearOutput();
  server("QX_SYSTEM 1");
  EXPECT_EQ(client().settings.system, 0);
  EXPECT_EQ(host.texts,
            (std::vector<std::string>{
                "QX_SYSTEM = 1 (0 to 1)",
                "qx_system cannot be changed while connected to a server",
                "QX_SYSTEM = 0 (0 to 1)"}));
  EXPECT_EQ(homeFile("qxsys.cfg"), "qx_system 0\r\n");

  host.clearOutput();
  server("QX_SYSTEM 0");  // no change: allowed while connected
  EXPECT_EQ(host.texts, std::vector<std::string>{"QX_SYSTEM = 0 (0 to 1)"});
}

TEST_F(Directives, KeywordsOfLaterSubsystemsAreRecognised) {
  // QX_BIND? and QX_CVAR? print their results: see the cvars suite;
  // QX_WEBUPDATE shows its progress: see the master suite.
  const char *lines[] = {"QX_CVAR= name", "QX_ALIST x", "QX_SREQ text",
                         "QX_RCON status", "qx_YPG_anything // kept"};
  for (const char *line : lines) {
    std::string text = line;
    qx::console::processLine(&host.gi, text.data(), 0, 1);
    EXPECT_TRUE(host.texts.empty()) << line;
  }
}

TEST_F(Directives, UnmatchedServerTextIsSilent) {
  server("QX_UNKNOWN 1");
  server("QX_NETSTATS");
  EXPECT_TRUE(host.texts.empty());
}

TEST(DisabledDirectives, AreRefused) {
  FakeHost off("0");
  off.start();
  std::string line = "QX_NETPORT 5000";
  qx::console::processLine(&off.gi, line.data(), 0, 0);
  EXPECT_TRUE(off.printed("Quellor Client is currently Disabled"));
  EXPECT_EQ(client().settings.netPort, 0);
  std::string prefixed = "qx_ypg_x";
  off.clearOutput();
  qx::console::processLine(&off.gi, prefixed.data(), 0, 0);
  EXPECT_TRUE(off.printed("Quellor Client is currently Disabled"));
}

}  // namespace
