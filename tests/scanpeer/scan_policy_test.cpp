// The policy and the verdict: policy files read entry by entry with every
// fault named by its line, the facts of each pass against the policy as
// tables of facts and findings, and a session's verdict and baseline: what a
// clean session recorded is allowed afterwards, what a cheat showed is not.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "peer/scan_policy.h"
#include "peer/scan_session.h"

namespace {

namespace peer = qx::peer;
namespace p = qx::protocol;
using peer::Bytes;

const std::string kGood = "00112233445566778899AABBCCDDEEFF";
const std::string kBad = "BADBADBADBADBADBADBADBADBADBAD00";
const std::string kOther = "0123456789ABCDEF0123456789ABCDEF";

peer::Digest digest(const std::string &text) {
  peer::Digest d{};
  EXPECT_TRUE(peer::readDigest(text, d));
  return d;
}

peer::ScanPolicy policyOf(const std::string &text) {
  peer::ScanPolicy policy;
  EXPECT_EQ(peer::readPolicyText(text, "test.policy", "/srv", policy), "");
  return policy;
}

Bytes message(const std::string &text) {
  Bytes out(text.begin(), text.end());
  out.push_back(0);
  return out;
}

std::vector<std::string> whats(const std::vector<peer::Finding> &findings) {
  std::vector<std::string> out;
  for (const peer::Finding &f : findings) out.push_back(f.what);
  return out;
}

TEST(ScanPolicyFile, ReadsEveryEntry) {
  const peer::ScanPolicy policy = policyOf(
      "# a policy\n"
      "seed modules 5EED0001\n"
      "seed names 0x2\n"
      "  seed regions 3\r\n"
      "unknown-modules g\n"
      "module allow " +
      kGood +
      " game.exe\n"
      "module allow - linux-vdso.so.1\n"
      "module bad " +
      kBad +
      " Aimbot 3000\n"
      "code qxhost bin/qxhost file\n"
      "code abs /opt/abs.dll\n"
      "pattern 7 E8????????5D90C3 wallhack loop\n"
      "process " +
      kOther +
      " cheat engine\n"
      "window " +
      kOther +
      " Trainer\n"
      "file " +
      kGood +
      " 1F maps\\demo.bsp\n"
      "allow hook i game.exe libc.so.6!send -\n"
      "allow hook j ntdll!NtClose wine hooks.dll\n"
      "allow foreign " +
      kOther +
      " 1000 r-x\n"
      "allow code libdrv.so -\n");
  EXPECT_EQ(policy.moduleSeed, 0x5EED0001u);
  EXPECT_EQ(policy.nameSeed, 2u);
  EXPECT_EQ(policy.regionSeed, 3u);
  EXPECT_EQ(policy.unknownClasses, "g");
  ASSERT_EQ(policy.allowedModules.size(), 2u);
  EXPECT_FALSE(policy.allowedModules[1].hasDigest);
  EXPECT_EQ(policy.allowedModules[1].label, "linux-vdso.so.1");
  ASSERT_EQ(policy.badModules.size(), 1u);
  EXPECT_EQ(policy.badModules[0].label, "Aimbot 3000");
  EXPECT_EQ(policy.codeFiles.at("qxhost"), "/srv/bin/qxhost file");
  EXPECT_EQ(policy.codeFiles.at("abs"), "/opt/abs.dll");
  ASSERT_EQ(policy.patterns.size(), 1u);
  EXPECT_EQ(policy.patterns[0].pattern.id, 7);
  EXPECT_EQ(policy.patterns[0].label, "wallhack loop");
  EXPECT_EQ(policy.processes[0].label, "cheat engine");
  EXPECT_EQ(policy.files[0].path, "maps\\demo.bsp");
  EXPECT_EQ(policy.files[0].size, 0x1Fu);
  ASSERT_EQ(policy.allowedHooks.size(), 2u);
  EXPECT_EQ(policy.allowedHooks[0].importer, "game.exe");
  EXPECT_EQ(policy.allowedHooks[1].targetModule, "wine hooks.dll");
  EXPECT_EQ(policy.allowedForeign.size(), 1u);
  EXPECT_FALSE(policy.allowedCode[0].hasDigest);
}

TEST(ScanPolicyFile, NamesEachFaultByItsLine) {
  const struct {
    const char *line;
    const char *fault;
  } cases[] = {
      {"seed modules 123456789", "hexadecimal"},
      {"seed cheats 1", "no seed"},
      {"unknown-modules gx", "no module class"},
      {"module allow 0011 game.exe", "not 32 hexadecimal digits"},
      {"module bad - x", "not 32 hexadecimal digits"},
      {"module allow 00112233445566778899AABBCCDDEEFF", "needs a name"},
      {"module maybe 00112233445566778899AABBCCDDEEFF x", "allow or bad"},
      {"pattern 70000 E8E8E8E8 x", "pattern id"},
      {"pattern 1 E8??E8 x", "4 to 64 bytes"},
      {"pattern 1 E8E8E8E8", "an id, its bytes and a label"},
      {"code qxhost", "known-good file"},
      {"file 00112233445566778899AABBCCDDEEFF zz a.pk3", "size in hexadecimal"},
      {"allow hook k a!b -", "i or j"},
      {"allow hook j ab -", "MODULE!FUNCTION"},
      {"allow hook i game.exe a!b", "target's module"},
      {"allow foreign", "digest"},
      {"allow code a.so", "file's digest"},
      {"allow everything", "nothing to allow"},
      {"include /nonexistent/baseline", "cannot read"},
      {"exclude x", "no policy entry"},
  };
  for (const auto &c : cases) {
    peer::ScanPolicy policy;
    const std::string faults = peer::readPolicyText(
        std::string("# first\n") + c.line + "\n", "p.txt", "", policy);
    EXPECT_EQ(faults.rfind("p.txt, line 2: ", 0), 0u)
        << c.line << ": " << faults;
    EXPECT_NE(faults.find(c.fault), std::string::npos)
        << c.line << ": " << faults;
  }
  peer::ScanPolicy policy;
  EXPECT_NE(peer::readPolicyText("pattern 1 E8E8E8E8 a\npattern 1 E8E8E8E9 b\n",
                                 "p", "", policy)
                .find("line 2: pattern 1 is given twice"),
            std::string::npos);
}

TEST(ScanPolicyFile, IncludesResolveBesideTheIncludingFileAndStopNesting) {
  const std::string folder = testing::TempDir() + "policy_include";
  std::filesystem::create_directories(folder);
  std::ofstream(folder + "/main.txt") << "include base.txt\n";
  std::ofstream(folder + "/base.txt")
      << "module allow " + kGood + " a.so\nbad line\n";
  std::ofstream(folder + "/loop.txt") << "include loop.txt\n";
  peer::ScanPolicy policy;
  const std::string faults = peer::readPolicy(folder + "/main.txt", policy);
  EXPECT_EQ(policy.allowedModules.size(), 1u);
  EXPECT_NE(faults.find(folder + "/base.txt, line 2: there is no policy entry"),
            std::string::npos)
      << faults;
  peer::ScanPolicy loop;
  EXPECT_NE(peer::readPolicy(folder + "/loop.txt", loop).find("nest too deep"),
            std::string::npos);
}

// ---- facts and findings
// --------------------------------------------------------

peer::ModuleRecord module(const std::string &name, char kind,
                          const std::string &file, char code = '=') {
  peer::ModuleRecord m;
  m.name = name;
  m.kind = kind;
  m.base = 0x10000;
  m.size = 0x2000;
  m.hasDigest = file != "-";
  if (m.hasDigest) m.digest = digest(file);
  m.code = static_cast<peer::CodeCheck>(code);
  m.differing = 3;
  m.firstDifference = 0x40;
  return m;
}

TEST(ScanVerdict, ModulesAgainstThePolicy) {
  const peer::ScanPolicy policy = policyOf("module allow " + kGood +
                                           " game.exe\n"
                                           "module allow - linux-vdso.so.1\n"
                                           "module bad " +
                                           kBad +
                                           " Aimbot\n"
                                           "allow code libdrv.so " +
                                           kOther + "\n");
  const struct {
    peer::ModuleRecord fact;
    std::vector<std::string> findings;
  } cases[] = {
      {module("game.exe", 'g', kGood), {}},
      {module("renamed.dll", 'o', kGood), {}},  // the digest is what counts
      {module("libc.so.6", 's', kOther), {}},   // unknown, but a system module
      {module("linux-vdso.so.1", 's', "-"), {}},
      {module("inject.so", 'o', kOther), {"unknown module inject.so"}},
      {module("inject.so", 'g', "-"), {"unknown module inject.so"}},
      {module("game.exe", 'g', kBad), {"known cheat module game.exe: Aimbot"}},
      {module("aim.so", 's', kBad), {"known cheat module aim.so: Aimbot"}},
      {module("game.exe", 'g', kGood, '!'),
       {"code of game.exe differs from its file"}},
      {module("libdrv.so", 's', kOther, '!'), {}},
      {module("libdrv.so", 's', kGood, '!'),
       {"code of libdrv.so differs from its file"}},
      {module("game.exe", 'g', kGood, '?'), {}},
  };
  for (const auto &c : cases)
    EXPECT_EQ(whats(peer::judgeModules(policy, {c.fact})), c.findings)
        << c.fact.name;
  const std::vector<peer::Finding> f =
      peer::judgeModules(policy, {module("game.exe", 'g', kGood, '!')});
  EXPECT_EQ(f[0].evidence,
            "module game.exe (class g) at 10000, 2000 bytes, file digest " +
                kGood + "; 3 bytes differ, the first at +40");
  EXPECT_TRUE(peer::judgeModules(policyOf("unknown-modules none\n"),
                                 {module("inject.so", 'o', kOther)})
                  .empty());
}

TEST(ScanVerdict, HooksForeignCodeMatchesAndNames) {
  const peer::ScanPolicy policy = policyOf(
      "allow hook i game.exe libc.so.6!send -\n"
      "allow hook j ntdll!NtClose hooks.dll\n"
      "allow foreign " +
      kGood +
      "\n"
      "pattern 7 E8????????5D90C3 wallhack loop\n");
  auto hook = [](char kind, const std::string &importer,
                 const std::string &function, const std::string &target) {
    peer::HookRecord h;
    h.kind = kind;
    h.importer = importer;
    h.module = kind == 'i' ? "libc.so.6" : "ntdll";
    h.function = function;
    h.target = 0x7F00;
    h.targetModule = target;
    return h;
  };
  const struct {
    peer::HookRecord fact;
    std::vector<std::string> findings;
  } hooks[] = {
      {hook('i', "game.exe", "send", ""), {}},
      {hook('i', "other.so", "send", ""),
       {"import hook: other.so's import of libc.so.6!send leads into no "
        "module"}},
      {hook('i', "game.exe", "recv", "cheat.so"),
       {"import hook: game.exe's import of libc.so.6!recv leads into "
        "cheat.so"}},
      {hook('j', "", "NtClose", "hooks.dll"), {}},
      {hook('j', "", "NtClose", ""),
       {"entry hook: ntdll!NtClose begins with a jump into no module"}},
  };
  for (const auto &c : hooks)
    EXPECT_EQ(whats(peer::judgeHooks(policy, {c.fact})), c.findings)
        << c.fact.function;

  peer::ForeignRegion allowed, mapped;
  allowed.firstPage = digest(kGood);
  mapped.firstPage = digest(kOther);
  mapped.base = 0x7F000000;
  mapped.size = 0x3000;
  mapped.protection = "rwx";
  const std::vector<peer::Finding> foreign =
      peer::judgeForeign(policy, {allowed, mapped});
  ASSERT_EQ(foreign.size(), 1u);
  EXPECT_EQ(
      foreign[0].what,
      "foreign code: 3000 bytes of executable memory outside every module");
  EXPECT_EQ(foreign[0].evidence,
            "at 7F000000, rwx, first page digest " + kOther);

  peer::PatternMatch inModule, inRegion;
  inModule.id = 7, inModule.inModule = true, inModule.module = "game.exe";
  inRegion.id = 9, inRegion.region = 0x5000, inRegion.offset = 0x10;
  EXPECT_EQ(whats(peer::judgeMatches(policy, {inModule, inRegion})),
            (std::vector<std::string>{
                "cheat pattern 7 \"wallhack loop\" found in module game.exe",
                "cheat pattern 9 found in memory at 5000"}));

  peer::NamesAsked asked;
  asked.labels = {"cheat engine", "trainer"};
  EXPECT_EQ(
      whats(peer::judgeNames(asked, {1, 2})),
      (std::vector<std::string>{"cheat process running: trainer",
                                "a process match the server never asked for"}));
  asked.windows = true;
  EXPECT_EQ(whats(peer::judgeNames(asked, {0})),
            std::vector<std::string>{"cheat window open: cheat engine"});
}

TEST(ScanVerdict, ChallengesAndGameFiles) {
  peer::ChallengeAsked asked;
  asked.module = "qxhost";
  asked.ranges = {{0x1000, 64}};
  asked.expected = {digest(kGood), 64};
  auto reply = [](const std::string &text) {
    return peer::decodeScanReply(message(text));
  };
  EXPECT_TRUE(
      peer::judgeChallenge(asked, reply("ZX 00000001\n" + kGood + " 64"))
          .empty());
  EXPECT_EQ(whats(peer::judgeChallenge(
                asked, reply("ZX 00000001\n" + kOther + " 64"))),
            std::vector<std::string>{
                "code of qxhost differs from its known-good file"});
  EXPECT_EQ(whats(peer::judgeChallenge(asked,
                                       reply("ZX 00000001\n" + kGood + " 63"))),
            std::vector<std::string>{
                "code of qxhost differs from its known-good file"});
  EXPECT_EQ(
      whats(peer::judgeChallenge(asked, reply("ZX 00000001\noutside 0"))),
      std::vector<std::string>{"code of qxhost is not its known-good file"});
  EXPECT_TRUE(
      peer::judgeChallenge(asked, reply("ZX 00000001\nmissing")).empty());

  const peer::ScanPolicy policy =
      policyOf("file " + kGood + " 20 maps\\demo.bsp\n");
  EXPECT_TRUE(peer::judgeFile(policy, {"maps\\demo.bsp"},
                              reply("Z| 00000001\n20 " + kGood))
                  .empty());
  EXPECT_EQ(whats(peer::judgeFile(policy, {"maps\\demo.bsp"},
                                  reply("Z| 00000001\n21 " + kGood))),
            std::vector<std::string>{
                "game file maps\\demo.bsp differs from its known-good copy"});
  EXPECT_TRUE(
      peer::judgeFile(policy, {"other.bsp"}, reply("Z| 00000001\n21 " + kGood))
          .empty());
}

// ---- a session
// ------------------------------------------------------------------

// The nonce of the last request of a scan command.
uint32_t nonceOf(const std::vector<peer::Outgoing> &out) {
  const Bytes &m = out.back().message;
  return uint32_t{m[4]} | uint32_t{m[5]} << 8 | uint32_t{m[6]} << 16 |
         uint32_t{m[7]} << 24;
}

std::string nonceText(uint32_t nonce) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", nonce);
  return text;
}

