#include "master/master_list.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "common/file.h"
#include "common/heap.h"
#include "common/numbers.h"
#include "common/paths.h"
#include "common/protocol.h"
#include "common/text.h"
#include "common/ticks.h"
#include "console/argument_list.h"
#include "host/client_state.h"
#include "log/log.h"
#include "master/name_resolution.h"

namespace qx::master {

namespace {

constexpr const char *kNoDotAddress = "127.0.0.1";
constexpr size_t kHostMax = kHostSize - 1;
constexpr size_t kDigestLength = 32;
constexpr uint32_t kUnchangedNoticePeriod = 4000;  // ms

constexpr const char *kConflictNotice =
    "Master List Update Refused (%s): Conflicting Module Record";
constexpr const char *kUnchangedNotice = "Master List Unchanged (%s)";
constexpr const char *kChangedNotice = "Master List Updated (%s)";
constexpr const char *kReplySource = "Master Server";

// Module tables: kind 'A', 'C', 'S' by platform 'W', 'L', 'K' and any
// other letter. The file holds every table but the 'K' ones, in this order,
// with 'M' standing for "any other letter".
constexpr char kModuleKindLetters[kModuleKinds] = {'A', 'C', 'S'};
constexpr char kPlatformLetters[kPlatformSlots] = {'W', 'L', 'K', 'M'};
constexpr int kUnsavedPlatform = 2;  // 'K'

// Index of letter (any case) in letters, or -1.
template <size_t N>
int letterIndex(const char (&letters)[N], char letter) {
  for (size_t i = 0; i < N; ++i)
    if (letters[i] == upperAscii(letter)) return static_cast<int>(i);
  return -1;
}

int moduleKindIndex(char kind) { return letterIndex(kModuleKindLetters, kind); }

// Letters other than 'W', 'L' and 'K' share the last table.
int platformIndex(char letter) {
  const int index = letterIndex(kPlatformLetters, letter);
  return index < 0 ? kPlatformSlots - 1 : index;
}

bool isDigestText(const char *text) {
  size_t n = 0;
  for (; text[n]; ++n)
    if (hexDigitValue(text[n]) < 0) return false;
  return n == kDigestLength;
}

// Dotted address of a host read from master list text: resolved when it
// holds a '.', else the loopback address as a placeholder.
void addressOfHost(QxGameInterface *gi, const char *host, char *address) {
  if (std::strchr(host, '.'))
    resolveHost(gi, host, address);
  else
    copyText(address, kNoDotAddress, kAddressSize - 1);
}

// ---- parsing -------------------------------------------------------------

// A record's type is its whole first word: "<p> SERVER ..." is no 'S'
// record, so text around the records cannot start or extend an entry.
bool isWord(const console::ArgumentList &words, const char *letter) {
  return std::strcmp(console::arg(words, 0), letter) == 0;
}

Entry *serverRecord(QxGameInterface *gi, const console::ArgumentList &words,
                    Entry *entries, int32_t *count) {
  using console::arg;
  const int32_t kind = readDecimalClamped(arg(words, 1));
  for (int32_t i = 0; i < *count; ++i)
    if (entries[i].kind == kind) return &entries[i];
  if (*count >= kMaxEntries) return nullptr;
  Entry &e = entries[(*count)++];
  std::memset(&e, 0, sizeof e);
  e.kind = kind;
  if (kind != 0) {
    copyText(e.host, arg(words, 2), kHostMax);
    addressOfHost(gi, e.host, e.address);
    e.port = readDecimalClamped(arg(words, 3));
    e.counter = readDecimalClamped(arg(words, 4));
  }
  return &e;
}

bool hasMirror(const Entry &e, const char *host) {
  for (int32_t i = 0; i < e.mirrorCount; ++i)
    if (compareNoCase(e.mirrors[i].host, host) == 0) return true;
  return false;
}

// The entry has room for two mirrors, so the list keeps at most two.
void mirrorRecord(QxGameInterface *gi, const console::ArgumentList &words,
                  Entry &e) {
  const char *host = console::arg(words, 1);
  if (e.mirrorCount >= kMaxMirrors || hasMirror(e, host)) return;
  Mirror &m = e.mirrors[e.mirrorCount++];
  copyText(m.host, host, kHostMax);
  addressOfHost(gi, m.host, m.address);
  m.port = readDecimalClamped(console::arg(words, 2));
}

ModuleRecord *findVersion(ModuleTable &table, int32_t version) {
  for (int32_t i = 0; i < table.count && i < kMaxModules; ++i)
    if (table.records[i].version == version) return &table.records[i];
  return nullptr;
}

void moduleRecord(const console::ArgumentList &words, Entry &e) {
  using console::arg;
  const int kind = moduleKindIndex(arg(words, 1)[0]);
  if (kind < 0) return;
  ModuleTable &table = e.tables[kind][platformIndex(arg(words, 2)[0])];
  ModuleRecord r{};
  r.version = readDecimalClamped(arg(words, 3));
  r.size = readHex(arg(words, 4));
  copyText(r.digest1, arg(words, 5), kDigestLength);
  copyText(r.digest2, arg(words, 6), kDigestLength);
  if (findVersion(table, r.version) || table.count >= kMaxModules ||
      !isDigestText(r.digest1) || !isDigestText(r.digest2))
    return;
  table.records[table.count++] = r;
}

void parseRecord(QxGameInterface *gi, char *record, Entry *entries,
                 int32_t *count, Entry **current) {
  size_t n = std::strlen(record);
  while (n > 0 && (record[n - 1] == '\r' || record[n - 1] == '\n'))
    record[--n] = '\0';
  console::ArgumentList words;
  console::split(words, record, true);
  if (isWord(words, "S"))
    *current = serverRecord(gi, words, entries, count);
  else if (isWord(words, "M") && *current)
    mirrorRecord(gi, words, **current);
  else if (isWord(words, "F") && *current)
    moduleRecord(words, **current);
}

// ---- merging -------------------------------------------------------------

// Every record comes from parsed text, which is upper-cased first, so the
// digests compare byte for byte.
bool sameModule(const ModuleRecord &a, const ModuleRecord &b) {
  return a.size == b.size && std::strcmp(a.digest1, b.digest1) == 0 &&
         std::strcmp(a.digest2, b.digest2) == 0;
}

void addModule(ModuleTable &table, const ModuleRecord &r) {
  if (table.count < kMaxModules) {
    table.records[table.count++] = r;
    return;
  }
  int lowest = 0;
  for (int i = 1; i < kMaxModules; ++i)
    if (table.records[i].version < table.records[lowest].version) lowest = i;
  table.records[lowest] = r;
}

// Walks the new table until a record is not yet present: -1 on a conflict,
// 1 for a new record (added when applying), 0 when all are known.
int mergeTable(ModuleTable &have, const ModuleTable &fresh, bool apply) {
  for (int32_t i = 0; i < fresh.count && i < kMaxModules; ++i) {
    const ModuleRecord &r = fresh.records[i];
    if (const ModuleRecord *known = findVersion(have, r.version)) {
      if (!sameModule(*known, r)) return -1;
      continue;
    }
    if (apply) addModule(have, r);
    return 1;
  }
  return 0;
}

bool mirrorPresent(const Entry &e, const Mirror &m) {
  for (int32_t i = 0; i < e.mirrorCount && i < kMaxMirrors; ++i) {
    if (compareNoCase(e.mirrors[i].host, m.host) == 0) return true;
    if (m.address[0] && std::strcmp(e.mirrors[i].address, m.address) == 0)
      return true;
  }
  return false;
}

int mergeInto(Entry &e, const Entry &fresh, bool apply) {
  int result = 0;
  if (e.counter > 0) {
    result = 1;
    if (apply) e.counter = 0;
  }
  for (int k = 0; k < kModuleKinds; ++k)
    for (int p = 0; p < kPlatformSlots; ++p) {
      const int r = mergeTable(e.tables[k][p], fresh.tables[k][p], apply);
      if (r < 0) return -1;
      if (r > 0) result = 1;
    }
  for (int32_t i = 0; i < fresh.mirrorCount && i < kMaxMirrors; ++i) {
    if (e.mirrorCount >= kMaxMirrors || mirrorPresent(e, fresh.mirrors[i]))
      continue;
    result = 1;
    if (apply) e.mirrors[e.mirrorCount++] = fresh.mirrors[i];
  }
  return result;
}

// Hosts without a '.' keep the loopback placeholder they were parsed with,
// as in parsing; a host the game has not resolved yet keeps the address it
// had.
void resolveEntries(QxGameInterface *gi) {
  State &m = client().master;
  for (int32_t i = 0; i < m.entryCount; ++i) {
    Entry &e = m.entries[i];
    char address[kAddressSize];
    if (std::strchr(e.host, '.') && resolveHost(gi, e.host, address))
      copyText(e.address, address, kAddressSize - 1);
  }
}

// ---- the file ------------------------------------------------------------

// Worst case of the file: per entry an 'S' line, two 'M' lines and 72 'F'
// lines, none longer than 200 characters.
constexpr size_t kFileCapacity = 64 + kMaxEntries * (3 + 72) * 200;

struct TextOut {
  char *data;
  size_t capacity;
  size_t length;
};

void put(TextOut &out, const char *format, ...) QX_PRINTF(2, 3);
void put(TextOut &out, const char *format, ...) {
  va_list args;
  va_start(args, format);
  out.length += formatTextV(out.data + out.length, out.capacity - out.length,
                            format, args);
  va_end(args);
}

// A host read from quoted text can hold blanks, or be empty: it is written
// in quotes, so that it reads back as the one word it was.
void hostWord(const char *host, char (&word)[kHostSize + 2]) {
  const bool quoted = !host[0] || std::strpbrk(host, " \t\r\n") != nullptr;
  formatText(word, sizeof word, quoted ? "\"%s\"" : "%s", host);
}

void writeEntry(TextOut &out, const Entry &e) {
  char host[kHostSize + 2];
  hostWord(e.host, host);
  put(out, "<p> S %d %s %d %d\r\n", e.kind, host, e.port, e.counter);
  for (int32_t i = 0; i < e.mirrorCount && i < kMaxMirrors; ++i) {
    hostWord(e.mirrors[i].host, host);
    put(out, "<p> M %s %u\r\n", host, static_cast<unsigned>(e.mirrors[i].port));
  }
  for (int k = 0; k < kModuleKinds; ++k)
    for (int p = 0; p < kPlatformSlots; ++p) {
      if (p == kUnsavedPlatform) continue;
      const ModuleTable &t = e.tables[k][p];
      for (int32_t i = 0; i < t.count && i < kMaxModules; ++i) {
        const ModuleRecord &r = t.records[i];
        if (!isDigestText(r.digest1) || !isDigestText(r.digest2)) continue;
        put(out, "<p> F %c %c %d %X %s %s\r\n", kModuleKindLetters[k],
            kPlatformLetters[p], r.version, r.size, r.digest1, r.digest2);
      }
    }
}

void buildBuiltInText(char *text, size_t capacity) {
  TextOut out{text, capacity, 0};
  for (int i = 0; i < kMaxEntries; ++i)
    put(out, "<p> S %d %s %d 0\r\n", i + 2, protocol::kBuiltInMasters[i],
        protocol::kMasterPort);
}

}  // namespace

const char *parseMasterList(QxGameInterface *gi, char *text, int32_t length,
                            Entry *entries, int32_t *count) {
  if (length < 1 || boundedLength(text, static_cast<size_t>(length)) !=
                        static_cast<size_t>(length) - 1)
    return kCorruptedBuffer;
  for (char *p = text; *p; ++p) *p = upperAscii(*p);
  *count = 0;
  for (int i = 0; i < kMaxEntries; ++i) entries[i].mirrorCount = 0;
  Entry *current = nullptr;
  char *record = std::strstr(text, "<P>");
  while (record) {
    record += 3;
    char *next = std::strstr(record, "<P>");
    if (next) *next = '\0';
    parseRecord(gi, record, entries, count, &current);
    record = next;
  }
  return nullptr;
}

int mergeEntry(QxGameInterface *gi, const Entry &entry, bool apply) {
  State &m = client().master;
  resolveEntries(gi);
  int result = 0;
  bool kindFound = false;
  for (int32_t i = 0; i < m.entryCount; ++i) {
    Entry &e = m.entries[i];
    if (e.kind == entry.kind) kindFound = true;
    if (apply && e.kind != entry.kind) continue;
    const int r = mergeInto(e, entry, apply);
    if (r < 0) return -1;
    if (r > 0) result = 1;
  }
  if (!kindFound && m.entryCount < kMaxEntries) {
    result = 1;
    if (apply) m.entries[m.entryCount++] = entry;
  }
  return result;
}

MergeOutcome mergeParsed(QxGameInterface *gi) {
  State &m = client().master;
  bool changed = false;
  MergeOutcome outcome = MergeOutcome::Unchanged;
  for (int32_t i = 0; i < m.parsedCount && i < kMaxEntries; ++i) {
    const int r = mergeEntry(gi, m.parsed[i], false);
    if (r < 0) {
      outcome = MergeOutcome::Conflict;
      break;
    }
    if (r > 0 && mergeEntry(gi, m.parsed[i], true) > 0) changed = true;
  }
  // Entries merged before a conflict stay merged, so they are saved too.
  if (changed) saveMasterListFile();
  if (outcome == MergeOutcome::Conflict) return outcome;
  return changed ? MergeOutcome::Changed : MergeOutcome::Unchanged;
}

void noteMergeOutcome(MergeOutcome outcome, const char *source, bool always) {
  State &m = client().master;
  switch (outcome) {
    case MergeOutcome::Conflict:
      log::printMessage(1, kConflictNotice, source);
      return;
    case MergeOutcome::Changed:
      log::printMessage(1, kChangedNotice, source);
      return;
    case MergeOutcome::Unchanged: {
      const uint32_t now = platform::tickCount();
      if (!always && m.lastUnchangedNotice != 0 &&
          tickDiff(now, m.lastUnchangedNotice) < kUnchangedNoticePeriod)
        return;
      m.lastUnchangedNotice = now;
      log::printMessage(1, kUnchangedNotice, source);
      return;
    }
  }
}

bool saveMasterList(const char *path) {
  const State &m = client().master;
  char *text = static_cast<char *>(heap::allocate(kFileCapacity));
  if (!text) return false;
  TextOut out{text, kFileCapacity, 0};
  put(out, "%s", protocol::kMasterListHeader);
  for (int32_t i = 0; i < m.entryCount && i < kMaxEntries; ++i)
    writeEntry(out, m.entries[i]);
  const bool saved = replaceFile(path, text, out.length);
  heap::release(text);
  return saved;
}

bool saveMasterListFile() {
  char path[kPathCapacity];
  return homeFilePath(path, protocol::kMasterListFile) && saveMasterList(path);
}

void loadMasterList(QxGameInterface *gi) {
  State &m = client().master;
  char builtIn[512];
  buildBuiltInText(builtIn, sizeof builtIn);
  parseMasterList(gi, builtIn, static_cast<int32_t>(std::strlen(builtIn)) + 1,
                  m.entries, &m.entryCount);
  // Before start-up has set the home directory there is no file to read
  // or write.
  char path[kPathCapacity];
  if (!client().host.homeDir[0] ||
      !homeFilePath(path, protocol::kMasterListFile))
    return;
  TextFile file;
  if (!readTextFile(path, file)) {
    // Not found, or too large to hold: the built-in list takes its place.
    saveMasterList(path);
    return;
  }
  const char *error =
      parseMasterList(gi, file.text, file.length + 1, m.parsed, &m.parsedCount);
  if (error) {
    log::printMessage(1, "%s", error);
    return;
  }
  std::memcpy(m.entries, m.parsed, sizeof m.entries);
  m.entryCount = m.parsedCount;
}

void masterListReply(QxGameInterface *gi, const uint8_t *body, int length) {
  State &m = client().master;
  const char *nonce = client().host.nonce;
  const size_t nonceLength = std::strlen(nonce);
  const int n = length < protocol::kMasterReplyMax ? (length > 0 ? length : 0)
                                                   : protocol::kMasterReplyMax;
  for (int i = 0; i < n; ++i)
    m.replyText[i] = static_cast<char>(
        nonceLength ? body[i] ^ static_cast<uint8_t>(nonce[i % nonceLength])
                    : body[i]);
  m.replyText[n] = '\0';
  if (const char *error =
          parseMasterList(gi, m.replyText, n + 1, m.parsed, &m.parsedCount)) {
    log::printMessage(1, "%s", error);
    return;
  }
  noteMergeOutcome(mergeParsed(gi), kReplySource, false);
}

bool readTextFile(const char *path, TextFile &file) {
  File in(path, platform::OpenMode::Read);
  if (!in.open()) return false;
  const long size = in.size();
  if (size < 0 || static_cast<unsigned long>(size) > protocol::kContentMaxSize)
    return false;
  heap::release(file.text);
  file.text =
      static_cast<char *>(heap::allocate(static_cast<size_t>(size) + 1));
  if (!file.text) return false;
  file.length =
      static_cast<int32_t>(in.read(file.text, static_cast<size_t>(size)));
  file.text[file.length] = '\0';
  return true;
}

const ModuleRecord *findModule(char moduleKind, char platformLetter,
                               int32_t version) {
  const int kind = moduleKindIndex(moduleKind);
  if (kind < 0) return nullptr;
  const int platform = platformIndex(platformLetter);
  State &m = client().master;
  for (int32_t i = 0; i < m.entryCount && i < kMaxEntries; ++i)
    if (const ModuleRecord *r =
            findVersion(m.entries[i].tables[kind][platform], version))
      return r;
  return nullptr;
}

}  // namespace qx::master
