// Feeds receivePacket. The first byte picks how the rest arrives: as a raw
// packet, as the message of a correctly framed 'E' packet under the derived
// channel key, or as the message of a 'P' packet with the right token, so
// that the dispatcher and its handlers see arbitrary messages.
//
// The mutator is aware of that structure: besides libFuzzer's own changes to
// the message, it now and then starts over from a well-formed server message
// (a rule set, a query, a screenshot request, a file announcement or chunk,
// a control message, an agent order, a directive) framed as 'E', so that the
// mutations land deep in the handlers instead of failing the check value or
// the first byte of dispatch.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "channel/channel.h"
#include "host/client_state.h"
#include "peer/agent_peer.h"
#include "peer/cvars_peer.h"
#include "peer/peer.h"
#include "peer/regnames_peer.h"
#include "peer/screenshot_peer.h"
#include "peer/transfer_peer.h"
#include "platform/platform.h"

namespace {

constexpr int32_t kHostNumbers[4] = {1234, -77, 250, 9};
constexpr char kServerGuid[] = "0123456789abcdef0123456789ABCDEF";
uint32_t g_now = 1000;

uint32_t fuzzTicks() { return g_now; }

void QX_CDECL noNamedOp(const char *, const char *) {}
void QX_CDECL noPrint(const char *, int32_t) {}
void QX_CDECL noSend(int32_t, const void *) {}
void QX_CDECL noSendOob(const char *, int32_t, int32_t, const void *) {}

// A host list of three entries, then the end marker.
// The host's list entries answer query 118. Every other question finds
// nothing: a failed variable read, and no name for the enumerations, whose
// answer is a pointer.
intptr_t QX_CDECL answerQuery(int32_t code, char *buffer, int32_t size) {
  if (code == QX_Q_CVAR) return 1;
  if (code != QX_Q_LIST_ENTRY || size < 64) {
    if (size > 0) buffer[0] = '\0';
    return 0;
  }
  static const char *const kEntries[] = {"alpha 1.2.3.4 7", "Beta x 12",
                                         "gamma", "\\end"};
  const int index = buffer[0] - '0';
  if (index >= 0 && index < 4) std::strcpy(buffer, kEntries[index]);
  return 0;
}

QxGameInterface &setUp() {
  static QxGameInterface gi{};
  qx::platform::setTickSource(fuzzTicks);
  gi.magic = QX_INTERFACE_MAGIC;
  gi.namedOp = noNamedOp;
  gi.query = answerQuery;
  gi.print = noPrint;
  gi.sendToServer = noSend;
  gi.sendOob = noSendOob;
  std::memcpy(gi.serverGuid, kServerGuid, sizeof kServerGuid);
  std::memcpy(gi.agentParams, kHostNumbers, sizeof kHostNumbers);
  qx::ClientState &c = qx::client();
  // Directives may write configuration files: keep them in a home
  // directory of their own.
  char home[] = "/tmp/qxfuzz_XXXXXX";
  if (!mkdtemp(home)) std::abort();
  std::snprintf(c.host.homeDir, sizeof c.host.homeDir, "%s/", home);
  c.host.enabled = 1;
  c.host.initialised = 1;
  c.host.gi = &gi;
  c.channel.serverVersion = 1092;
  qx::channel::ensureToken();
  qx::channel::ensureKeyBlock();
  qx::channel::deriveChannelKey(c.channel.keyBlock, kHostNumbers[0],
                                kHostNumbers[1], kHostNumbers[2],
                                kHostNumbers[3]);
  return gi;
}

// Well-formed server messages, each a start for mutations.
std::vector<qx::peer::Bytes> serverMessages() {
  namespace peer = qx::peer;
  std::vector<peer::Bytes> m;
  peer::RuleSet rules;
  rules.rules = {"rate in 8000 25000", "r_picmip out 3 10", "model exclude BOT",
                 "cl_maxpackets in 30 100"};
  for (const peer::Bytes &b : rules.messages(0, 2)) m.push_back(b);
  m.push_back(peer::serverText("hello"));
  m.push_back(peer::directive("QX_CVAR= rate"));
  m.push_back(peer::directive("qx_cmd say hi"));
  m.push_back(peer::aliveRequest());
  m.push_back(peer::queryAlive());
  m.push_back(peer::aliveEcho());
  m.push_back(peer::lookup("alpha"));
  m.push_back(peer::variableQuery("rate", true));
  m.push_back(peer::bindingSearch("attack"));
  m.push_back(peer::variableSearch("cl_"));
  m.push_back(peer::userVariablesQuery());
  m.push_back(peer::changedVariablesQuery());
  m.push_back(peer::listRequest(77, 75, "players"));
  m.push_back(peer::registeredNamesQuery());
  peer::ScreenshotRequest shot;
  shot.seconds = 2;
  shot.number = 9;
  shot.numbers = {"64", "48", "50", "50", "1"};
  m.push_back(peer::screenshotRequest(shot, kHostNumbers[2]));
  m.push_back(peer::screenshotRestartFrom('A', 1));
  const peer::FilePush push("la001301.htm", peer::Bytes(2500, 'x'));
  m.push_back(push.announcement());
  m.push_back(push.chunk(1));
  peer::Control control;
  control.agentVersion = 1301;
  for (int i = 0; i < 4; ++i) control.numbers[i] = kHostNumbers[i];
  m.push_back(peer::controlMessage(control));
  m.push_back(peer::agentOrder(3, "scan"));
  m.push_back(peer::identityAddressed(kServerGuid, kHostNumbers[2],
                                      peer::serverText("only you")));
  return m;
}

}  // namespace

