#include "peer/scan_policy.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace qx::peer {

namespace {

constexpr int kIncludeDepth = 8;

std::string hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "%llX", static_cast<unsigned long long>(v));
  return text;
}

// The words of an entry; the last one takes the rest of the line when
// rest is set.
class Words {
 public:
  explicit Words(const std::string &line) : line_(line) {}
  bool next(std::string &out) {
    skipBlanks();
    if (at_ >= line_.size()) return false;
    const size_t end = line_.find_first_of(" \t", at_);
    out = line_.substr(at_, end == std::string::npos ? end : end - at_);
    at_ = end == std::string::npos ? line_.size() : end;
    return true;
  }
  bool rest(std::string &out) {
    skipBlanks();
    out = line_.substr(std::min(at_, line_.size()));
    while (!out.empty() && (out.back() == ' ' || out.back() == '\t'))
      out.pop_back();
    at_ = line_.size();
    return !out.empty();
  }
  bool done() {
    skipBlanks();
    return at_ >= line_.size();
  }

 private:
  void skipBlanks() {
    while (at_ < line_.size() && (line_[at_] == ' ' || line_[at_] == '\t'))
      ++at_;
  }
  std::string line_;
  size_t at_ = 0;
};

bool readHex32(const std::string &text, uint32_t &out) {
  std::string digits = text;
  if (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0)
    digits.erase(0, 2);
  if (digits.empty() || digits.size() > 8) return false;
  uint32_t v = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    v = v << 4 | static_cast<uint32_t>(d);
  }
  out = v;
  return true;
}

// "DIGEST rest": a digest (or "-" where dash is allowed) and a label.
std::string readLabelled(Words &w, bool dash, Labelled &out) {
  std::string digest;
  if (!w.next(digest)) return "needs a digest";
  out.hasDigest = !(dash && digest == "-");
  if (out.hasDigest && !readDigest(digest, out.digest))
    return "\"" + digest + "\" is not 32 hexadecimal digits";
  if (!w.rest(out.label)) return "needs a name after the digest";
  return "";
}

std::string readHookRule(Words &w, HookRule &out) {
  std::string kind, exported;
  if (!w.next(kind) || (kind != "i" && kind != "j"))
    return "allow hook needs i or j";
  out.kind = kind[0];
  if (out.kind == 'i' && !w.next(out.importer))
    return "allow hook i needs the importing module";
  if (!w.next(exported)) return "allow hook needs MODULE!FUNCTION";
  const size_t bang = exported.rfind('!');
  if (bang == std::string::npos || bang == 0 || bang + 1 == exported.size())
    return "\"" + exported + "\" is not MODULE!FUNCTION";
  out.module = exported.substr(0, bang);
  out.function = exported.substr(bang + 1);
  if (!w.rest(out.targetModule))
    return "allow hook needs the target's module (or -)";
  return "";
}

std::string joinPath(const std::string &folder, const std::string &path) {
  if (folder.empty() || path.empty() || path[0] == '/' ||
      (path.size() > 1 && path[1] == ':'))
    return path;
  return folder + "/" + path;
}

