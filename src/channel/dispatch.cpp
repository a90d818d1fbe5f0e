// Dispatch of server messages: the first byte of an unframed message picks
// its handler, and under 'B' the second byte does. The channel answers the
// alive requests, the alive echo, the host-entry lookup and the
// identity-addressed messages itself; everything else goes to the subsystem
// that owns it.
#include <cstring>

#include "channel/byte_order.h"
#include "channel/channel.h"
#include "channel/channel_state.h"
#include "common/numbers.h"
#include "common/protocol.h"
#include "common/text.h"
#include "console/command_processor.h"
#include "cvars/list_entry.h"
#include "cvars/queries.h"
#include "cvars/rules.h"
#include "host/client_state.h"
#include "log/log.h"
#include "platform/platform.h"
#include "regnames/regnames.h"
#include "screenshot/screenshot.h"
#include "update/modules.h"
#include "update/transfer.h"

namespace qx::channel {

namespace {

namespace p = protocol;

constexpr uint32_t kReplyDelaySpread = 50;  // delays of code mod 50 ms
constexpr uint32_t kQueryAliveSpread = 15;  // 'B' 'Q': tick mod 15 + 12 ms
constexpr uint32_t kQueryAliveDelay = 12;
constexpr int kNumberReplySize = 24;
constexpr int kLookupNameMax = 255;
constexpr char kRestartMagic[3] = {'P', 'N', 'G'};
// Addressed messages unwrapped inside one another. The server nests one
// level (an addressed message carrying an alive request with its own
// addressed part); a deeper one is ignored, so a crafted message cannot
// recurse through the stack. The depth travels as a parameter: a fault
// contained inside a handler leaves nothing behind in the state.
constexpr int kMaxAddressedDepth = 1;

// Dispatches a message found at the given depth of addressed messages.
void dispatchAt(QxGameInterface *gi, int length, uint8_t *message, int depth);

// ---- handlers of other subsystems --------------------------------------
//
// Each receives the message without its code byte (under 'B', without both
// code bytes). The subsystems named fill these in.

// Agent and client modules.
void agentControl(QxGameInterface *gi, uint8_t *message, int length) {  // 'C'
  update::controlMessage(gi, length, message);
}
void agentLoad(QxGameInterface *gi, uint8_t *message, int length) {  // 'N'
  update::agentOrder(gi, length, message);
}
// Screenshots.
void screenshotRequest(QxGameInterface *gi, uint8_t *message, int length) {
  screenshot::queueScreenshot(gi, length,
                              reinterpret_cast<const char *>(message));
}  // 'I'
// Restarts the transfers of the screenshot slots with this transfer letter
// from the given chunk.
void restartScreenshotTransfer(uint8_t letter, uint32_t chunk) {
  screenshot::restartTransfer(letter, chunk);
}
// Registered names.
void reportRegisteredNames(QxGameInterface *gi, uint8_t *, int) {  // 'B' 'I'
  regnames::reportRegisteredNames(gi);
}
// Integrity scanning: the pattern list, its checks and the host file query.
void patternList(QxGameInterface *, uint8_t *, int) {}  // 'S'
void integrityCheck(QxGameInterface *, uint8_t /*sub*/, uint8_t *, int) {}
void hostFileQuery(QxGameInterface *, uint8_t *, int) {}  // 'B' '|'

// ---- replies -------------------------------------------------------------

// Seals the reply when permitted, then sends it now (delay 0) or queues it.
// reply has room for length + 13 bytes.
void sendReply(uint8_t *reply, int length, uint32_t delay) {
  queueMessage(reply, sealMessage(reply, length), delay);
}

}  // namespace

void sendNumberReply(uint32_t number, uint32_t delay) {
  uint8_t reply[kNumberReplySize + p::kSealOverhead];
  const size_t n = formatText(reinterpret_cast<char *>(reply), kNumberReplySize,
                              p::kNumberReplyFormat, p::kCodeAlive,
                              static_cast<unsigned long>(number));
  sendReply(reply, static_cast<int>(n) + 1, delay);
}

int assignedGuidLength(const QxGameInterface *gi) {
  if (!gi) return 0;
  const char *guid = gi->serverGuid;
  const int n =
      static_cast<int>(boundedLength(guid, sizeof gi->serverGuid - 1));
  return guid[0] == '?' ? 0 : n;
}

namespace {

uint32_t drawAliveNumber(uint32_t base) {
  return static_cast<uint32_t>(client().host.random.next()) % p::kAliveSpread +
         base;
}

// ---- identity-addressed messages ---------------------------------------

void replyToIdentity(uint32_t code) {
  State &s = client().channel;
  sendNumberReply(code, code % kReplyDelaySpread);
  s.identityReply = code;
  s.identityReplyTick = platform::tickCount();
}

// The message is scrambled with the server-assigned GUID and starts with
// it; the rest is an ordinary message for this client, dispatched one level
// deeper.
void identityAddressed(QxGameInterface *gi, uint8_t *message, int length,
                       int depth) {
  State &s = client().channel;
  if (depth > kMaxAddressedDepth ||
      s.serverVersion < static_cast<int32_t>(p::kIdentityMinServerVersion))
    return;
  const char *guid = gi->serverGuid;
  const int guidLength = assignedGuidLength(gi);
  if (guidLength == 0) {
    replyToIdentity(p::kIdentityNoGuid);
    return;
  }
  const uint32_t c = static_cast<uint8_t>(gi->agentParams[2]);
  for (int i = 0; i < length; ++i)
    message[i] ^=
        static_cast<uint8_t>(c * static_cast<uint32_t>(7 + i) +
                             static_cast<uint8_t>(guid[i % guidLength]));
  // A message shorter than the GUID cannot carry it.
  const bool addressed =
      length >= guidLength &&
      compareNoCaseN(reinterpret_cast<const char *>(message), guid,
                     static_cast<size_t>(guidLength)) == 0;
  if (!addressed) {
    replyToIdentity(p::kIdentityWrong);
    return;
  }
  dispatchAt(gi, length - guidLength, message + guidLength, depth + 1);
  replyToIdentity(p::kIdentityAccepted);
}

// ---- alive requests --------------------------------------------------------

void aliveRequest(QxGameInterface *gi, uint8_t *message, int length,
                  int depth) {
  State &s = client().channel;
  const uint32_t f = drawAliveNumber(p::kAliveBase);
  sendNumberReply(f, f % kReplyDelaySpread);
  s.lastAliveTick = platform::tickCount();
  s.aliveNumber = f;
  identityAddressed(gi, message, length, depth);
}

void queryAliveRequest() {
  State &s = client().channel;
  const uint32_t f = drawAliveNumber(p::kQueryAliveBase);
  const uint32_t now = platform::tickCount();
  sendNumberReply(f, now % kQueryAliveSpread + kQueryAliveDelay);
  s.lastAliveTick = now;
}

// "BW" and the last alive number in place of the terminator.
void aliveEcho() {
  uint8_t reply[8 + p::kSealOverhead];
  formatText(reinterpret_cast<char *>(reply), sizeof reply, p::kEchoFormat,
             p::kCodeQuery, p::kSubEcho);
  writeLittleEndian32(reply + 2, client().channel.aliveNumber);
  sendReply(reply, 6, 0);
}

// ---- host-entry lookup -----------------------------------------------------

void lookupEntry(QxGameInterface *gi, const uint8_t *name, int length) {
  cvars::ListEntry entry{};
  const size_t nameLength = boundedLength(
      reinterpret_cast<const char *>(name),
      static_cast<size_t>(length < kLookupNameMax ? length : kLookupNameMax));
  copyText(entry.name, reinterpret_cast<const char *>(name), nameLength);
  uint8_t reply[p::kLookupReplyMax + 1 + p::kSealOverhead];
  char *text = reinterpret_cast<char *>(reply);
  const size_t capacity = p::kLookupReplyMax + 1;
  size_t n =
      formatText(text, capacity, p::kEchoFormat, p::kCodeQuery, p::kSubLookup);
  if (cvars::findListEntry(gi, entry))
    n += formatText(text + n, capacity - n, p::kLookupFoundFormat, entry.name,
                    entry.value, static_cast<long>(entry.number));
  else
    n +=
        formatText(text + n, capacity - n, p::kLookupMissingFormat, entry.name);
  sendReply(reply, static_cast<int>(n) + 1, 0);
}

// ---- the others
// --------------------------------------------------------------

void screenshotRestart(const uint8_t *bytes, int length) {
  if (length < 3 || std::memcmp(bytes, kRestartMagic, 3) != 0) {
    log::printMessage(1, "Invalid Restart Packet: %x %x %x",
                      length > 0 ? bytes[0] : 0, length > 1 ? bytes[1] : 0,
                      length > 2 ? bytes[2] : 0);
    return;
  }
  if (length < 4) return;  // no transfer letter
  const char *number = reinterpret_cast<const char *>(bytes + 4);
  const size_t numberLength = static_cast<size_t>(length - 4);
  const uint32_t chunk = numberLength > 0 && number[0] == '-'
                             ? 0
                             : readDecimal(number, numberLength);
  restartScreenshotTransfer(bytes[3], chunk);
}

void serverText(const uint8_t *text, int length) {
  log::printMessage(1, "%.*s", length, reinterpret_cast<const char *>(text));
}

// One line for the command processor, which edits it in place; a line
// without a terminator ends with the message.
void directiveText(QxGameInterface *gi, const uint8_t *text, int length) {
  char line[kMaxMessage + 1];
  copyText(line, reinterpret_cast<const char *>(text),
           static_cast<size_t>(length < kMaxMessage ? length : kMaxMessage));
  console::processLine(gi, line, 0, 0);
}

bool isIntegritySubCode(uint8_t sub) {
  static constexpr uint8_t kSubCodes[] = {0x07, 0x09, 0x10, '+', 'N',
                                          'P',  'X',  'Y',  'Z', 'm'};
  for (uint8_t code : kSubCodes)
    if (sub == code) return true;
  return false;
}

void serverQuery(QxGameInterface *gi, uint8_t *message, int length) {
  if (length < 2) return;
  const uint8_t sub = message[1];
  uint8_t *rest = message + 2;
  const int n = length - 2;
  switch (sub) {
    case p::kSubReportVariable:
      cvars::reportVariable(gi, rest, n, cvars::ReportKind::Plain);
      return;
    case p::kSubReportVariableWatched:
      cvars::reportVariable(gi, rest, n, cvars::ReportKind::Watched);
      return;
    case p::kSubSearchBindings:
      cvars::reportBindings(gi, rest, n);
      return;
    case p::kSubSearchVariables:
      cvars::reportVariables(gi, rest, n);
      return;
    case p::kSubUserVariables:
      cvars::reportUserVariables(gi);
      return;
    case p::kSubChangedVariables:
      cvars::reportChangedVariables(gi);
      return;
    case p::kSubListRequest:
      cvars::acknowledgeListRequest(gi, rest, n);
      return;
    case p::kSubRegisteredNames:
      reportRegisteredNames(gi, rest, n);
      return;
    case p::kSubAlive:
      queryAliveRequest();
      return;
    case p::kSubLookup:
      lookupEntry(gi, rest, n);
      return;
    case p::kSubEcho:
      aliveEcho();
      return;
    case '|':
      hostFileQuery(gi, rest, n);
      return;
    default:
      if (isIntegritySubCode(sub)) integrityCheck(gi, sub, rest, n);
      return;
  }
}

}  // namespace

int dispatchMessage(QxGameInterface *gi, int length, uint8_t *message) {
  dispatchAt(gi, length, message, 0);
  return 1;
}

namespace {

void dispatchAt(QxGameInterface *gi, int length, uint8_t *message, int depth) {
  State &s = client().channel;
  ++s.dispatched;
  if (!gi || !message || length <= 0) return;
  uint8_t *rest = message + 1;
  const int n = length - 1;
  switch (message[0]) {
    case p::kCodeIdentity:
      identityAddressed(gi, rest, n, depth);
      break;
    case p::kCodeAlive:
      aliveRequest(gi, rest, n, depth);
      break;
    case p::kCodeDirective:
      directiveText(gi, rest, n);
      break;
    case p::kCodeServerText:
      serverText(rest, n);
      break;
    case p::kCodeQuery:
      serverQuery(gi, message, length);
      break;
    case p::kCodeAgentControl:
      agentControl(gi, rest, n);
      break;
    case p::kCodeFileAnnouncement:
      update::announceTransfer(gi, n, rest);
      break;
    case p::kCodeFileChunk:
      update::receiveChunk(gi, n, rest);
      break;
    case p::kCodeScreenshot:
      screenshotRequest(gi, rest, n);
      break;
    case p::kCodeVariableRule:
      cvars::receiveRules(gi, reinterpret_cast<const char *>(rest), n);
      break;
    case p::kCodeAgentLoad:
      agentLoad(gi, rest, n);
      break;
    case p::kCodeScreenshotRestart:
      screenshotRestart(rest, n);
      break;
    case p::kCodePatternList:
      patternList(gi, rest, n);
      break;
    default:
      break;  // unknown codes are ignored
  }
}

}  // namespace

}  // namespace qx::channel
