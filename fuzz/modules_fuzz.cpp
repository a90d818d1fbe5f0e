// Feeds control messages ('C') and agent orders ('N') to the dispatcher, in
// sequences, with a moving clock and the settings that steer them. No module
// files exist in the home directory, so every install ends in a package
// request or a refusal and no library is ever loaded.
//
// Input: messages separated by the byte 0xFF. In each, the first byte picks
// the code (bit 0: 'C' or 'N'), qx_Security (bit 1), QX_LAN (bit 2) and the
// time that passes before it (bits 3-7, times 1000 ms); the rest is the
// message text.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "channel/channel.h"
#include "console_fuzz_support.h"
#include "host/client_state.h"
#include "platform/platform.h"

namespace {

uint32_t g_now = 1000;
uint32_t fuzzTicks() { return g_now; }

void QX_CDECL noSend(int32_t, const void *) {}
void QX_CDECL noSendOob(const char *, int32_t, int32_t, const void *) {}
void QX_CDECL noForward(const char *, const char *) {}

// A fresh client for each input, started enough to send: a home directory
// without modules, a nonce, a master server that hears of distress and one
// that does not.
QxGameInterface *freshClient() {
  static QxSecondaryHost secondary{QX_SECONDARY_MAGIC, {}, noForward};
  qx::platform::setTickSource(fuzzTicks);
  QxGameInterface *gi = qxfuzz::freshClient(true);
  gi->sendToServer = noSend;
  gi->sendOob = noSendOob;
  gi->secondary = &secondary;
  gi->agentModule = 0;
  gi->replacementReady = 0;
  std::memset(gi->serverGuid, 0, sizeof gi->serverGuid);
  qx::ClientState &c = qx::client();
  c.host.secondary = &secondary;
  std::strcpy(c.host.nonce, "fuzzNonce");
  std::strcpy(c.settings.autoExec, "auto.cfg");
  c.master.entryCount = 2;
  c.master.entries[0].kind = 1;
  c.master.entries[1].kind = 3;
  c.master.entries[1].port = 16567;
  std::strcpy(c.master.entries[1].address, "127.0.0.1");
  qx::channel::ensureToken();
  return gi;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  QxGameInterface &gi = *freshClient();
  qx::ClientState &c = qx::client();
  uint8_t message[qx::channel::kMaxMessage + 1];
  size_t start = 0;
  while (start < size) {
    size_t end = start;
    while (end < size && data[end] != 0xFF) ++end;
    if (end > start) {
      const uint8_t control = data[start];
      c.settings.security = control & 2 ? 1 : 0;
      c.settings.lan = control & 4 ? 1 : 0;
      g_now += static_cast<uint32_t>(control >> 3) * 1000;
      message[0] = control & 1 ? 'N' : 'C';
      size_t n = end - start - 1;
      if (n > qx::channel::kMaxMessage - 1) n = qx::channel::kMaxMessage - 1;
      std::memcpy(message + 1, data + start + 1, n);
      qx::channel::dispatchMessage(&gi, static_cast<int>(n) + 1, message);
    }
    start = end + 1;
  }
  // Send what was queued, so the queue does not grow across inputs.
  g_now += 100;
  qx::channel::flushQueue(&gi, g_now);
  if (c.update.modules.agent || gi.agentModule) __builtin_trap();
  return 0;
}