std::string folderOf(const std::string &path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

// One entry; "" or what is wrong with it.
std::string readEntry(const std::string &line, const std::string &folder,
                      ScanPolicy &policy, int depth) {
  Words w(line);
  std::string keyword, word;
  w.next(keyword);
  if (keyword == "seed") {
    std::string which, value;
    uint32_t seed = 0;
    if (!w.next(which) || !w.next(value) || !readHex32(value, seed) ||
        !w.done())
      return "seed needs modules, names or regions and a hexadecimal number";
    if (which == "modules")
      policy.moduleSeed = seed;
    else if (which == "names")
      policy.nameSeed = seed;
    else if (which == "regions")
      policy.regionSeed = seed;
    else
      return "there is no seed \"" + which + "\"";
    return "";
  }
  if (keyword == "unknown-modules") {
    std::string classes;
    if (!w.next(classes) || !w.done())
      return "unknown-modules needs the classes (g, s, o) or none";
    if (classes == "none") classes.clear();
    for (char c : classes)
      if (c != 'g' && c != 's' && c != 'o')
        return "there is no module class '" + std::string(1, c) + "'";
    policy.unknownClasses = classes;
    return "";
  }
  if (keyword == "module") {
    Labelled entry;
    if (!w.next(word) || (word != "allow" && word != "bad"))
      return "module needs allow or bad";
    const std::string error = readLabelled(w, word == "allow", entry);
    if (!error.empty()) return "module " + word + " " + error;
    (word == "allow" ? policy.allowedModules : policy.badModules)
        .push_back(entry);
    return "";
  }
  if (keyword == "process" || keyword == "window") {
    Labelled entry;
    const std::string error = readLabelled(w, false, entry);
    if (!error.empty()) return keyword + " " + error;
    (keyword == "process" ? policy.processes : policy.windows).push_back(entry);
    return "";
  }
  if (keyword == "code") {
    std::string module, file;
    if (!w.next(module) || !w.rest(file))
      return "code needs a module name and its known-good file";
    policy.codeFiles[module] = joinPath(folder, file);
    return "";
  }
  if (keyword == "pattern") {
    LabelledPattern entry;
    std::string id, bytes;
    uint32_t number = 0;
    if (!w.next(id) || !w.next(bytes) || !w.rest(entry.label))
      return "pattern needs an id, its bytes and a label";
    std::istringstream in(id);
    if (!(in >> number) || !in.eof() || number > 0xFFFF)
      return "\"" + id + "\" is not a pattern id (0 to 65535)";
    entry.pattern.id = static_cast<uint16_t>(number);
    const std::string error = readPattern(bytes, entry.pattern);
    if (!error.empty()) return error;
    for (const LabelledPattern &p : policy.patterns)
      if (p.pattern.id == entry.pattern.id)
        return "pattern " + id + " is given twice";
    if (policy.patterns.size() >= size_t{protocol::kPatternListMax})
      return "more than " + std::to_string(protocol::kPatternListMax) +
             " patterns";
    policy.patterns.push_back(entry);
    return "";
  }
  if (keyword == "file") {
    GameFile entry;
    std::string digest, size;
    uint32_t value = 0;
    if (!w.next(digest) || !readDigest(digest, entry.digest) || !w.next(size) ||
        !readHex32(size, value) || !w.rest(entry.path))
      return "file needs a digest, its size in hexadecimal and its path";
    entry.size = value;
    policy.files.push_back(entry);
    return "";
  }
  if (keyword == "allow") {
    if (!w.next(word)) return "allow needs hook, foreign or code";
    if (word == "hook") {
      HookRule rule;
      const std::string error = readHookRule(w, rule);
      if (!error.empty()) return error;
      policy.allowedHooks.push_back(rule);
      return "";
    }
    if (word == "foreign") {
      Digest d;
      if (!w.next(word) || !readDigest(word, d))
        return "allow foreign needs the first page's digest";
      policy.allowedForeign.push_back(d);
      return "";  // what follows the digest is a note for people
    }
    if (word == "code") {
      Labelled entry;
      std::string digest;
      if (!w.next(entry.label) || !w.next(digest) ||
          !(digest == "-" || readDigest(digest, entry.digest)) || !w.done())
        return "allow code needs a module name and its file's digest (or -)";
      entry.hasDigest = digest != "-";
      policy.allowedCode.push_back(entry);
      return "";
    }
    return "there is nothing to allow called \"" + word + "\"";
  }
  if (keyword == "include") {
    std::string file;
    if (!w.rest(file)) return "include needs a file";
    if (depth >= kIncludeDepth) return "includes nest too deep";
    const std::string path = joinPath(folder, file);
    std::ifstream in(path, std::ios::binary);
    if (!in) return "cannot read " + path;
    std::ostringstream text;
    text << in.rdbuf();
    return readPolicyText(text.str(), path, folderOf(path), policy, depth + 1);
  }
  return "there is no policy entry \"" + keyword + "\"";
}

bool sameDigest(const Labelled &entry, const ModuleRecord &m) {
  return entry.hasDigest ? m.hasDigest && entry.digest == m.digest
                         : !m.hasDigest && entry.label == m.name;
}

std::string moduleEvidence(const ModuleRecord &m) {
  return std::string("module ") + m.name + " (class " + m.kind + ") at " +
         hex(m.base) + ", " + hex(m.size) + " bytes, file digest " +
         (m.hasDigest ? digestHex(m.digest) : std::string("-"));
}

std::string hookName(const HookRecord &h) {
  return h.module + "!" + h.function;
}

bool hookAllowed(const ScanPolicy &policy, const HookRecord &h) {
  const std::string target = h.targetModule.empty() ? "-" : h.targetModule;
  for (const HookRule &r : policy.allowedHooks)
    if (r.kind == h.kind && r.module == h.module && r.function == h.function &&
        r.targetModule == target && (h.kind != 'i' || r.importer == h.importer))
      return true;
  return false;
}

std::string label(const std::string &what, const std::string &name) {
  return name.empty() ? what : what + " \"" + name + "\"";
}

}  // namespace

