// Message formatter and local log. Every text the client shows the player
// goes through printMessage: it reaches the host console under the message
// prefix and, with qx_LogToFile on, the local log qxcl.log.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "qx/game_interface.h"

namespace qx::log {

constexpr size_t kMessageSize = 4150;  // 4149 characters and a terminator
constexpr int kLogOnly = -99;          // level: log file only, no console
constexpr const char *kLogFileName = "qxcl.log";
constexpr const char *kWarningLabel = "*WARNING*";

struct State {
  char message[kMessageSize];  // the formatted message of the current call
  char logLine[kMessageSize];  // the formatted text of appendLogLine
};

#if defined(__GNUC__)
#define QX_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define QX_PRINTF(f, a)
#endif

// Formats and prints through the current game interface. Level kLogOnly
// writes to the log only. Returns 1.
int printMessage(int level, const char *format, ...) QX_PRINTF(2, 3);
int printMessageV(int level, const char *format, va_list args);

// Appends one "[MM.DD.YYYY hh:mm:ss] text\r\n" line to the file at path;
// a file that cannot be opened is skipped silently.
void appendLogLine(const char *path, const char *format, ...) QX_PRINTF(2, 3);

// Prints text under the "*WARNING*" label and, when forward is set and the
// host offers a secondary record, forwards the line to it.
void printWarning(QxGameInterface *gi, const char *text, bool forward);

}  // namespace qx::log
