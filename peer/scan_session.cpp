#include "peer/scan_session.h"

#include <sstream>

namespace qx::peer {

namespace p = qx::protocol;

namespace {

// Directive lines hold at most kMaxMessage characters: a request in
// hexadecimal takes two a byte, after "QX_SCAN ".
constexpr size_t kDirectiveRequestMax = (p::kMaxMessage - 10) / 2;
constexpr uint32_t kChallengeCount = 8, kChallengeLength = 64;

std::vector<std::string> wordsOf(const std::string &text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

bool readCount(const std::string &text, uint64_t min, uint64_t max,
               uint64_t &out) {
  if (text.empty() || text.size() > 9 ||
      text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  out = std::stoull(text);
  return out >= min && out <= max;
}

std::string hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "%llX", static_cast<unsigned long long>(v));
  return text;
}

// The module table's flags from "game", "all" or "none".
bool compareFlags(const std::string &word, uint8_t &flags) {
  if (word == "game")
    flags = p::kModuleCompareGame;
  else if (word == "all")
    flags = p::kModuleCompareAll;
  else if (word == "none")
    flags = 0;
  else
    return false;
  return true;
}

bool hookFlags(const std::vector<std::string> &words, uint8_t &flags) {
  flags = words.empty() ? p::kHookImportsGame | p::kHookEntries : 0;
  for (const std::string &w : words) {
    if (w == "imports")
      flags |= p::kHookImportsGame;
    else if (w == "all")
      flags |= p::kHookImportsAll;
    else if (w == "entries")
      flags |= p::kHookEntries;
    else
      return false;
  }
  return true;
}

bool regionFlags(const std::string &word, uint8_t &flags) {
  if (word == "images")
    flags = p::kPatternScanImages;
  else if (word == "other")
    flags = p::kPatternScanOther;
  else if (word == "all")
    flags = p::kPatternScanImages | p::kPatternScanOther;
  else
    return false;
  return true;
}

// "N E ALLOWANCE" in range for the seal request.
std::string readSeal(const std::string &args, uint64_t &n, uint64_t &e,
                     uint64_t &allowance) {
  const std::vector<std::string> w = wordsOf(args);
  if (w.size() != 3 ||
      !readCount(w[0], p::kScanSealModulusMin, p::kScanSealModulusMax, n) ||
      !readCount(w[1], 0, 0xFFFFFFFFu, e) ||
      !readCount(w[2], 0, 65535, allowance))
    return "seal needs a modulus (3 to 65535), an exponent and an allowance "
           "(0 to 65535)";
  return "";
}

}  // namespace

ScanSession::ScanSession(const ScanPolicy &policy, uint32_t random)
    : policy_(policy), random_(random) {}

std::string ScanSession::check(const std::string &kind,
                               const std::string &args) {
  const std::vector<std::string> w = wordsOf(args);
  uint8_t flags = 0;
  uint64_t n = 0, length = 0;
  if (kind == "modules") {
    if (!w.empty() && !compareFlags(w[0], flags))
      return "scan modules compares game, all or none, not \"" + w[0] + "\"";
    return "";
  }
  if (kind == "code") {
    if (w.empty() || w.size() > 3)
      return "scan code needs MODULE [COUNT [LENGTH]]";
    n = kChallengeCount, length = kChallengeLength;
    if (w.size() == 2 && w[1] == "all") return "";
    if ((w.size() > 1 && !readCount(w[1], 1, p::kChallengeRangesMax, n)) ||
        (w.size() > 2 && !readCount(w[2], 1, p::kChallengeBytesMax, length)) ||
        n * length > p::kChallengeBytesMax)
      return "scan code asks all the code, or 1 to 64 ranges of at most 1 "
             "MiB in all";
    return "";
  }
  if (kind == "hooks")
    return hookFlags(w, flags) ? ""
                               : "scan hooks takes imports, all and entries";
  if (kind == "patterns") {
    if (w.size() > 2 || (!w.empty() && !regionFlags(w[0], flags)) ||
        (w.size() == 2 && !readCount(w[1], 1, p::kPatternMatchesMax, n)))
      return "scan patterns takes images, other or all, and 1 to 256 matches";
    return "";
  }
  if (kind == "file") return w.empty() ? "scan file needs a PATH" : "";
  for (const char *plain :
       {"foreign", "processes", "windows", "status", "cancel"})
    if (kind == plain)
      return w.empty() ? "" : "scan " + kind + " takes no arguments";
  return "there is no scan \"" + kind + "\"";
}

void ScanSession::send(std::vector<Outgoing> &out, const std::string &what,
                       const Bytes &request) {
  asked_ = true;
  out.push_back({what + (directives_ ? " (as a directive)" : ""),
                 directives_ ? scanDirective(request) : request});
}

std::string ScanSession::command(const std::string &kind,
                                 const std::string &args,
                                 std::vector<Outgoing> &out) {
  const std::string fault = check(kind, args);
  if (!fault.empty()) return fault;
  const std::vector<std::string> w = wordsOf(args);
  if (kind == "modules") {
    uint8_t flags = p::kModuleCompareGame;
    if (!w.empty()) compareFlags(w[0], flags);
    const std::vector<std::string> names(w.begin() + (w.empty() ? 0 : 1),
                                         w.end());
    const uint32_t n = nonce();
    judge_.askedModules(n);
    send(out, "scan modules (nonce " + hex(n) + ")",
         moduleTableRequest(n, policy_.moduleSeed, flags, names));
    return "";
  }
  if (kind == "code") return code(args, out);
  if (kind == "hooks") {
    uint8_t flags = 0;
    hookFlags(w, flags);
    const uint32_t n = nonce();
    judge_.askedHooks(n);
    send(out, "scan hooks (nonce " + hex(n) + ")", hookScanRequest(n, flags));
    return "";
  }
  if (kind == "foreign") {
    const uint32_t n = nonce();
    judge_.askedForeign(n);
    send(out, "scan foreign (nonce " + hex(n) + ")",
         foreignCodeRequest(n, policy_.regionSeed));
    return "";
  }
  if (kind == "patterns") return patterns(args, out);
  if (kind == "processes" || kind == "windows")
    return names(kind == "windows", out);
  if (kind == "file") {
    const uint32_t n = nonce();
    judge_.askedFile(n, {args});
    send(out, "scan file " + args + " (nonce " + hex(n) + ")",
         fileQueryRequest(n, policy_.moduleSeed, args));
    return "";
  }
  if (kind == "status") {
    send(out, "scan status", statusRequest(nonce()));
    return "";
  }
  judge_.cancelled();
  send(out, "scan cancel", cancelRequest(nonce()));
  return "";
}

std::string ScanSession::code(const std::string &args,
                              std::vector<Outgoing> &out) {
  const std::vector<std::string> w = wordsOf(args);
  uint64_t count = kChallengeCount, length = kChallengeLength;
  if (w.size() > 1) readCount(w[1], 1, p::kChallengeRangesMax, count);
  if (w.size() > 2) readCount(w[2], 1, p::kChallengeBytesMax, length);
  const std::string &module = w[0];
  const auto file = policy_.codeFiles.find(module);
  if (file == policy_.codeFiles.end())
    return "the policy has no known-good file of " + module +
           " (a \"code\" entry)";
  uint64_t base = 0;
  if (!judge_.moduleBase(module, base))
    return "no module " + module +
           " in the last module table: scan modules first";
  auto image = images_.find(file->second);
  if (image == images_.end()) {
    CodeImage loaded;
    const std::string error = loadCodeImageFile(file->second, loaded);
    if (!error.empty()) return error;
    image = images_.emplace(file->second, std::move(loaded)).first;
  }
  ChallengeAsked asked;
  asked.module = module;
  const bool all = w.size() == 2 && w[1] == "all";
  asked.ranges = all ? coverCode(image->second, p::kChallengeRangesMax,
                                 p::kChallengeBytesMax)
                     : pickCodeRanges(image->second, count,
                                      static_cast<uint32_t>(length), random_);
  if (asked.ranges.empty() && all)
    return "the code of " + module +
           " takes more than one challenge: ask for COUNT ranges of LENGTH";
  if (asked.ranges.empty())
    return "the known-good file of " + module + " has no room for " +
           std::to_string(length) + "-byte ranges";
  uint64_t asks = 0;
  for (const CodeRange &r : asked.ranges) asks += r.length;
  const uint32_t n = nonce();
  if (!expectedAnswer(image->second, base, asked.ranges, n, asked.expected))
    return "a range lies outside the known-good file";
  judge_.askedChallenge(n, asked);
  send(out,
       "scan code " + module + ": " + std::to_string(asked.ranges.size()) +
           " ranges, " + std::to_string(asks) + " bytes (nonce " + hex(n) + ")",
       codeChallengeRequest(n, module, asked.ranges));
  return "";
}

std::string ScanSession::patterns(const std::string &args,
                                  std::vector<Outgoing> &out) {
  const std::vector<std::string> w = wordsOf(args);
  uint8_t flags = p::kPatternScanImages | p::kPatternScanOther;
  uint64_t most = p::kPatternMatchesMax;
  if (!w.empty()) regionFlags(w[0], flags);
  if (w.size() > 1) readCount(w[1], 1, p::kPatternMatchesMax, most);
  std::vector<Pattern> list;
  for (const LabelledPattern &lp : policy_.patterns) list.push_back(lp.pattern);
  const uint32_t listId = random_();
  const std::vector<Bytes> parts =
      patternList(nonce(), listId, list,
                  directives_ ? kDirectiveRequestMax : p::kMaxMessage);
  if (parts.empty()) return "the policy's patterns do not fit 16 parts";
  for (size_t i = 0; i < parts.size(); ++i)
    send(out,
         "pattern list " + hex(listId) + " part " + std::to_string(i + 1) +
             " of " + std::to_string(parts.size()) + " (" +
             std::to_string(list.size()) + " patterns, masked)",
         parts[i]);
  const uint32_t n = nonce();
  judge_.askedPatterns(n, {listId});
  send(out, "scan patterns (nonce " + hex(n) + ")",
       patternScanRequest(n, listId, flags, static_cast<uint16_t>(most)));
  return "";
}

std::string ScanSession::names(bool windows, std::vector<Outgoing> &out) {
  const std::vector<Labelled> &entries =
      windows ? policy_.windows : policy_.processes;
  if (entries.empty())
    return std::string("the policy names no ") +
           (windows ? "window" : "process");
  // At most 64 digests a request.
  for (size_t from = 0; from < entries.size(); from += p::kNameDigestsMax) {
    NamesAsked asked;
    asked.windows = windows;
    std::vector<Digest> digests;
    for (size_t i = from; i < entries.size() && i < from + p::kNameDigestsMax;
         ++i) {
      digests.push_back(entries[i].digest);
      asked.labels.push_back(entries[i].label);
    }
    const uint32_t n = nonce();
    judge_.askedNames(n, asked);
    send(out,
         std::string("scan ") + (windows ? "windows" : "processes") + ": " +
             std::to_string(digests.size()) + " digests (nonce " + hex(n) + ")",
         windows ? windowScanRequest(n, policy_.nameSeed, digests)
                 : processScanRequest(n, policy_.nameSeed, digests));
  }
  return "";
}

std::string ScanSession::seal(const std::string &args,
                              std::vector<Outgoing> &out) {
  uint64_t n = 0, e = 0, allowance = 0;
  const std::string fault = readSeal(args, n, e, allowance);
  if (!fault.empty()) return fault;
  previousKey_ = key_;
  key_ = peer::sealKey(static_cast<uint32_t>(n), static_cast<uint32_t>(e));
  send(out,
       "seal: modulus " + std::to_string(n) + ", exponent " +
           std::to_string(e) + ", allowance " + std::to_string(allowance) +
           (key_.privateExponent ? ""
                                 : " (no private exponent: the server cannot "
                                   "open what the client seals with it)"),
       sealRequest(nonce(), static_cast<uint32_t>(n), static_cast<uint32_t>(e),
                   static_cast<uint16_t>(allowance)));
  return "";
}

bool ScanSession::accept(const Bytes &message,
                         std::vector<std::string> &lines) {
  ScanReply reply = decodeScanReply(message, key_);
  // A message the client sealed before it took the new key.
  if (reply.sealed && !reply.sealValid)
    reply = decodeScanReply(message, previousKey_);
  if (!reply.scan) return false;
  lines.push_back(describe(reply));
  std::vector<Finding> found;
  ScanReply pass;
  // Only the messages of a pass the server awaits are kept until its end;
  // any other is judged at once.
  if (!reply.ok || !judge_.expects(reply.letter, reply.nonce))
    found = judge_.judge(reply);
  else if (passes_.add(reply, pass))
    found = judge_.judge(pass);
  for (const Finding &f : found)
    lines.push_back("FINDING " + f.what + "\n  evidence: " + f.evidence);
  return true;
}

}  // namespace qx::peer
