#include "master/master_query.h"

#include <cstdint>

#include "common/protocol.h"
#include "common/text.h"
#include "common/ticks.h"
#include "host/client_state.h"
#include "host/frame.h"
#include "log/log.h"
#include "master/master_list.h"
#include "master/name_resolution.h"

namespace qx::master {

namespace {

constexpr const char *kUnresolved =
    "No Master Query Sent - DNS has not yet resolved for %s";
constexpr const char *kQuerySent = "Master Query Sent to %s (%s:%d)";
constexpr const char *kNotSent = "No Master Query Sent - Send Failed for %s";
constexpr size_t kQueryCapacity = 64;

void countSent(int length) {
  channel::State &s = client().channel;
  if (s.countingSince == 0) s.countingSince = platform::tickCount();
  s.bytesOut += static_cast<uint32_t>(length);
}

// Sends the query text with its terminator: on the client's own socket
// when QX_NETPORT names a port, else through the host's out-of-band send.
// False when it could not be sent (no socket, a failed send, or a host
// without the out-of-band send).
bool sendQuery(QxGameInterface *gi, const Entry &e, const char *text,
               int length) {
  ClientState &c = client();
  if (c.settings.netPort != 0) {
    const platform::Socket s = host::ownDatagramSocket(gi);
    return s != platform::kNoSocket &&
           platform::socketSendTo(s, e.address, static_cast<uint16_t>(e.port),
                                  text, length) == length;
  }
  if (!gi->sendOob) return false;
  gi->sendOob(e.address, e.port, length, text);
  countSent(length);
  return true;
}

}  // namespace

size_t buildMasterQuery(char *out, size_t capacity) {
  return formatText(out, capacity, protocol::kMasterQueryFormat,
                    protocol::kMasterQueryLetter, client().host.nonce);
}

void masterQuery(QxGameInterface *gi, uint32_t now) {
  ClientState &c = client();
  State &m = c.master;
  if (c.settings.lan == 1) return;
  if (tickDiff(now, m.lastMasterQuery) < kMasterQueryInterval) return;
  m.lastMasterQuery = now;
  m.queryRotation = (m.queryRotation + 1) % kMaxEntries;
  if (m.queryRotation >= m.entryCount) return;
  Entry &e = m.entries[m.queryRotation];
  if (e.kind == 1) return;  // never queried, but it used its turn
  if (e.kind != 0) {
    if (e.counter < INT32_MAX) ++e.counter;  // kept as read: 2^31 - 1 at most
    saveMasterListFile();
  }
  char address[kAddressSize];
  if (!resolveHost(gi, e.host, address)) {
    log::printMessage(1, kUnresolved, e.host);
    return;
  }
  copyText(e.address, address, kAddressSize - 1);
  char text[kQueryCapacity];
  const size_t length = buildMasterQuery(text, sizeof text);
  if (sendQuery(gi, e, text, static_cast<int>(length) + 1))
    log::printMessage(1, kQuerySent, e.host, e.address, e.port);
  else
    log::printMessage(1, kNotSent, e.host);
}

}  // namespace qx::master
