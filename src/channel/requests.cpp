// Requests sent on the player's behalf: a console command or a server
// directive turns its argument text into a short message for the server,
// sealed when permitted and sent at once.
#include "channel/channel.h"
#include "channel/channel_state.h"
#include "common/protocol.h"
#include "common/text.h"
#include "common/ticks.h"
#include "host/client_state.h"
#include "platform/platform.h"

namespace qx::channel {

namespace {

namespace p = protocol;

constexpr int kRequestSize = 256;  // text of at most 255 characters
constexpr int kVariableNameMax = 255;

void sendRequest(QxGameInterface *gi, uint8_t *request, size_t textLength) {
  sendMessage(gi, request,
              sealMessage(request, static_cast<int>(textLength) + 1));
}

const char *orEmpty(const char *text) { return text ? text : ""; }

void sendFormatted2(QxGameInterface *gi, const char *format, char code,
                    char sub, const char *args) {
  uint8_t request[kRequestSize + p::kSealOverhead];
  const size_t n = formatText(reinterpret_cast<char *>(request), kRequestSize,
                              format, code, sub, orEmpty(args));
  sendRequest(gi, request, n);
}

void sendFormatted1(QxGameInterface *gi, char code, const char *args) {
  uint8_t request[kRequestSize + p::kSealOverhead];
  const size_t n = formatText(reinterpret_cast<char *>(request), kRequestSize,
                              p::kRequestCodeFormat, code, orEmpty(args));
  sendRequest(gi, request, n);
}

// At most two raw-text requests leave in any window of two seconds.
bool rawTextAllowed() {
  State &s = client().channel;
  const uint32_t now = platform::tickCount();
  if (s.rawWindowStart == 0 ||
      tickDiff(now, s.rawWindowStart) >= p::kRawTextWindow) {
    s.rawWindowStart = now;
    s.rawCount = 0;
  } else if (s.rawCount >= p::kRawTextPerWindow) {
    return false;
  }
  ++s.rawCount;
  return true;
}

}  // namespace

void requestPlayerList(QxGameInterface *gi, const char *args) {
  sendFormatted2(gi, p::kRequestSpacedFormat, p::kCodeQuery, p::kSubPlayerList,
                 args);
}

void requestAdminList(QxGameInterface *gi, const char *args) {
  sendFormatted2(gi, p::kRequestJoinedFormat, p::kCodeQuery, p::kSubAdminList,
                 args);
}

void requestPower(QxGameInterface *gi, const char *args) {
  sendFormatted2(gi, p::kRequestSpacedFormat, p::kCodeQuery, p::kSubPower,
                 args);
}

void requestReport(QxGameInterface *gi, const char *args) {
  sendFormatted2(gi, p::kRequestSpacedFormat, p::kCodeQuery, p::kSubReport,
                 args);
}

void requestKick(QxGameInterface *gi, const char *args) {
  sendFormatted1(gi, p::kCodeKick, args);
}

void requestRcon(QxGameInterface *gi, const char *args) {
  sendFormatted1(gi, p::kCodeRcon, args);
}

// "BB" and the variable name copied directly (at most 255 characters).
void requestVariableValue(QxGameInterface *gi, const char *args) {
  uint8_t request[2 + kVariableNameMax + 1 + p::kSealOverhead];
  request[0] = static_cast<uint8_t>(p::kCodeQuery);
  request[1] = static_cast<uint8_t>(p::kSubVariableValue);
  char *name = reinterpret_cast<char *>(request + 2);
  copyText(name, orEmpty(args), kVariableNameMax);
  sendRequest(gi, request, 2 + boundedLength(name, kVariableNameMax));
}

// 'A' and the whole line. The line is cut so that its terminator still
// fits in the longest message.
void requestRawText(QxGameInterface *gi, const char *line) {
  if (!rawTextAllowed()) return;
  uint8_t request[kMaxMessage + p::kSealOverhead];
  request[0] = static_cast<uint8_t>(p::kCodeRawText);
  char *text = reinterpret_cast<char *>(request + 1);
  copyText(text, orEmpty(line), kMaxMessage - 2);
  sendRequest(gi, request, 1 + boundedLength(text, kMaxMessage - 2));
}

}  // namespace qx::channel
