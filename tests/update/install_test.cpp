// Installing the agent and the replacement client from kept copies, the
// package requests and distress when they cannot be installed, and the
// agent's file on the way out.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "module_fixture.h"
#include "platform/platform.h"

namespace moduletest {
namespace {

// Start-up asks the agent in use for its version; an agent that faults when
// asked is contained there, and start-up completes without its version.
TEST(Modules, AgentVersionIsAskedAtStartUp) {
  const struct {
    std::string agent;
    const char *versionLine;
    bool notice;
  } cases[] = {
      {QX_BUILT(QX_AGENT_1300), "Quellor Client (v1.199 | A1300) Enabled",
       false},
      {QX_BUILT(QX_AGENT_FAULTY), "Quellor Client (v1.199 | A0) Enabled", true},
  };
  for (const auto &c : cases) {
    qx::resetClientState();
    qxtest::FakeHost host;
    const std::string home = host.cvars["fs_homepath"] + "/qx";
    ASSERT_TRUE(qx::platform::makeDirectory(home.c_str()));
    std::ifstream in(c.agent, std::ios::binary);
    std::ofstream(home + "/" + agentFile(), std::ios::binary) << in.rdbuf();
    host.start();
    EXPECT_TRUE(host.printed(c.versionLine)) << c.agent;
    EXPECT_EQ(host.printed("O/S Exception Notice"), c.notice) << c.agent;
    EXPECT_NE(host.gi.agentModule, 0u);
    EXPECT_NE(client().host.initialised, 0);
  }
}

TEST_F(ModuleTest, AgentFromTheKeptCopyReplacesTheLoadedAgent) {
  useAgent(QX_BUILT(QX_AGENT_1300));
  ASSERT_EQ(client().host.agentVersion, 1300);
  const uintptr_t before = host.gi.agentModule;
  ASSERT_NE(before, 0u);
  place(QX_BUILT(QX_AGENT_1301), keptAgent("1301"));
  control(wanting(1199, 1301));
  // Windows keeps a loaded library's file: this works only because the
  // client unloads the old agent before it replaces the file.
  EXPECT_TRUE(sameFile(agentFile(), QX_BUILT(QX_AGENT_1301)));
  EXPECT_EQ(client().host.agentVersion, 1301);
  EXPECT_NE(host.gi.agentModule, 0u);
  EXPECT_TRUE(repliesOf("agent-package").empty());
  EXPECT_FALSE(host.printedPart("ERROR"));

  // The next control message finds everything current.
  host.clearOutput();
  control(wanting(1199, 1301));
  const auto ready = repliesOf("ready");
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].agent, 1301);
  EXPECT_EQ(key, pendingKey);
}

TEST_F(ModuleTest, AReadOnlyAgentIsReplacedAllTheSame) {
  place(QX_BUILT(QX_AGENT_1300), agentFile());
  namespace fs = std::filesystem;
  fs::permissions(
      homePath(agentFile()),
      fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
      fs::perm_options::remove);
  place(QX_BUILT(QX_AGENT_1301), keptAgent("1301"));
  control(wanting(1199, 1301));
  EXPECT_TRUE(sameFile(agentFile(), QX_BUILT(QX_AGENT_1301)));
  EXPECT_EQ(client().host.agentVersion, 1301);
}

TEST_F(ModuleTest, KeptCopyOfAnotherVersionIsNotInstalled) {
  client().settings.security = 0;
  place(QX_BUILT(QX_AGENT_1300), keptAgent("1301"));
  control(wanting(1199, 1301));
  EXPECT_FALSE(exists(agentFile()));
  EXPECT_EQ(client().host.agentVersion, 0);
  ASSERT_EQ(repliesOf("agent-package").size(), 1u);
}

