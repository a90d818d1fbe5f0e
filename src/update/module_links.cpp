#include "update/module_links.h"

#include "common/protocol.h"
#include "common/text.h"
#include "host/client_state.h"

namespace qx::update::links {

namespace {

// Tables of an entry: by module kind 'A', 'C', 'S', and by platform letter
// 'W', 'L', 'K', any other.
int kindSlot(char kind) {
  switch (kind) {
    case 'A':
      return 0;
    case 'C':
      return 1;
    default:
      return 2;
  }
}

int platformSlot(char letter) {
  switch (letter) {
    case 'W':
    case 'w':
      return 0;
    case 'L':
    case 'l':
      return 1;
    case 'K':
    case 'k':
      return 2;
    default:
      return 3;
  }
}

// The package reader's text for a package that cannot be opened.
constexpr const char *kNoPackage = "ERROR: Cannot open source file";

}  // namespace

bool expectedModule(char moduleKind, int32_t version, Expected &out) {
  const master::State &m = client().master;
  const int kind = kindSlot(moduleKind);
  const int platform = platformSlot(protocol::kThisPlatform.letter);
  for (int e = 0; e < m.entryCount && e < master::kMaxEntries; ++e) {
    const master::ModuleTable &t = m.entries[e].tables[kind][platform];
    for (int r = 0; r < t.count && r < master::kMaxModules; ++r)
      if (t.records[r].version == version) {
        out.size = t.records[r].size;
        copyText(out.digest1, t.records[r].digest1, 32);
        copyText(out.digest2, t.records[r].digest2, 32);
        return true;
      }
  }
  return false;
}

// The package reader is not part of this build yet: every package counts
// as absent, so the client asks the server for it.
const char *unpackPackage(const char *, const char *, const Expected *) {
  return kNoPackage;
}

bool packageMissing(const char *error) {
  return error && compareNoCase(error, kNoPackage) == 0;
}

void abandonStaleTransfer(uint32_t) {}            // file transfer
void reportRegisteredNames(QxGameInterface *) {}  // registered names
void webUpdate(QxGameInterface *) {}              // web update

bool masterAddress(const master::Entry &entry, char address[16]) {
  copyText(address, entry.address, 15);
  return address[0] != '\0';
}

}  // namespace qx::update::links
