// The host's part of an entry call: the soak run puts timed wrappers around
// the fake host's callbacks, so that the time spent in the host (and, apart,
// in its read-back) is not counted as the client's.
#pragma once

#include "measure.h"
#include "qx/game_interface.h"

namespace qxsoak {

struct HostTime {
  Span host;      // host callbacks inside the current entry call
  Span readBack;  // of which the read-back
  // The system's loading and unloading of libraries (the agent and the
  // replacement client) inside the current call: one system call each,
  // which the client cannot cut, so it is reported apart like the
  // read-back. Counted natively, where the soak stands between the linked-in
  // client and the system's loader; under Wine it stays in the call.
  Span library;
};

// Replaces the callbacks of gi by timed wrappers around them.
void timeHostCallbacks(QxGameInterface &gi);
// The host's time in the current call; reset before each call.
HostTime &hostTime();

}  // namespace qxsoak