TEST_F(ModuleTest, PackageRequestsAreAtLeast3SecondsApart) {
  client().settings.security = 0;
  useAgent(QX_BUILT(QX_AGENT_1300));
  direct(peer::controlMessage(wanting(1199, 1301)));
  auto r = repliesOf("agent-package");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].platform, p::kThisPlatform.letter);
  EXPECT_EQ(r[0].wanted, 1301);
  EXPECT_EQ(r[0].current, 0);  // the old agent is gone
  EXPECT_FALSE(exists(agentFile()));
  EXPECT_EQ(host.gi.agentModule, 0u);
  host.advance(2999);
  direct(peer::controlMessage(wanting(1199, 1301)));
  EXPECT_EQ(repliesOf("agent-package").size(), 1u);
  host.advance(1);  // at least 3000 ms
  direct(peer::controlMessage(wanting(1199, 1301)));
  EXPECT_EQ(repliesOf("agent-package").size(), 2u);

  // The client package waits for more than 3000 ms.
  host.advance(3000);
  direct(peer::controlMessage(wanting(1200, 0)));
  EXPECT_TRUE(repliesOf("client-package").empty());
  host.advance(1);
  direct(peer::controlMessage(wanting(1200, 0)));
  EXPECT_EQ(repliesOf("client-package").size(), 1u);
}

TEST_F(ModuleTest, WantedAgentZeroKeepsTheAgent) {
  useAgent(QX_BUILT(QX_AGENT_1300));
  client().settings.security = 0;
  control(wanting(1200, 0));
  EXPECT_EQ(client().host.agentVersion, 1300);
  EXPECT_NE(host.gi.agentModule, 0u);
  EXPECT_TRUE(exists(agentFile()));
}

TEST_F(ModuleTest, RefusedInstallsReportDistressUnlessOnALan) {
  // Security on and no master list entry lists the version: refused.
  control(wanting(1199, 1301));
  EXPECT_TRUE(repliesOf("agent-package").empty());
  EXPECT_EQ(client().update.modules.distressCount, 1);
  EXPECT_FALSE(host.printedPart("QX Client in Distress"));
  host.advance(31000);
  control(wanting(1199, 1301));
  EXPECT_EQ(client().update.modules.distressCount, 2);
  EXPECT_TRUE(host.printed(
      "QX Client in Distress - Cannot Authenticate with QX Server (A1301)"));
  host.advance(31000);
  control(wanting(1200, 0));
  EXPECT_TRUE(host.printed(
      "QX Client in Distress - Cannot Authenticate with QX Server (C1200)"));
  EXPECT_EQ(client().update.modules.distressCount, 3);

  // On a LAN the package is asked for and nothing is reported.
  host.clearOutput();
  client().settings.lan = 1;
  host.advance(31000);
  control(wanting(1199, 1301));
  EXPECT_EQ(repliesOf("agent-package").size(), 1u);
  EXPECT_EQ(client().update.modules.distressCount, 3);
  EXPECT_FALSE(host.printedPart("Distress"));
}

TEST_F(ModuleTest, AListedVersionIsNotRefused) {
  qx::master::State &m = client().master;
  m.entryCount = 2;
  m.entries[0].kind = 2;
  m.entries[1].kind = 3;
  const int platform = p::kThisPlatform.letter == 'w' ? 0 : 1;
  qx::master::ModuleTable &t = m.entries[1].tables[0][platform];
  t.count = 1;
  t.records[0] = {1301, 4096, "0123456789ABCDEF0123456789ABCDEF",
                  "0123456789ABCDEF0123456789ABCDEF"};
  control(wanting(1199, 1301));
  EXPECT_EQ(client().update.modules.distressCount, 0);
  EXPECT_EQ(repliesOf("agent-package").size(), 1u);
}

TEST_F(ModuleTest, AnAgentFileThatStaysIsReported) {
  // A directory in the agent's place cannot be removed on any system.
  const std::string dir = homePath(agentFile());
  ASSERT_TRUE(qx::platform::makeDirectory(dir.c_str()));
  std::ofstream(dir + "/keep") << "x";
  place(QX_BUILT(QX_AGENT_1301), keptAgent("1301"));
  client().settings.security = 0;
  control(wanting(1199, 1301));
  const std::string suffix = p::kThisPlatform.suffix;
  EXPECT_TRUE(
      host.printed("ERROR: Cannot remove qxag" + suffix + " after unloading"));
  // Nor can the kept copy take its place.
  EXPECT_TRUE(host.printed("ERROR Copying " +
                           std::string(client().host.homeDir) +
                           keptAgent("1301") + " to qxag" + suffix));
  EXPECT_EQ(client().host.agentVersion, 0);
  EXPECT_EQ(host.gi.agentModule, 0u);
}

