// Registered-name files: the input becomes a file in the home directory,
// loaded as on joining a server, with or without a key. A loaded list must
// survive a save and a second load unchanged, and its report must be one
// the server side can read.
//
// Input: byte 0 gives the key length (its low 5 bits) and, with bit 7 set,
// asks the harness to encipher the rest itself under the key's check
// digits, so that inputs get past the key check; then the key bytes, then
// the file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/md5.h"
#include "common/text.h"
#include "console_fuzz_support.h"
#include "peer/regnames_peer.h"
#include "regnames/regnames.h"

namespace {

using qx::regnames::Record;

void writeFile(const char *path, const uint8_t *data, size_t size) {
  qx::platform::FileHandle f =
      qx::platform::fileOpen(path, qx::platform::OpenMode::Write);
  if (!f) std::abort();
  qx::platform::fileWrite(f, data, size);
  qx::platform::fileClose(f);
}

// Every input saves a file, which is committed to disk: a home directory in
// memory keeps the runs fast where there is one.
const char *home() {
  static char dir[256];
  if (!dir[0]) {
    char pattern[] = "/dev/shm/qxfuzz_XXXXXX";
    if (mkdtemp(pattern))
      std::snprintf(dir, sizeof dir, "%s\\", pattern);
    else
      std::snprintf(dir, sizeof dir, "%s", qxfuzz::homeDirectory());
  }
  return dir;
}

std::vector<Record> records() {
  const qx::console::RecordList &list = qx::client().regnames.names;
  std::vector<Record> out;
  for (int32_t i = 0; i < list.count; ++i)
    out.push_back(*qx::console::listRecord<Record>(list, i));
  return out;
}

bool sameRecords(const std::vector<Record> &a, const std::vector<Record> &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::memcmp(&a[i], &b[i], sizeof(Record)) != 0) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  QxGameInterface *gi = qxfuzz::freshClient(true);
  qx::ClientState &c = qx::client();
  qx::copyText(c.host.homeDir, home(), sizeof c.host.homeDir - 1);
  const size_t keyLength = data[0] & 0x1F;
  const bool encipher = (data[0] & 0x80) != 0;
  if (size < 1 + keyLength) return 0;
  char *key = c.settings.regNamePw;
  std::memcpy(key, data + 1, keyLength);
  key[keyLength] = '\0';
  const uint8_t *body = data + 1 + keyLength;
  const size_t bodySize = size - 1 - keyLength;

  std::vector<uint8_t> file(body, body + bodySize);
  const size_t n = std::strlen(key);
  if (encipher && n > 0) {
    uint8_t digest[16];
    char check[33];
    qx::md5(key, n, 0, digest);
    qx::md5ToText(digest, check);
    file.insert(file.begin(), check, check + 32);
    for (size_t i = 0; i < file.size(); ++i)
      file[i] ^= static_cast<uint8_t>(key[i % n]);
  }
  char path[300], copy[300];
  std::snprintf(path, sizeof path, "%sfuzz.dat", home());
  std::snprintf(copy, sizeof copy, "%sfuzz_copy.dat", home());
  writeFile(path, file.data(), file.size());
  qx::platform::fileRemove(copy);

  qx::regnames::loadRegisteredNames(gi, path, 1);
  const std::vector<Record> loaded = records();
  for (const Record &r : loaded)
    if (!r.match[0] || !r.password[0] || (r.kind != 1 && r.kind != 2))
      std::abort();

  uint8_t report[qx::regnames::kReportCapacity];
  const int length = qx::regnames::buildRegisteredNamesReport(report);
  if (length > qx::protocol::kRegNameReportMax + 1) std::abort();
  if (length > 0 &&
      !qx::peer::decodeRegisteredNames(qx::peer::Bytes(report, report + length))
           .ok)
    std::abort();

  if (!qx::regnames::saveRegisteredNames(gi, copy)) std::abort();
  qx::regnames::loadRegisteredNames(gi, copy, 1);
  if (!sameRecords(loaded, records())) std::abort();
  return 0;
}
