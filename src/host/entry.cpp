// The two exported entry points. Every call first stores the game interface
// it was given; nothing is thrown across them.
#include <cstring>

#include "channel/channel.h"
#include "common/text.h"
#include "console/command_processor.h"
#include "host/client_state.h"
#include "host/event_queue.h"
#include "host/frame.h"
#include "host/startup.h"
#include "log/log.h"
#include "qx/qxcl.h"

namespace qx::host {

namespace {

constexpr intptr_t kDelayConstant = 90000;  // answers of codes 19 to 21
constexpr intptr_t kCode22Answer = 4;
constexpr const char *kEventStartFailed = "Quellor Client could not start";

intptr_t asResult(const char *text) { return reinterpret_cast<intptr_t>(text); }

intptr_t queueEvent(QxGameInterface *gi, int32_t code, int32_t length,
                    const void *data, int32_t retries) {
  if (!startUp(gi)) {
    State &h = client().host;
    if (!h.eventFailureReported)
      log::printMessage(1, "(A) %s", kEventStartFailed);
    h.eventFailureReported = 1;
    return asResult(kInitFailed);
  }
  if (const char *refused = pushEvent(code, length, data, retries))
    return asResult(refused);
  if (code == QX_EV_CONSOLE_LINE) client().frame.lastFrameTick = 0;
  return 0;
}

intptr_t answerQuestion(QxGameInterface *gi, int32_t code, const void *data) {
  ClientState &c = client();
  switch (code) {
    case QX_CB_VERSION:
      return QX_CLIENT_VERSION;
    case QX_CB_DERIVE_KEY:
      return asResult(
          channel::deriveKeyFromText(static_cast<const char *>(data)));
    case QX_CB_CONST_19:
    case QX_CB_CONST_20:
    case QX_CB_CONST_21:
      return kDelayConstant;
    case QX_CB_CONST_22:
      return kCode22Answer;
    case QX_CB_SEAL_EXPONENT:
      return reinterpret_cast<intptr_t>(&c.channel.sealExponent);
    case QX_CB_SEAL_MODULUS:
      return reinterpret_cast<intptr_t>(&c.channel.sealModulus);
    case QX_CB_COMPLETE:
      if (data)
        console::complete(gi, static_cast<char *>(const_cast<void *>(data)));
      return 0;
    case QX_CB_WANTED:
      return hostWantsClient(gi) && c.host.enabled ? 1 : 0;
    case QX_CB_ENABLE:
      enableClient(gi);
      return 0;
    case QX_CB_DISABLE:
      disableClient(gi);
      return 0;
    case QX_CB_ENABLED_STATE:
      return c.host.enabled ? 0 : -2;
    case QX_CB_SCAN_STATUS:
      return 0;  // no integrity scanning in this build
    default:
      return 0;
  }
}

}  // namespace

}  // namespace qx::host

using namespace qx;

extern "C" QX_API const char *QX_CDECL ca(QxGameInterface *gi, int32_t budget) {
  if (!gi) return nullptr;  // nothing to work with
  client().host.gi = gi;
  // The call's budget counts from here, whatever the call goes on to do:
  // its events, its work frame and the host's callbacks inside them all
  // come out of the time the game waits for this call.
  client().frame.call.begin();
  if (budget < 0) {
    if (!host::runNewestEvent(gi)) host::reportContainedFault();
    return nullptr;
  }
  return host::runFrame(gi, budget);
}

extern "C" QX_API intptr_t QX_CDECL cb(QxGameInterface *gi, int32_t code,
                                       int32_t length, const void *data,
                                       int32_t retries) {
  if (!gi) return code == QX_CB_VERSION ? QX_CLIENT_VERSION : 0;
  client().host.gi = gi;
  // An event can start the client, which runs a work frame: its budget,
  // too, counts from the entry.
  client().frame.call.begin();
  if (client().frame.shutOff) return 0;
  if (code <= QX_CB_LAST_EVENT)
    return host::queueEvent(gi, code, length, data, retries);
  return host::answerQuestion(gi, code, data);
}
