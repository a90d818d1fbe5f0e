#include "peer/regnames_peer.h"

#include "common/protocol.h"
#include "peer/digest.h"
#include "peer/peer.h"

namespace qx::peer {

namespace {

namespace p = protocol;

constexpr size_t kStoredMax = 32;
constexpr size_t kDigestDigits = 32;

// A bounded reader over one report: every step checks the end first.
class Reader {
 public:
  explicit Reader(const Bytes &m, size_t at) : m_(m), at_(at) {}

  bool done() const { return at_ < m_.size() && m_[at_] == 0; }
  bool atEnd() const { return at_ >= m_.size(); }

  bool take(char c) {
    if (atEnd() || m_[at_] != static_cast<uint8_t>(c)) return false;
    ++at_;
    return true;
  }

  // Characters up to the next double quote, which is taken too.
  bool quoted(std::string &out) {
    if (!take('"')) return false;
    out.clear();
    while (!atEnd() && m_[at_] != '"') {
      if (m_[at_] == 0) return false;
      out += static_cast<char>(m_[at_++]);
    }
    return take('"');
  }

 private:
  const Bytes &m_;
  size_t at_;
};

bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') ||
         (c >= 'a' && c <= 'f');
}

// One entry: "match" "digest" kind, and a space.
bool readEntry(Reader &r, RegisteredName &name, std::string &error) {
  if (!r.quoted(name.match) || !r.take(' ')) {
    error = "bad match text";
    return false;
  }
  if (!r.quoted(name.digest) || name.digest.size() != kDigestDigits ||
      !r.take(' ')) {
    error = "bad digest of \"" + name.match + "\"";
    return false;
  }
  for (char c : name.digest)
    if (!isHexDigit(c)) {
      error = "bad digest of \"" + name.match + "\"";
      return false;
    }
  if (r.take('1'))
    name.kind = p::kRegNameKindFull;
  else if (r.take('2'))
    name.kind = p::kRegNameKindPartial;
  if (name.kind == 0 || !r.take(' ')) {
    error = "bad kind of \"" + name.match + "\"";
    return false;
  }
  return true;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

Bytes registeredNamesQuery() {
  return {static_cast<uint8_t>(p::kCodeQuery),
          static_cast<uint8_t>(p::kSubRegisteredNames), 0};
}

bool isRegisteredNamesReport(const Bytes &message) {
  return !message.empty() &&
         message[0] == static_cast<uint8_t>(p::kRegNameReportCode);
}

RegisteredNamesReport decodeRegisteredNames(const Bytes &message) {
  RegisteredNamesReport report;
  const Unsealed u = unseal(message);
  report.sealed = u.sealed;
  report.sealValid = u.valid;
  if (!isRegisteredNamesReport(u.message)) {
    report.error = "not a registered-name report";
    return report;
  }
  if (u.message.size() > static_cast<size_t>(p::kRegNameReportMax) + 1) {
    report.error = "longer than " + std::to_string(p::kRegNameReportMax);
    return report;
  }
  Reader r(u.message, 1);
  while (!r.done()) {
    if (r.atEnd()) {
      report.error = "no terminator";
      return report;
    }
    RegisteredName name;
    if (!readEntry(r, name, report.error)) return report;
    report.names.push_back(name);
  }
  report.ok = true;
  return report;
}

std::string registeredNameDigest(const std::string &password) {
  size_t begin = 0, end = password.size();
  while (begin < end && isBlank(password[begin])) ++begin;
  while (end > begin && isBlank(password[end - 1])) --end;
  std::string stored =
      password.substr(begin, end - begin).substr(0, kStoredMax);
  while (!stored.empty() && isBlank(stored.back())) stored.pop_back();
  return digestText(stored.data(), stored.size(), p::kRegNameDigestSeed);
}

void verifyRegisteredNames(RegisteredNamesReport &report,
                           const PasswordBook &book) {
  for (RegisteredName &name : report.names) {
    const auto it = book.find(name.match);
    name.known = it != book.end();
    name.verified =
        name.known && registeredNameDigest(it->second) == name.digest;
  }
}

std::string describe(const RegisteredNamesReport &report) {
  std::string out = "registered names";
  if (report.sealed)
    out += report.sealValid ? " (sealed, seal ok)" : " (sealed, SEAL BAD)";
  if (!report.ok) return out + ": BAD REPORT (" + report.error + ")";
  out += ": " + std::to_string(report.names.size());
  for (const RegisteredName &name : report.names) {
    out += "\n    \"" + name.match + "\" ";
    out += name.kind == p::kRegNameKindFull ? "Full" : "Partial";
    out += " digest " + name.digest;
    out += !name.known     ? " (no password known)"
           : name.verified ? " (password verified)"
                           : " (PASSWORD DOES NOT MATCH)";
  }
  return out;
}

}  // namespace qx::peer