std::string readPolicyText(const std::string &text, const std::string &name,
                           const std::string &folder, ScanPolicy &policy,
                           int depth) {
  std::istringstream lines(text);
  std::string faults;
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    const std::string error = readEntry(line, folder, policy, depth);
    if (error.empty()) continue;
    // Faults of an included file name their own file and line.
    if (error.find(", line ") != std::string::npos)
      faults += error;
    else
      faults += name + ", line " + std::to_string(number) + ": " + error + "\n";
  }
  return faults;
}

std::string readPolicy(const std::string &path, ScanPolicy &policy) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return path + ": cannot read the policy\n";
  std::ostringstream text;
  text << in.rdbuf();
  return readPolicyText(text.str(), path, folderOf(path), policy);
}

// ---- the facts of each pass ------------------------------------------------

std::vector<Finding> judgeModules(const ScanPolicy &policy,
                                  const std::vector<ModuleRecord> &modules) {
  std::vector<Finding> out;
  for (const ModuleRecord &m : modules) {
    const std::string evidence = moduleEvidence(m);
    const auto bad =
        std::find_if(policy.badModules.begin(), policy.badModules.end(),
                     [&m](const Labelled &b) {
                       return m.hasDigest && b.digest == m.digest;
                     });
    if (bad != policy.badModules.end()) {
      out.push_back(
          {"known cheat module " + m.name + ": " + bad->label, evidence, ""});
      continue;
    }
    const bool known =
        std::any_of(policy.allowedModules.begin(), policy.allowedModules.end(),
                    [&m](const Labelled &a) { return sameDigest(a, m); });
    if (!known && policy.unknownClasses.find(m.kind) != std::string::npos)
      out.push_back(
          {"unknown module " + m.name, evidence,
           "module allow " +
               (m.hasDigest ? digestHex(m.digest) : std::string("-")) + " " +
               m.name});
    if (m.code != CodeCheck::kDiffers) continue;
    const bool allowed =
        std::any_of(policy.allowedCode.begin(), policy.allowedCode.end(),
                    [&m](const Labelled &a) {
                      return a.label == m.name &&
                             (a.hasDigest ? m.hasDigest && a.digest == m.digest
                                          : !m.hasDigest);
                    });
    if (!allowed)
      out.push_back({"code of " + m.name + " differs from its file",
                     evidence + "; " + std::to_string(m.differing) +
                         " bytes differ, the first at +" +
                         hex(m.firstDifference),
                     "allow code " + m.name + " " +
                         (m.hasDigest ? digestHex(m.digest) : "-")});
  }
  return out;
}

