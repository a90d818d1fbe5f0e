// The session of the soak run. The game side is the fake host of the test
// suites; the server side is peer/: a game server that talks to the client
// in 'E' packets handed over through cb, and a master server on a real UDP
// socket that answers the client's own socket. Every kind of traffic has its
// own timer; the timers draw their next interval from the session's seeded
// generator, so one seed always plays the same session.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <thread>

#include <zlib.h>

#include "common/protocol.h"
#include "fake_host.h"
#include "files.h"
#include "host/client_state.h"
#include "host_time.h"
#include "peer/agent_peer.h"
#include "peer/cvars_peer.h"
#include "peer/master_peer.h"
#include "peer/package_peer.h"
#include "peer/peer.h"
#include "peer/regnames_peer.h"
#include "peer/screenshot_peer.h"
#include "peer/transfer_peer.h"
#include "platform/platform.h"
#include "screenshot/capture.h"
#include "screenshot/screenshot.h"
#include "screenshots.h"
#include "soak.h"
#include "test_heap.h"
#include "web_server.h"

namespace qxsoak {

const char *const kCounterNames[16] = {
    "server packets",     "garbage packets",       "console lines",
    "alive replies",      "screenshot uploads",    "names reports checked",
    "packages requested", "files pushed",          "master queries",
    "master datagrams",   "web updates",           "server changes",
    "variable replies",   "list acknowledgements", "faults injected",
    "modules installed"};

namespace {

namespace peer = qx::peer;
namespace p = qx::protocol;
using peer::Bytes;

enum Counter {
  kServerPackets,
  kGarbage,
  kConsoleLines,
  kAliveReplies,
  kScreenshots,
  kNamesReports,
  kPackageRequests,
  kFilesPushed,
  kMasterQueries,
  kMasterDatagrams,
  kWebUpdates,
  kServerChanges,
  kVariableReplies,
  kListAcks,
  kFaults,
  kModules,
};

constexpr int32_t kHostNumbers[4] = {1234, 77, 250, 9};
constexpr const char *kPlayerGuid = "PLAYER0123456789abcdef0123456789";
constexpr uint32_t kMinute = 60000;
constexpr const char *kFaultNotice = "O/S Exception Notice";

// A reply the server side waits for, with the simulated time it must come
// by.
struct Expectation {
  std::string kind;
  uint64_t deadline = 0;
  std::string what;
};

// ---- the session ---------------------------------------------------------

class Session {
 public:
  Session(const Options &o, Result &r)
      : options_(o), result_(r), random_(o.seed), shots_(r.screenshots) {}

  void run() {
    if (!open()) return;
    const uint64_t end =
        uint64_t{static_cast<uint32_t>(options_.minutes)} * kMinute;
    uint64_t nextMinute = kMinute;
    while (elapsed() < end) {
      playTraffic();
      frame();
      collect();
      serveMaster();
      if (elapsed() >= nextMinute) {
        endMinute(static_cast<int>(nextMinute / kMinute));
        nextMinute += kMinute;
      }
      advance();
    }
    // The last minute's end also checks the home directory.
    if (result_.minutes.size() < static_cast<size_t>(options_.minutes))
      endMinute(options_.minutes);
    checkExpectations(true);
    shots_.end(elapsed(), result_.missed);
    close();
  }

 private:
  // ---- set-up ----

  bool open() {
    if (!options_.library.empty()) {
      library_ = qx::platform::libraryOpen(options_.library.c_str());
      if (!library_) return fail(0, "start", "cannot load " + options_.library);
      entry_.ca = reinterpret_cast<QxFrameEntryFn>(
          qx::platform::librarySymbol(library_, "ca"));
      entry_.cb = reinterpret_cast<QxEventEntryFn>(
          qx::platform::librarySymbol(library_, "cb"));
      if (!entry_.ca || !entry_.cb)
        return fail(0, "start", "no entry points in " + options_.library);
      realStart_ = std::chrono::steady_clock::now();
    } else {
      entry_ = qxtest::linkedEntry();
      result_.heapCounted = true;
    }
    result_.switchesCounted = switchesCounted();
    startMinute();
    host_ = std::make_unique<qxtest::FakeHost>("1", entry_);
    qxtest::FakeHost &h = *host_;
    home_ = qxtest::makeTempDir();
    std::snprintf(h.gi.homeDir, sizeof h.gi.homeDir, "%s", home_.c_str());
    for (int i = 0; i < 4; ++i) h.gi.agentParams[i] = kHostNumbers[i];
    h.cvars["cl_guid"] = kPlayerGuid;
    h.cvars["name"] = "Soaker";
    h.cvars["rate"] = "20000";
    h.cvars["cl_maxpackets"] = "60";
    h.cvarDefaults["rate"] = "25000";
    h.keys[32] = {"SPACE", "+moveup"};
    h.keys[102] = {"f", "+attack; say hi"};
    h.hostReport = "soak report";
    h.setFrame(320, 240, [](int32_t x, int32_t y, uint8_t *rgb) {
      rgb[0] = static_cast<uint8_t>(x);
      rgb[1] = static_cast<uint8_t>(y);
      rgb[2] = static_cast<uint8_t>(x ^ y);
    });
    timeHostCallbacks(h.gi);
    derivedKey_ = peer::deriveKey(kHostNumbers[0], kHostNumbers[1],
                                  kHostNumbers[2], kHostNumbers[3]);
    key_ = derivedKey_;
    loadModules();
    if (!openMaster())
      return fail(0, "master list", "no UDP socket for the master");
    writeMasterList();
    if (options_.web) startWeb();
    changeServer();
    callFrame(Work::WorkFrame);  // start-up
    directive("QX_NETPORT " + std::to_string(clientPort_));
    schedule();
    return true;
  }

