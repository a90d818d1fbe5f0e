// Configuration files: console text in the client's home directory.
#pragma once

#include "qx/game_interface.h"

namespace qx::console {

// Feeds each line of the file (relative to the home directory) to the
// command processor. reportMissing prints "File Not Found: %s".
void loadConfig(QxGameInterface *gi, const char *fileName, int depth,
                int reportMissing);

// qx_WriteCfg: writes qxcl.cfg (and qxcllog.cfg) or the named file.
void writeConfig(QxGameInterface *gi, const char *fileName);

}  // namespace qx::console
