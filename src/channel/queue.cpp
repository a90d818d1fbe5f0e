// The delayed-send queue "FLOU": replies that leave a few milliseconds after
// they were built, so their timing does not mirror the server's requests.
#include <cstring>

#include "channel/channel.h"
#include "channel/channel_state.h"
#include "common/ticks.h"
#include "console/record_list.h"
#include "host/client_state.h"
#include "platform/platform.h"

namespace qx::channel {

namespace {

// Most records the queue holds. A reply waits there at most about 50 ms and
// every work frame sends each due one, so the queue only ever holds what
// the server asked for since the last frame: one drain of the event queue,
// at most 256 messages. Beyond that nothing is being sent (no server, or the
// frames have stopped), and a further reply is dropped instead of piling up
// about 1.1 KB a record.
constexpr int32_t kMaxQueued = 256;

void fillRecord(Outbound &record, const uint8_t *message, int length,
                uint32_t delay) {
  record.queuedAt = platform::tickCount();
  record.delay = delay;
  record.length = static_cast<uint32_t>(length);
  std::memcpy(record.message, message, static_cast<size_t>(length));
}

Outbound *freeRecord(console::RecordList &queue) {
  for (int32_t i = 0; i < queue.count; ++i) {
    Outbound *record = console::listRecord<Outbound>(queue, i);
    if (record->length == 0) return record;
  }
  return nullptr;
}

}  // namespace

void queueMessage(const uint8_t *message, int length, uint32_t delay) {
  ClientState &c = client();
  if (length <= 0) return;  // an empty record would read as a free one
  if (length > kMaxMessage) length = kMaxMessage;
  if (delay == 0) {
    sendMessage(c.host.gi, message, length);
    return;
  }
  console::RecordList &queue = c.channel.outbound;
  if (Outbound *record = freeRecord(queue)) {
    fillRecord(*record, message, length, delay);
    return;
  }
  if (queue.count >= kMaxQueued) return;  // dropped, nothing is sent
  Outbound record;
  fillRecord(record, message, length, delay);
  console::listAppend(queue, &record);  // a failed append drops the message
}

void clearQueue() {
  // Records past the count are never read again: the next append fills its
  // record whole. The storage stays for the next server.
  client().channel.outbound.count = 0;
}

void flushQueue(QxGameInterface *gi, uint32_t now) {
  console::RecordList &queue = client().channel.outbound;
  for (int32_t i = 0; i < queue.count; ++i) {
    Outbound *record = console::listRecord<Outbound>(queue, i);
    if (record->length == 0 || tickDiff(now, record->queuedAt) < record->delay)
      continue;
    const int length = static_cast<int>(record->length);
    record->length = 0;
    sendMessage(gi, record->message, length);
  }
}

}  // namespace qx::channel
