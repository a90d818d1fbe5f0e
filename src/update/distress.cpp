// Distress: the client cannot authenticate with the server. Events are
// counted at most once per 30 s; from the third the client fetches a fresh
// master list from the web, from the fifth it tells the server, and every
// event is announced to the master servers (none of that on a LAN but the
// server's report).
#include "channel/channel.h"
#include "common/protocol.h"
#include "common/text.h"
#include "common/ticks.h"
#include "host/client_state.h"
#include "master/master_query.h"
#include "master/name_resolution.h"
#include "master/web_update.h"
#include "update/modules.h"

namespace qx::update {

namespace {

namespace p = protocol;

constexpr int32_t kWebUpdateFrom = 3;
constexpr int32_t kServerReportFrom = 5;

void tellServer(QxGameInterface *gi, const char *text) {
  uint8_t message[p::kDistressTextMax + 2];
  message[0] = static_cast<uint8_t>(p::kDistressCode);
  const size_t n = boundedLength(text, p::kDistressTextMax);
  copyText(reinterpret_cast<char *>(message + 1), text, n);
  channel::sendMessage(gi, message, static_cast<int>(n) + 2);
}

// Every master server that is ever queried gets the client's master query
// out of band, so that it answers with what it knows of the modules. A
// host the game has not resolved yet is skipped (and asked about again).
void tellMasterServers(QxGameInterface *gi) {
  ClientState &c = client();
  if (!gi->sendOob) return;
  char notice[64];
  const size_t n = master::buildMasterQuery(notice, sizeof notice);
  for (int i = 0; i < c.master.entryCount && i < master::kMaxEntries; ++i) {
    const master::Entry &e = c.master.entries[i];
    if (e.kind == 0 || e.kind == 1) continue;  // empty, or never queried
    char address[master::kAddressSize];
    if (!master::resolveHost(gi, e.host, address)) continue;
    gi->sendOob(address, e.port, static_cast<int32_t>(n) + 1, notice);
  }
}

}  // namespace

void reportDistress(QxGameInterface *gi, const char *text) {
  ClientState &c = client();
  ModuleState &m = c.update.modules;
  const uint32_t now = platform::tickCount();
  if (m.lastDistress != 0 && tickDiff(now, m.lastDistress) < kDistressPeriod)
    return;
  m.lastDistress = now;
  ++m.distressCount;
  if (m.distressCount >= kServerReportFrom) tellServer(gi, text ? text : "");
  if (c.settings.lan != 0) return;
  if (m.distressCount >= kWebUpdateFrom) master::webUpdate(gi, 0);
  tellMasterServers(gi);
}

}  // namespace qx::update
