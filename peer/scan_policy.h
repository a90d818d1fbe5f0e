// What the server knows and allows, and how it judges the facts the scans
// report. The policy is a text file, one entry a line ('#' starts a
// comment line; words are separated by blanks; the last word of an entry
// may hold blanks where it is a name, a label or a path):
//
//   seed modules HEX          seed of module and game file digests, sent
//                             in the module-table request (default 0)
//   seed names HEX            seed of process and window name digests
//   seed regions HEX          seed of foreign code's first-page digests
//   unknown-modules CLASSES   the classes (g, s, o) in which a module that
//                             the policy does not know is a finding, or
//                             "none" (default "go")
//   module allow DIGEST NAME  a module file known to be good ("-" for a
//                             module without a file, allowed by its name)
//   module bad DIGEST LABEL   a module file known to be a cheat
//   code MODULE FILE          the known-good file of MODULE, from which the
//                             server picks code challenges
//   pattern ID BYTES LABEL    a byte pattern of a cheat ("E8????????5DC3")
//   process DIGEST LABEL      a cheat's process name, digested
//   window DIGEST LABEL       a cheat's window title, digested
//   file DIGEST SIZE PATH     a game file and its known-good digest (SIZE
//                             in hexadecimal, PATH inside the game folder)
//   allow hook i IMPORTER EXPORTER!FUNCTION TARGET-MODULE
//   allow hook j MODULE!FUNCTION TARGET-MODULE
//                             a hook the player's system makes legitimately
//                             ("-" for a target in no module)
//   allow foreign DIGEST      code outside every module with this first page
//   allow code NAME DIGEST    a module whose code legitimately differs
//                             from its file (DIGEST its file's, or "-")
//   include FILE              the entries of another file (a baseline)
//
// A baseline is a file of "module allow" and "allow" entries that the
// server writes from a clean session (qxserver --record-baseline), so that
// what the player's system does legitimately (a compatibility layer's
// foreign code and hooks, a driver's) is allowed by what was seen, never by
// names built into the server.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "peer/scan_peer.h"

namespace qx::peer {

struct Labelled {
  Digest digest{};
  bool hasDigest = true;  // false: "-"
  std::string label;      // a name, or what the entry names
};

struct HookRule {
  char kind = 0;                                         // 'i' or 'j'
  std::string importer, module, function, targetModule;  // "-": none
};

struct GameFile {
  Digest digest{};
  uint64_t size = 0;
  std::string path;
};

struct LabelledPattern {
  Pattern pattern;
  std::string label;
};

struct ScanPolicy {
  uint32_t moduleSeed = 0, nameSeed = 0, regionSeed = 0;
  std::string unknownClasses = "go";
  std::vector<Labelled> allowedModules, badModules;
  std::map<std::string, std::string> codeFiles;  // module name -> file
  std::vector<LabelledPattern> patterns;
  std::vector<Labelled> processes, windows;
  std::vector<GameFile> files;
  std::vector<HookRule> allowedHooks;
  std::vector<Digest> allowedForeign;
  std::vector<Labelled> allowedCode;  // label: the module's name
};

// Reads a policy file and the files it includes (paths relative to the
// including file's folder). Returns every fault as "FILE, line N: why",
// one a line, or "" when the whole policy is good.
std::string readPolicy(const std::string &path, ScanPolicy &policy);
// The same for text; folder resolves include and code paths.
std::string readPolicyText(const std::string &text, const std::string &name,
                           const std::string &folder, ScanPolicy &policy,
                           int depth = 0);

// ---- judging ---------------------------------------------------------------

struct Finding {
  std::string what;      // one line for the operator: what was found
  std::string evidence;  // the facts that show it
  // The policy entry that would allow it, for a baseline; empty when a
  // finding is never allowed (a known cheat, a failed challenge).
  std::string allowEntry;
};

// What the server asked, which the replies are judged against.
struct PatternScanAsked {
  uint32_t listId = 0;
};
struct ChallengeAsked {
  std::string module;
  std::vector<CodeRange> ranges;
  ChallengeAnswer expected;
};
struct NamesAsked {
  bool windows = false;
  std::vector<std::string> labels;  // in the order of the digests sent
};
struct FileAsked {
  std::string path;
};

// The verdict of one player's session: each reply judged as it comes, and
// what was asked but never answered.
class ScanJudge {
 public:
  explicit ScanJudge(const ScanPolicy &policy) : policy_(policy) {}

