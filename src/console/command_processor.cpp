#include "console/command_processor.h"

namespace qx::console {

int processLine(QxGameInterface *, char *, int, int) { return 1; }

void execConsole(QxGameInterface *, const char *) {}

void complete(QxGameInterface *, char *) {}

}  // namespace qx::console
