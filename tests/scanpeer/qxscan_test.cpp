// qxscan and qxserver's scan options as an operator runs them: the entries
// qxscan prints make a policy that holds exactly the digests the client
// computes (checked with the client's own MD5), and bad command lines,
// policies and scan lines are refused with what is wrong.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "common/md5.h"
#include "peer/scan_policy.h"
#include "tool_run.h"

namespace {

namespace peer = qx::peer;
using qxtest::contains;
using qxtest::ToolRun;

ToolRun qxscan(const std::string &args) {
  return qxtest::runTool(std::string(QX_SCAN_PATH) + " " + args);
}

void write(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string clientDigest(const std::string &text, uint32_t seed) {
  uint8_t d[16];
  char hex[33];
  qx::md5(text.data(), text.size(), seed, d);
  qx::md5ToText(d, hex);
  return hex;
}

TEST(Qxscan, EntriesMakeAPolicyWithTheClientsDigests) {
  const qxtest::ScratchDir scratch;
  const std::string dir = scratch.path;
  const std::string bytes = "\x10\x20\x30\x40\x50\x60\x70\x80\x90\xA0\xB0\xC0";
  write(dir + "/cheat.so", bytes);
  write(dir + "/demo.bsp", "map");
  const std::string policy = dir + "/game.policy";
  write(policy, "seed modules 5EED0001\nseed names 77\n");
  const std::string commands[] = {
      "module --seed 5EED0001 " + dir + "/cheat.so",
      "module --bad 'Aimbot 3' --seed 0x5EED0001 " + dir + "/cheat.so",
      "name --seed 77 process Cheat.EXE 'cheat engine'",
      "name --seed 77 window 'Trainer +5' trainer",
      "pattern --offset 2 --length 8 --wild 2-3 --wild 5 9 " + dir +
          "/cheat.so wallhack",
      "file --seed 5EED0001 'maps\\demo.bsp' " + dir + "/demo.bsp",
      "code qxcl " + std::string(QX_LIBRARY_PATH),
  };
  for (const std::string &c : commands) {
    const ToolRun r =
        qxtest::runTool(std::string(QX_SCAN_PATH) + " " + c + " >> " + policy);
    ASSERT_EQ(r.status, 0) << c << ": " << r.output;
  }
  const ToolRun check = qxscan("check " + policy);
  EXPECT_EQ(check.status, 0) << check.output;
  EXPECT_TRUE(contains(check.output,
                       "1 allowed and 1 known-bad modules, 1 code files, "
                       "1 patterns, 1 processes, 1 windows, 1 game files"))
      << check.output;

  peer::ScanPolicy p;
  ASSERT_EQ(peer::readPolicy(policy, p), "");
  EXPECT_EQ(peer::digestHex(p.allowedModules[0].digest),
            clientDigest(bytes, 0x5EED0001));
  EXPECT_EQ(p.allowedModules[0].label, "cheat.so");
  EXPECT_EQ(p.badModules[0].label, "Aimbot 3");
  EXPECT_EQ(peer::digestHex(p.processes[0].digest),
            clientDigest("cheat.exe", 0x77));
  EXPECT_EQ(peer::digestHex(p.windows[0].digest),
            clientDigest("trainer +5", 0x77));
  EXPECT_EQ(p.files[0].size, 3u);
  EXPECT_EQ(peer::digestHex(p.files[0].digest),
            clientDigest("map", 0x5EED0001));
  EXPECT_EQ(p.files[0].path, "maps\\demo.bsp");
  ASSERT_EQ(p.patterns.size(), 1u);
  EXPECT_EQ(peer::patternText(p.patterns[0].pattern),
            "30 40 ?? ?? 70 ?? 90 A0");
  EXPECT_EQ(p.patterns[0].pattern.id, 9);
  EXPECT_EQ(p.codeFiles.count("qxcl"), 1u);
}

TEST(Qxscan, RefusesWhatItCannotMake) {
  const qxtest::ScratchDir scratch;
  write(scratch.path + "/short", "\x01\x02\x03\x04\x05");
  write(scratch.path + "/bad.policy", "seed modules 1\nmodule allow 00 x\n");
  const std::string shortFile = scratch.path + "/short";
  const struct {
    std::string args;
    int status;
    const char *says;
  } cases[] = {
      {"", 2, "name what to make"},
      {"make", 2, "no command \"make\""},
      {"module", 2, "at least one FILE"},
      {"module --seed xyz " + shortFile, 2, "--seed takes"},
      {"module --offset 1 " + shortFile, 2, "not an option of qxscan module"},
      {"module /nonexistent/file", 1, "/nonexistent/file"},
      {"name process cheat.exe", 2, "process or window, a NAME and a LABEL"},
      {"name thread a b", 2, "process or window"},
      {"pattern 9 " + shortFile, 2, "an ID"},
      {"pattern 70000 " + shortFile + " x", 2, "an ID"},
      {"pattern --length 8 1 " + shortFile + " x", 1,
       "holds no 8 bytes from 0"},
      {"pattern --length 5 --wild 0 1 " + shortFile + " x", 1,
       "first and last"},
      {"pattern --wild 3-1 1 " + shortFile + " x", 2, "--wild takes"},
      {"code qxcl " + shortFile, 1, "neither a PE nor an ELF file"},
      {"file maps\\\\a.bsp", 2, "the game's PATH and a FILE"},
      {"check " + scratch.path + "/bad.policy", 1,
       "bad.policy, line 2: module allow"},
  };
  for (const auto &c : cases) {
    const ToolRun r = qxscan(c.args);
    EXPECT_EQ(r.status, c.status) << c.args << ": " << r.output;
    EXPECT_TRUE(contains(r.output, c.says)) << c.args << ": " << r.output;
  }
  const ToolRun help = qxscan("--help");
  EXPECT_EQ(help.status, 0);
  for (const char *command :
       {"module", "name", "pattern", "code", "file", "check"})
    EXPECT_TRUE(contains(help.output, std::string("qxscan ") + command))
        << command;
}

// qxserver reads its policy at start-up and checks every scan line of its
// script before it listens.
TEST(QxserverScans, RefusesABadPolicyAndBadScanLines) {
  const qxtest::ScratchDir scratch;
  const std::string server = QX_SERVER_PATH;
  write(scratch.path + "/bad.policy", "pattern 1 E8 wallhack\n");
  ToolRun r = qxtest::runTool(server + " --check --policy " + scratch.path +
                              "/bad.policy --script /dev/null");
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_TRUE(
      contains(r.output, "bad.policy, line 1: a pattern has 4 to 64 bytes"))
      << r.output;

  const struct {
    const char *line;
    const char *says;
  } lines[] = {
      {"scan", "scan needs what to scan: modules, code"},
      {"scan everything", "no script command \"scan everything\""},
      {"scan modules some", "compares game, all or none"},
      {"scan code", "scan code needs MODULE"},
      {"scan code qxhost 65", "1 to 64 ranges"},
      {"scan patterns all 300", "1 to 256 matches"},
      {"scan foreign now", "takes no arguments"},
      {"seal 2 7 1", "modulus (3 to 65535)"},
      {"seal 60491 7", "seal needs N E ALLOWANCE"},
      {"scan-form sideways", "directive or message"},
  };
  for (const auto &l : lines) {
    write(scratch.path + "/s.qxs", std::string("verdict\n") + l.line + "\n");
    r = qxtest::runTool(server + " --check --script " + scratch.path +
                        "/s.qxs");
    EXPECT_EQ(r.status, 1) << l.line << ": " << r.output;
    EXPECT_TRUE(contains(r.output, "line 2: ")) << l.line << ": " << r.output;
    EXPECT_TRUE(contains(r.output, l.says)) << l.line << ": " << r.output;
  }
}

}  // namespace