  // Each request as it is sent, under its nonce.
  void askedModules(uint32_t nonce);
  void askedPatterns(uint32_t nonce, const PatternScanAsked &asked);
  void askedChallenge(uint32_t nonce, const ChallengeAsked &asked);
  void askedHooks(uint32_t nonce);
  void askedForeign(uint32_t nonce);
  void askedNames(uint32_t nonce, const NamesAsked &asked);
  void askedFile(uint32_t nonce, const FileAsked &asked);
  // A cancel drops every pass under way, and their replies.
  void cancelled();

  // Whether a reply with this letter and nonce answers a request (or is a
  // re-check of one) that has not had its whole reply yet.
  bool expects(char letter, uint32_t nonce) const;

  // Judges a whole pass (the messages of a reply joined) or a reply that
  // did not parse; returns its findings and adds them to the session's.
  std::vector<Finding> judge(const ScanReply &pass);

  // The base of a module in the last module table, by its file name.
  bool moduleBase(const std::string &name, uint64_t &base) const;

  // The findings so far, the notes (facts that are no finding: a pass the
  // player's settings left out, a file the client could not read), and the
  // requests without a whole reply.
  const std::vector<Finding> &findings() const { return findings_; }
  const std::vector<std::string> &notes() const { return notes_; }
  std::vector<std::string> unanswered() const;

  // The verdict for the operator: "clean", or each finding with its
  // evidence; unanswered requests count as findings.
  std::string verdict() const;
  // The entries that allow what this session found, for a baseline.
  std::string baseline() const;

 private:
  struct Asked {
    char letter = 0;  // the reply letter that answers it
    PatternScanAsked patterns;
    ChallengeAsked challenge;
    NamesAsked names;
    FileAsked file;
  };
  void ask(uint32_t nonce, char letter, Asked asked);
  void add(std::vector<Finding> &out, Finding finding);

  const ScanPolicy &policy_;
  std::map<uint32_t, Asked> asked_;  // by nonce, until answered
  // The last module table and name lists asked, which re-checks answer.
  bool tableAsked_ = false;
  uint32_t tableNonce_ = 0;
  NamesAsked lastProcesses_, lastWindows_;
  uint32_t processesNonce_ = 0, windowsNonce_ = 0;
  std::map<std::string, uint64_t> bases_;
  std::vector<Finding> findings_;
  std::vector<std::string> notes_;
};

// The facts of one pass against the policy, without any session: tables of
// facts and their findings are tested through these.
std::vector<Finding> judgeModules(const ScanPolicy &policy,
                                  const std::vector<ModuleRecord> &modules);
std::vector<Finding> judgeHooks(const ScanPolicy &policy,
                                const std::vector<HookRecord> &hooks);
std::vector<Finding> judgeForeign(const ScanPolicy &policy,
                                  const std::vector<ForeignRegion> &regions);
std::vector<Finding> judgeMatches(const ScanPolicy &policy,
                                  const std::vector<PatternMatch> &matches);
std::vector<Finding> judgeNames(const NamesAsked &asked,
                                const std::vector<uint32_t> &indices);
std::vector<Finding> judgeChallenge(const ChallengeAsked &asked,
                                    const ScanReply &reply);
std::vector<Finding> judgeFile(const ScanPolicy &policy, const FileAsked &asked,
                               const ScanReply &reply);

}  // namespace qx::peer
