#include "host/frame.h"

#include <cstring>

#include "channel/channel.h"
#include "common/numbers.h"
#include "common/pending_replace.h"
#include "common/protocol.h"
#include "common/text.h"
#include "common/ticks.h"
#include "cvars/host_query.h"
#include "cvars/rules.h"
#include "host/client_state.h"
#include "host/event_queue.h"
#include "host/startup.h"
#include "log/log.h"
#include "master/content_transfer.h"
#include "master/master_query.h"
#include "master/web_update.h"
#include "regnames/regnames.h"
#include "screenshot/screenshot.h"

namespace qx::host {

namespace {

constexpr uint32_t kShutOffDelay = 10000;
constexpr uint32_t kFrameTimeLimit = 40;
constexpr uint32_t kServerTaskPeriod = 30000;
constexpr uint32_t kHostReportPeriod = 30000;
constexpr uint32_t kMark15Period = 15000;
constexpr uint32_t kGuidFromCall = 4;  // the GUID is read from this call on

// Host variable that names the game's version, and the text shown when the
// host does not answer.
constexpr const char *kGameVersionCvar = "version";
constexpr const char *kGameVersionUnknown = "unknown";
// Address under which the host reaches its own local game server.
constexpr const char *kLocalServerName = "localhost";

// ---- periodic steps of other subsystems --------------------------------
//
// Each is called at its place in the work frame. The subsystems that fill
// them are built on this driver; until a subsystem is in, its step is empty.

void screenshotStep(QxGameInterface *gi, uint32_t now) {  // screenshot requests
  screenshot::runScreenshots(gi, now, client().frame.call);
}

// The local update file, and the master content and queries.
void updateIndexImportStep(QxGameInterface *gi) {
  master::importLocalUpdate(gi);
}
void contentTransferStep(QxGameInterface *gi, uint32_t work) {
  master::finishTransfers(gi, work);
}
void masterQueryStep(QxGameInterface *gi, uint32_t work) {
  master::masterQuery(gi, work);
}

// Names for a server.
void registeredNameServerStep(QxGameInterface *gi) {
  regnames::registeredNamesForNewServer(gi);
}

// ---- server-change check -------------------------------------------------

// Reads the player GUID from the host once it has run a few frames.
void ensurePlayerGuid(QxGameInterface *gi) {
  ClientState &c = client();
  if (c.channel.playerGuid[0] || !gi->query) return;
  char *buffer = c.host.scratch;
  copyText(buffer, QX_GUID_CVAR, 255);
  if (cvars::askHost(gi, QX_Q_CVAR, buffer, kScratchSize) == 0)
    copyText(c.channel.playerGuid, buffer, channel::kGuidMax);
}

void showGameVersion(QxGameInterface *gi) {
  ClientState &c = client();
  if (c.frame.gameVersionShown) return;
  c.frame.gameVersionShown = 1;
  char *buffer = c.host.scratch;
  copyText(buffer, kGameVersionCvar, 255);
  // The host may fill the whole buffer: askHost terminates it at its end.
  if (cvars::askHost(gi, QX_Q_CVAR, buffer, kScratchSize) == 0)
    log::printMessage(1, "Game Version [%s]", buffer);
  else
    log::printMessage(1, "Game Version [%s]", kGameVersionUnknown);
}

// Per-server state of the other subsystems, reset when the server changes.
void resetPerServerState(QxGameInterface *gi) {
  ClientState &c = client();
  c.channel.sealAllowance = 0;
  c.channel.linkEstablished = 0;
  channel::clearQueue();
  cvars::resetRulesForServer();
  registeredNameServerStep(gi);
}

void noteServerAddress(const char *address) {
  Frame &f = client().frame;
  copyText(f.serverAddressText, address, sizeof f.serverAddressText - 1);
  const char *colon = std::strchr(address, ':');
  if (!colon) {
    f.serverHost[0] = '\0';
    f.serverPort = 0;
    return;
  }
  const size_t hostLength = static_cast<size_t>(colon - address);
  copyText(f.serverHost, address,
           hostLength < sizeof f.serverHost - 1 ? hostLength
                                                : sizeof f.serverHost - 1);
  f.serverPort = static_cast<uint16_t>(readDecimal(colon + 1));
}

// The host answers "host:port"; the host part tells the local server from
// the others. An empty answer means the host has left its server.
bool isRemoteServer(const char *address) {
  if (!address[0]) return false;
  const char *colon = std::strchr(address, ':');
  const size_t hostLength =
      colon ? static_cast<size_t>(colon - address) : std::strlen(address);
  return hostLength != std::strlen(kLocalServerName) ||
         compareNoCaseN(address, kLocalServerName, hostLength) != 0;
}

void serverChangeCheck(QxGameInterface *gi) {
  ClientState &c = client();
  if (!c.host.initialised || c.frame.shutOff) return;
  if (++c.frame.callCount >= kGuidFromCall) ensurePlayerGuid(gi);
  showGameVersion(gi);
  if (!gi->query) return;
  char address[256];
  address[0] = '\0';
  cvars::askHost(gi, QX_Q_SERVER_ADDRESS, address, sizeof address);
  if (std::strcmp(address, c.frame.serverAddressText) == 0) return;
  noteServerAddress(address);
  resetPerServerState(gi);
  c.frame.connected = isRemoteServer(address);
  if (address[0])
    log::printMessage(1, "Server changed to %s", address);
  else
    log::printMessage(1, "Disconnected from server");
}

// ---- work frame steps ----------------------------------------------------

void closeSocket() {
  Frame &f = client().frame;
  if (f.udpSocket == platform::kNoSocket) return;
  platform::socketClose(f.udpSocket);
  f.udpSocket = platform::kNoSocket;
}

bool openSocket() {
  ClientState &c = client();
  const platform::Socket s = platform::udpOpen();
  if (s == platform::kNoSocket) return false;
  c.frame.udpSocket = s;
  if (!platform::socketBind(s, static_cast<uint16_t>(c.settings.netPort))) {
    const unsigned long port = static_cast<unsigned long>(c.settings.netPort);
    c.settings.netPort = 0;
    log::printMessage(1, "Network Socket error: cannot bind to port %lu", port);
    return false;  // closed at the next frame, as the port is now 0
  }
  return true;
}

void datagramStep(QxGameInterface *gi) {
  ClientState &c = client();
  if (c.settings.netPort == 0) {
    closeSocket();
    return;
  }
  if (c.frame.udpSocket == platform::kNoSocket && !openSocket()) return;
  if (c.settings.netPort == 0) return;
  readDatagrams(gi, c.frame.udpSocket, platform::socketReceive);
}

void pendingFileStep() {
  Frame &f = client().frame;
  if (f.pendingFile[0] && platform::fileRemove(f.pendingFile))
    f.pendingFile[0] = '\0';
}

void shutOffRule(uint32_t work) {
  Frame &f = client().frame;
  if (f.shutOffTime != 0 && tickDiff(work, f.shutOffTime) > kShutOffDelay)
    f.shutOff = 1;
}

void hostReportStep(QxGameInterface *gi, uint32_t work) {
  ClientState &c = client();
  if (c.frame.lastHostReport != 0 &&
      tickDiff(work, c.frame.lastHostReport) < kHostReportPeriod)
    return;
  c.frame.lastHostReport = work;
  if (!gi->query) return;
  char *text = c.host.scratch;
  text[0] = '\0';
  const intptr_t answered =
      cvars::askHost(gi, QX_Q_HOST_REPORT, text, kScratchSize);
  if (answered == 0 || text[0] == '\0') return;
  // The sealed report needs 13 bytes beyond the message.
  uint8_t report[channel::kMaxMessage + 16];
  const size_t n =
      formatText(reinterpret_cast<char *>(report), channel::kMaxMessage,
                 protocol::kHostReportFormat, protocol::kHostReportCode,
                 protocol::kHostReportNumber, text);
  const int length = channel::sealMessage(report, static_cast<int>(n) + 1);
  channel::queueMessage(report, length, 0);
}

void serverTaskStep(uint32_t work) {
  Frame &f = client().frame;
  if (tickDiff(work, f.mark30) >= kServerTaskPeriod) f.mark30 = work;
}

void mark15Step(uint32_t work) {
  Frame &f = client().frame;
  if (f.mark15 != 0 && tickDiff(work, f.mark15) > kMark15Period) f.mark15 = 0;
}

struct GuardedCall {
  QxGameInterface *gi;
  int32_t budget;
  bool drain;
  bool work;
  bool wasEnabled;
  bool eventFaulted;  // an event handler faulted: the rest is skipped
};

// A screenshot under way goes on in every call, not only in work frames,
// at the end of the call with what is left of its budget (host/
// call_budget.h); at the game's frame rate those slices add up to a stored
// screenshot within a few seconds. Guarded like the frame itself.
void guardedSlices(void *context) {
  screenshot::continueScreenshots(static_cast<QxGameInterface *>(context),
                                  client().frame.call);
}

bool slicesWanted() {
  const ClientState &c = client();
  return c.host.initialised && c.host.enabled && !c.frame.shutOff &&
         screenshot::workUnderWay();
}

void screenshotSlices(QxGameInterface *gi) {
  if (slicesWanted() && !platform::runGuarded(guardedSlices, gi))
    reportContainedFault();
}

// A due call's events or work frame, then its screenshot slices, under one
// guard: setting a guard up costs system calls on some platforms.
void guardedFrame(void *context) {
  GuardedCall &call = *static_cast<GuardedCall *>(context);
  if (call.drain && !drainEvents(call.gi, call.budget, call.wasEnabled)) {
    call.eventFaulted = true;
    return;
  }
  if (call.work) workFrame(call.gi);
  if (slicesWanted()) guardedSlices(call.gi);
}

}  // namespace

void handleDatagram(QxGameInterface *gi, const uint8_t *data, int length) {
  static const uint8_t kPrefix[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  if (length >= 4 && std::memcmp(data, kPrefix, 4) == 0) {
    data += 4;
    length -= 4;
    if (length == 0) return;
  }
  channel::receivePacket(gi, length, data);
}

// Master servers answer a query with a few datagrams and content transfers
// arrive a few per frame, so kDatagramsPerFrame keep up with them; a flood
// cannot hold a frame longer than that many packets take, and the rest
// waits in the socket's buffer (platform::kDatagramBufferBytes) for the
// next work frame.
int readDatagrams(QxGameInterface *gi, platform::Socket socket,
                  DatagramReceive receive) {
  uint8_t *buffer = reinterpret_cast<uint8_t *>(client().host.scratch);
  int receives = 0;
  while (receives < kDatagramsPerFrame) {
    const int got = receive(socket, buffer, kDatagramMax);
    ++receives;
    if (got == platform::kDatagramLost) continue;
    if (got < 0) break;
    // An empty datagram carries no packet.
    if (got > 0) handleDatagram(gi, buffer, got);
  }
  return receives;
}

platform::Socket ownDatagramSocket(QxGameInterface *gi) {
  Frame &f = client().frame;
  // A socket whose bind failed stays open unbound: nothing can be waiting
  // on it, and it is closed at the next work frame.
  if (f.udpSocket == platform::kNoSocket && openSocket()) datagramStep(gi);
  return f.udpSocket;
}

void workFrame(QxGameInterface *gi) {
  if (client().host.initialised) workFrameSteps(gi);
}

void workFrameSteps(QxGameInterface *gi) {
  ClientState &c = client();
  pendingFileStep();
  const uint32_t work = platform::tickCount();
  retryPendingReplaces(work);
  if (!c.host.enabled || c.frame.shutOff) return;
  shutOffRule(work);
  datagramStep(gi);
  // A web update, once started, runs to its end connected or not, so that
  // its socket is closed and its outcome shown.
  master::webUpdateStep(gi, work);
  if (c.frame.testFault) c.frame.testFault();
  screenshotStep(gi, work);
  if (c.frame.connected) {
    cvars::ruleHousekeeping(gi, work);
    if (!c.frame.updateIndexImported && c.settings.lan != 1) {
      c.frame.updateIndexImported = 1;
      updateIndexImportStep(gi);
    }
    mark15Step(work);
    channel::flushQueue(gi, work);
    if (tickDiff(platform::tickCount(), work) < kFrameTimeLimit) {
      contentTransferStep(gi, work);
      serverTaskStep(work);
      hostReportStep(gi, work);
      masterQueryStep(gi, work);
    }
  }
}

const char *runFrame(QxGameInterface *gi, int32_t budget) {
  ClientState &c = client();
  const bool startedBefore = c.host.initialised != 0;
  if (!startUp(gi)) return kInitFailed;
  // Start-up ran a work frame of its own (and created the home directory
  // and read the configuration, most of a millisecond): the call that
  // starts the client runs no second one.
  const bool startedNow = !startedBefore && c.host.initialised;
  const bool wasEnabled = c.host.enabled != 0;
  const uint32_t now = platform::tickCount();
  serverChangeCheck(gi);
  const uint32_t sleep =
      c.settings.sleep > 0 ? static_cast<uint32_t>(c.settings.sleep) : 0;
  if (tickDiff(now, c.frame.lastFrameTick) < sleep) {
    screenshotSlices(gi);
    return nullptr;
  }
  const bool firstDue = c.frame.lastFrameTick == 0;
  c.frame.lastFrameTick = now;
  c.frame.parity = (c.frame.parity + 1) % 2;

  GuardedCall call{gi,
                   budget,
                   c.frame.parity == 1 || firstDue,
                   !(c.frame.parity == 1 && !firstDue) && !startedNow,
                   wasEnabled,
                   false};
  if (!platform::runGuarded(guardedFrame, &call) || call.eventFaulted)
    reportContainedFault();
  return nullptr;
}

void reportContainedFault() {
  if (client().settings.ignore < 1)
    log::printMessage(1, "%s", kExceptionNotice);
}

}  // namespace qx::host
