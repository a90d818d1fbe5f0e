#include "peer/scan_peer.h"

#include <cstdio>

#include "peer/digest.h"

namespace qx::peer {

namespace p = qx::protocol;

namespace {

void putLittle(Bytes &out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i)
    out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void putText(Bytes &out, const std::string &text) {
  const size_t n = text.size() < 255 ? text.size() : 255;
  out.push_back(static_cast<uint8_t>(n));
  out.insert(out.end(), text.begin(), text.begin() + static_cast<long>(n));
}

uint8_t countByte(size_t n) { return static_cast<uint8_t>(n < 255 ? n : 255); }

// The start of every request: its code (and under 'B' its sub-code), 'q',
// the version and the nonce.
Bytes requestHead(char code, char sub, uint32_t nonce) {
  Bytes out{static_cast<uint8_t>(code)};
  if (code == p::kCodeQuery) out.push_back(static_cast<uint8_t>(sub));
  out.push_back(p::kScanMagic);
  out.push_back(p::kScanVersion);
  putLittle(out, nonce, 4);
  return out;
}

Bytes query(char sub, uint32_t nonce) {
  return requestHead(p::kCodeQuery, sub, nonce);
}

Bytes digestListRequest(char sub, uint32_t nonce, uint32_t seed,
                        const std::vector<Digest> &digests) {
  Bytes out = query(sub, nonce);
  putLittle(out, seed, 4);
  const uint8_t n = countByte(digests.size());
  out.push_back(n);
  for (size_t i = 0; i < n; ++i)
    out.insert(out.end(), digests[i].begin(), digests[i].end());
  return out;
}

// Bytes a pattern takes in a part: id, length, bytes, care mask.
size_t encodedSize(const Pattern &pattern) {
  const size_t n = pattern.bytes.size() < 255 ? pattern.bytes.size() : 255;
  return 3 + n + (n + 7) / 8;
}

// 'S', the request's head, list id, part and parts.
constexpr size_t kPartHead = 1 + p::kScanRequestHeader + 4 + 2;

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

Digest digestOf(const void *data, size_t size, uint32_t seed) {
  Digest out;
  digest(data, size, seed, out.data());
  return out;
}

Digest nameDigest(const std::string &name, uint32_t seed) {
  std::string lower = name;
  for (char &c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return digestOf(lower.data(), lower.size(), seed);
}

std::string digestHex(const Digest &d) { return hexText(d.data(), d.size()); }

bool readDigest(const std::string &text, Digest &out) {
  if (text.size() != 32) return false;
  for (size_t i = 0; i < 16; ++i) {
    const int high = hexDigit(text[2 * i]), low = hexDigit(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    out[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}

// ---- requests --------------------------------------------------------------

std::string readPattern(const std::string &text, Pattern &out) {
  Pattern pattern;
  pattern.id = out.id;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == ' ' || text[i] == '\t') {
      ++i;
      continue;
    }
    if (i + 1 >= text.size())
      return "\"" + text.substr(i) +
             "\" is not a byte (two digits, or ?? for any byte)";
    if (text[i] == '?' && text[i + 1] == '?') {
      pattern.bytes.push_back(0);
      pattern.care.push_back(false);
    } else {
      const int high = hexDigit(text[i]), low = hexDigit(text[i + 1]);
      if (high < 0 || low < 0)
        return "\"" + text.substr(i, 2) +
               "\" is not a byte (two digits, or ?? for any byte)";
      pattern.bytes.push_back(static_cast<uint8_t>(high << 4 | low));
      pattern.care.push_back(true);
    }
    i += 2;
  }
  const std::string error = patternError(pattern);
  if (error.empty()) out = pattern;
  return error;
}

std::string patternText(const Pattern &pattern) {
  std::string out;
  for (size_t i = 0; i < pattern.bytes.size(); ++i) {
    if (i) out += ' ';
    const bool cared = i < pattern.care.size() && pattern.care[i];
    out += cared ? hexText(&pattern.bytes[i], 1) : "??";
  }
  return out;
}

std::string patternError(const Pattern &pattern) {
  const size_t n = pattern.bytes.size();
  if (n < static_cast<size_t>(p::kPatternMin) ||
      n > static_cast<size_t>(p::kPatternMax))
    return "a pattern has " + std::to_string(p::kPatternMin) + " to " +
           std::to_string(p::kPatternMax) + " bytes, not " + std::to_string(n);
  if (pattern.care.size() != n) return "a pattern needs a care flag a byte";
  size_t cared = 0;
  for (bool c : pattern.care) cared += c;
  if (cared < static_cast<size_t>(p::kPatternCaredMin))
    return "a pattern needs at least " + std::to_string(p::kPatternCaredMin) +
           " bytes that must match";
  if (!pattern.care.front() || !pattern.care.back())
    return "a pattern's first and last byte must match (no ?? there)";
  return "";
}

Bytes patternMask(uint32_t listId, size_t from, size_t count) {
  uint32_t x = listId;
  for (size_t k = 0; k < from; ++k)
    x = x * p::kPatternMaskMultiplier + p::kPatternMaskIncrement;
  Bytes out;
  for (size_t k = 0; k < count; ++k) {
    x = x * p::kPatternMaskMultiplier + p::kPatternMaskIncrement;
    out.push_back(static_cast<uint8_t>(x >> 24));
  }
  return out;
}

Bytes patternListPart(uint32_t nonce, uint32_t listId, uint8_t part,
                      uint8_t parts, const std::vector<Pattern> &patterns,
                      size_t maskFrom) {
  Bytes out = requestHead(p::kCodePatternList, 0, nonce);
  putLittle(out, listId, 4);
  out.push_back(part);
  out.push_back(parts);
  size_t at = maskFrom;
  for (const Pattern &pattern : patterns) {
    const size_t n = pattern.bytes.size() < 255 ? pattern.bytes.size() : 255;
    putLittle(out, pattern.id, 2);
    out.push_back(static_cast<uint8_t>(n));
    const Bytes mask = patternMask(listId, at, n);
    for (size_t i = 0; i < n; ++i) out.push_back(pattern.bytes[i] ^ mask[i]);
    at += n;
    const size_t careStart = out.size();
    out.resize(careStart + (n + 7) / 8, 0);
    for (size_t i = 0; i < n && i < pattern.care.size(); ++i)
      if (pattern.care[i]) out[careStart + i / 8] |= uint8_t(1u << (i % 8));
  }
  return out;
}

std::vector<Bytes> patternList(uint32_t nonce, uint32_t listId,
                               const std::vector<Pattern> &patterns,
                               size_t maxMessage) {
  if (patterns.size() > static_cast<size_t>(p::kPatternListMax)) return {};
  // Which patterns go in which part.
  std::vector<std::vector<Pattern>> groups(1);
  size_t used = kPartHead;
  for (const Pattern &pattern : patterns) {
    if (!patternError(pattern).empty()) return {};
    const size_t size = encodedSize(pattern);
    if (kPartHead + size > maxMessage) return {};
    if (used + size > maxMessage) {
      groups.emplace_back();
      used = kPartHead;
    }
    groups.back().push_back(pattern);
    used += size;
  }
  if (groups.size() > static_cast<size_t>(p::kPatternPartsMax)) return {};
  std::vector<Bytes> out;
  size_t maskFrom = 0;
  for (size_t i = 0; i < groups.size(); ++i) {
    out.push_back(patternListPart(nonce, listId, static_cast<uint8_t>(i),
                                  static_cast<uint8_t>(groups.size()),
                                  groups[i], maskFrom));
    for (const Pattern &pattern : groups[i]) maskFrom += pattern.bytes.size();
  }
  return out;
}

Bytes patternScanRequest(uint32_t nonce, uint32_t listId, uint8_t flags,
                         uint16_t mostMatches) {
  Bytes out = query(p::kSubPatternScan, nonce);
  putLittle(out, listId, 4);
  out.push_back(flags);
  putLittle(out, mostMatches, 2);
  return out;
}

Bytes moduleTableRequest(uint32_t nonce, uint32_t seed, uint8_t flags,
                         const std::vector<std::string> &compare) {
  Bytes out = query(p::kSubModuleTable, nonce);
  putLittle(out, seed, 4);
  out.push_back(flags);
  const uint8_t n = countByte(compare.size());
  out.push_back(n);
  for (size_t i = 0; i < n; ++i) putText(out, compare[i]);
  return out;
}

Bytes codeChallengeRequest(uint32_t nonce, const std::string &module,
                           const std::vector<CodeRange> &ranges) {
  Bytes out = query(p::kSubCodeChallenge, nonce);
  putText(out, module);
  const uint8_t n = countByte(ranges.size());
  out.push_back(n);
  for (size_t i = 0; i < n; ++i) {
    putLittle(out, ranges[i].offset, 4);
    putLittle(out, ranges[i].length, 4);
  }
  return out;
}

Bytes hookScanRequest(uint32_t nonce, uint8_t flags) {
  Bytes out = query(p::kSubHookScan, nonce);
  out.push_back(flags);
  return out;
}

Bytes foreignCodeRequest(uint32_t nonce, uint32_t seed) {
  Bytes out = query(p::kSubForeignCode, nonce);
  putLittle(out, seed, 4);
  return out;
}

Bytes processScanRequest(uint32_t nonce, uint32_t seed,
                         const std::vector<Digest> &digests) {
  return digestListRequest(p::kSubProcessScan, nonce, seed, digests);
}

Bytes windowScanRequest(uint32_t nonce, uint32_t seed,
                        const std::vector<Digest> &digests) {
  return digestListRequest(p::kSubWindowScan, nonce, seed, digests);
}

Bytes fileQueryRequest(uint32_t nonce, uint32_t seed, const std::string &path) {
  Bytes out = query(p::kSubFileQuery, nonce);
  putLittle(out, seed, 4);
  putText(out, path);
  return out;
}

Bytes sealRequest(uint32_t nonce, uint32_t modulus, uint32_t exponent,
                  uint16_t allowance) {
  Bytes out = query(p::kSubScanSeal, nonce);
  putLittle(out, modulus, 4);
  putLittle(out, exponent, 4);
  putLittle(out, allowance, 2);
  return out;
}

Bytes cancelRequest(uint32_t nonce) { return query(p::kSubScanCancel, nonce); }

Bytes statusRequest(uint32_t nonce) { return query(p::kSubScanStatus, nonce); }

Bytes scanDirective(const Bytes &request) {
  return directive(std::string(p::kScanDirectiveKeyword) + " " +
                   hexText(request.data(), request.size()));
}

// ---- replies ---------------------------------------------------------------

namespace {

// A record split at its blanks, one blank between fields; the last field of
// some records is the rest of the line, blanks and all.
class Fields {
 public:
  explicit Fields(const std::string &line) : line_(line) {}
  bool word(std::string &out) {
    if (at_ >= line_.size()) return false;
    const size_t end = line_.find(' ', at_);
    out = line_.substr(at_, end == std::string::npos ? end : end - at_);
    at_ = end == std::string::npos ? line_.size() + 1 : end + 1;
    return !out.empty();
  }
  std::string rest() {
    std::string out = at_ < line_.size() ? line_.substr(at_) : "";
    at_ = line_.size() + 1;
    return out;
  }
  bool done() const { return at_ > line_.size() || line_.empty(); }

 private:
  const std::string &line_;
  size_t at_ = 0;
};

bool readHex(const std::string &text, uint64_t &out) {
  if (text.empty() || text.size() > 16) return false;
  out = 0;
  for (char c : text) {
    const int d = hexDigit(c);
    if (d < 0) return false;
    out = out << 4 | static_cast<uint64_t>(d);
  }
  return true;
}

bool readDecimal(const std::string &text, uint64_t &out) {
  if (text.empty() || text.size() > 19) return false;
  out = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    out = out * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

bool hexWord(Fields &f, uint64_t &out) {
  std::string w;
  return f.word(w) && readHex(w, out);
}

bool decimalWord(Fields &f, uint64_t &out) {
  std::string w;
  return f.word(w) && readDecimal(w, out);
}

bool decimalWord32(Fields &f, uint32_t &out) {
  uint64_t v = 0;
  if (!decimalWord(f, v) || v > 0xFFFFFFFFu) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

bool digestWord(Fields &f, Digest &out) {
  std::string w;
  return f.word(w) && readDigest(w, out);
}

// "module!function": the last '!' parts them, both non-empty.
bool readExport(const std::string &word, std::string &module,
                std::string &function) {
  const size_t bang = word.rfind('!');
  if (bang == std::string::npos || bang == 0 || bang + 1 == word.size())
    return false;
  module = word.substr(0, bang);
  function = word.substr(bang + 1);
  return true;
}

bool parseModule(Fields &f, ScanReply &r) {
  ModuleRecord m;
  std::string kind, digest, code;
  if (!decimalWord32(f, m.index) || !f.word(kind) || kind.size() != 1 ||
      (kind[0] != 'g' && kind[0] != 's' && kind[0] != 'o') ||
      !hexWord(f, m.base) || !hexWord(f, m.size) || !f.word(digest) ||
      !f.word(code))
    return false;
  m.kind = kind[0];
  m.hasDigest = digest != "-";
  if (m.hasDigest && !readDigest(digest, m.digest)) return false;
  if (code == "=" || code == "-" || code == "?") {
    m.code = static_cast<CodeCheck>(code[0]);
  } else {
    const size_t at = code.find('@');
    if (code[0] != '!' || at == std::string::npos ||
        !readDecimal(code.substr(1, at - 1), m.differing) ||
        !readHex(code.substr(at + 1), m.firstDifference))
      return false;
    m.code = CodeCheck::kDiffers;
  }
  m.name = f.rest();
  if (m.name.empty()) return false;
  r.modules.push_back(m);
  return true;
}

bool parseMatch(Fields &f, ScanReply &r) {
  PatternMatch m;
  std::string where;
  if (!decimalWord32(f, m.id) || !f.word(where)) return false;
  // The module's name may hold blanks: the offset is the last word.
  std::string rest = f.rest();
  while (!rest.empty()) {
    const size_t blank = rest.find(' ');
    if (blank == std::string::npos) break;
    where += " " + rest.substr(0, blank);
    rest.erase(0, blank + 1);
  }
  if (!readHex(rest, m.offset)) return false;
  m.inModule = where[0] != '@';
  if (m.inModule)
    m.module = where;
  else if (!readHex(where.substr(1), m.region))
    return false;
  r.matches.push_back(m);
  return true;
}

bool parseAnswer(Fields &f, ScanReply &r) {
  ChallengeAnswer a;
  if (!digestWord(f, a.digest) || !decimalWord(f, a.bytes)) return false;
  r.answers.push_back(a);
  return f.done();
}

bool parseHook(Fields &f, ScanReply &r) {
  HookRecord h;
  std::string kind, exported, target;
  if (!f.word(kind) || (kind != "i" && kind != "j")) return false;
  h.kind = kind[0];
  if (h.kind == 'i' && !f.word(h.importer)) return false;
  if (!f.word(exported) || !readExport(exported, h.module, h.function) ||
      !hexWord(f, h.target))
    return false;
  h.targetModule = f.rest();
  if (h.targetModule.empty()) return false;
  if (h.targetModule == "-") h.targetModule.clear();
  r.hooks.push_back(h);
  return true;
}

bool parseRegion(Fields &f, ScanReply &r) {
  ForeignRegion g;
  if (!hexWord(f, g.base) || !hexWord(f, g.size) || !f.word(g.protection) ||
      !digestWord(f, g.firstPage))
    return false;
  r.regions.push_back(g);
  return f.done();
}

bool parseIndex(Fields &f, ScanReply &r) {
  uint32_t index = 0;
  if (!decimalWord32(f, index)) return false;
  r.indices.push_back(index);
  return f.done();
}

bool parseFile(Fields &f, ScanReply &r) {
  FileAnswer a;
  if (!hexWord(f, a.size) || !digestWord(f, a.digest)) return false;
  r.files.push_back(a);
  return f.done();
}

bool parseStatus(Fields &f, ScanReply &r) {
  ScanStatus s;
  if (!f.word(s.passes) || !decimalWord(f, s.ignored) ||
      !decimalWord(f, s.patterns) || !decimalWord(f, s.allowance))
    return false;
  r.statuses.push_back(s);
  return f.done();
}

bool parseAllowance(Fields &f, ScanReply &r) {
  uint64_t allowance = 0;
  if (!decimalWord(f, allowance)) return false;
  r.allowances.push_back(allowance);
  return f.done();
}

// What each reply letter carries: its record parser, how many numbers its
// end record has (-1: it has none, its one message is the whole reply), and
// the single records that end it instead.
struct LetterForm {
  char letter;
  bool (*record)(Fields &, ScanReply &);
  int endCounts;
  std::vector<std::string> outcomes;  // "outside" takes a number
};

const LetterForm *letterForm(char letter) {
  static const LetterForm kForms[] = {
      {p::kReplyPatternScan, parseMatch, 3, {"incomplete", "unknown"}},
      {p::kReplyModuleTable, parseModule, 1, {}},
      {p::kReplyModuleRecheck, parseModule, 1, {}},
      {p::kReplyCodeChallenge, parseAnswer, -1, {"missing", "outside"}},
      {p::kReplyHooks, parseHook, 2, {}},
      {p::kReplyForeignCode, parseRegion, 1, {}},
      {p::kReplyProcesses, parseIndex, 2, {"off"}},
      {p::kReplyWindows, parseIndex, 2, {"off"}},
      {p::kReplyProcessRecheck, parseIndex, 2, {"off"}},
      {p::kReplyWindowRecheck, parseIndex, 2, {"off"}},
      {p::kReplyFileQuery, parseFile, -1, {"missing", "refused"}},
      {p::kReplySeal, parseAllowance, -1, {}},
      {p::kReplyCancel, nullptr, -1, {}},
      {p::kReplyStatus, parseStatus, -1, {}},
  };
  for (const LetterForm &form : kForms)
    if (form.letter == letter) return &form;
  return nullptr;
}

bool isOutcome(const LetterForm &form, const std::string &word) {
  for (const std::string &o : form.outcomes)
    if (o == word) return true;
  return false;
}

// The records after the head line; "" or the first fault.
std::string parseRecords(const LetterForm &form,
                         const std::vector<std::string> &records,
                         ScanReply &r) {
  const bool single = form.endCounts < 0;
  const size_t expected = form.record ? 1 : 0;
  if (single && records.size() != expected)
    return "a '" + std::string(1, form.letter) + "' reply has " +
           std::to_string(expected) + " record" + (expected ? "" : "s") +
           ", not " + std::to_string(records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    const std::string &line = records[i];
    const std::string where =
        "record " + std::to_string(i + 1) + " \"" + line + "\"";
    if (r.last) return where + " follows the end of the pass";
    Fields f(line);
    std::string first;
    Fields peek(line);
    peek.word(first);
    if (isOutcome(form, first)) {
      if (records.size() != 1) return where + " must stand alone";
      f.word(r.outcome);
      uint64_t index = 0;
      if (r.outcome == "outside") {
        if (!decimalWord(f, index)) return where + " lacks the range's index";
        r.counts.push_back(index);
      }
      if (!f.done()) return where + " has more than its words";
      r.last = true;
      continue;
    }
    if (!single && first == "end") {
      f.word(r.outcome);
      for (int k = 0; k < form.endCounts; ++k) {
        uint64_t n = 0;
        if (!decimalWord(f, n)) return where + " lacks its counts";
        r.counts.push_back(n);
      }
      if (!f.done()) return where + " has more than its counts";
      r.last = true;
      continue;
    }
    if (!form.record(f, r)) return where + " does not parse";
  }
  if (single) r.last = true;
  return "";
}

// The head line "Z<letter> <8 upper-case hexadecimal digits>".
bool parseHead(const std::string &head, ScanReply &r) {
  if (head.size() != 11 || head[0] != p::kScanReplyCode || head[2] != ' ')
    return false;
  uint32_t nonce = 0;
  for (size_t i = 3; i < 11; ++i) {
    const char c = head[i];
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    nonce = nonce << 4 | static_cast<uint32_t>(hexDigit(c));
  }
  r.letter = head[1];
  r.nonce = nonce;
  return true;
}

std::string parseReply(const Bytes &m, ScanReply &r) {
  if (m.size() > static_cast<size_t>(p::kScanReplyMax) + 1)
    return "longer than " + std::to_string(p::kScanReplyMax) + " bytes";
  size_t zero = 0;
  while (zero < m.size() && m[zero]) ++zero;
  if (zero == m.size()) return "no terminator";
  if (zero + 1 != m.size()) return "bytes after the terminator";
  std::vector<std::string> lines(1);
  for (size_t i = 0; i < zero; ++i) {
    if (m[i] == '\n')
      lines.emplace_back();
    else
      lines.back() += static_cast<char>(m[i]);
  }
  if (!parseHead(lines[0], r))
    return "the head \"" + lines[0] + "\" is not Z<letter> <nonce>";
  const LetterForm *form = letterForm(r.letter);
  if (!form)
    return "there is no reply letter '" + std::string(1, r.letter) + "'";
  lines.erase(lines.begin());
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  for (const std::string &line : lines)
    if (line.empty()) return "an empty record";
  return parseRecords(*form, lines, r);
}

void appendAll(ScanReply &to, const ScanReply &from) {
  auto join = [](auto &a, const auto &b) {
    a.insert(a.end(), b.begin(), b.end());
  };
  join(to.modules, from.modules);
  join(to.matches, from.matches);
  join(to.answers, from.answers);
  join(to.hooks, from.hooks);
  join(to.regions, from.regions);
  join(to.indices, from.indices);
  join(to.files, from.files);
  join(to.statuses, from.statuses);
  join(to.allowances, from.allowances);
  to.sealed = to.sealed && from.sealed;
  to.last = from.last;
  to.outcome = from.outcome;
  to.counts = from.counts;
}

std::string hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "%llX", static_cast<unsigned long long>(v));
  return text;
}

}  // namespace

bool isScanReply(const Bytes &m) {
  return m.size() >= 3 && m[0] == p::kScanReplyCode && m[2] == ' ';
}

ScanReply decodeScanReply(const Bytes &message, const SealKey &key) {
  ScanReply r;
  const Unsealed u = unseal(message, key);
  r.sealed = u.sealed;
  r.sealValid = u.valid;
  if (u.sealed && !u.valid) {
    r.error = "sealed, and the seal does not verify";
    return r;
  }
  r.scan = isScanReply(u.message);
  if (!r.scan) {
    r.error = "not a scan reply";
    return r;
  }
  r.error = parseReply(u.message, r);
  r.ok = r.error.empty();
  return r;
}

std::string describe(const ScanReply &r) {
  std::string out = "scan reply";
  if (r.scan && r.letter) {
    out += " '" + std::string(1, r.letter) + "' nonce " + hex(r.nonce);
  }
  if (r.sealed)
    out += r.sealValid ? " (sealed, seal ok)" : " (sealed, SEAL BAD)";
  if (!r.ok) return out + ": does not parse: " + r.error;
  for (const ModuleRecord &m : r.modules) {
    out += "\n  module " + std::to_string(m.index) + " " + m.kind + " " +
           m.name + " at " + hex(m.base) + " size " + hex(m.size) + " digest " +
           (m.hasDigest ? digestHex(m.digest) : "-") + " code ";
    switch (m.code) {
      case CodeCheck::kMatches:
        out += "matches its file";
        break;
      case CodeCheck::kDiffers:
        out += "differs in " + std::to_string(m.differing) + " bytes from " +
               hex(m.firstDifference);
        break;
      case CodeCheck::kNotCompared:
        out += "not compared";
        break;
      case CodeCheck::kUnreadable:
        out += "file unreadable";
        break;
    }
  }
  for (const PatternMatch &m : r.matches)
    out += "\n  pattern " + std::to_string(m.id) + " in " +
           (m.inModule ? m.module : "region " + hex(m.region)) + " at +" +
           hex(m.offset);
  for (const ChallengeAnswer &a : r.answers)
    out += "\n  code digest " + digestHex(a.digest) + " over " +
           std::to_string(a.bytes) + " bytes";
  for (const HookRecord &h : r.hooks)
    out += std::string("\n  ") +
           (h.kind == 'i' ? "import of " + h.importer + ": " : "entry ") +
           h.module + "!" + h.function + " -> " + hex(h.target) + " in " +
           (h.targetModule.empty() ? "no module" : h.targetModule);
  for (const ForeignRegion &g : r.regions)
    out += "\n  foreign code at " + hex(g.base) + " size " + hex(g.size) + " " +
           g.protection + " first page " + digestHex(g.firstPage);
  for (uint32_t index : r.indices)
    out += "\n  digest " + std::to_string(index) + " matched";
  for (const FileAnswer &a : r.files)
    out += "\n  file of " + std::to_string(a.size) + " bytes, digest " +
           digestHex(a.digest);
  for (const ScanStatus &s : r.statuses)
    out += "\n  passes " + s.passes + ", " + std::to_string(s.ignored) +
           " ignored, " + std::to_string(s.patterns) + " patterns, seal " +
           std::to_string(s.allowance);
  for (uint64_t a : r.allowances)
    out += "\n  seal allowance " + std::to_string(a);
  if (!r.outcome.empty()) {
    out += "\n  " + r.outcome;
    for (uint64_t n : r.counts) out += " " + std::to_string(n);
  }
  return out;
}

bool ScanPasses::add(const ScanReply &reply, ScanReply &done) {
  const auto key = std::make_pair(reply.letter, reply.nonce);
  auto it = open_.find(key);
  if (it == open_.end()) {
    if (reply.last) {
      done = reply;
      return true;
    }
    open_[key] = {reply, 1};
    return false;
  }
  appendAll(it->second.pass, reply);
  if (!reply.last && ++it->second.messages < kPassMessagesMax) return false;
  done = std::move(it->second.pass);
  open_.erase(it);
  if (!reply.last) {
    done.ok = false;
    done.error = "more than " + std::to_string(kPassMessagesMax) +
                 " messages without the end of the pass";
  }
  return true;
}

}  // namespace qx::peer