TEST(ScanSession, JudgesEachPassAsItEndsAndRemembersWhatWasNotAnswered) {
  peer::ScanSession session(policyOf("module allow " + kGood + " game.exe\n"),
                            1);
  std::vector<peer::Outgoing> out;
  ASSERT_EQ(session.command("modules", "game", out), "");
  const std::string table = nonceText(nonceOf(out));
  ASSERT_EQ(session.command("foreign", "", out), "");
  const std::string foreign = nonceText(nonceOf(out));
  EXPECT_TRUE(session.waiting());

  std::vector<std::string> lines;
  ASSERT_TRUE(session.accept(
      message("Zm " + table + "\n0 g 1000 1000 " + kGood + " = game.exe"),
      lines));
  ASSERT_TRUE(session.accept(message("Zm " + table + "\n1 o 9000 1000 " +
                                     kOther + " - inject.so\nend 2"),
                             lines));
  EXPECT_EQ(lines.back().substr(0, 32), "FINDING unknown module inject.so");
  lines.clear();
  ASSERT_TRUE(session.accept(message("Zn " + table + "\n2 o A000 1000 " +
                                     kOther + " - late.so\nend 1"),
                             lines));
  EXPECT_EQ(lines.back().substr(0, 30), "FINDING unknown module late.so");
  ASSERT_TRUE(session.accept(message("Zn 00000BAD\nend 0"), lines));
  EXPECT_EQ(lines.back().substr(0, 49),
            "FINDING a scan reply the server did not ask for\n ");
  ASSERT_TRUE(session.accept(message("ZZ 00000BAD\nend 0"), lines));
  EXPECT_EQ(lines.back().substr(0, 49),
            "FINDING a scan reply the server did not ask for\n ");
  EXPECT_FALSE(session.accept(message("T130700"), lines));

  const std::string verdict = session.judge().verdict();
  EXPECT_EQ(verdict.substr(0, 20), "verdict: 5 findings\n");
  EXPECT_NE(verdict.find("no whole reply 'Z' to the request under nonce"),
            std::string::npos)
      << verdict;
  EXPECT_NE(verdict.find(foreign.substr(foreign.find_first_not_of('0'))),
            std::string::npos);
}