// One mutation in eight starts from a well-formed message in 'E' framing
// (mode byte 1); the others let libFuzzer change the message and keep the
// mode byte.
extern "C" size_t LLVMFuzzerMutate(uint8_t *data, size_t size, size_t maxSize);
extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *data, size_t size,
                                          size_t maxSize, unsigned int seed) {
  static const std::vector<qx::peer::Bytes> messages = serverMessages();
  if (maxSize < 2) return LLVMFuzzerMutate(data, size, maxSize);
  if (size == 0 || seed % 8 == 0) {
    const qx::peer::Bytes &m = messages[(seed >> 3) % messages.size()];
    const size_t n = std::min(m.size(), maxSize - 1);
    data[0] = 1;
    std::memcpy(data + 1, m.data(), n);
    return n + 1;
  }
  return 1 + LLVMFuzzerMutate(data + 1, size - 1, maxSize - 1);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static QxGameInterface &gi = setUp();
  static const std::string key = qx::peer::deriveKey(
      kHostNumbers[0], kHostNumbers[1], kHostNumbers[2], kHostNumbers[3]);
  // Control messages ('C') set new host numbers and empty or derive the
  // key: every input starts from the same ones.
  std::memcpy(gi.agentParams, kHostNumbers, sizeof kHostNumbers);
  qx::channel::deriveChannelKey(qx::client().channel.keyBlock, kHostNumbers[0],
                                kHostNumbers[1], kHostNumbers[2],
                                kHostNumbers[3]);
  // Both sides must derive the same key, or 'E' packets never get through.
  if (key != qx::channel::keyText()) __builtin_trap();
  if (size == 0) return 0;
  qx::ClientState &c = qx::client();
  c.channel.sealAllowance = data[0] & 0x80 ? 1 : 0;
  const qx::peer::Bytes rest(data + 1, data + size);
  qx::peer::Bytes packet;
  switch (data[0] % 3) {
    case 0:
      packet = rest;
      break;
    case 1:
      packet = qx::peer::frameScrambled(key, rest);
      break;
    default:
      packet = qx::peer::framePlain(c.channel.token, rest);
      break;
  }
  qx::channel::receivePacket(&gi, static_cast<int32_t>(packet.size()),
                             packet.data());
  // Send what was queued, so the queue does not grow across inputs.
  g_now += 100;
  qx::channel::flushQueue(&gi, g_now);
  return 0;
}
