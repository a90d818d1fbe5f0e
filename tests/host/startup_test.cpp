// Start-up, the home directory, enabling and disabling.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "fake_host.h"
#include "host/client_state.h"
#include "platform/platform.h"

using qx::client;
using qxtest::FakeHost;

namespace {

bool isDirectory(std::string path) {
  for (char &c : path)
    if (c == '\\') c = '/';
  return qx::platform::makeDirectory(path.c_str());  // true when it exists
}

TEST(StartUp, StartsOnlyWhenWanted) {
  struct Case {
    const char *wanted;
    bool starts;
  } cases[] = {
      {"1", true}, {"1abc", true}, {"0", false}, {"", false}, {" 1", false}};
  for (const Case &c : cases) {
    qx::resetClientState();
    FakeHost host(c.wanted);
    host.start();
    EXPECT_EQ(client().host.initialised != 0, c.starts) << c.wanted;
    EXPECT_EQ(host.call(QX_CB_ENABLED_STATE), c.starts ? 0 : -2) << c.wanted;
  }
}

TEST(StartUp, PrintsTheVersionLineAndSetsThePrefix) {
  FakeHost host;
  host.start();
  EXPECT_STREQ(host.gi.msgPrefix, "[skipnotify]Quellor Client");
  EXPECT_TRUE(host.printed("Quellor Client (v1.199 | A0) Enabled"));
  EXPECT_TRUE(host.printed("(B) Quellor Client started"));
  EXPECT_NE(client().host.workDir[0], '\0');  // captured once
  // Its operations are in the record.
  EXPECT_NE(host.gi.digest, nullptr);
  EXPECT_NE(host.gi.connectHook, nullptr);
  EXPECT_EQ(host.gi.secondHook(1, 2), 0);
  host.gi.thirdHook();
}

TEST(StartUp, DigestOperationGivesSeededMd5Text) {
  FakeHost host;
  host.start();
  EXPECT_STREQ(host.gi.digest("abc", 3, 0), "900150983CD24FB0D6963F7D28E17F72");
  EXPECT_STREQ(host.gi.digest(nullptr, 5, 0),
               "D41D8CD98F00B204E9800998ECF8427E");
}

TEST(StartUp, WithoutQueryOperationTheClientStaysDisabled) {
  FakeHost host;
  host.gi.query = nullptr;
  host.start();
  EXPECT_FALSE(client().host.initialised);
  EXPECT_EQ(host.call(QX_CB_ENABLED_STATE), -2);
}

TEST(StartUp, MissingCaptureQueryIsReported) {
  FakeHost host;
  host.gi.captureQuery = nullptr;
  host.start();
  EXPECT_TRUE(host.printed("Warning: Corrupted Interface"));
  EXPECT_TRUE(client().host.initialised);
}

TEST(StartUp, SecondaryRecordWithWrongMagicIsForgotten) {
  FakeHost host;
  QxSecondaryHost bad{};
  bad.magic = 0x12345678;
  host.gi.secondary = &bad;
  host.start();
  EXPECT_EQ(client().host.secondary, nullptr);
  // A warning: printed under the warning label, then the prefix is back.
  bool warned = false;
  for (const std::string &line : host.lines)
    warned |= line.rfind("*WARNING*|", 0) == 0 &&
              line.find("secondary host record") != std::string::npos;
  EXPECT_TRUE(warned);
  EXPECT_STREQ(host.gi.msgPrefix, "[skipnotify]Quellor Client");
}

TEST(StartUp, HomeDirectoryFromTheHomePathVariable) {
  for (const char *suffix : {"", "\\"}) {
    qx::resetClientState();
    FakeHost host;
    const std::string base = qxtest::makeTempDir() + "\\Game";
    ASSERT_TRUE(isDirectory(base));
    host.cvars["fs_homepath"] = base + suffix;
    host.start();
    EXPECT_EQ(std::string(client().host.homeDir), base + "\\qx\\");
    for (const char *sub : {"", "scrnshot", "dll", "htm"})
      EXPECT_TRUE(isDirectory(base + "\\qx\\" + sub)) << sub;
  }
}

TEST(StartUp, HomeDirectoryFieldIsUsedAsGiven) {
  FakeHost host;
  const std::string base = qxtest::makeTempDir() + "\\X";
  std::strcpy(host.gi.homeDir, base.c_str());
  host.start();
  EXPECT_EQ(std::string(client().host.homeDir), base + "\\");
  EXPECT_TRUE(isDirectory(base + "\\htm"));
}

TEST(StartUp, WithoutHomePathTheWorkingDirectoryIsUsed) {
  FakeHost host;
  host.cvars.erase("fs_homepath");
  // The working directory as start-up captures it, in a place of our own.
  const std::string cwd = qxtest::makeTempDir();
  std::strcpy(client().host.workDir, cwd.c_str());
  host.start();
  EXPECT_EQ(std::string(client().host.homeDir), cwd + "\\qx\\");
  EXPECT_TRUE(isDirectory(cwd + "\\qx\\htm"));
}

TEST(StartUp, UnusableHomeDirectoryLeavesTheClientRunning) {
  FakeHost host;
  // A regular file where the directory should be.
  const std::string dir = qxtest::makeTempDir();
  const std::string file = dir + "\\blocker";
  qx::platform::FileHandle f =
      qx::platform::fileOpen(file.c_str(), qx::platform::OpenMode::Write);
  ASSERT_NE(f, nullptr);
  qx::platform::fileClose(f);
  host.cvars["fs_homepath"] = file;
  client().settings.logToFile = 1;
  host.start();
  EXPECT_TRUE(client().host.initialised);
  host.pump(4);
  EXPECT_TRUE(host.printed("Quellor Client (v1.199 | A0) Enabled"));
  // Said once at start-up, and again by a save that cannot happen.
  const std::string noHome = "Error: Cannot use the home directory " + file +
                             "\\qx - no files are loaded or saved";
  EXPECT_EQ(std::count(host.texts.begin(), host.texts.end(), noHome), 1);
  host.console("qx_WriteCfg");
  host.pump();
  EXPECT_TRUE(host.printed("Error: Cannot write config file " + file +
                           "\\qx\\qxcl.cfg"));
}

TEST(StartUp, HomeDirectoryIsCreatedWithTheFoldersAboveIt) {
  // Either separator: a Linux host names its folders with '/'.
  for (const char *missing : {"\\Games\\Sub\\X", "/games/sub/x"}) {
    qx::resetClientState();
    FakeHost host;
    const std::string base = qxtest::makeTempDir() + missing;
    std::strcpy(host.gi.homeDir, base.c_str());
    host.start();
    EXPECT_TRUE(isDirectory(base + "\\scrnshot")) << missing;
    EXPECT_FALSE(host.printedPart("Error")) << missing;
    host.console("qx_WriteCfg");
    host.pump();
    EXPECT_TRUE(host.printed("Config File written to " + base + "\\qxcl.cfg"))
        << missing;
  }
}

#if defined(_WIN32)
// A working directory whose name the system's ANSI code page cannot hold:
// the client's paths cannot reach it, and start-up says so instead of
// running on without its files. Where the code page is UTF-8 the directory
// is simply used.
TEST(StartUp, HomeDirectoryOutsideTheCodePageIsNamedAsUnusable) {
  const std::string base = qxtest::makeTempDir();
  std::wstring dir(base.begin(), base.end());
  dir += L"\\home_\U0001F600";  // in no ANSI code page
  ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
  wchar_t before[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, before);
  ASSERT_TRUE(SetCurrentDirectoryW(dir.c_str()));
  FakeHost host;
  host.cvars.erase("fs_homepath");
  host.start();
  SetCurrentDirectoryW(before);
  const bool unusable =
      host.printedPart("Error: Cannot use the home directory ");
  EXPECT_EQ(unusable, GetACP() != CP_UTF8);
  EXPECT_TRUE(client().host.initialised);
}
#endif

TEST(StartUp, NonceIsEightToFifteenPrintableCharactersWithoutQuote) {
  std::set<size_t> lengths;
  for (uint32_t start = 1000; start < 1400; start += 7) {
    qx::resetClientState();
    FakeHost host;
    FakeHost::now = start;
    host.frame();
    const std::string nonce = client().host.nonce;
    ASSERT_GE(nonce.size(), 8u);
    ASSERT_LE(nonce.size(), 15u);
    lengths.insert(nonce.size());
    for (char c : nonce) {
      const int code = static_cast<unsigned char>(c);
      EXPECT_TRUE(code >= 33 && code <= 132) << code;
      EXPECT_NE(c, '"');
    }
  }
  EXPECT_GT(lengths.size(), 4u);  // the length really varies
  FakeHost::now = 100000;
}

TEST(StartUp, TokenAndRotationAreDrawn) {
  FakeHost host;
  host.start();
  EXPECT_NE(client().channel.token, 0u);
  EXPECT_EQ(client().channel.token & 0x80008000u, 0u);
  EXPECT_LT(client().master.queryRotation, 4);
  EXPECT_EQ(client().master.lastMasterQuery, FakeHost::now - 1680000u);
}

TEST(StartUp, ListsGrowInTheirStepsAfterStartUp) {
  FakeHost host;
  EXPECT_EQ(client().master.hostNames.growBy, 4);
  host.start();
  EXPECT_EQ(client().master.hostNames.growBy, 64);
  EXPECT_EQ(client().scan.processes.growBy, 512);
  EXPECT_EQ(client().scan.modules.growBy, 512);
  EXPECT_EQ(client().cvars.rules.growBy, 4);
}

TEST(Enabling, DisableTakesEffectOnlyAtTheNextLoad) {
  FakeHost host;
  host.start();
  host.call(QX_CB_DISABLE);
  EXPECT_EQ(host.cvars["cl_quellor"], "0");
  EXPECT_TRUE(host.printed(
      "The Quellor Client will be disabled the NEXT TIME upon startup."));
  host.pump(4);
  EXPECT_EQ(host.call(QX_CB_ENABLED_STATE), 0);
  // The next load finds the variable at 0.
  qx::resetClientState();
  host.start();
  EXPECT_EQ(host.call(QX_CB_ENABLED_STATE), -2);
}

TEST(Enabling, EnableOrderCompletesStartUpAtTheNextCall) {
  FakeHost host("0");
  host.start();
  EXPECT_FALSE(client().host.initialised);
  host.call(QX_CB_ENABLE);
  ASSERT_EQ(host.namedOps.size(), 1u);
  EXPECT_EQ(host.namedOps[0].name, "set_cl_quellor");
  EXPECT_EQ(host.namedOps[0].argument, "1");
  EXPECT_STREQ(host.gi.msgPrefix, "[skipnotify]Quellor Client");
  host.start();
  EXPECT_TRUE(client().host.initialised);
}

TEST(Unload, FreesEventDataAndClosesTheSocket) {
  FakeHost host;
  host.start();
  host.call(QX_EV_CONSOLE_LINE, 3, "abc");
  for (uint16_t p = 28300; p < 28400; ++p) {
    client().settings.netPort = p;
    host.pump(2);
    if (client().settings.netPort == p) break;
  }
  qx::unloadClientState();  // leak and socket checks run under the sanitizers
  EXPECT_EQ(client().frame.udpSocket, qx::platform::kNoSocket);
  EXPECT_EQ(client().events.records[0].data, nullptr);
  EXPECT_EQ(std::string(client().channel.outbound.name), "FLOU!");
  qx::loadClientState();
}

}  // namespace