std::vector<Finding> judgeHooks(const ScanPolicy &policy,
                                const std::vector<HookRecord> &hooks) {
  std::vector<Finding> out;
  for (const HookRecord &h : hooks) {
    if (hookAllowed(policy, h)) continue;
    const std::string target =
        h.targetModule.empty() ? "no module" : h.targetModule;
    const std::string where = "jumps to " + hex(h.target) + " in " + target;
    if (h.kind == 'i')
      out.push_back({"import hook: " + h.importer + "'s import of " +
                         hookName(h) + " leads into " + target,
                     "the import slot " + where,
                     "allow hook i " + h.importer + " " + hookName(h) + " " +
                         (h.targetModule.empty() ? "-" : h.targetModule)});
    else
      out.push_back(
          {"entry hook: " + hookName(h) + " begins with a jump into " + target,
           "the entry " + where,
           "allow hook j " + hookName(h) + " " +
               (h.targetModule.empty() ? "-" : h.targetModule)});
  }
  return out;
}

std::vector<Finding> judgeForeign(const ScanPolicy &policy,
                                  const std::vector<ForeignRegion> &regions) {
  std::vector<Finding> out;
  for (const ForeignRegion &g : regions) {
    if (std::find(policy.allowedForeign.begin(), policy.allowedForeign.end(),
                  g.firstPage) != policy.allowedForeign.end())
      continue;
    out.push_back({"foreign code: " + hex(g.size) +
                       " bytes of executable memory outside every module",
                   "at " + hex(g.base) + ", " + g.protection +
                       ", first page digest " + digestHex(g.firstPage),
                   "allow foreign " + digestHex(g.firstPage) + " " +
                       hex(g.size) + " " + g.protection});
  }
  return out;
}

std::vector<Finding> judgeMatches(const ScanPolicy &policy,
                                  const std::vector<PatternMatch> &matches) {
  std::vector<Finding> out;
  for (const PatternMatch &m : matches) {
    std::string name;
    for (const LabelledPattern &p : policy.patterns)
      if (p.pattern.id == m.id) name = p.label;
    const std::string where =
        m.inModule ? "module " + m.module : "memory at " + hex(m.region);
    out.push_back({label("cheat pattern " + std::to_string(m.id), name) +
                       " found in " + where,
                   "at +" + hex(m.offset) + " of " + where, ""});
  }
  return out;
}

std::vector<Finding> judgeNames(const NamesAsked &asked,
                                const std::vector<uint32_t> &indices) {
  std::vector<Finding> out;
  const std::string what = asked.windows ? "window" : "process";
  for (uint32_t index : indices) {
    if (index >= asked.labels.size()) {
      out.push_back({"a " + what + " match the server never asked for",
                     "digest index " + std::to_string(index) + " of " +
                         std::to_string(asked.labels.size()),
                     ""});
      continue;
    }
    out.push_back({asked.windows
                       ? "cheat window open: " + asked.labels[index]
                       : "cheat process running: " + asked.labels[index],
                   "its " + std::string(asked.windows ? "title" : "name") +
                       " matched digest " + std::to_string(index),
                   ""});
  }
  return out;
}

std::vector<Finding> judgeChallenge(const ChallengeAsked &asked,
                                    const ScanReply &reply) {
  std::string ranges;
  for (const CodeRange &r : asked.ranges)
    ranges +=
        (ranges.empty() ? "" : ", ") + hex(r.offset) + "+" + hex(r.length);
  if (reply.outcome == "outside")
    return {{"code of " + asked.module + " is not its known-good file",
             "range " +
                 std::to_string(reply.counts.empty() ? 0 : reply.counts[0]) +
                 " of " + ranges + " lies beyond the module's image",
             ""}};
  if (reply.answers.empty()) return {};
  const ChallengeAnswer &a = reply.answers[0];
  if (a.digest == asked.expected.digest && a.bytes == asked.expected.bytes)
    return {};
  return {{"code of " + asked.module + " differs from its known-good file",
           "ranges " + ranges + ": answered " + digestHex(a.digest) + " over " +
               std::to_string(a.bytes) + " bytes, the file gives " +
               digestHex(asked.expected.digest) + " over " +
               std::to_string(asked.expected.bytes),
           ""}};
}

