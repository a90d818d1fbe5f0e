// The last stage: the line of the screenshot log qxsslog.htm and, when the
// screenshot is kept, its page and PNG files under scrnshot\, the PNG
// written in pieces over as many calls as its size needs.
#include <cstring>

#include "common/file.h"
#include "common/paths.h"
#include "common/pending_replace.h"
#include "common/text.h"
#include "host/client_state.h"
#include "log/log.h"
#include "platform/platform.h"
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

// The PNG goes to a temporary file beside its name in pieces, as many per
// call as the budget allows, and takes the name's place once whole, so an
// existing file of the same name (the counter wraps at 1000) is replaced
// only by a complete one.
enum StorePhase : int32_t {
  kStoreLog = 0,  // the log line; the names
  kStorePage,     // the page and the PNG's paths
  kStoreOpen,     // create the temporary file
  kStoreWrite,    // write the PNG in pieces, then close it
  kStorePlace,    // put it in place of its name
  kStoreDone,
};

constexpr const char *kTemporarySuffix = ".qxtmp";
// PNG bytes per piece. The system takes memory it may never have touched
// for the pieces it keeps, so they are small and start in the first half
// of the budget.
constexpr uint32_t kWriteSlice = 16384;

void logLine(QxGameInterface *gi, const Slot &s, bool save,
             const char *pageName, const char *pngName) {
  const bool local = isLocal(s);
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
  const platform::CalendarTime &t = s.requestTime;
  const uint8_t *d = s.transfer.digest;
  const unsigned hh = unsigned(t.hour), mm = unsigned(t.minute),
                 ss = unsigned(t.second);
  char line[kLogLineMax];
  if (save)
    formatText(line, sizeof line, kStoredLogFormat, pageName, pngName, s.number,
               hh, mm, ss, d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], d[8],
               d[9], d[10], d[11], d[12], d[13], d[14], d[15], first, second);
  else
    formatText(line, sizeof line, kNotStoredLogFormat, unsigned(t.month),
               unsigned(t.day), s.number, hh, mm, ss, d[0], d[1], d[2], d[3],
               d[4], d[5], d[6], d[7], d[8], d[9], d[10], d[11], d[12], d[13],
               d[14], d[15], first, second);
  appendLog(line);
}

// The page, whole, and the PNG's paths; the PNG's name relative to the
// home is in path until then. False when the PNG has no place (a home too
// long for its name), reported as a file that cannot be created.
bool storePage(Slot &s) {
  Store &st = s.store;
  char pngName[kPathCapacity];
  copyText(pngName, st.path, sizeof pngName - 1);
  char path[kPathCapacity];
  const char *pngFile = pngName + std::strlen(kDirectory) + 1;
  char page[kPathCapacity];
  const size_t n = formatText(page, sizeof page, kPageFormat, pngFile);
  if (homeFilePath(path, st.page)) replaceFile(path, page, n);
  if (!homeFilePath(st.path, pngName)) {
    formatText(st.path, sizeof st.path, "%s", pngName);
    return false;
  }
  return formatText(st.temporary, sizeof st.temporary, "%s%s", st.path,
                    kTemporarySuffix) ==
         std::strlen(st.path) + std::strlen(kTemporarySuffix);
}

// The first step of the stage: numbers the screenshot and writes its log
// line; the names of its page and PNG wait in the store record. False when
// nothing more is to be stored.
bool startStore(QxGameInterface *gi, Slot &s) {
  ClientState &cs = client();
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
  if (cs.settings.ssLog != 0 || local) logLine(gi, s, save, pageName, pngName);
  if (!save) return false;
  copyText(s.store.page, pageName, sizeof s.store.page - 1);
  copyText(s.store.path, pngName, sizeof s.store.path - 1);
  s.store.phase = kStorePage;
  return true;
}

// Writes pieces of the PNG while the budget lasts; true once it is in
// place or has failed (with its message).
bool writePieces(Slot &s, StageBudget &budget) {
  Store &st = s.store;
  const Capture &c = *s.capture;
  while (st.written < c.pngSize) {
    if (!budget.leftForFreshPages()) return false;
    budget.use();
    const uint32_t left = c.pngSize - st.written;
    const uint32_t n = left < kWriteSlice ? left : kWriteSlice;
    if (platform::fileWrite(st.file, c.work + st.written, n) != n) {
      endStore(s);
      log::printMessage(1, kSaveFailedMessage, st.path);
      return true;
    }
    st.written += n;
  }
  // Handing the rest to the system and closing the file is a slice of its
  // own, and so is putting the file in place.
  if (!budget.left()) return false;
  budget.use();
  const bool flushed = platform::fileFlush(st.file);
  platform::fileClose(st.file);
  st.file = nullptr;
  if (!flushed) {
    platform::fileRemove(st.temporary);
    log::printMessage(1, kSaveFailedMessage, st.path);
    return true;
  }
  st.phase = kStorePlace;
  return false;
}

// Puts the whole PNG in place of its name. A file another program holds
// keeps the whole picture in its temporary file and takes its place in a
// later work frame.
void placeFile(Slot &s) {
  Store &st = s.store;
  if (moveIntoPlace(st.temporary, st.path) != ReplaceResult::kCannotCreate)
    log::printMessage(1, kSavedMessage, st.path);
  else
    log::printMessage(1, kSaveFailedMessage, st.path);
}

}  // namespace

void storeStage(QxGameInterface *gi, Slot &s, uint32_t, StageBudget &budget) {
  Store &st = s.store;
  // Every file operation is a slice of its own: creating and renaming
  // files can take as long as writing a piece of the PNG.
  if (st.phase == kStoreLog) {
    if (!budget.left()) return;
    budget.use();
    if (!startStore(gi, s)) {
      s.stage = kStageFinished;
      return;
    }
  }
  if (st.phase == kStorePage) {
    if (!budget.left()) return;
    budget.use();
    if (!storePage(s) || !s.capture) {
      log::printMessage(1, kSaveFailedMessage, st.path);
      s.stage = kStageFinished;
      return;
    }
    st.phase = kStoreOpen;
  }
  if (st.phase == kStoreOpen) {
    if (!budget.left()) return;
    budget.use();
    st.file = platform::fileOpen(st.temporary, platform::OpenMode::Write);
    if (!st.file) {
      log::printMessage(1, kSaveFailedMessage, st.path);
      s.stage = kStageFinished;
      return;
    }
    st.written = 0;
    st.phase = kStoreWrite;
  }
  if (st.phase == kStoreWrite && writePieces(s, budget)) {
    s.stage = kStageFinished;
    return;
  }
  if (st.phase == kStorePlace && budget.left()) {
    budget.use();
    placeFile(s);
    st.phase = kStoreDone;
    s.stage = kStageFinished;
  }
}

void endStore(Slot &s) {
  Store &st = s.store;
  // A temporary file still open, or whole but not yet in place, goes.
  if (st.file) {
    platform::fileClose(st.file);
    st.file = nullptr;
  } else if (st.phase != kStorePlace) {
    return;
  }
  platform::fileRemove(st.temporary);
  st.phase = kStoreDone;
}

}  // namespace qx::screenshot
