// The command processor: every line of console text that reaches the client
// (the player's console, configuration files, server directives) is split,
// matched against the commands, the directive keywords and the settings,
// and handled.
#pragma once

#include <cstdint>

#include "qx/game_interface.h"

namespace qx::console {

// Interprets one line; text is modified in place. depth is the nesting depth
// of configuration files (0 for console and server text); reportUnknown
// prints "Unknown Command/Setting: %s" for a line that matches nothing.
// Always returns 1.
int processLine(QxGameInterface *gi, char *text, int depth, int reportUnknown);

// Runs text (at most 255 characters) as console text in the game.
void execConsole(QxGameInterface *gi, const char *text);

// Name completion for host code 51: completes text in place when one name
// fits, lists the candidates when several do. text holds at least 256 bytes.
void complete(QxGameInterface *gi, char *text);

}  // namespace qx::console
