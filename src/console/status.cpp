#include "console/status.h"

#include "channel/channel.h"
#include "common/ticks.h"
#include "host/client_state.h"
#include "log/log.h"

namespace qx::console {

void printVersion(QxGameInterface *) {
  const ClientState &c = client();
  log::printMessage(1, "Quellor Client (v%d.%03d | A%d) %s", kVersionMajor,
                    kVersionMinor, static_cast<int>(c.host.agentVersion),
                    c.host.enabled ? "Enabled" : "**DISABLED**");
}

void printNetStat(QxGameInterface *, uint32_t now) {
  channel::State &ch = client().channel;
  if (ch.countingSince == 0) ch.countingSince = now;
  unsigned long seconds = tickDiff(now, ch.countingSince) / 1000u;
  if (seconds == 0) seconds = 1;
  log::printMessage(1, "Last %lu Second%s: In=%lu bytes; Out=%lu bytes",
                    seconds, seconds == 1 ? "" : "s",
                    static_cast<unsigned long>(ch.bytesIn),
                    static_cast<unsigned long>(ch.bytesOut));
  ch.countingSince = now;
  ch.bytesIn = 0;
  ch.bytesOut = 0;
}

void printHomePath(QxGameInterface *) {
  log::printMessage(1, "Home Path is %s", client().host.homeDir);
}

// The server-assigned GUID counts while the server has assigned one (it is
// empty or a placeholder beginning with "?" until then); otherwise the
// player GUID read from the host stands for the client.
void printIdentity(QxGameInterface *gi) {
  const int assignedLength = channel::assignedGuidLength(gi);
  if (assignedLength > 0)
    log::printMessage(1, "GUID=%.*s", assignedLength, gi->serverGuid);
  else
    log::printMessage(1, "GUID=%s", client().channel.playerGuid);
}

}  // namespace qx::console
