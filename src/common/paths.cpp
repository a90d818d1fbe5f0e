#include "common/paths.h"

#include <cstring>

#include "common/pending_replace.h"
#include "common/text.h"
#include "host/client_state.h"
#include "platform/platform.h"

namespace qx {

namespace {

constexpr const char *kTemporarySuffix = ".qxtmp";

bool isSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

bool homeFilePath(char *out, const char *name) {
  const char *home = client().host.homeDir;
  const size_t homeLength = std::strlen(home);
  const size_t nameLength = name ? std::strlen(name) : 0;
  if (homeLength + nameLength > File::kMaxPath) {
    out[0] = '\0';
    return false;
  }
  std::memcpy(out, home, homeLength);
  if (nameLength) std::memcpy(out + homeLength, name, nameLength);
  out[homeLength + nameLength] = '\0';
  return true;
}

bool isPlainFileName(const char *name) {
  if (!name || !name[0]) return false;
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
  for (const char *p = name; *p; ++p)
    if (isSeparator(*p) || *p == ':') return false;
  return true;
}

bool staysInHome(const char *name) {
  if (!name || isSeparator(name[0])) return false;
  const char *part = name;
  for (const char *p = name;; ++p) {
    if (*p == ':') return false;
    if (isSeparator(*p) || *p == '\0') {
      if (p - part == 2 && part[0] == '.' && part[1] == '.') return false;
      if (*p == '\0') return true;
      part = p + 1;
    }
  }
}

bool replaceFile(const char *path, const void *data, size_t size) {
  const ReplaceResult result = replaceFileChecked(path, data, size);
  return result == ReplaceResult::kReplaced ||
         result == ReplaceResult::kPending;
}

ReplaceResult replaceFileChecked(const char *path, const void *data,
                                 size_t size) {
  char temporary[kPathCapacity];
  if (!path ||
      std::strlen(path) + std::strlen(kTemporarySuffix) > File::kMaxPath)
    return ReplaceResult::kCannotCreate;
  formatText(temporary, sizeof temporary, "%s%s", path, kTemporarySuffix);
  bool opened, written;
  {
    File file(temporary, platform::OpenMode::Write);
    opened = file.open();
    written = opened && (size == 0 || file.write(data, size)) && file.flush();
  }
  if (written) return moveIntoPlace(temporary, path);
  discardTemporary(temporary, path, opened);
  return opened ? ReplaceResult::kWriteFailed : ReplaceResult::kCannotCreate;
}

}  // namespace qx
