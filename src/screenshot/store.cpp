// The last stage: the line of the screenshot log qxsslog.htm and, when the
// screenshot is kept, its page and PNG files under scrnshot\.
#include <cstring>

#include "common/file.h"
#include "common/paths.h"
#include "common/text.h"
#include "host/client_state.h"
#include "log/log.h"
#include "screenshot/screenshot.h"

namespace qx::screenshot {

namespace {

constexpr const char *kLogName = "qxsslog.htm";
constexpr const char *kDirectory = "scrnshot";
constexpr const char *kFileFormat = "%s%s%02u%02u_%03d.%s";
constexpr uint32_t kFileNumbers = 1000;
constexpr const char *kPageFormat = "<p> <img src=%s>\r\n";
constexpr const char *kStoredLogFormat =
    "<p> <a href=%s target=_blank>%s</a> qx%06d.png [%02u:%02u:%02u] "
    "MD5=%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X "
    "%s %s\r\n";
constexpr const char *kNotStoredLogFormat =
    "<p> %02u%02u (Not Saved) qx%06d.png [%02u:%02u:%02u] "
    "MD5=%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X "
    "%s %s\r\n";
constexpr const char *kLocalFirst = "Local";
constexpr const char *kLocalSecond = "Screenshot";
constexpr const char *kSavedMessage = "Screenshot saved to %s";
constexpr const char *kSaveFailedMessage = "ERROR Creating Screenshot file %s";

// A value from outside grows at most six times when escaped ('"' becomes
// "&quot;"); the line holds both values escaped whole beside its own text.
constexpr size_t kEscapedMax = 6 * kTextMax;
constexpr size_t kLogLineMax = 2 * kEscapedMax + 256;

// The characters that would open markup or end an attribute, and the
// references a page shows them by.
constexpr struct {
  char c;
  const char *reference;
} kReferences[] = {{'&', "&amp;"},
                   {'<', "&lt;"},
                   {'>', "&gt;"},
                   {'"', "&quot;"},
                   {'\'', "&#39;"}};

// Copies text into out (capacity bytes, terminated) with & < > " ' written
// as references, so that a value the server or the host chose shows as
// text in the log page and never becomes markup or script. A reference
// that does not fit is left out whole.
void escapeHtml(char *out, size_t capacity, const char *text) {
  size_t n = 0;
  for (; *text; ++text) {
    const char *piece = text;
    size_t length = 1;
    for (const auto &r : kReferences)
      if (*text == r.c) {
        piece = r.reference;
        length = std::strlen(piece);
      }
    if (n + length >= capacity) break;
    std::memcpy(out + n, piece, length);
    n += length;
  }
  out[n] = '\0';
}

void appendLog(const char *line) {
  char path[kPathCapacity];
  if (!homeFilePath(path, kLogName)) return;
  File log(path, platform::OpenMode::Append);
  if (log.open()) log.writeText(line);
}

// The page and PNG are each written whole or not at all; an existing file
// of the same name (the counter wraps at 1000) is replaced.
void storeFiles(const Slot &s, const char *pageName, const char *pngName) {
  char path[kPathCapacity];
  const char *pngFile = pngName + std::strlen(kDirectory) + 1;
  char page[kPathCapacity];
  const size_t n = formatText(page, sizeof page, kPageFormat, pngFile);
  if (homeFilePath(path, pageName)) replaceFile(path, page, n);
  const Capture *c = s.capture;
  const bool fits = homeFilePath(path, pngName);
  if (!fits) formatText(path, sizeof path, "%s", pngName);
  if (fits && c && replaceFile(path, c->work, c->pngSize))
    log::printMessage(1, kSavedMessage, path);
  else
    log::printMessage(1, kSaveFailedMessage, path);
}

}  // namespace

void storeStage(QxGameInterface *gi, Slot &s, uint32_t) {
  ClientState &cs = client();
  s.stage = kStageFinished;
  const bool local = isLocal(s);
  const bool save = local || cs.settings.ssSave > 0;
  const platform::CalendarTime &t = s.requestTime;
  const uint32_t n = cs.screenshot.fileCounter++;
  const int number = static_cast<int>(n % kFileNumbers);
  const unsigned month = unsigned(t.month), day = unsigned(t.day);
  char pngName[kPathCapacity], pageName[kPathCapacity];
  formatText(pngName, sizeof pngName, kFileFormat, kDirectory, "\\", month, day,
             number, "png");
  formatText(pageName, sizeof pageName, kFileFormat, kDirectory, "\\", month,
             day, number, "htm");

  if (cs.settings.ssLog != 0 || local) {
    char address[kTextMax + 1], player[kTextMax + 1];
    if (local) {
      copyText(address, kLocalFirst, kTextMax);
      copyText(player, kLocalSecond, kTextMax);
    } else {
      serverAddress(gi, address);
      hostDetail(gi, QX_SS_DETAIL_PLAYER, player);
    }
    char first[kEscapedMax + 1], second[kEscapedMax + 1];
    escapeHtml(first, sizeof first, address);
    escapeHtml(second, sizeof second, player);
    const uint8_t *d = s.transfer.digest;
    const unsigned hh = unsigned(t.hour), mm = unsigned(t.minute),
                   ss = unsigned(t.second);
    char line[kLogLineMax];
    if (save)
      formatText(line, sizeof line, kStoredLogFormat, pageName, pngName,
                 s.number, hh, mm, ss, d[0], d[1], d[2], d[3], d[4], d[5], d[6],
                 d[7], d[8], d[9], d[10], d[11], d[12], d[13], d[14], d[15],
                 first, second);
    else
      formatText(line, sizeof line, kNotStoredLogFormat, month, day, s.number,
                 hh, mm, ss, d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7],
                 d[8], d[9], d[10], d[11], d[12], d[13], d[14], d[15], first,
                 second);
    appendLog(line);
  }
  if (save) storeFiles(s, pageName, pngName);
}

}  // namespace qx::screenshot
