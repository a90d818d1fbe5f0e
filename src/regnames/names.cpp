// The list of registered names and the report to the server.
#include <cstring>

#include "channel/channel.h"
#include "common/md5.h"
#include "common/protocol.h"
#include "common/text.h"
#include "host/client_state.h"
#include "log/log.h"
#include "regnames/record_text.h"
#include "regnames/regnames.h"

namespace qx::regnames {

namespace {

namespace p = protocol;

constexpr const char *kFullWord = "Full";
constexpr const char *kPartialWord = "Partial";
// Quotes and spaces around the match text and the digest, the kind digit
// and the space after it.
constexpr size_t kEntryFraming = 8;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

TextSpan trimmed(TextSpan t) {
  while (t.length > 0 && isBlank(t.text[0])) {
    ++t.text;
    --t.length;
  }
  while (t.length > 0 && isBlank(t.text[t.length - 1])) --t.length;
  return t;
}

// A stored text is written between double quotes, so one that holds a
// double quote could not be read back.
bool storable(TextSpan t) {
  return t.length > 0 && std::memchr(t.text, '"', t.length) == nullptr;
}

// The first 32 characters, without blanks that the cut leaves at the end:
// the file would lose them, and the password's digest would then change
// from one load to the next.
void storeField(char *field, TextSpan t) {
  const size_t n = t.length < kFieldMax ? t.length : kFieldMax;
  std::memcpy(field, t.text, n);
  field[n] = '\0';
  for (size_t end = n; end > 0 && isBlank(field[end - 1]); --end)
    field[end - 1] = '\0';
}

uint8_t kindOf(TextSpan word) {
  const size_t n = std::strlen(kFullWord);
  return word.length == n && compareNoCaseN(word.text, kFullWord, n) == 0
             ? p::kRegNameKindFull
             : p::kRegNameKindPartial;
}

TextSpan spanOf(const char *text) {
  return {text ? text : "", text ? std::strlen(text) : 0};
}

console::RecordList &names() { return client().regnames.names; }

}  // namespace

const char *kindWord(uint8_t kind) {
  return kind == p::kRegNameKindFull ? kFullWord : kPartialWord;
}

int addRegisteredNameSpans(QxGameInterface *gi, TextSpan match,
                           TextSpan password, TextSpan kindWord, int save) {
  match = trimmed(match);
  password = trimmed(password);
  if (!storable(match) || !storable(password)) {
    log::printMessage(
        1, "Invalid / Blank Match Text (%.*s) and/or Password (%.*s)",
        static_cast<int>(match.length), match.text,
        static_cast<int>(password.length), password.text);
    return 0;
  }
  Record record;
  std::memset(&record, 0, sizeof record);
  storeField(record.match, match);
  storeField(record.password, password);
  uint8_t digest[16];
  md5(record.password, std::strlen(record.password), p::kRegNameDigestSeed,
      digest);
  md5ToText(digest, record.passwordDigest);
  record.kind = kindOf(kindWord);
  if (console::listAppend(names(), &record) == 0) {
    log::printMessage(1, "Error: could not add Registered Name Record");
    return 0;
  }
  if (save)
    saveRegisteredNamesFile(gi);
  else
    log::printMessage(1, "Added Registered Name Record: %s", record.match);
  return 1;
}

int addRegisteredName(QxGameInterface *gi, const char *match,
                      const char *password, const char *kindWord, int save) {
  return addRegisteredNameSpans(gi, spanOf(match), spanOf(password),
                                spanOf(kindWord), save);
}

void deleteRegisteredName(QxGameInterface *gi, int32_t slot) {
  if (slot < 1 || slot > names().count) {
    log::printMessage(1, "Invalid Slot # Specified");
    return;
  }
  Record *record = console::listRecord<Record>(names(), slot - 1);
  log::printMessage(1, "Deleting Registered Name \"%s\"", record->match);
  std::memset(record, 0, sizeof *record);
  saveRegisteredNamesFile(gi);
}

void listRegisteredNames() {
  const int32_t count = names().count;
  for (int32_t i = 0; i < count; ++i) {
    const Record *r = console::listRecord<Record>(names(), i);
    if (!r->match[0])
      log::printMessage(1, "%-3d: Deleted", static_cast<int>(i + 1));
    else
      log::printMessage(1, "%-3d: \"%s\" %s", static_cast<int>(i + 1), r->match,
                        kindWord(r->kind));
  }
  log::printMessage(1, "End of Registered Name List (%d Record%s)",
                    static_cast<int>(count), count == 1 ? "" : "s");
}

// 'R', then the entry of every name that still fits: a long name that does
// not fit is left out, and a shorter one after it may still go in.
int buildRegisteredNamesReport(uint8_t *report) {
  char *text = reinterpret_cast<char *>(report);
  const size_t limit = static_cast<size_t>(p::kRegNameReportMax);
  size_t length = 0;
  text[length++] = p::kRegNameReportCode;
  text[length] = '\0';
  for (int32_t i = 0; i < names().count; ++i) {
    const Record *r = console::listRecord<Record>(names(), i);
    if (!r->match[0]) continue;
    const size_t entry = boundedLength(r->match, kFieldMax) +
                         boundedLength(r->passwordDigest, kFieldMax) +
                         kEntryFraming;
    if (length + entry > limit) continue;
    length += formatText(text + length, limit + 1 - length, "\"%s\" \"%s\" %d ",
                         r->match, r->passwordDigest, r->kind);
  }
  return length < 2 ? 0 : static_cast<int>(length) + 1;
}

void reportRegisteredNames(QxGameInterface *gi) {
  uint8_t report[kReportCapacity];
  const int length = buildRegisteredNamesReport(report);
  if (length == 0) return;
  channel::sendMessage(gi, report, channel::sealMessage(report, length));
}

}  // namespace qx::regnames
