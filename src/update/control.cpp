// The server's control messages ('C') and agent orders ('N').
#include <cstring>

#include "channel/channel.h"
#include "common/numbers.h"
#include "common/paths.h"
#include "common/protocol.h"
#include "common/text.h"
#include "common/ticks.h"
#include "console/argument_list.h"
#include "host/client_state.h"
#include "log/log.h"
#include "regnames/regnames.h"
#include "update/module_library.h"
#include "update/modules.h"
#include "update/transfer.h"

namespace qx::update {

namespace {

namespace p = protocol;

// Words of a control message.
enum Word {
  kKindWord,
  kServerVersionWord,
  kWantedClientWord,
  kWantedAgentWord,
  kFirstHostNumberWord,  // four words: the host numbers a, b, c, d
  kGuidWord = kFirstHostNumberWord + 4,
};

constexpr uint32_t kServerTaskLead = 31000;  // the 30-second server tasks
constexpr uint32_t kLongTimerLead = 68000;   // the 67-second timer
constexpr uint32_t kNumberNoticePeriod = 120000;
constexpr uint32_t kPackageRequestPeriod = 3000;
constexpr int32_t kOldClientLimit = p::kClientVersion - 1;

constexpr const char *kNoGuid = "?";
constexpr const char *kOldServerWarning =
    "  Quellor Reports QX Server Running Old Version ";
// The host-number notice: kind, server version, wanted agent and client.
constexpr const char *kNumberNoticeFormat =
    "QX Server %c%d.%03d wants agent A%d and client C%d.%03d";
// First argument of the QX_AUTOEXEC forwarding to the secondary record.
constexpr const char *kAutoExecOperation = "qx_autoexec";

int32_t number(const console::ArgumentList &args, int word) {
  return static_cast<int32_t>(readDecimal(console::arg(args, word)));
}

// Makes a timer of the frame driver fire at the next frame.
void moveBack(uint32_t &mark, uint32_t now, uint32_t lead) {
  if (tickDiff(now, mark) < lead) mark = now - lead;
}

void forwardAutoExec() {
  ClientState &c = client();
  QxSecondaryHost *secondary = c.host.secondary;
  if (!c.settings.autoExec[0] || !secondary || !secondary->forward) return;
  char line[8 + sizeof c.settings.autoExec];
  formatText(line, sizeof line, "exec %s", c.settings.autoExec);
  secondary->forward(kAutoExecOperation, line);
}

void takeGuid(QxGameInterface *gi, const char *word) {
  ModuleState &m = client().update.modules;
  if (!word[0] || word[0] == '?')
    copyText(m.serverGuid, kNoGuid, 32);
  else
    copyText(m.serverGuid, word, 32);
  if (m.serverGuid[0] != '?' && !m.guidLogged) {
    m.guidLogged = 1;
    log::printMessage(1, "QX Server assigned guid = %s", m.serverGuid);
  }
  copyText(gi->serverGuid, m.serverGuid, QX_GUID_SIZE - 1);
}

void warnOldServer(QxGameInterface *gi) {
  const ClientState &c = client();
  const ModuleState &m = c.update.modules;
  char text[64] = "";
  size_t n = 0;
  if (m.wantedClient >= 1 && m.wantedClient <= kOldClientLimit)
    n = formatText(text, sizeof text, "C%d.%03d ", m.wantedClient / 1000,
                   m.wantedClient % 1000);
  if (m.wantedAgent >= 1 && m.wantedAgent < c.host.agentVersion)
    formatText(text + n, sizeof text - n, "A%d", m.wantedAgent);
  if (!text[0]) return;
  char warning[128];
  formatText(warning, sizeof warning, "%s%s", kOldServerWarning, text);
  log::printWarning(gi, warning, true);
}

// A new first host number: a notice (at most every 120 s), and the channel
// key is emptied until it is derived again, so messages go out plain.
void noteHostNumbers(QxGameInterface *gi, uint32_t now) {
  ClientState &c = client();
  ModuleState &m = c.update.modules;
  const int32_t first = gi->agentParams[0];
  if (m.firstNumberKnown && first == m.firstNumber) return;
  if (m.lastNumberNotice == 0 ||
      tickDiff(now, m.lastNumberNotice) >= kNumberNoticePeriod) {
    const int32_t server = c.channel.serverVersion;
    log::printMessage(1, kNumberNoticeFormat, m.kind ? m.kind : ' ',
                      server / 1000, server % 1000, m.wantedAgent,
                      m.wantedClient / 1000, m.wantedClient % 1000);
    m.lastNumberNotice = now;
  }
  m.firstNumber = first;
  m.firstNumberKnown = 1;
  if (c.channel.keyBlock) c.channel.keyBlock[c.channel.keyOffset] = 0;
}

void sendText(QxGameInterface *gi, const char *text, size_t length) {
  channel::sendMessage(gi, reinterpret_cast<const uint8_t *>(text),
                       static_cast<int>(length) + 1);
}

// Every version as wanted: the key from the host numbers, then the ready
// message and the registered names.
void allCurrent(QxGameInterface *gi) {
  ClientState &c = client();
  if (channel::ensureKeyBlock())
    channel::deriveChannelKey(c.channel.keyBlock, gi->agentParams[0],
                              gi->agentParams[1], gi->agentParams[2],
                              gi->agentParams[3]);
  char ready[32];
  const size_t n = formatText(ready, sizeof ready, p::kReadyFormat,
                              p::kReadyCode, p::kThisPlatform.letter,
                              p::kClientVersion, c.host.agentVersion);
  sendText(gi, ready, n);
  c.update.modules.distressCount = 0;
  regnames::reportRegisteredNames(gi);
}

bool packageRequestDue(uint32_t now, bool strictlyLater) {
  const uint32_t last = client().update.modules.lastPackageRequest;
  if (last == 0) return true;
  const uint32_t elapsed = tickDiff(now, last);
  return strictlyLater ? elapsed > kPackageRequestPeriod
                       : elapsed >= kPackageRequestPeriod;
}

void requestPackage(QxGameInterface *gi, char code, int32_t wanted,
                    int32_t current, uint32_t now) {
  char request[48];
  const size_t n = formatText(request, sizeof request, p::kPackageRequestFormat,
                              code, p::kThisPlatform.letter, wanted, current);
  sendText(gi, request, n);
  client().update.modules.lastPackageRequest = now;
}

// A refused install: with security on and not on a LAN, a distress report
// at most every 30 s, shown to the player from the second one on.
void refused(QxGameInterface *gi, char module, int32_t wanted,
             const char *distress, uint32_t now) {
  const ClientState &c = client();
  const ModuleState &m = c.update.modules;
  if (c.settings.security == 0 || c.settings.lan != 0) return;
  if (m.lastDistress != 0 && tickDiff(now, m.lastDistress) < kDistressPeriod)
    return;
  if (m.distressCount != 0)
    log::printMessage(
        1, "QX Client in Distress - Cannot Authenticate with QX Server (%c%d)",
        module, wanted);
  reportDistress(gi, distress);
}

// The agent in use goes before another version is installed; Windows
// keeps a loaded library's file, so it is unloaded first.
void removeAgent(QxGameInterface *gi) {
  ClientState &c = client();
  unloadAgent(gi);
  char path[kPathCapacity];
  if (homeFilePath(path, p::kThisPlatform.agentFile)) {
    platform::fileMakeWritable(path);
    platform::fileRemove(path);
  }
  c.host.agentVersion = 0;
  if (path[0] && platform::fileExists(path))
    log::printMessage(1, "ERROR: Cannot remove qxag%s after unloading",
                      p::kThisPlatform.suffix);
}

// False when the agent is waiting for its package (nothing else happens
// in this message).
bool updateAgent(QxGameInterface *gi, uint32_t now) {
  ClientState &c = client();
  const int32_t wanted = c.update.modules.wantedAgent;
  if (wanted <= 0 || wanted == c.host.agentVersion) return true;
  removeAgent(gi);
  const int result = installAgent(gi, wanted, 0);
  if (result < 0) refused(gi, 'A', wanted, "Error loading qxag", now);
  if (result != 0) return true;
  if (packageRequestDue(now, false))
    requestPackage(gi, p::kRequestAgentPackage, wanted, c.host.agentVersion,
                   now);
  return false;
}

void updateClient(QxGameInterface *gi, uint32_t now) {
  const int32_t wanted = client().update.modules.wantedClient;
  if (wanted <= 0 || wanted == p::kClientVersion) return;
  const int result = installClient(gi, wanted, 0);
  if (result < 0) refused(gi, 'C', wanted, "Error loading qxcl", now);
  if (result == 0 && !gi->replacementReady && packageRequestDue(now, true))
    requestPackage(gi, p::kRequestClientPackage, wanted, p::kClientVersion,
                   now);
}

}  // namespace

void controlMessage(QxGameInterface *gi, int length, const uint8_t *text) {
  ClientState &c = client();
  ModuleState &m = c.update.modules;
  const uint32_t now = platform::tickCount();
  if (!m.controlSeen) {
    m.controlSeen = 1;
    forwardAutoExec();
  }
  moveBack(c.frame.mark30, now, kServerTaskLead);
  moveBack(c.frame.mark67, now, kLongTimerLead);

  char line[kMessageTextMax + 1];
  messageText(line, text, length);
  console::ArgumentList args;
  console::split(args, line, true);
  m.kind = console::arg(args, kKindWord)[0];
  c.channel.serverVersion = number(args, kServerVersionWord);
  m.wantedClient = number(args, kWantedClientWord);
  m.wantedAgent = number(args, kWantedAgentWord);
  for (int i = 0; i < 4; ++i)
    gi->agentParams[i] = number(args, kFirstHostNumberWord + i);
  takeGuid(gi, console::arg(args, kGuidWord));

  warnOldServer(gi);
  noteHostNumbers(gi, now);
  agentVersion(gi);
  if (m.wantedClient == p::kClientVersion &&
      m.wantedAgent == c.host.agentVersion) {
    allCurrent(gi);
    return;
  }
  abandonStaleTransfer(now);
  m.firstNumberKnown = 0;
  if (updateAgent(gi, now)) updateClient(gi, now);
}

}  // namespace qx::update
