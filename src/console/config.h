// Configuration files: console text in the client's home directory, one
// line per setting, CR LF line ends. File names are relative to the home
// directory.
#pragma once

#include "qx/game_interface.h"

namespace qx::console {

constexpr int kMaxLoadDepth = 5;      // loadConfig refuses from this depth
constexpr int kConfigLineMax = 2047;  // longer lines are cut

// qx_Load: feeds each line of the file to the command processor at
// depth + 1. reportMissing prints "File Not Found: %s".
void loadConfig(QxGameInterface *gi, const char *fileName, int depth,
                int reportMissing);

// qx_WriteCfg: without a name writes qxcllog.cfg and qxcl.cfg (ending in a
// line that loads qxcllog.cfg); with a name writes only that file.
void writeConfig(QxGameInterface *gi, const char *fileName);

// Writes qxsys.cfg with the one line "qx_system <QX_SYSTEM>".
void writeSystemConfig();

}  // namespace qx::console