// What a clean session recorded is allowed afterwards; a cheat's finding is
// never written into the baseline.
TEST(ScanSession, ABaselineAllowsWhatTheCleanSessionShowed) {
  const std::string facts[] = {
      "Zm %\n0 g 1000 1000 " + kGood +
          " = qxhost\n1 s 2000 1000 - - linux-vdso.so.1\n"
          "2 o 3000 1000 " +
          kOther + " !4@10 wine.so\nend 3",
      "ZY %\ni qxhost libc.so.6!malloc 7F00 libasan.so.8\nj ntdll!NtOpen 10 "
      "-\nend 40 9",
      "ZZ %\n7F000000 1000 r-x " + kOther + "\nend 1",
  };
  auto play = [&facts](peer::ScanSession &session, bool cheat) {
    std::vector<peer::Outgoing> out;
    std::vector<std::string> lines;
    const char *kinds[] = {"modules", "hooks", "foreign"};
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(session.command(kinds[i], "", out), "");
      std::string text = facts[i];
      text.replace(text.find('%'), 1, nonceText(nonceOf(out)));
      if (cheat && i == 2)
        text = "ZZ " + nonceText(nonceOf(out)) + "\n1000 1000 rwx " + kBad +
               "\nend 1";
      EXPECT_TRUE(session.accept(message(text), lines));
    }
  };
  const peer::ScanPolicy empty =
      policyOf("unknown-modules go\nmodule bad " + kBad + " x\n");
  peer::ScanSession clean(empty, 2);
  play(clean, false);
  EXPECT_EQ(clean.judge().findings().size(), 6u) << clean.judge().verdict();
  const std::string baseline = clean.judge().baseline();

  peer::ScanPolicy withBaseline = empty;
  ASSERT_EQ(peer::readPolicyText(baseline, "baseline", "", withBaseline), "")
      << baseline;
  peer::ScanSession again(withBaseline, 3);
  play(again, false);
  EXPECT_EQ(again.judge().verdict(), "verdict: clean\n");
  peer::ScanSession cheat(withBaseline, 4);
  play(cheat, true);
  EXPECT_EQ(whats(cheat.judge().findings()),
            std::vector<std::string>{"foreign code: 1000 bytes of executable "
                                     "memory outside every module"});
}

