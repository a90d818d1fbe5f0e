// Deferred event queue: cb copies each host event here and ca runs a few of
// them per frame, so the host's call returns at once and work stays bounded.
#pragma once

#include <cstdint>

#include "qx/game_interface.h"

namespace qx::host {

constexpr const char *kEventOverflow = "QX ERROR: Event Overflow";

// Stores a copy of the event; returns null, or kEventOverflow when full.
const char *pushEvent(int32_t code, int32_t length, const void *data,
                      int32_t retries);
// Runs the record at index, queues it again when refused and retries are
// left, and frees its data. A fault inside the handler is contained: the
// event is dropped, its data freed, and the result is false.
bool runEvent(QxGameInterface *gi, int32_t index);
// Runs the events queued now, stopping at the budget (ms, 0 = none), after
// more than four packets went out, or when an event enabled the client.
// Stops at an event whose handler faulted, with that event and those before
// it out of the queue, and returns false.
bool drainEvents(QxGameInterface *gi, int32_t budget, bool wasEnabled);
// Takes the newest record out of the queue and runs it; false when its
// handler faulted.
bool runNewestEvent(QxGameInterface *gi);

}  // namespace qx::host
