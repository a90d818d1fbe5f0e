#include "host/event_queue.h"

#include <cstdlib>
#include <cstring>

#include "channel/channel.h"
#include "common/heap.h"
#include "common/ticks.h"
#include "console/command_processor.h"
#include "host/client_state.h"

namespace qx::host {

namespace {

constexpr int kPacketsPerDrain = 4;

// Runs the handler of an event; true when the event was consumed.
bool handleEvent(QxGameInterface *gi, const Event &e) {
  switch (e.code) {
    case QX_EV_SERVER_PACKET:
      return channel::receivePacket(gi, e.length, e.data) != 0;
    case QX_EV_CONSOLE_LINE:
      console::processLine(gi, reinterpret_cast<char *>(e.data), 0, 1);
      return true;
    case 15:
    case 16:
      return true;  // no handler: dropped
    default:
      return false;  // no handler: refused
  }
}

struct Handling {
  QxGameInterface *gi;
  const Event *event;
  bool consumed;
};

void handleGuarded(void *context) {
  Handling &h = *static_cast<Handling *>(context);
  h.consumed = handleEvent(h.gi, *h.event);
}

// Takes the first ran records out of the queue; the others move up in
// their order.
void removeFront(EventQueue &q, int32_t ran) {
  const int32_t before = q.count;
  if (ran < before) {
    std::memmove(&q.records[0], &q.records[ran],
                 static_cast<size_t>(before - ran) * sizeof(Event));
    q.count = before - ran;
  } else {
    q.count = 0;
  }
  // The slots behind the moved records still hold copies of their data
  // pointers; the queue owns each copy once, so clear them.
  for (int32_t i = q.count; i < before; ++i) q.records[i].data = nullptr;
}

}  // namespace

const char *pushEvent(int32_t code, int32_t length, const void *data,
                      int32_t retries) {
  EventQueue &q = client().events;
  if (q.count >= kEventCapacity) return kEventOverflow;
  Event &e = q.records[q.count];
  e.code = code;
  e.data = nullptr;
  e.length = 0;
  if (data) {
    e.length = length;
    const size_t copy = length > 0 ? static_cast<size_t>(length) : 0;
    e.data = static_cast<uint8_t *>(heap::allocate(copy + 1));
    if (e.data) {
      if (copy) std::memcpy(e.data, data, copy);
      e.data[copy] = 0;
    } else {
      e.length = 0;  // stored without data
    }
  }
  e.retries = retries;
  ++q.count;
  return nullptr;
}

bool runEvent(QxGameInterface *gi, int32_t index) {
  EventQueue &q = client().events;
  // The record is copied first: a refused event queued again may land in
  // this very slot (runNewestEvent has already taken it out).
  Event e = q.records[index];
  q.records[index].data = nullptr;
  // The handler runs under its own guard, so that its data copy is freed
  // here whatever happens inside it. An event whose handler faulted is not
  // offered again: it would only fault again.
  Handling h{gi, &e, false};
  const bool completed = platform::runGuarded(handleGuarded, &h);
  if (completed && !h.consumed && e.retries > 0)
    pushEvent(e.code, e.length, e.data, e.retries - 1);
  heap::release(e.data);
  return completed;
}

bool drainEvents(QxGameInterface *gi, int32_t budget, bool wasEnabled) {
  ClientState &c = client();
  EventQueue &q = c.events;
  const int32_t n = q.count;
  const uint32_t start = platform::tickCount();
  c.channel.packetsSentThisFrame = 0;
  int32_t ran = 0;
  bool completed = true;
  while (ran < n) {
    if (budget != 0 &&
        tickDiff(platform::tickCount(), start) >= static_cast<uint32_t>(budget))
      break;
    completed = runEvent(gi, ran);
    ++ran;
    if (!completed) break;
    if (c.channel.packetsSentThisFrame > kPacketsPerDrain) break;
    if (!wasEnabled && c.host.enabled) break;
  }
  if (ran > 0) removeFront(q, ran);
  return completed;
}

bool runNewestEvent(QxGameInterface *gi) {
  EventQueue &q = client().events;
  if (q.count == 0) return true;
  --q.count;
  return runEvent(gi, q.count);
}

}  // namespace qx::host