TEST(ScanSession, CommandsAreCheckedBeforeAnyClientIsThere) {
  const struct {
    const char *kind, *args;
    bool good;
  } cases[] = {
      {"modules", "", true},
      {"modules", "all a.so b.so", true},
      {"modules", "some", false},
      {"code", "qxhost", true},
      {"code", "qxhost 64 16384", true},
      {"code", "qxhost 65", false},
      {"code", "qxhost all", true},
      {"code", "qxhost all 64", false},
      {"code", "qxhost 64 16385", false},
      {"code", "", false},
      {"hooks", "entries all", true},
      {"hooks", "exports", false},
      {"patterns", "other 256", true},
      {"patterns", "all 0", false},
      {"patterns", "stack", false},
      {"file", "", false},
      {"foreign", "now", false},
      {"status", "", true},
      {"everything", "", false},
  };
  for (const auto &c : cases)
    EXPECT_EQ(peer::ScanSession::check(c.kind, c.args).empty(), c.good)
        << c.kind << " " << c.args;
  peer::ScanSession session(peer::ScanPolicy{}, 5);
  std::vector<peer::Outgoing> out;
  EXPECT_EQ(session.command("code", "qxhost", out),
            "the policy has no known-good file of qxhost (a \"code\" entry)");
  EXPECT_EQ(session.command("processes", "", out),
            "the policy names no process");
  EXPECT_NE(session.seal("2 7 1", out), "");
  EXPECT_TRUE(out.empty());
}

}  // namespace