  void loadModules() {
    const std::string suffix = p::kThisPlatform.suffix;
    for (int v : {1300, 1301}) {
      const std::string path =
          options_.modules + "/qxtest_agent_" + std::to_string(v) + suffix;
      const std::string bytes = readBytes(path);
      if (bytes.empty()) continue;
      agents_[v] = Bytes(bytes.begin(), bytes.end());
    }
  }

  // The master server's socket and a port for the client's own socket, both
  // free ports on this machine.
  bool openMaster() {
    master_ = qx::platform::udpOpen();
    if (master_ == qx::platform::kNoSocket) return false;
    // The seed's draw keeps the session the same; the machine's own random
    // number keeps two runs of one seed, started at once, from probing the
    // same ports and taking each other's.
    const uint32_t drawn = random_() ^ std::random_device{}();
    const uint16_t base = static_cast<uint16_t>(20000 + drawn % 20000);
    for (uint16_t port = base; port < base + 200 && !masterPort_; ++port)
      if (qx::platform::socketBind(master_, port)) masterPort_ = port;
    for (uint16_t port = masterPort_ + 1;
         port < masterPort_ + 200 && !clientPort_; ++port) {
      const qx::platform::Socket probe = qx::platform::udpOpen();
      if (qx::platform::socketBind(probe, port)) clientPort_ = port;
      qx::platform::socketClose(probe);
    }
    return masterPort_ != 0 && clientPort_ != 0;
  }

  std::string masterText() const {
    // Four entries, so that every turn of the query rotation reaches it.
    std::string text;
    for (int kind = 2; kind <= 5; ++kind)
      text += peer::serverRecord(kind, "127.0.0.1", masterPort_);
    for (const auto &[version, bytes] : agents_)
      text += peer::moduleRecord(
          'A', static_cast<char>(std::toupper(p::kThisPlatform.letter)),
          version, bytes);
    return text;
  }

  void writeMasterList() {
    std::ofstream(systemPath(home_ + "/qxcl.db"), std::ios::binary)
        << masterText();
  }

  void startWeb() {
    web_ = std::make_unique<qxtest::Nginx>();
    for (int attempt = 0; attempt < 4 && !web_->running(); ++attempt)
      web_->start(qxtest::freshLoopbackAddress());
    if (!web_->running()) {
      fail(0, "web update", "nginx does not start: " + web_->error());
      web_.reset();
      return;
    }
    web_->putFile(
        std::string("downloads/") + p::kWebPathCode + "/" + p::kWebFile,
        "<html>\n" + masterText() + "</html>\n");
    host_->cvars[std::string("qx_isresolved ") + p::kWebHost] = web_->address();
  }

  void close() {
    if (master_ != qx::platform::kNoSocket) qx::platform::socketClose(master_);
    web_.reset();
    host_.reset();
    // The loaded client stays mapped: a game unloads it only at its end, and
    // the unload cycles are a test of their own.
  }

  // ---- time ----

  uint64_t elapsed() const {
    if (!library_) return simulated_;
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - realStart_)
            .count());
  }

  void advance() {
    if (library_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(options_.frameMs));
    } else {
      simulated_ += static_cast<uint64_t>(options_.frameMs);
      host_->advance(static_cast<uint32_t>(options_.frameMs));
      // The web exchange is real network traffic: it gets real time.
      if (webInFlight_)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    result_.simulatedMs = elapsed();
  }

  uint32_t draw(uint32_t low, uint32_t high) {
    return low + static_cast<uint32_t>(random_() % (high - low + 1));
  }

  // ---- entry calls, measured ----

  // What the due calls do, mirrored from the frame driver's rules: due once
  // qx_Sleep (60 ms) has passed, alternately draining and working; the
  // first due call and the one after a console line do both.
  Work dueWork(bool &drains, bool &works) {
    const uint64_t now = elapsed();
    drains = works = false;
    if (!firstDue_ && now - lastDue_ < 60) return Work::Idle;
    const bool both = firstDue_;
    firstDue_ = false;
    lastDue_ = now;
    parity_ = (parity_ + 1) % 2;
    drains = parity_ == 1 || both;
    works = parity_ == 0 || both;
    return works ? Work::WorkFrame : Work::Draining;
  }

  void callFrame(Work hint) {
    bool drains = false, works = false;
    Work kind = dueWork(drains, works);
    if (hint != Work::WorkFrame) kind = hint;
    const size_t sentBefore = host_->sent.size();
    const size_t readBacksBefore = host_->readBacks.size();
    const uintptr_t agentBefore = host_->gi.agentModule;
    // Slices of a screenshot run in calls that neither read back nor send,
    // and the work frame that takes a request on starts one; where the
    // client is linked in, the soak sees one under way before or after.
    const bool shotBefore = !library_ && qx::screenshot::workUnderWay();
    hostTime() = HostTime{};
    const Clocks start = startSpan();
    host_->frame(0);
    const Span call = since(start);
    const bool shooting =
        shotBefore || (!library_ && qx::screenshot::workUnderWay());
    // What the call did, most particular first.
    if (host_->readBacks.size() != readBacksBefore ||
        screenshotSent(sentBefore) || shooting)
      kind = Work::Screenshot;
    else if (host_->gi.agentModule != agentBefore) {
      kind = Work::ModuleInstall;
      if (host_->gi.agentModule) ++result_.counters[kModules];
    } else if (drains && pendingModule_)
      kind = Work::ModuleInstall;
    else if (drains && pendingChunks_)
      kind = Work::Transfer;
    else if (works && masterPending_)
      kind = Work::MasterList;
    else if (works && webInFlight_)
      kind = Work::WebUpdate;
    if (drains) pendingChunks_ = pendingModule_ = false;
    if (works) masterPending_ = false;
    record(kind, call);
  }

  bool screenshotSent(size_t from) {
    for (size_t i = from; i < host_->sent.size(); ++i) {
      const peer::Unframed u = peer::unframe(key_, host_->sent[i].bytes);
      if (u.ok && !u.message.empty() &&
          (u.message[0] == p::kCodeScreenshotHeader ||
           u.message[0] == p::kCodeScreenshotChunk))
        return true;
    }
    return false;
  }

