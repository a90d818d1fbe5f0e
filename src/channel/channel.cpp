// The channel token and the connect hook, through which the player GUID
// rides in the host's connection request.
#include "channel/channel.h"

#include <cstring>

#include "channel/channel_state.h"
#include "common/text.h"
#include "host/client_state.h"
#include "log/log.h"

namespace qx::channel {

namespace {
constexpr int kConnectHookAppend = 2;
constexpr int32_t kConnectLimit = 1100;
}  // namespace

void ensureToken() {
  ClientState &c = client();
  while (c.channel.token == 0) {
    const uint32_t high = static_cast<uint32_t>(c.host.random.next());
    const uint32_t low = static_cast<uint32_t>(c.host.random.next());
    c.channel.token = high << 16 | low;
  }
}

const char *QX_CDECL connectHook(int32_t mode, char *buffer, int32_t *length) {
  ClientState &c = client();
  if (!c.host.enabled) return nullptr;
  log::printMessage(1, "in client connecting");
  if (mode != kConnectHookAppend || !buffer || !length) return nullptr;
  char addition[kGuidMax + 3];
  formatText(addition, sizeof addition, " *%s", c.channel.playerGuid);
  const int32_t extra = static_cast<int32_t>(std::strlen(addition));
  if (*length < 0 || *length + extra >= kConnectLimit)
    return "Max Packet Length Reached";
  std::memcpy(buffer + *length, addition, static_cast<size_t>(extra) + 1);
  *length += extra;
  return nullptr;
}

}  // namespace qx::channel