// A module library that faults when asked its version is contained at the
// question and reported; the client closes it again and goes on, so a
// broken agent in use is replaced, and a probed copy that faulted neither
// stays loaded nor keeps its file.
TEST_F(ModuleTest, ModulesThatFaultWhenAskedTheirVersion) {
  client().settings.security = 0;
  place(QX_BUILT(QX_AGENT_FAULTY), agentFile());
  place(QX_BUILT(QX_AGENT_1300), keptAgent("1300"));
  control(wanting(1199, 1300));
  EXPECT_TRUE(host.printed("O/S Exception Notice"));
  EXPECT_EQ(client().host.agentVersion, 1300);
  EXPECT_TRUE(sameFile(agentFile(), QX_BUILT(QX_AGENT_1300)));

  // A kept copy that faults: the package is asked for, and a good copy in
  // its place is installed.
  host.clearOutput();
  host.advance(5000);
  place(QX_BUILT(QX_AGENT_FAULTY), keptAgent("1301"));
  control(wanting(1199, 1301));
  EXPECT_TRUE(host.printed("O/S Exception Notice"));
  EXPECT_EQ(repliesOf("agent-package").size(), 1u);
  ASSERT_TRUE(std::filesystem::remove(homePath(keptAgent("1301"))));
  place(QX_BUILT(QX_AGENT_1301), keptAgent("1301"));
  host.advance(5000);
  control(wanting(1199, 1301));
  EXPECT_EQ(client().host.agentVersion, 1301);

  // A replacement client that faults is removed with its copy, and asked
  // for.
  host.clearOutput();
  host.advance(5000);
  place(QX_BUILT(QX_CLIENT_FAULTY), keptClient("1200"));
  control(wanting(1200, 1301));
  EXPECT_TRUE(host.printed("O/S Exception Notice"));
  EXPECT_EQ(host.gi.replacementReady, 0);
  EXPECT_FALSE(exists(clientFile()));
  EXPECT_FALSE(exists(keptClient("1200")));
  EXPECT_EQ(repliesOf("client-package").size(), 1u);
}

TEST_F(ModuleTest, InvalidAgentVersions) {
  for (int32_t v : {0, -1, -2147483647}) {
    host.clearOutput();
    EXPECT_EQ(qx::update::installAgent(&host.gi, v, 0), -1);
    EXPECT_TRUE(
        host.printed("Invalid Agent Version Requested: " + std::to_string(v)));
  }
}

TEST_F(ModuleTest, ReplacementClientFromTheKeptCopy) {
  useAgent(QX_BUILT(QX_AGENT_1300));
  place(QX_BUILT(QX_CLIENT_1200), keptClient("1200"));
  control(wanting(1200, 1300));
  EXPECT_EQ(host.gi.replacementReady, 1);
  EXPECT_TRUE(sameFile(clientFile(), QX_BUILT(QX_CLIENT_1200)));
  EXPECT_EQ(host.gi.agentModule, 0u);  // the host takes over from here
  EXPECT_TRUE(repliesOf("client-package").empty());
}

TEST_F(ModuleTest, ReplacementOfAnotherVersionIsRemovedAndAskedFor) {
  client().settings.security = 0;
  place(QX_BUILT(QX_CLIENT_1200), keptClient("1201"));
  control(wanting(1201, 0));
  EXPECT_EQ(host.gi.replacementReady, 0);
  EXPECT_FALSE(exists(clientFile()));
  EXPECT_FALSE(exists(keptClient("1201")));
  const auto r = repliesOf("client-package");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].wanted, 1201);
  EXPECT_EQ(r[0].current, 1199);
  // A ready replacement is never asked for again.
  host.clearOutput();
  host.advance(5000);
  host.gi.replacementReady = 1;
  control(wanting(1201, 0));
  EXPECT_TRUE(repliesOf("client-package").empty());
}

}  // namespace
}  // namespace moduletest