  intptr_t callEvent(int32_t code, const Bytes &data) {
    hostTime() = HostTime{};
    const Clocks start = startSpan();
    const intptr_t r =
        host_->call(code, static_cast<int32_t>(data.size()), data.data(), 0);
    record(Work::Event, since(start));
    if (code == QX_EV_CONSOLE_LINE) firstDue_ = true;
    if (r != 0)
      fail(elapsed(), "event",
           std::string("cb refused an event: ") +
               reinterpret_cast<const char *>(r));
    return r;
  }

  // Every call is judged on its wall time less the host's callbacks; the
  // rule of limits.cpp takes the client's share of it.
  void record(Work kind, const Span &call) {
    const HostTime &h = hostTime();
    Span host = h.host;
    host += h.readBack;
    host += h.library;
    const Span own = less(call, host);
    if (h.readBack.wallNs)
      result_.work[static_cast<size_t>(Work::ReadBack)].add(h.readBack.wallNs);
    if (h.library.wallNs)
      result_.work[static_cast<size_t>(Work::Library)].add(h.library.wallNs);
    const size_t k = static_cast<size_t>(kind);
    const CallVerdict verdict = judgeCall(own, result_.switchesCounted);
    result_.work[k].add(own.wallNs);
    result_.all.add(own.wallNs);
    result_.clientTotalNs += verdict.clientNs;
    minute_.clientNs += verdict.clientNs;
    if (own.voluntary) ++result_.voluntary[k];
    if (verdict.excused) {
      ++result_.excused[k];
      result_.excusedWorstNs[k] =
          std::max(result_.excusedWorstNs[k], own.wallNs);
      ++minute_.excused;
      minute_.excusedWorstNs = std::max(minute_.excusedWorstNs, own.wallNs);
    }
    if (verdict.clientNs > minute_.worstNs[k]) {
      minute_.worstNs[k] = verdict.clientNs;
      minute_.worstNote[k] = callNote(own);
    }
    timeReference();
    if (result_.heapCounted) noteHeap();
  }

  // What the call printed first and what the system counted in it.
  std::string callNote(const Span &own) const {
    std::string note = host_->texts.empty()
                           ? "it printed nothing"
                           : "it printed \"" + host_->texts.front() + "\"";
    note += "; " + std::to_string(own.wallNs / 1000) + " us of wall time";
    if (!result_.switchesCounted) return note;
    return note + ", " + std::to_string(own.processorNs / 1000) +
           " us on the processor, " + times(own.voluntary) +
           " it gave up the processor, " + times(own.involuntary) +
           " it was taken away, " + std::to_string(own.pageFaults) +
           (own.pageFaults == 1 ? " page fault" : " page faults");
  }

  static std::string times(uint64_t n) {
    return n == 1 ? "once" : std::to_string(n) + " times";
  }

  // The client's blocks and bytes after every call: the minute's peak, and
  // its floor without the records kept for the next screenshots, which the
  // client holds on purpose (up to five minutes and 8 MB). A screenshot in
  // hand holds its memory for a minute or more (an upload at 1 KiB a
  // second), and the session asks for one every minute or so: the floor of
  // a minute may hold one, the lowest of a window of 15 minutes holds none
  // (limits.cpp). A screenshot that never ends is caught apart: the server
  // side counts it lost (screenshots.h).
  void noteHeap() {
    const qxtest::HeapCounts c = qxtest::heapCounts();
    minute_.liveBlocks = std::max(minute_.liveBlocks, c.liveBlocks);
    minute_.liveBytes = std::max(minute_.liveBytes, c.liveBytes);
    const qxtest::HeapCounts kept = keptRecords();
    minute_.floorBlocks =
        std::min(minute_.floorBlocks, c.liveBlocks - kept.liveBlocks);
    minute_.floorBytes =
        std::min(minute_.floorBytes, c.liveBytes - kept.liveBytes);
  }

  // The blocks and bytes of the records kept for the next screenshots:
  // each record, its two buffers, its compressor memory (which holds zlib's
  // own blocks), its stream, and zlib's blocks from the heap where the
  // record had no compressor memory (a capture that failed before its
  // buffers were sized).
  static qxtest::HeapCounts keptRecords() {
    qxtest::HeapCounts held{};
    for (const qx::screenshot::Capture *r : qx::client().screenshot.kept) {
      if (!r) continue;
      const z_stream *stream = r->encoder.stream;
      held.liveBlocks += 1 + (r->pixels != nullptr) + (r->work != nullptr) +
                         (r->compressor != nullptr) + (stream != nullptr) +
                         r->encoder.heapBlocks;
      held.liveBytes += sizeof *r + qx::screenshot::recordBytes(*r) +
                        (stream ? sizeof *stream : 0);
    }
    return held;
  }

  // The pages of the kept records that the client has touched, in KiB.
  static uint64_t keptTouchedKiB() {
    uint64_t bytes = 0;
    for (const qx::screenshot::Capture *r : qx::client().screenshot.kept)
      if (r)
        bytes += uint64_t{r->pixelsTouched} + r->workTouched +
                 r->compressorTouched + r->encoder.heapBytes;
    return bytes / 1024;
  }

  // The machine's noise: the reference work timed after every entry call.
  // It takes a few microseconds; over the limit, it shows the machine
  // holding the thread up.
  void timeReference() {
    const Clocks start = startSpan();
    referenceWork();
    const uint64_t ns = since(start).wallNs;
    result_.reference.add(ns);
    if (ns > kCallLimitNs) ++result_.referenceOverLimit;
  }

  void frame() { callFrame(Work::WorkFrame); }

  // ---- the server's messages ----

