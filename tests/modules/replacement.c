/* A test replacement client: a real library that the client probes with
 * cb 17 before it tells the host to switch, and that a host then runs in
 * the client's place. It answers 17 with its version, announces itself at
 * its first frame and echoes console lines, and does nothing else. Built
 * with QX_MODULE_FAULTY it faults when asked its version. */
#include <stdint.h>
#include <stdio.h>

#include "qx/game_interface.h"

#if defined(_WIN32)
#define QX_EXPORT __declspec(dllexport)
#else
#define QX_EXPORT __attribute__((visibility("default")))
#endif

static char line[1200];
static int started;

static void say(QxGameInterface *gi, const char *text) {
  snprintf(line, sizeof line, "replacement client v%d.%03d: %s",
           QX_MODULE_VERSION / 1000, QX_MODULE_VERSION % 1000, text);
  if (gi && gi->print) gi->print(line, 1);
}

QX_EXPORT const char *QX_CDECL ca(QxGameInterface *gi, int32_t budget) {
  (void)budget;
  if (!started) {
    started = 1;
    say(gi, "running");
  }
  return 0;
}

QX_EXPORT intptr_t QX_CDECL cb(QxGameInterface *gi, int32_t code,
                               int32_t length, const void *data,
                               int32_t retries) {
  char text[256];
  (void)retries;
  if (code == QX_CB_VERSION) {
#ifdef QX_MODULE_FAULTY
    volatile uintptr_t address = 16; /* never mapped */
    *(volatile int *)address = 1;
#endif
    return QX_MODULE_VERSION;
  }
  if (code == QX_EV_CONSOLE_LINE && data && length > 0) {
    snprintf(text, sizeof text, "console \"%.*s\"", length > 200 ? 200 : length,
             (const char *)data);
    say(gi, text);
  }
  return 0;
}
