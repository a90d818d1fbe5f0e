// What a handler of a console line sees: the interface of the current call,
// the line split into arguments, and the values taken when the line began.
#pragma once

#include <cstdint>

#include "console/argument_list.h"
#include "qx/game_interface.h"

namespace qx::console {

struct LineContext {
  QxGameInterface *gi;
  ArgumentList args;      // split without terminating: arg(1) is the rest
  int depth;              // configuration-file nesting depth
  uint32_t startTick;     // tick when the line began processing
  int32_t systemAtStart;  // QX_SYSTEM when the line began processing
};

using LineHandler = void (*)(LineContext &line);

}  // namespace qx::console