  void send(const Bytes &message, int32_t screenshot = 0) {
    const Bytes packet = plain_ ? peer::framePlain(token_, message)
                                : peer::frameScrambled(key_, message);
    remember(packet, !message.empty() && message[0] == p::kCodeAgentControl,
             screenshot);
    ++result_.counters[kServerPackets];
    callEvent(QX_EV_SERVER_PACKET, packet);
  }
  void directive(const std::string &line) { send(peer::directive(line)); }
  void console(const std::string &line) {
    ++result_.counters[kConsoleLines];
    callEvent(QX_EV_CONSOLE_LINE, Bytes(line.begin(), line.end()));
  }
  // A request sent while the key may be changing can meet a client that
  // cannot read it, as any server's would: no reply is owed for it.
  void expect(const std::string &kind, uint32_t within,
              const std::string &what) {
    if (elapsed() < keySettled_) return;
    expectations_.push_back({kind, elapsed() + within, what});
  }

  // Earlier packets, for replays: whether each was a control message, and
  // the number of the screenshot request it was (0: none).
  void remember(const Bytes &packet, bool control, int32_t screenshot = 0) {
    const size_t slot = sentCursor_ % sentPackets_.size();
    sentPackets_[slot] = packet;
    sentControl_[slot] = control;
    sentScreenshot_[slot] = screenshot;
    ++sentCursor_;
  }

  // ---- traffic ----

  struct Timer {
    uint64_t due;
    uint32_t low, high;  // ms to the next one
    void (Session::*act)();
  };

  void schedule() {
    const uint64_t now = elapsed();
    timers_ = {
        {now + 500, 400, 3000, &Session::garbage},
        {now + 1000, 2000, 9000, &Session::aliveTraffic},
        {now + 2000, 5000, 20000, &Session::serverText},
        {now + 3000, 8000, 30000, &Session::variableQueries},
        {now + 4000, 20000, 60000, &Session::ruleSet},
        {now + 5000, 3000, 15000, &Session::playerLines},
        {now + 8000, 40000, 90000, &Session::screenshot},
        {now + 9000, 60000, 120000, &Session::localScreenshot},
        {now + 12000, 30000, 90000, &Session::registeredNames},
        {now + 15000, 60000, 120000, &Session::filePush},
        {now + 20000, 90000, 150000, &Session::moduleInstall},
        {now + 25000, 10000, 40000, &Session::agentOrder},
        {now + 30000, 120000, 200000, &Session::masterQuery},
        {now + 40000, 240000, 300000, &Session::webUpdate},
        {now + 180000, 150000, 240000, &Session::changeServerTimer},
        {now + 200000, 400000, 500000, &Session::injectFault},
    };
  }

  void playTraffic() {
    const uint64_t now = elapsed();
    for (Timer &t : timers_) {
      if (t.due > now) continue;
      (this->*t.act)();
      // A request the server held back is asked again a second later.
      if (heldBack_) {
        heldBack_ = false;
        t.due = now + 1000;
        continue;
      }
      // One timer in eight fires again at once: a burst.
      t.due = now + (random_() % 8 == 0 ? 30 : draw(t.low, t.high));
    }
    pushStep();
    webStep();
    faultStep();
    screenshotBurst();
  }

  // Once, inside the warm-up: as many server screenshots as there are free
  // slots, so that the warm-up sees the client's working set at its
  // designed peak (five slots) and the peak rule (limits.cpp) compares later
  // bursts with it. Natively only, where the slots can be seen and the
  // peak is counted; and only once every request sent so far has had time
  // to reach a slot, so that each of the burst finds the one it counted.
  void screenshotBurst() {
    const uint64_t now = elapsed();
    if (burstDone_ || library_ || now < kBurstAtMs) return;
    if (now - lastShotSent_ < 1000 || !keySettled() || !shots_.quiet()) return;
    burstDone_ = true;
    for (const qx::screenshot::Slot &slot : qx::client().screenshot.slots)
      if (slot.stage == qx::screenshot::kStageFree) askScreenshot();
  }

  void garbage() {
    ++result_.counters[kGarbage];
    Bytes packet;
    const size_t slot = random_() % sentPackets_.size();
    const Bytes &old = sentPackets_[slot];
    int kind = static_cast<int>(random_() % 4);
    // A plain packet has no check value: cut or changed, it is another
    // message of the server's (a list request with other numbers, a control
    // message with other versions), not garbage; it is sent again unchanged.
    if ((kind == 1 || kind == 2) && isPlain(old)) kind = 3;
    // A control message again is a control message: it may leave a module
    // not current (the next one then empties the key) or key the channel
    // anew, and the server cannot tell which until the client answers.
    if (kind >= 2 && sentControl_[slot]) {
      modulesCurrent_ = false;
      keyChanging();
    }
    switch (kind) {
      case 0:  // random bytes, sometimes with the packet header
        packet.resize(draw(1, 1400));
        for (uint8_t &b : packet) b = static_cast<uint8_t>(random_());
        if (packet.size() > 4 && random_() % 2)
          std::memcpy(packet.data(), "QX_E", 4);
        break;
      case 1:  // a valid packet cut short
        packet = old;
        if (!packet.empty()) packet.resize(random_() % packet.size());
        break;
      case 2:  // a valid packet with one bit changed
        // One bit only: the check value is a sum of the bytes, so changes
        // that cancel in the sum pass it, and the client rightly takes
        // such a packet for the server's (a changed control message then
        // keys the channel anew behind the server's back).
        packet = old;
        if (!packet.empty())
          packet[random_() % packet.size()] ^=
              static_cast<uint8_t>(1u << (random_() % 8));
        break;
      default:  // a valid packet again
        packet = old;
        if (sentScreenshot_[slot])
          shots_.askedAgain(sentScreenshot_[slot], elapsed());
        break;
    }
    if (packet.empty()) packet.push_back('Q');
    callEvent(QX_EV_SERVER_PACKET, packet);
    // And a datagram of garbage on the client's own socket.
    if (random_() % 4 == 0) {
      Bytes d(draw(1, 600));
      for (uint8_t &b : d) b = static_cast<uint8_t>(random_());
      sendDatagram(d);
    }
  }

