// The command processor as the player reaches it: console lines handed to
// the client as host event 14, and name completion through host code 51.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "console/command_processor.h"
#include "fake_host.h"
#include "host/client_state.h"
#include "started_client.h"

using qx::client;
using qxtest::FakeHost;

namespace {

constexpr const char *kVersionLine = "Quellor Client (v1.199 | A0) Enabled";
constexpr const char *kDisabled = "Quellor Client is currently Disabled";

using Console = StartedClient;

TEST_F(Console, CommandsMatchByExactLengthInAnyCase) {
  struct Case {
    const char *line;
    const char *printed;
  } cases[] = {
      {"qx_ver", kVersionLine},
      {"QX_VER", kVersionLine},
      {"  qx_Ver\t", kVersionLine},
      {"qx_ver // show version", kVersionLine},
      {"\"qx_ver\"", kVersionLine},
      {"qx_Vers", "Unknown Command/Setting: qx_Vers"},
      {"qx_Ve", "Unknown Command/Setting: qx_Ve"},
      {"bogus  line // comment ", "Unknown Command/Setting: bogus  line"},
  };
  for (const Case &c : cases) {
    type(c.line);
    EXPECT_EQ(host.texts.size(), 1u) << c.line;
    EXPECT_TRUE(host.printed(c.printed)) << c.line;
  }
}

TEST_F(Console, CommandsOfLaterSubsystemsAreRecognised) {
  const char *lines[] = {"qx_Plist",
                         "qx_SsOptions 800 600 50 50 3",
                         "qx_GetSs",
                         "qx_CvarList",
                         "qx_CvarVal name",
                         "qx_BindSrch +attack",
                         "qx_CvarSrch foo bar",
                         "qx_CvarUser",
                         "qx_CvarChanged",
                         "qx_RegNameFull \"my name\" pw",
                         "qx_RegNamePartial nm pw",
                         "qx_RegNameDel 2",
                         "qx_RegNameList",
                         "qx_Power",
                         "qx_Kick 3"};
  for (const char *line : lines) {
    type(line);
    EXPECT_FALSE(host.printedPart("Unknown Command")) << line;
  }
}

TEST_F(Console, EmptyLinesAreIgnored) {
  type("");
  EXPECT_TRUE(host.texts.empty());
}

TEST_F(Console, HugeLinesAndManyArguments) {
  std::string huge(100000, 'x');
  type(huge);
  ASSERT_EQ(host.texts.size(), 1u);
  EXPECT_EQ(host.texts[0].rfind("Unknown Command/Setting: xxx", 0), 0u);

  std::string many = "qx_cmd";
  for (int i = 0; i < 300; ++i) many += " w" + std::to_string(i);
  type(many);
  ASSERT_EQ(host.namedOps.size(), 1u);
  EXPECT_EQ(host.namedOps[0].argument.size(), 255u);
  EXPECT_EQ(host.namedOps[0].argument.rfind("w0 w1 w2", 0), 0u);

  std::string longSetting = "qx_LogAddr " + std::string(5000, 'a');
  type(longSetting);
  EXPECT_EQ(std::strlen(client().settings.logAddr), 127u);
}

TEST(DisabledConsole, RefusesEverythingButEnable) {
  FakeHost off("0");
  off.start();
  ASSERT_FALSE(client().host.enabled);
  for (const char *line : {"qx_ver", "qx_sleep 30", "QX_NETSTAT", "nothing"}) {
    off.clearOutput();
    off.console(line);
    off.pump();
    EXPECT_EQ(off.texts, std::vector<std::string>{kDisabled}) << line;
  }
  EXPECT_EQ(client().settings.sleep, 60);

  // Enabling sets cl_quellor; the next call completes the start-up.
  off.clearOutput();
  off.console("qx_cl_enable");
  off.console("qx_ver");
  off.pump(1);
  ASSERT_EQ(off.namedOps.size(), 1u);
  EXPECT_EQ(off.namedOps[0].name, "set_cl_quellor");
  EXPECT_EQ(off.namedOps[0].argument, "1");
  EXPECT_TRUE(client().host.enabled);
  EXPECT_FALSE(off.printed(kVersionLine)) << "the drain stops after enable";
  off.pump();
  EXPECT_TRUE(client().host.initialised);
  EXPECT_TRUE(off.printed(kVersionLine));
}

TEST_F(Console, EnableWhenEnabledShowsTheVersion) {
  type("qx_cl_Enable");
  EXPECT_TRUE(host.printed(kVersionLine));
  EXPECT_EQ(host.cvars["cl_quellor"], "1");
}

TEST_F(Console, DisableTakesEffectAtTheNextStart) {
  type("qx_cl_Disable");
  EXPECT_TRUE(host.printed(
      "The Quellor Client will be disabled the NEXT TIME upon startup."));
  EXPECT_EQ(host.cvars["cl_quellor"], "0");
  type("qx_ver");
  EXPECT_TRUE(host.printed(kVersionLine));
}

TEST_F(Console, ExecConsoleCutsAt255) {
  const std::string text(300, 'c');
  qx::console::execConsole(&host.gi, text.c_str());
  ASSERT_EQ(host.namedOps.size(), 1u);
  EXPECT_EQ(host.namedOps[0].name, "Cmd_Exec");
  EXPECT_EQ(host.namedOps[0].argument, std::string(255, 'c'));
}

// ---- completion ------------------------------------------------------------

class Completion : public Console {
 protected:
  std::string complete(const char *typed) {
    host.clearOutput();
    char buffer[256] = {};
    std::strcpy(buffer, typed);
    EXPECT_EQ(host.call(QX_CB_COMPLETE, 0, buffer), 0);
    return buffer;
  }
};

TEST_F(Completion, OneCandidateCompletesInPlace) {
  EXPECT_EQ(complete("qx_ve"), "qx_ver ");
  EXPECT_EQ(complete("QX_SLE"), "QX_SLEep ");
  EXPECT_EQ(complete("qx_logp"), "qx_logp");  // qx_LogPw and qx_LogPort
  EXPECT_EQ(complete("qx_logpo"), "qx_logport ");
  EXPECT_TRUE(host.texts.empty());
}

TEST_F(Completion, NoCandidateChangesNothing) {
  EXPECT_EQ(complete("zz"), "zz");
  EXPECT_EQ(complete("qx_verbose"), "qx_verbose");
  EXPECT_EQ(complete("qx_system"), "qx_system");  // not a player setting
  EXPECT_TRUE(host.texts.empty());
}

TEST_F(Completion, SeveralCandidatesAreListedWithTheirHelp) {
  EXPECT_EQ(complete("qx_cvar"), "qx_cvar");
  ASSERT_EQ(host.texts.size(), 6u);
  EXPECT_NE(host.texts[0].find("qx_cvar"), std::string::npos);
  EXPECT_EQ(host.texts[1],
            "qx_CvarList - Display list of server-required Cvar Ranges");
  EXPECT_EQ(host.texts[2],
            "qx_CvarVal [Cvar name] - Display server-side Cvar value");
  EXPECT_EQ(host.texts[3],
            "qx_CvarSrch [text] - Display Cvars containing text");
  EXPECT_EQ(host.texts[4], "qx_CvarUser - Display local user-created Cvars");
  EXPECT_EQ(host.texts[5],
            "qx_CvarChanged - Display local Cvars not = default value");
}

TEST_F(Completion, EmptyTextListsCommandsThenSettings) {
  complete("");
  ASSERT_EQ(host.texts.size(), 33u);
  EXPECT_EQ(host.texts[1], "qx_cl_Enable - Enable Quellor");
  EXPECT_EQ(host.texts[14],
            "qx_WriteCfg [filename (default=qxcl.cfg) - Save settings");
  EXPECT_EQ(host.texts[21],
            "qx_MsgPrefix [QX Message Prefix (default=Quellor Client)]");
  EXPECT_EQ(host.texts[32], "qx_LogPort [remote_log_port]");
}

}  // namespace