std::vector<Finding> judgeFile(const ScanPolicy &policy, const FileAsked &asked,
                               const ScanReply &reply) {
  if (reply.files.empty()) return {};
  const FileAnswer &a = reply.files[0];
  for (const GameFile &f : policy.files) {
    if (f.path != asked.path) continue;
    if (f.digest == a.digest && f.size == a.size) return {};
    return {{"game file " + asked.path + " differs from its known-good copy",
             "size " + hex(a.size) + ", digest " + digestHex(a.digest) +
                 "; known good: size " + hex(f.size) + ", digest " +
                 digestHex(f.digest),
             ""}};
  }
  return {};
}

// ---- the session
// -------------------------------------------------------------

void ScanJudge::ask(uint32_t nonce, char letter, Asked asked) {
  asked.letter = letter;
  asked_[nonce] = asked;
}

void ScanJudge::askedModules(uint32_t nonce) {
  tableAsked_ = true;
  tableNonce_ = nonce;
  ask(nonce, protocol::kReplyModuleTable, Asked{});
}

void ScanJudge::askedPatterns(uint32_t nonce, const PatternScanAsked &a) {
  Asked asked;
  asked.patterns = a;
  ask(nonce, protocol::kReplyPatternScan, asked);
}

void ScanJudge::askedChallenge(uint32_t nonce, const ChallengeAsked &a) {
  Asked asked;
  asked.challenge = a;
  ask(nonce, protocol::kReplyCodeChallenge, asked);
}

void ScanJudge::askedHooks(uint32_t nonce) {
  ask(nonce, protocol::kReplyHooks, Asked{});
}

void ScanJudge::askedForeign(uint32_t nonce) {
  ask(nonce, protocol::kReplyForeignCode, Asked{});
}

void ScanJudge::askedNames(uint32_t nonce, const NamesAsked &a) {
  Asked asked;
  asked.names = a;
  (a.windows ? lastWindows_ : lastProcesses_) = a;
  (a.windows ? windowsNonce_ : processesNonce_) = nonce;
  ask(nonce, a.windows ? protocol::kReplyWindows : protocol::kReplyProcesses,
      asked);
}

void ScanJudge::askedFile(uint32_t nonce, const FileAsked &a) {
  Asked asked;
  asked.file = a;
  ask(nonce, protocol::kReplyFileQuery, asked);
}

void ScanJudge::cancelled() { asked_.clear(); }

bool ScanJudge::expects(char letter, uint32_t nonce) const {
  switch (letter) {
    case protocol::kReplyStatus:
    case protocol::kReplySeal:
    case protocol::kReplyCancel:
      return true;
    case protocol::kReplyModuleRecheck:
      return tableAsked_ && nonce == tableNonce_;
    case protocol::kReplyProcessRecheck:
      return !lastProcesses_.labels.empty() && nonce == processesNonce_;
    case protocol::kReplyWindowRecheck:
      return !lastWindows_.labels.empty() && nonce == windowsNonce_;
    default: {
      const auto it = asked_.find(nonce);
      return it != asked_.end() && it->second.letter == letter;
    }
  }
}

void ScanJudge::add(std::vector<Finding> &out, Finding finding) {
  out.push_back(finding);
  findings_.push_back(finding);
}