  static bool isPlain(const Bytes &packet) {
    return packet.size() > 3 &&
           packet[3] == static_cast<uint8_t>(p::kTypePlain);
  }

  void aliveTraffic() {
    switch (random_() % 3) {
      case 0:
        send(peer::aliveRequest());
        expect("alive", 5000, "an alive reply");
        break;
      case 1:
        send(peer::queryAlive());
        expect("alive", 5000, "an alive reply to the query");
        break;
      default:
        send(peer::aliveEcho());
        expect("echo", 5000, "an echo");
        break;
    }
  }

  void serverText() {
    const int n = static_cast<int>(draw(1, 3));
    for (int i = 0; i < n; ++i) {
      switch (random_() % 4) {
        case 0:
          send(peer::serverText("Welcome to the soak server " +
                                std::to_string(random_() % 1000)));
          break;
        case 1:
          directive("QX_NETSTAT");
          break;
        case 2:
          directive("qx_cmd say soaking");
          break;
        default:
          directive("QX_CVAR= rate");
          break;
      }
    }
  }

  void variableQueries() {
    switch (random_() % 6) {
      case 0:
        send(peer::variableQuery("rate", random_() % 2 == 0));
        expect("variable", 5000, "a variable reply");
        break;
      case 1:
        send(peer::bindingSearch("attack"));
        break;
      case 2:
        send(peer::variableSearch("cl_"));
        break;
      case 3:
        send(peer::userVariablesQuery());
        break;
      case 4:
        send(peer::changedVariablesQuery());
        break;
      default: {
        const uint32_t a = random_() % 1000, b = random_() % 1000;
        listAcks_[listAckCursor_++ % listAcks_.size()] =
            peer::listAcknowledgement(a, b);
        send(peer::listRequest(a, b, "players"));
        expect("list-ack", 5000, "a list acknowledgement");
        break;
      }
    }
  }

  void ruleSet() {
    rules_.rules = {"cl_maxpackets in 30 100", "rate in 8000 25000",
                    "r_picmip out 3 10", "model exclude BOT"};
    const bool partial = random_() % 2 == 0;
    for (const Bytes &m : rules_.messages(0, partial ? 2 : 8, !partial))
      send(m);
    // The player now and then breaks a rule, and mends it again.
    host_->cvars["rate"] = random_() % 3 == 0 ? "3000" : "20000";
  }

  void playerLines() {
    static const char *const kLines[] = {
        "qx_Ver",           "qx_CvarList",      "qx_Plist",
        "qx_BindSrch att",  "qx_CvarSrch rate", "qx_CvarUser",
        "qx_CvarChanged",   "qx_RegNameList",   "qx_WriteCfg",
        "qx_Load qxcl.cfg", "qx_Power",         "qx_NoSuchCommand x"};
    console(kLines[random_() % (sizeof kLines / sizeof kLines[0])]);
  }

  // A request is sent only when the client is sure to take it
  // (screenshots.h); otherwise the server holds it back for a second.
  void screenshot() {
    if (!keySettled() || !shots_.mayAsk()) {
      shots_.heldBack();
      heldBack_ = true;
      return;
    }
    askScreenshot();
  }

  void askScreenshot() {
    peer::ScreenshotRequest r;
    r.seconds = draw(1, 20);
    r.number = static_cast<int32_t>(++screenshotNumber_);
    // A small area: its upload of 1 KiB a second is over within a minute.
    const uint32_t width = random_() % 2 ? 160 : 120, height = 90;
    r.numbers = {std::to_string(width), std::to_string(height), "50", "50",
                 "1"};
    send(peer::screenshotRequest(r, kHostNumbers[2]), r.number);
    shots_.asked(r.number, r.seconds, width, height, elapsed());
    lastShotSent_ = elapsed();
    restartLetter_ = 0;
  }

  // The player takes one when the one before has been saved or refused.
  void localScreenshot() {
    if (!shots_.mayTakeLocal()) return;
    console("qx_GetSs");
    shots_.localAsked(elapsed());
    lastShotSent_ = elapsed();
  }

  // The player keeps up to four registered names, each with its own
  // password, now and then deleting the oldest and adding another.
  void registeredNames() {
    if (names_.size() >= 4) {
      console("qx_RegNameDel 1");
      book_.erase(names_.front());
      names_.erase(names_.begin());
    } else {
      const std::string match = "Name" + std::to_string(++nameNumber_);
      const std::string password = "pw" + std::to_string(random_() % 1000);
      console("qx_RegNameFull " + match + " " + password);
      book_[match] = password;
      names_.push_back(match);
    }
    send(peer::registeredNamesQuery());
    expect("names", 10000, "a registered-name report");
  }

  // A package of an agent pushed as a plain file transfer, with a chunk
  // lost, one sent late, one twice.
  void filePush() {
    if (agents_.empty() || push_.busy()) return;
    const int version = agents_.begin()->first;
    const std::string name =
        peer::packageName(p::kThisPlatform.letter, 'a',
                          version + 100 + static_cast<int>(random_() % 50));
    peer::FilePush push(
        name, textBytes(peer::packModule(agents_.begin()->second, "soak")));
    if (push.chunkCount() > 2) {
      push.drop(static_cast<int>(random_() % push.chunkCount()));
      push.swap(static_cast<int>(random_() % (push.chunkCount() - 1)));
    }
    push_.start(push);
    ++result_.counters[kFilesPushed];
  }

  static Bytes textBytes(const std::string &s) {
    return Bytes(s.begin(), s.end());
  }

