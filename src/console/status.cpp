#include "console/status.h"

#include "host/client_state.h"
#include "log/log.h"

namespace qx::console {

void printVersion(QxGameInterface *) {
  const ClientState &c = client();
  log::printMessage(1, "Quellor Client (v%d.%03d | A%d) %s", kVersionMajor,
                    kVersionMinor, static_cast<int>(c.host.agentVersion),
                    c.host.enabled ? "Enabled" : "**DISABLED**");
}

}  // namespace qx::console
