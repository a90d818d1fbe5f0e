// The registered-name file. Plain, it is the header "QX_REGNAMES\r\n" and
// one line "\"match\" \"password\" Full|Partial\r\n" per name. With a key,
// the header is replaced by the 32 digest digits of the key (standard MD5),
// which let a load tell a wrong key, and every byte of the file at offset i
// is XOR-ed with key[i % key length]. The file is always written and read
// whole.
#include <cstdlib>
#include <cstring>

#include "common/file.h"
#include "common/heap.h"
#include "common/md5.h"
#include "common/paths.h"
#include "common/text.h"
#include "console/argument_list.h"
#include "host/client_state.h"
#include "log/log.h"
#include "platform/platform.h"
#include "regnames/record_text.h"
#include "regnames/regnames.h"

namespace qx::regnames {

namespace {

constexpr uint32_t kKeyCheckSeed = 0;  // standard MD5
// Quotes, spaces and line end around the fields of a record line.
constexpr size_t kLineFraming = 8;
constexpr int kArgumentsPerRound = console::kMaxArguments - 1;  // 33 triples

constexpr const char *kWrittenLine =
    "%d Registered Name Record%s written to %s";
constexpr const char *kNotWritten =
    "Error: could not write %d Registered Name Record%s to %s";
constexpr const char *kNotReplaced =
    "Error: %s not replaced - it holds Registered Names that are not loaded";
constexpr const char *kBadFileName = "Error: Invalid Registered Name File (%s)";
constexpr const char *kWrongKey = "Cannot load %s - Invalid RegNamePw";
constexpr const char *kNoHeader = "Cannot load %s - Header Missing";
constexpr const char *kTooLarge = "Cannot load %s - File Too Large";
constexpr const char *kUnreadable = "Cannot load %s - Read Error";

State &state() { return client().regnames; }

const char *key() { return client().settings.regNamePw; }

const char *plural(int n) { return n == 1 ? "" : "s"; }

void keyCheckText(const char *k, char text[33]) {
  uint8_t digest[16];
  md5(k, std::strlen(k), kKeyCheckSeed, digest);
  md5ToText(digest, text);
}

void applyKey(uint8_t *data, size_t size, const char *k) {
  const size_t n = std::strlen(k);
  if (n == 0) return;
  for (size_t i = 0; i < size; ++i) data[i] ^= static_cast<uint8_t>(k[i % n]);
}

// ---- writing ---------------------------------------------------------------

size_t lineLength(const Record &r) {
  return std::strlen(r.match) + std::strlen(r.password) +
         std::strlen(kindWord(r.kind)) + kLineFraming;
}

uint8_t *put(uint8_t *out, const char *text) {
  const size_t n = std::strlen(text);
  std::memcpy(out, text, n);
  return out + n;
}

uint8_t *putLine(uint8_t *out, const Record &r) {
  out = put(out, "\"");
  out = put(out, r.match);
  out = put(out, "\" \"");
  out = put(out, r.password);
  out = put(out, "\" ");
  out = put(out, kindWord(r.kind));
  return put(out, "\r\n");
}

// The whole file in memory, enciphered when there is a key; null when the
// memory cannot be had. count receives the number of records in it.
uint8_t *buildFile(size_t &size, int &count) {
  const console::RecordList &list = state().names;
  const char *k = key();
  size = k[0] ? kKeyCheckLength : kFileHeaderLength;
  count = 0;
  for (int32_t i = 0; i < list.count; ++i) {
    const Record *r = console::listRecord<Record>(list, i);
    if (!r->match[0]) continue;
    size += lineLength(*r);
    ++count;
  }
  uint8_t *data = static_cast<uint8_t *>(heap::allocate(size));
  if (!data) return nullptr;
  uint8_t *out = data;
  if (k[0]) {
    char check[33];
    keyCheckText(k, check);
    out = put(out, check);
  } else {
    out = put(out, kFileHeader);
  }
  for (int32_t i = 0; i < list.count; ++i) {
    const Record *r = console::listRecord<Record>(list, i);
    if (r->match[0]) out = putLine(out, *r);
  }
  applyKey(data, size, k);
  return data;
}

void noteLoadedFrom(const char *path, bool whole) {
  copyText(state().loadedPath, path, sizeof state().loadedPath - 1);
  state().loadedWhole = whole ? 1 : 0;
}

// ---- reading ---------------------------------------------------------------

TextSpan argumentSpan(const console::ArgumentList &args, int i) {
  if (i >= args.argc) return {"", 0};
  return {args.start[i], static_cast<size_t>(args.length[i])};
}

// Adds the records of the text in threes: match, password, kind word. The
// argument list holds 100 arguments at a time, so after 33 triples the
// split goes on from where the 99th argument ended, exactly as if the text
// had been split in one go.
void addRecords(QxGameInterface *gi, char *text) {
  console::ArgumentList args;
  for (;;) {
    console::split(args, text, false);
    const int usable =
        args.argc == console::kMaxArguments ? kArgumentsPerRound : args.argc;
    for (int i = 0; i < usable; i += 3)
      addRegisteredNameSpans(gi, argumentSpan(args, i),
                             argumentSpan(args, i + 1),
                             argumentSpan(args, i + 2), 0);
    if (args.argc < console::kMaxArguments) return;
    const int last = kArgumentsPerRound - 1;
    // Past the 99th argument's closing quote or separator; the 100th
    // argument follows, so this stays inside the text.
    text = args.start[last] + args.length[last] + 1;
  }
}

// Checks the header or the key and returns where the records start, or
// null (after saying why) when the file is not one to load.
char *recordsOf(uint8_t *data, size_t size, const char *path) {
  const char *k = key();
  if (k[0]) {
    applyKey(data, size, k);
    char check[33];
    keyCheckText(k, check);
    if (size < kKeyCheckLength ||
        std::memcmp(data, check, kKeyCheckLength) != 0) {
      log::printMessage(1, kWrongKey, path);
      return nullptr;
    }
    return reinterpret_cast<char *>(data + kKeyCheckLength);
  }
  if (size < kFileHeaderLength ||
      std::memcmp(data, kFileHeader, kFileHeaderLength) != 0) {
    log::printMessage(1, kNoHeader, path);
    return nullptr;
  }
  return reinterpret_cast<char *>(data + kFileHeaderLength);
}

// Reads the whole file into memory with a terminator after it. A NUL byte
// inside separates like a blank, so that it cannot hide the names after it.
uint8_t *readWhole(File &file, size_t size, const char *path) {
  uint8_t *data = static_cast<uint8_t *>(heap::allocate(size + 1));
  if (!data || file.read(data, size) != size) {
    heap::release(data);
    log::printMessage(1, kUnreadable, path);
    return nullptr;
  }
  data[size] = '\0';
  return data;
}

LoadResult loadFile(QxGameInterface *gi, const char *path) {
  File file(path, platform::OpenMode::Read);
  if (!file.open()) return LoadResult::Absent;
  const long size = file.size();
  if (size == 0) return LoadResult::Absent;
  if (size < 0 || size > kMaxFileSize) {
    log::printMessage(1, size < 0 ? kUnreadable : kTooLarge, path);
    return LoadResult::Refused;
  }
  uint8_t *data = readWhole(file, static_cast<size_t>(size), path);
  if (!data) return LoadResult::Refused;
  const size_t n = static_cast<size_t>(size);
  char *records = recordsOf(data, n, path);
  if (records) {
    for (char *c = records; c < reinterpret_cast<char *>(data) + n; ++c)
      if (*c == '\0') *c = ' ';
    addRecords(gi, records);
  }
  heap::release(data);
  return records ? LoadResult::Loaded : LoadResult::Refused;
}

// The registered-name file: the home directory and qx_RegNameFn, a name
// that must stay inside the home directory (the server can set it too).
bool namesFilePath(char *path) {
  const char *name = client().settings.regNameFn;
  if (name[0] && staysInHome(name) && homeFilePath(path, name)) return true;
  log::printMessage(1, kBadFileName, name);
  return false;
}

// Without a usable file name the list is emptied, as by the load of a file
// that is not there.
void forgetList() {
  state().names.count = 0;
  noteLoadedFrom("", false);
}

bool fileExists(const char *path) {
  File file(path, platform::OpenMode::Read);
  return file.open();
}

// A file is replaced only by a list that holds all its names. One the list
// has not taken in (no server joined yet, or its key set only now) is read
// first, under the current key, and its names join the list; one that
// cannot be read (a wrong or missing key) is left as it is.
bool takeIn(QxGameInterface *gi, const char *path) {
  const State &s = state();
  if (s.loadedWhole && std::strcmp(s.loadedPath, path) == 0) return true;
  if (loadFile(gi, path) == LoadResult::Refused) return false;
  noteLoadedFrom(path, true);
  return true;
}

}  // namespace

int saveRegisteredNames(QxGameInterface *gi, const char *path) {
  int written = 0;
  if (!takeIn(gi, path)) {
    log::printMessage(1, kNotReplaced, path);
  } else {
    size_t size = 0;
    int count = 0;
    uint8_t *data = buildFile(size, count);
    written = data && replaceFile(path, data, size) ? 1 : 0;
    heap::release(data);
    log::printMessage(1, written ? kWrittenLine : kNotWritten, count,
                      plural(count), path);
    if (written) noteLoadedFrom(path, true);
  }
  reportRegisteredNames(gi);
  return written;
}

LoadResult loadRegisteredNames(QxGameInterface *gi, const char *path,
                               int clearFirst) {
  if (clearFirst) {
    state().names.count = 0;
    noteLoadedFrom(path, false);
  }
  const LoadResult result = loadFile(gi, path);
  if (clearFirst && result != LoadResult::Refused) noteLoadedFrom(path, true);
  return result;
}

void loadRegisteredNamesFile(QxGameInterface *gi) {
  char path[kPathCapacity];
  if (namesFilePath(path))
    loadRegisteredNames(gi, path, 1);
  else
    forgetList();
}

void saveRegisteredNamesFile(QxGameInterface *gi) {
  char path[kPathCapacity];
  if (namesFilePath(path))
    saveRegisteredNames(gi, path);
  else
    reportRegisteredNames(gi);
}

void registeredNamesForNewServer(QxGameInterface *gi) {
  char path[kPathCapacity];
  if (!namesFilePath(path)) {
    forgetList();
    return;
  }
  loadRegisteredNames(gi, path, 1);
  // A registered-name file named like the import file is not merged into
  // itself and then deleted; names compare as Windows reads them.
  char importPath[kPathCapacity];
  if (!homeFilePath(importPath, kImportFileName) ||
      sameFileName(importPath, path) || !fileExists(importPath))
    return;
  // An import file that cannot be read now (a wrong key) stays for later,
  // and so does one whose names could not be saved.
  if (loadRegisteredNames(gi, importPath, 0) == LoadResult::Refused) return;
  if (saveRegisteredNames(gi, path)) platform::fileRemove(importPath);
}

}  // namespace qx::regnames