  void pushStep() {
    // Once the package is out, the control message again: the client
    // installs from the package it now holds.
    if (!push_.busy() && controlAgain_ && elapsed() >= nextPushStep_ + 1000) {
      controlAgain_ = false;
      sendControl();
    }
    if (!push_.busy() || elapsed() < nextPushStep_) return;
    nextPushStep_ = elapsed() + 100;
    for (const peer::Outgoing &o : push_.next(3)) {
      if (o.message.empty()) continue;
      send(o.message);
      pendingChunks_ = true;
      if (random_() % 16 == 0) send(o.message);  // a chunk twice
    }
  }

  // A control message wanting the other agent: the client asks for its
  // package, which the server pushes; the client installs and loads it.
  void moduleInstall() {
    if (agents_.size() < 2) return;
    wantedAgent_ = wantedAgent_ == 1301 ? 1300 : 1301;
    control_.agentVersion = wantedAgent_;
    for (int i = 0; i < 4; ++i) control_.numbers[i] = kHostNumbers[i];
    control_.guid = "SoakGuid" + std::to_string(random_() % 100);
    sendControl();
  }

  // The client empties its key at a control message unless the one before
  // left every module current (it then answered "ready"), and derives it
  // again, answering "ready", once every module is current. The server
  // keeps the same account; the framing of the client's packets confirms
  // it (reply()).
  void sendControl() {
    send(peer::controlMessage(control_));
    if (!modulesCurrent_) key_.clear();
    modulesCurrent_ = false;
    keyChanging();
    pendingModule_ = true;
  }

  void agentOrder() {
    send(peer::agentOrder(static_cast<int32_t>(draw(1, 5)), "soak"));
  }

  // Two of these before the work frame that sends the query make the last
  // query an interval old twice: one query is owed, not two.
  void masterQuery() {
    directive("QX_NEXTMASTER");
    for (const Expectation &e : expectations_)
      if (e.kind == "master-query") return;
    expect("master-query", 10000, "a master query");
  }

  void webUpdate() {
    if (!web_) return;
    directive("QX_WEBUPDATE");
    webInFlight_ = true;
    webStarted_ = elapsed();
    ++result_.counters[kWebUpdates];
  }

  void webStep() {
    if (!webInFlight_) return;
    // The exchange ends within its 2 s on the client's clock; a little
    // more before the session stops giving it real time.
    if (elapsed() - webStarted_ > 3000) webInFlight_ = false;
  }

  void changeServerTimer() { changeServer(); }

  void keyChanging() {
    expectations_.clear();
    keySettled_ = elapsed() + 5000;
  }

  // Whether the server and the client frame with the same key for sure: not
  // within 5 s of a control message, nor while a package is pushed or the
  // control message that follows it is still to go.
  bool keySettled() const {
    return elapsed() >= keySettled_ && !push_.busy() && !controlAgain_;
  }

  // A new server: replies still queued for the old one are dropped with
  // its state, so the old server expects nothing more.
  void changeServer() {
    ++result_.counters[kServerChanges];
    expectations_.clear();
    host_->serverAddress = "10.0." + std::to_string(random_() % 200) + "." +
                           std::to_string(random_() % 200) + ":27960";
  }

  // A processor fault in the host's report callback: the client must
  // contain it and say so, once.
  void injectFault() {
    host_->faultOnQuery = QX_Q_HOST_REPORT;
    faultArmed_ = elapsed();
    ++result_.counters[kFaults];
  }
  void faultStep() {
    if (faultArmed_ && elapsed() - faultArmed_ > 35000) {
      host_->faultOnQuery = 0;
      faultArmed_ = 0;
    }
  }

  // ---- the master server ----

  void sendDatagram(const Bytes &d) {
    qx::platform::socketSendTo(master_, "127.0.0.1", clientPort_, d.data(),
                               static_cast<int>(d.size()));
    masterPending_ = true;
  }

  void serveMaster() {
    uint8_t buffer[2048];
    int got;
    while ((got = qx::platform::socketReceive(master_, buffer, sizeof buffer)) >
           0) {
      std::string nonce;
      if (!peer::readMasterQuery(Bytes(buffer, buffer + got), nonce)) {
        fail(elapsed(), "master list", "a datagram that is no master query");
        continue;
      }
      ++result_.counters[kMasterQueries];
      satisfy("master-query");
      answerMaster(nonce);
    }
  }

  // The reply, a master list text and a file, with chunks lost, repeated
  // and out of order; what is lost is not sent again, as over UDP.
  void answerMaster(const std::string &nonce) {
    std::vector<Bytes> datagrams{peer::masterListPacket(nonce, masterText())};
    peer::ContentTransfer list;
    list.identifier = ++transferId_;
    list.name = peer::masterListName("soak");
    list.content = textBytes(masterText() +
                             peer::mirrorRecord("mirror.soak.example", 16568));
    list.compress = true;
    peer::ContentTransfer file;
    file.identifier = ++transferId_;
    file.name = "motd" + std::to_string(transferId_ % 3) + ".txt";
    file.content =
        Bytes(draw(500, 6000), static_cast<uint8_t>('a' + random_() % 26));
    file.compress = random_() % 2 == 0;
    storedFiles_.push_back(file.name);
    for (const peer::ContentTransfer *t : {&list, &file})
      for (const Bytes &d : t->packets(nonce)) datagrams.push_back(d);
    if (random_() % 2 && datagrams.size() > 3)
      std::swap(datagrams[1], datagrams[2]);
    if (random_() % 2) datagrams.push_back(datagrams[datagrams.size() / 2]);
    if (random_() % 3 == 0)
      datagrams.erase(datagrams.begin() + 1 +
                      static_cast<long>(random_() % (datagrams.size() - 1)));
    for (const Bytes &d : datagrams) {
      sendDatagram(d);
      ++result_.counters[kMasterDatagrams];
    }
  }

  // ---- what came back ----

