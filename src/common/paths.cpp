#include "common/paths.h"

#include <cstring>
#include <initializer_list>

#include "common/pending_replace.h"
#include "common/protocol.h"
#include "common/text.h"
#include "host/client_state.h"
#include "platform/platform.h"

namespace qx {

namespace {

constexpr char kTemporarySuffix[] = ".qxtmp";
constexpr size_t kTemporarySuffixLength = sizeof kTemporarySuffix - 1;

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// The one room check: a path of this length and its temporary name both
// fit the file object.
bool roomToReplace(size_t pathLength) {
  return pathLength + kTemporarySuffixLength <= File::kMaxPath;
}

bool isTrailingDropped(char c) { return c == '.' || c == ' '; }

// Characters Windows refuses in a name, control characters among them.
bool isForbidden(unsigned char c) {
  return c < 0x20 || c == 0x7F || std::strchr("<>:\"/\\|?*", c) != nullptr;
}

// COM and LPT name devices with a digit, including the superscript
// digits 1, 2 and 3 of the Windows code page.
bool isDeviceDigit(unsigned char c) {
  return (c >= '0' && c <= '9') || c == 0xB9 || c == 0xB2 || c == 0xB3;
}

bool equalsNoCase(const char *text, size_t length, const char *word) {
  return std::strlen(word) == length && compareNoCaseN(text, word, length) == 0;
}

// The text before the first dot of a part, trailing dots and blanks
// removed, is a device name.
bool isDevicePart(const char *part, size_t length) {
  size_t base = 0;
  while (base < length && part[base] != '.') ++base;
  while (base > 0 && isTrailingDropped(part[base - 1])) --base;
  for (const char *device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
    if (equalsNoCase(part, base, device)) return true;
  if (base != 4 || !isDeviceDigit(static_cast<unsigned char>(part[3])))
    return false;
  return compareNoCaseN(part, "COM", 3) == 0 ||
         compareNoCaseN(part, "LPT", 3) == 0;
}

// One part of a name (between separators) under the name rule.
bool isSafePart(const char *part, size_t length) {
  if (length == 0 || isTrailingDropped(part[length - 1])) return false;
  for (size_t i = 0; i < length; ++i) {
    if (isForbidden(static_cast<unsigned char>(part[i]))) return false;
    if (part[i] == '~' && i + 1 < length && part[i + 1] >= '0' &&
        part[i + 1] <= '9')
      return false;
  }
  return !isDevicePart(part, length);
}

// name as Windows reads it, into out (kPathCapacity bytes): lower case,
// a backslash for every '/', and no part ending in dots or blanks. False
// when it does not fit.
bool normalName(const char *name, char *out) {
  size_t n = 0, partEnd = 0;  // partEnd: length up to the last kept char
  for (const char *p = name; *p; ++p) {
    if (n == File::kMaxPath) return false;
    if (isSeparator(*p)) {
      n = partEnd;
      out[n++] = '\\';
      partEnd = n;
      continue;
    }
    out[n++] = lowerAscii(*p);
    if (!isTrailingDropped(*p)) partEnd = n;
  }
  out[partEnd] = '\0';
  return true;
}

}  // namespace

bool homeFilePath(char *out, const char *name) {
  const char *home = client().host.homeDir;
  const size_t homeLength = std::strlen(home);
  const size_t nameLength = name ? std::strlen(name) : 0;
  if (!roomToReplace(homeLength + nameLength)) {
    out[0] = '\0';
    return false;
  }
  std::memcpy(out, home, homeLength);
  if (nameLength) std::memcpy(out + homeLength, name, nameLength);
  out[homeLength + nameLength] = '\0';
  return true;
}

bool isPlainFileName(const char *name) {
  return name && isSafePart(name, std::strlen(name));
}

bool staysInHome(const char *name) {
  if (!name) return false;
  const char *part = name;
  for (const char *p = name;; ++p) {
    if (*p != '\0' && !isSeparator(*p)) continue;
    if (!isSafePart(part, static_cast<size_t>(p - part))) return false;
    if (*p == '\0') return true;
    part = p + 1;
  }
}

bool sameFileName(const char *a, const char *b) {
  char normalA[kPathCapacity], normalB[kPathCapacity];
  return a && b && normalName(a, normalA) && normalName(b, normalB) &&
         std::strcmp(normalA, normalB) == 0;
}

bool isLocalUpdateName(const char *name) {
  // The local update opens its file, and failing that, the same name
  // without its last character ("qxupd.html", then "qxupd.htm").
  char shorter[kPathCapacity];
  copyText(shorter, protocol::kLocalUpdateFile, kPathCapacity - 1);
  const size_t n = std::strlen(shorter);
  if (n > 0) shorter[n - 1] = '\0';
  return sameFileName(name, protocol::kLocalUpdateFile) ||
         sameFileName(name, shorter);
}

bool replaceFile(const char *path, const void *data, size_t size) {
  const ReplaceResult result = replaceFileChecked(path, data, size);
  return result == ReplaceResult::kReplaced ||
         result == ReplaceResult::kPending;
}

ReplaceResult replaceFileChecked(const char *path, const void *data,
                                 size_t size) {
  char temporary[kPathCapacity];
  if (!path || !roomToReplace(std::strlen(path)))
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
