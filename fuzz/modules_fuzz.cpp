// Feeds control messages ('C') and agent orders ('N') to the dispatcher, in
// sequences, with a moving clock and the settings that steer them. No module
// files exist in the home directory, so every install ends in a package
// request or a refusal and no library is ever loaded. The master list vouches
// for a few versions; distress reaches the master servers (one by name,
// resolved by the host) and starts web updates, which find no web host.
//
// Input: messages separated by the byte 0xFF. In each, the first byte picks
// the code (bit 0: 'C' or 'N'), qx_Security (bit 1), QX_LAN (bit 2) and the
// time that passes before it (bits 3-7, times 1000 ms); the rest is the
// message text.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "channel/channel.h"
#include "common/text.h"
#include "console_fuzz_support.h"
#include "host/client_state.h"
#include "master/master_list.h"
#include "platform/platform.h"

namespace {

uint32_t g_now = 1000;
uint32_t fuzzTicks() { return g_now; }

void QX_CDECL noSend(int32_t, const void *) {}
void QX_CDECL noSendOob(const char *, int32_t, int32_t, const void *) {}
void QX_CDECL noForward(const char *, const char *) {}

// Name resolution (query 103): the master server's name has an address,
// and the default web host is the loopback address, which the client takes
// for "no web host", so no web update leaves the process.
intptr_t QX_CDECL query(int32_t code, char *buffer, int32_t size) {
  const char *answer = "";
  if (code == QX_Q_CVAR &&
      std::strcmp(buffer, "qx_isresolved MASTER.FUZZ") == 0)
    answer = "10.9.8.7";
  else if (code == QX_Q_CVAR && std::strncmp(buffer, "qx_isresolved ", 14) == 0)
    answer = "127.0.0.1";
  if (size > 0) qx::copyText(buffer, answer, static_cast<size_t>(size) - 1);
  return 0;  // success: the answer, empty while the name is not resolved
}

// The master list: an entry never queried, a dotted address and a name,
// with module records for agent 1301 and client 1200 of this platform.
constexpr char kMasterList[] =
    "<p> S 1 10.0.0.1 16567 0\r\n"
    "<p> S 3 127.0.0.1 16567 0\r\n"
    "<p> S 4 master.fuzz 16568 0\r\n"
    "<p> F A W 1301 4000 0123456789ABCDEF0123456789ABCDEF "
    "0123456789ABCDEF0123456789ABCDEF\r\n"
    "<p> F A L 1301 4000 0123456789ABCDEF0123456789ABCDEF "
    "0123456789ABCDEF0123456789ABCDEF\r\n"
    "<p> F C W 1200 4000 0123456789ABCDEF0123456789ABCDEF "
    "0123456789ABCDEF0123456789ABCDEF\r\n"
    "<p> F C L 1200 4000 0123456789ABCDEF0123456789ABCDEF "
    "0123456789ABCDEF0123456789ABCDEF\r\n";

// A fresh client for each input, started enough to send: a home directory
// without modules, a nonce and the master list above.
QxGameInterface *freshClient() {
  static QxSecondaryHost secondary{QX_SECONDARY_MAGIC, {}, noForward};
  qx::platform::setTickSource(fuzzTicks);
  QxGameInterface *gi = qxfuzz::freshClient(true);
  gi->sendToServer = noSend;
  gi->sendOob = noSendOob;
  gi->query = query;
  gi->secondary = &secondary;
  gi->agentModule = 0;
  gi->replacementReady = 0;
  std::memset(gi->serverGuid, 0, sizeof gi->serverGuid);
  qx::ClientState &c = qx::client();
  c.host.secondary = &secondary;
  std::strcpy(c.host.nonce, "fuzzNonce");
  std::strcpy(c.settings.autoExec, "auto.cfg");
  char list[sizeof kMasterList];
  std::memcpy(list, kMasterList, sizeof list);
  if (qx::master::parseMasterList(gi, list, sizeof list, c.master.entries,
                                  &c.master.entryCount) ||
      c.master.entryCount != 3)
    __builtin_trap();
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