  void collect() {
    for (const std::string &text : host_->texts)
      shots_.printed(text, elapsed(), result_.failures);
    for (const std::string &text : host_->texts)
      if (text.find(kFaultNotice) != std::string::npos) {
        if (faultArmed_) {
          host_->faultOnQuery = 0;
          faultArmed_ = 0;
        } else {
          fail(elapsed(), "work frame",
               "a fault was contained that nobody injected");
        }
      }
    for (const qxtest::Packet &packet : host_->sent) reply(packet.bytes);
    // Out of band go only the distress notices to the master servers.
    for (const qxtest::Packet &packet : host_->sentOob) {
      if (packet.port == masterPort_) {
        ++result_.counters[kMasterDatagrams];
        continue;
      }
      fail(elapsed(), "channel",
           "a packet went out of band to " + packet.address + ":" +
               std::to_string(packet.port));
    }
    host_->clearOutput();
    host_->readBacks.clear();
    checkExpectations(false);
  }

  // The client empties its channel key when a control message brings a new
  // first host number and derives it again once every module is current;
  // meanwhile both sides scramble with the empty key. The server follows
  // the key the client's packets show.
  void reply(const Bytes &packet) {
    peer::Unframed u = peer::unframe(key_, packet);
    const int32_t *n = host_->gi.agentParams;
    const std::string current = peer::deriveKey(n[0], n[1], n[2], n[3]);
    for (const std::string &other : {derivedKey_, current, std::string()})
      if (!u.ok && (u = peer::unframe(other, packet)).ok) key_ = other;
    if (!u.ok) {
      fail(elapsed(), "channel",
           "a packet from the client fails its check (type " +
               std::string(
                   1, packet.size() > 3 ? static_cast<char>(packet[3]) : '?') +
               ", " + std::to_string(packet.size()) + " bytes)");
      return;
    }
    // Without a key the client frames plainly with its token; the server
    // answers in kind.
    plain_ = u.type == 'P';
    if (plain_) token_ = u.token;
    const peer::Unsealed unsealed = peer::unseal(u.message);
    if (unsealed.sealed && !unsealed.valid)
      fail(elapsed(), "channel", "a sealed message does not verify");
    const Bytes &m = unsealed.message;
    const peer::ScreenshotReceiver::Event shot = screenshots_.accept(m);
    if (!shot.kind.empty()) return screenshotEvent(shot);
    if (peer::isRegisteredNamesReport(m)) return namesReport(u.message);
    const peer::ModuleReply module = peer::decodeModuleReply(m);
    if (!module.kind.empty()) return moduleReply(module);
    const peer::ResendRequest resend = peer::decodeResendRequest(m);
    if (resend.valid) {
      push_.answer(resend);
      return;
    }
    const peer::VariableReply variable = peer::decodeVariableReply(m);
    if (!variable.kind.empty()) return variableReply(variable);
    const peer::Reply r = peer::decodeReply(m);
    if (r.kind == "alive") {
      ++result_.counters[kAliveReplies];
      satisfy("alive");
    } else if (r.kind == "echo") {
      satisfy("echo");
    }
  }

  void screenshotEvent(const peer::ScreenshotReceiver::Event &e) {
    shots_.upload(e, screenshots_.missing(e.letter).size(), elapsed(),
                  result_.failures);
    if (e.kind == "complete") ++result_.counters[kScreenshots];
    if (e.kind == "bad") {
      fail(elapsed(), "screenshot", "an upload message is malformed");
    } else if (e.kind == "chunk" && restartLetter_ == 0 &&
               random_() % 40 == 0) {
      // The server asks for the upload again from a chunk it has.
      restartLetter_ = e.letter;
      send(
          peer::screenshotRestartFrom(e.letter, static_cast<int32_t>(e.chunk)));
    }
  }

  void namesReport(const Bytes &message) {
    peer::RegisteredNamesReport report = peer::decodeRegisteredNames(message);
    if (!report.ok)
      return void(
          fail(elapsed(), "channel",
               "a registered-name report is malformed: " + report.error));
    peer::verifyRegisteredNames(report, book_);
    for (const peer::RegisteredName &n : report.names)
      if (n.known && !n.verified)
        fail(elapsed(), "channel",
             "the digest of registered name " + n.match + " is wrong");
    ++result_.counters[kNamesReports];
    satisfy("names");
  }

  void moduleReply(const peer::ModuleReply &r) {
    if (r.kind == "agent-package") {
      ++result_.counters[kPackageRequests];
      auto it = agents_.find(r.wanted);
      if (it == agents_.end()) return;
      peer::FilePush push(
          peer::requestedPackage(r),
          textBytes(peer::packModule(it->second, "soak agent")));
      if (!push_.busy()) push_.start(push);
      pendingModule_ = true;
      controlAgain_ = true;
    } else if (r.kind == "ready") {
      modulesCurrent_ = true;
    }
  }

  void variableReply(const peer::VariableReply &v) {
    ++result_.counters[kVariableReplies];
    if (v.kind == "rule-request") {
      for (const Bytes &m : rules_.resend(static_cast<int32_t>(v.number)))
        send(m);
    } else if (v.kind == "list-ack") {
      ++result_.counters[kListAcks];
      // Replayed requests are answered again: any recent number is right.
      if (std::find(listAcks_.begin(), listAcks_.end(), v.number) ==
          listAcks_.end())
        miss(elapsed(), "channel",
             "a list acknowledgement " + std::to_string(v.number) +
                 " that no recent request asked for");
      satisfy("list-ack");
    } else if (v.kind == "variable" || v.kind == "watched") {
      satisfy("variable");
    }
  }

  void satisfy(const std::string &kind) {
    for (auto it = expectations_.begin(); it != expectations_.end(); ++it)
      if (it->kind == kind) {
        expectations_.erase(it);
        return;
      }
  }

