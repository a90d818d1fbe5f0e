#include "console/config.h"

namespace qx::console {

void loadConfig(QxGameInterface *, const char *, int, int) {}

void writeConfig(QxGameInterface *, const char *) {}

}  // namespace qx::console
