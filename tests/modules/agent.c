/* A test agent: a real library that the client installs, loads and calls
 * through its one export `a`, as it does the service's agent.
 *
 *   order 1, 77   the version this library was built with
 *   order 66      an error text
 *   order 13      a processor fault, on purpose
 *   other orders  printed through the game interface ("agent A1300: order 5
 *                 \"text\""); the result is null
 *
 * Built with QX_MODULE_NO_EXPORT it exports no `a` at all; built with
 * QX_MODULE_FAULTY it faults when asked its version (orders 1 and 77). */
#include <stdint.h>
#include <stdio.h>

#include "qx/game_interface.h"

#if defined(_WIN32)
#define QX_EXPORT __declspec(dllexport)
#else
#define QX_EXPORT __attribute__((visibility("default")))
#endif

enum {
  kOrderStatus = 1,
  kOrderVersion = 77,
  kOrderRefused = 66,
  kOrderFault = 13,
};

#ifndef QX_MODULE_NO_EXPORT

static char line[1200];

static void fault(void) {
  volatile uintptr_t address = 16; /* never mapped */
  *(volatile int *)address = 1;
}

QX_EXPORT intptr_t QX_CDECL a(QxGameInterface *gi, int32_t order, int32_t zero,
                              const char *argument) {
  (void)zero;
  switch (order) {
    case kOrderStatus:
    case kOrderVersion:
#ifdef QX_MODULE_FAULTY
      fault();
#endif
      return QX_MODULE_VERSION;
    case kOrderRefused:
      return (intptr_t) "agent refused order 66";
    case kOrderFault:
      fault();
      return 0;
    default:
      snprintf(line, sizeof line, "agent A%d: order %d \"%s\"",
               QX_MODULE_VERSION, (int)order, argument ? argument : "");
      if (gi && gi->print) gi->print(line, 1);
      return 0;
  }
}

#else

QX_EXPORT int32_t qxtest_module_version(void) { return QX_MODULE_VERSION; }

#endif