  void checkExpectations(bool atEnd) {
    const uint64_t now = elapsed();
    shots_.expire(now, result_.missed);
    for (auto it = expectations_.begin(); it != expectations_.end();) {
      if (it->deadline <= now) {
        miss(now, it->kind, it->what + " never came");
        it = expectations_.erase(it);
      } else if (atEnd) {
        it = expectations_.erase(it);  // still in time when the run ended
      } else {
        ++it;
      }
    }
  }

  // ---- per minute ----

  void endMinute(int minute) {
    minute_.minute = minute;
    // Without the pages of the records kept for the next screenshots, which
    // the client holds on purpose (up to five minutes and 8 MB).
    const uint64_t resident = residentKiB(), kept = keptTouchedKiB();
    minute_.residentKiB = resident > kept ? resident - kept : 0;
    minute_.descriptors = openDescriptors();
    result_.minutes.push_back(minute_);
    startMinute();
    checkHomeDirectory();
  }

  // The next minute starts from what the client holds now.
  void startMinute() {
    minute_ = Minute{};
    minute_.floorBlocks = minute_.floorBytes = UINT64_MAX;
    if (result_.heapCounted) noteHeap();
  }

  // The client writes only its own files, in their places, and leaves no
  // temporary file behind. A screenshot is written into a temporary file
  // over a few calls, so one may be there at any moment; still there a
  // minute later, it was left behind.
  void checkHomeDirectory() {
    std::vector<std::string> files;
    listFiles(systemPath(home_), "", files);
    const std::string suffix = p::kThisPlatform.suffix;
    std::set<std::string> temporaries;
    for (const std::string &f : files) {
      if (f.rfind("scrnshot/", 0) == 0 && endsWith(f, ".png.qxtmp")) {
        temporaries.insert(f);
        if (temporaries_.count(f) && reported_.insert(f).second)
          fail(elapsed(), "files", "a temporary file left behind: " + f);
        continue;
      }
      bool known = f == "qxcl.cfg" || f == "qxsys.cfg" || f == "qxcl.db" ||
                   f == "qxcl.log" || f == "regname.dat" ||
                   f == "qxcllog.cfg" || f == p::kCorruptFileName ||
                   f == "qxsslog.htm" || f == std::string("qxag") + suffix ||
                   (f.rfind("scrnshot/", 0) == 0 &&
                    (endsWith(f, ".png") || endsWith(f, ".htm"))) ||
                   (f.rfind("dll/", 0) == 0 && endsWith(f, suffix)) ||
                   (f.rfind("htm/", 0) == 0 && endsWith(f, ".htm")) ||
                   std::find(storedFiles_.begin(), storedFiles_.end(), f) !=
                       storedFiles_.end();
      if (!known && reported_.insert(f).second)
        fail(elapsed(), "files", "unexpected file in the home directory: " + f);
    }
    temporaries_ = std::move(temporaries);
  }

  void miss(uint64_t at, const std::string &work, const std::string &what) {
    if (result_.missed.size() < 400)
      result_.missed.push_back(minuteText(at) + ", " + work + ": " + what);
  }

  bool fail(uint64_t at, const std::string &work, const std::string &what) {
    if (result_.failures.size() < 400)
      result_.failures.push_back(minuteText(at) + ", " + work + ": " + what);
    return false;
  }

  const Options &options_;
  Result &result_;
  std::mt19937 random_;
  qx::platform::Library library_ = nullptr;
  std::chrono::steady_clock::time_point realStart_;
  qxtest::Entry entry_{};
  std::unique_ptr<qxtest::FakeHost> host_;
  std::unique_ptr<qxtest::Nginx> web_;
  std::string home_, key_, derivedKey_;
  bool modulesCurrent_ = false, plain_ = false;
  uint32_t token_ = 0;
  uint64_t keySettled_ = 0;
  uint64_t simulated_ = 0;
  // The frame driver's rules, mirrored.
  uint64_t lastDue_ = 0;
  bool firstDue_ = true;
  int parity_ = -1;
  // What the next calls will be busy with.
  bool pendingChunks_ = false, pendingModule_ = false, masterPending_ = false;
  bool webInFlight_ = false;
  uint64_t webStarted_ = 0, faultArmed_ = 0, nextPushStep_ = 0;
  // The server side.
  std::vector<Timer> timers_;
  static constexpr uint64_t kBurstAtMs = 150000;
  bool burstDone_ = false;
  std::map<int, Bytes> agents_;
  int wantedAgent_ = 1301;
  peer::Control control_;
  bool controlAgain_ = false;
  peer::RuleSet rules_;
  peer::PasswordBook book_;
  peer::ScreenshotReceiver screenshots_;
  ScreenshotLedger shots_;
  bool heldBack_ = false;
  uint64_t lastShotSent_ = 0;
  peer::PushSchedule push_;
  uint32_t screenshotNumber_ = 0, transferId_ = 0, nameNumber_ = 0;
  std::array<uint32_t, 32> listAcks_{};
  size_t listAckCursor_ = 0;
  std::vector<std::string> names_;
  char restartLetter_ = 0;
  std::array<Bytes, 16> sentPackets_{};
  std::array<bool, 16> sentControl_{};
  std::array<int32_t, 16> sentScreenshot_{};
  size_t sentCursor_ = 0;
  std::vector<Expectation> expectations_;
  std::vector<std::string> storedFiles_;
  std::set<std::string> reported_;
  std::set<std::string> temporaries_;
  qx::platform::Socket master_ = qx::platform::kNoSocket;
  uint16_t masterPort_ = 0, clientPort_ = 0;
  // This minute, as far as it has come.
  Minute minute_;
};

}  // namespace

std::string windowsPath(const std::string &path) {
#if defined(_WIN32)
  if (path.empty() || path[0] != '/') return path;
  std::string out = "Z:" + path;
  for (char &c : out)
    if (c == '/') c = '\\';
  return out;
#else
  return path;
#endif
}

void runSoak(const Options &options, Result &result) {
  Session session(options, result);
  session.run();
}

}  // namespace qxsoak
