// Keyword directives: lines from the server (and the console) whose first
// word is a keyword, matched by exact length and letters in any case.
#pragma once

#include "console/line_context.h"

namespace qx::console {

// Runs the directive named by the first argument; 1 when one matched.
int runDirective(LineContext &line);

}  // namespace qx::console
