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

constexpr size_t kTextMax = 255;       // formatted into a 256-byte buffer
constexpr size_t kUnbounded = 0xFFFF;  // arguments cut only by the text
// The raw-text request keeps its terminator within the longest message.
constexpr size_t kRawTextMax = kMaxMessage - 1;

struct RequestKind {
  const p::RequestForm &form;
  size_t textMax;  // characters of the whole text
  size_t argsMax;  // characters taken from the arguments
};

// In the order of Request.
const RequestKind kKinds[] = {
    {p::kRequestPlayerList, kTextMax, kUnbounded},
    {p::kRequestAdminList, kTextMax, kUnbounded},
    {p::kRequestPower, kTextMax, kUnbounded},
    {p::kRequestKick, kTextMax, kUnbounded},
    {p::kRequestVariableValue, kTextMax + 2, kTextMax},
    {p::kRequestRcon, kTextMax, kUnbounded},
    {p::kRequestReport, kTextMax, kUnbounded},
    {p::kRequestRawText, kRawTextMax, kRawTextMax - 1},
};

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

void sendRequest(QxGameInterface *gi, Request request, const char *args) {
  const RequestKind &kind = kKinds[static_cast<int>(request)];
  if (request == Request::kRawText && !rawTextAllowed()) return;
  uint8_t message[kMaxMessage + p::kSealOverhead];
  char *text = reinterpret_cast<char *>(message);
  size_t n = 0;
  text[n++] = kind.form.code;
  if (kind.form.sub) text[n++] = kind.form.sub;
  if (kind.form.spaced) text[n++] = ' ';
  const size_t room =
      kind.textMax - n < kind.argsMax ? kind.textMax - n : kind.argsMax;
  copyText(text + n, args, room);
  n += boundedLength(text + n, room);
  sendMessage(gi, message, sealMessage(message, static_cast<int>(n) + 1));
}

}  // namespace qx::channel
