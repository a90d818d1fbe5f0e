#include "log/log.h"

#include <cstring>

#include "common/file.h"
#include "common/paths.h"
#include "common/text.h"
#include "host/client_state.h"

namespace qx::log {

namespace {

// Leading part of a forwarded warning line, ahead of the label.
constexpr const char *kForwardLead = "qx";
constexpr const char *kForwardOperation = "qx_warning";
constexpr size_t kForwardLineMax = 511;

// A log path that does not fit is skipped like a log that cannot be opened.
void writeToLogFile(const char *text) {
  char path[kPathCapacity];
  if (homeFilePath(path, kLogFileName)) appendLogLine(path, "%s", text);
}

}  // namespace

int printMessageV(int level, const char *format, va_list args) {
  ClientState &c = client();
  formatTextV(c.log.message, kMessageSize, format, args);
  QxGameInterface *gi = c.host.gi;
  if (level != kLogOnly && gi && gi->print) gi->print(c.log.message, 1);
  if (c.settings.logToFile == 1) writeToLogFile(c.log.message);
  return 1;
}

int printMessage(int level, const char *format, ...) {
  va_list args;
  va_start(args, format);
  printMessageV(level, format, args);
  va_end(args);
  return 1;
}

void appendLogLine(const char *path, const char *format, ...) {
  File file(path, platform::OpenMode::Append);
  if (!file.open()) return;
  char *text = client().log.logLine;
  va_list args;
  va_start(args, format);
  formatTextV(text, kMessageSize, format, args);
  va_end(args);
  const platform::CalendarTime t = platform::localTime();
  char stamp[64];
  formatText(stamp, sizeof stamp, "[%02u.%02u.%04u %02u:%02u:%02u] ",
             static_cast<unsigned>(t.month), static_cast<unsigned>(t.day),
             static_cast<unsigned>(t.year), static_cast<unsigned>(t.hour),
             static_cast<unsigned>(t.minute), static_cast<unsigned>(t.second));
  file.writeText(stamp);
  file.writeText(text);
  file.writeText("\r\n");
  file.commit();
  file.close();
}

void printWarning(QxGameInterface *gi, const char *text, bool forward) {
  if (!text) text = "";
  char saved[QX_PREFIX_SIZE] = {};
  if (gi) {
    std::memcpy(saved, gi->msgPrefix, sizeof saved);
    copyText(gi->msgPrefix, kWarningLabel, QX_PREFIX_SIZE - 1);
  }
  printMessage(1, "%s", text);
  if (gi) std::memcpy(gi->msgPrefix, saved, sizeof saved);

  QxSecondaryHost *secondary = client().host.secondary;
  if (!forward || !gi || !secondary || !secondary->forward) return;
  char line[kForwardLineMax + 1];
  formatText(line, sizeof line, "%s %s: %s", kForwardLead, kWarningLabel, text);
  secondary->forward(kForwardOperation, line);
}

}  // namespace qx::log