std::vector<Finding> ScanJudge::judge(const ScanReply &pass) {
  std::vector<Finding> out;
  if (!pass.ok) {
    add(out, {"a scan reply that does not parse", pass.error, ""});
    return out;
  }
  const std::string nonce = hex(pass.nonce);
  auto it = asked_.find(pass.nonce);
  const bool recheck = pass.letter == protocol::kReplyModuleRecheck ||
                       pass.letter == protocol::kReplyProcessRecheck ||
                       pass.letter == protocol::kReplyWindowRecheck;
  if (!expects(pass.letter, pass.nonce)) {
    add(out,
        {"a scan reply the server did not ask for",
         std::string("reply '") + pass.letter + "' under nonce " + nonce, ""});
    return out;
  }
  Asked asked;
  if (it != asked_.end() && it->second.letter == pass.letter) {
    asked = it->second;
    asked_.erase(it);
  }
  std::vector<Finding> found;
  switch (pass.letter) {
    case protocol::kReplyModuleTable:
    case protocol::kReplyModuleRecheck:
      if (pass.letter == protocol::kReplyModuleTable) bases_.clear();
      for (const ModuleRecord &m : pass.modules) {
        bases_[m.name] = m.base;
        if (m.code == CodeCheck::kUnreadable)
          notes_.push_back("the client could not read the file of " + m.name);
      }
      found = judgeModules(policy_, pass.modules);
      break;
    case protocol::kReplyPatternScan:
      if (pass.outcome == "incomplete" || pass.outcome == "unknown")
        notes_.push_back("pattern scan " + nonce + ": the client's list " +
                         hex(asked.patterns.listId) + " is " + pass.outcome);
      found = judgeMatches(policy_, pass.matches);
      break;
    case protocol::kReplyCodeChallenge:
      if (pass.outcome == "missing")
        notes_.push_back("code challenge " + nonce + ": no module " +
                         asked.challenge.module + " is loaded");
      found = judgeChallenge(asked.challenge, pass);
      break;
    case protocol::kReplyHooks:
      found = judgeHooks(policy_, pass.hooks);
      break;
    case protocol::kReplyForeignCode:
      found = judgeForeign(policy_, pass.regions);
      break;
    case protocol::kReplyProcesses:
    case protocol::kReplyWindows:
    case protocol::kReplyProcessRecheck:
    case protocol::kReplyWindowRecheck: {
      const bool windows = pass.letter == protocol::kReplyWindows ||
                           pass.letter == protocol::kReplyWindowRecheck;
      if (pass.outcome == "off")
        notes_.push_back(std::string(windows ? "windows" : "processes") +
                         " not scanned: the player's QX_SYSTEM is 0");
      found = judgeNames(
          recheck ? (windows ? lastWindows_ : lastProcesses_) : asked.names,
          pass.indices);
      break;
    }
    case protocol::kReplyFileQuery:
      if (pass.outcome == "missing" || pass.outcome == "refused")
        notes_.push_back("file " + asked.file.path + ": " + pass.outcome);
      found = judgeFile(policy_, asked.file, pass);
      break;
    default:
      break;
  }
  for (Finding &f : found) add(out, f);
  return out;
}

bool ScanJudge::moduleBase(const std::string &name, uint64_t &base) const {
  const auto it = bases_.find(name);
  if (it == bases_.end()) return false;
  base = it->second;
  return true;
}

std::vector<std::string> ScanJudge::unanswered() const {
  std::vector<std::string> out;
  for (const auto &[nonce, asked] : asked_)
    out.push_back(std::string("no whole reply '") + asked.letter +
                  "' to the request under nonce " + hex(nonce));
  return out;
}

std::string ScanJudge::verdict() const {
  const std::vector<std::string> silent = unanswered();
  std::string out;
  const size_t count = findings_.size() + silent.size();
  if (count == 0)
    out = "verdict: clean\n";
  else
    out = "verdict: " + std::to_string(count) + " finding" +
          (count == 1 ? "" : "s") + "\n";
  for (const Finding &f : findings_)
    out += "  FINDING " + f.what + "\n    evidence: " + f.evidence + "\n";
  for (const std::string &s : silent) out += "  FINDING " + s + "\n";
  for (const std::string &n : notes_) out += "  note: " + n + "\n";
  return out;
}

std::string ScanJudge::baseline() const {
  std::vector<std::string> entries;
  for (const Finding &f : findings_)
    if (!f.allowEntry.empty() && std::find(entries.begin(), entries.end(),
                                           f.allowEntry) == entries.end())
      entries.push_back(f.allowEntry);
  std::string out;
  for (const std::string &e : entries) out += e + "\n";
  return out;
}

}  // namespace qx::peer
