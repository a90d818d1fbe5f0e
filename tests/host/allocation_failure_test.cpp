// Every allocation of a busy session may fail: the test counts the
// allocations of a session through ca and cb, then plays it again once for
// each of them, failing that one. The client must not crash, must give back
// everything it held, and must still answer the server afterwards. (The
// update package's own message, "ERROR: Memory Allocation", is shown by the
// package tests with the same heap.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_host.h"
#include "host/client_state.h"
#include "peer/agent_peer.h"
#include "peer/cvars_peer.h"
#include "peer/master_peer.h"
#include "peer/package_peer.h"
#include "peer/peer.h"
#include "peer/regnames_peer.h"
#include "peer/screenshot_peer.h"
#include "peer/transfer_peer.h"
#include "test_heap.h"

namespace {

namespace peer = qx::peer;
using peer::Bytes;

constexpr int32_t kHostNumbers[4] = {1234, 77, 250, 9};

// One session: a started client on a game server, asked for everything
// that allocates: event copies, the key, rule lists, registered names, a
// screenshot with its PNG encoder, a pushed package that is unpacked, a
// master list reply and a content transfer.
class BusySession {
 public:
  BusySession() {
    qxtest::FakeHost::now = 100000;
    for (int i = 0; i < 4; ++i) host.gi.agentParams[i] = kHostNumbers[i];
    host.cvars["cl_guid"] = "PLAYER0123456789abcdef0123456789";
    host.cvars["rate"] = "20000";
    host.serverAddress = "10.1.2.3:27960";
    host.setFrame(320, 240, [](int32_t x, int32_t y, uint8_t *rgb) {
      rgb[0] = static_cast<uint8_t>(x * 4);
      rgb[1] = static_cast<uint8_t>(y * 5);
      rgb[2] = 90;
    });
    derived = peer::deriveKey(kHostNumbers[0], kHostNumbers[1], kHostNumbers[2],
                              kHostNumbers[3]);
    key = derived;
  }

  void play() {
    host.start();
    host.pump(4);
    host.console("qx_Security 0");
    host.console("qx_RegNameFull Ann pw1");
    send(peer::aliveRequest());
    send(peer::directive("QX_NETSTAT"));
    peer::RuleSet rules;
    rules.rules = {"rate in 8000 25000", "cl_maxpackets in 30 100"};
    for (const Bytes &m : rules.messages()) send(m);
    send(peer::variableQuery("rate", true));
    send(peer::registeredNamesQuery());
    peer::ScreenshotRequest shot;
    shot.seconds = 1;
    shot.number = 7;
    shot.numbers = {"40", "30", "50", "50", "1"};
    send(peer::screenshotRequest(shot, kHostNumbers[2]));
    // The first control message empties the key until the modules are
    // current; the package it asks for comes, and the next one installs it.
    peer::Control control;
    control.agentVersion = 1301;
    for (int i = 0; i < 4; ++i) control.numbers[i] = kHostNumbers[i];
    send(peer::controlMessage(control));
    key.clear();
    const std::string package = peer::packModule(Bytes(3000, 'm'), "agent");
    const peer::FilePush push(peer::packageName('l', 'a', 1301),
                              Bytes(package.begin(), package.end()));
    for (const peer::Outgoing &o : push.messages()) send(o.message);
    send(peer::controlMessage(control));
    const std::string nonce = qx::client().host.nonce;
    host.packet(peer::masterListPacket(nonce, "<p> S 2 10.0.0.9 16567 0\r\n"));
    peer::ContentTransfer file;
    file.name = "notes.txt";
    file.content = Bytes(1500, 'n');
    file.compress = true;
    for (const Bytes &p : file.packets(nonce)) host.packet(p);
    host.console("qx_WriteCfg");
    host.console("qx_GetSs");
    host.pump(40);  // the screenshots are taken and uploaded
  }

  // After the session the client still answers an alive request. Its key
  // is empty when the control message arrived and the derived one when it
  // was lost, so the request goes in both framings and either answer
  // counts.
  bool answers() {
    host.clearOutput();
    send(peer::aliveRequest(), derived);
    send(peer::aliveRequest(), "");
    for (const qxtest::Packet &p : host.sent)
      for (const std::string &k : {derived, std::string()}) {
        const peer::Unframed u = peer::unframe(k, p.bytes);
        if (u.ok &&
            peer::decodeReply(peer::unseal(u.message).message).kind == "alive")
          return true;
      }
    return false;
  }

 private:
  void send(const Bytes &message) { send(message, key); }
  void send(const Bytes &message, const std::string &with) {
    host.packet(peer::frameScrambled(with, message));
    host.pump(3);
  }

  qxtest::FakeHost host;
  std::string key, derived;
};

struct Outcome {
  uint64_t allocations = 0;
  uint64_t failures = 0;
  bool answered = false;
  bool gaveBack = false;  // holds as much as a fresh client after unload
};

Outcome playFailing(uint64_t failAt) {
  qx::resetClientState();
  const qxtest::HeapCounts fresh = qxtest::heapCounts();
  Outcome out;
  {
    BusySession session;
    const qxtest::HeapCounts before = qxtest::heapCounts();
    qxtest::failAllocationNumber(failAt);
    session.play();
    qxtest::failAllocationNumber(0);
    const qxtest::HeapCounts played = qxtest::heapCounts();
    out.allocations = played.allocations - before.allocations;
    out.failures = played.failures - before.failures;
    out.answered = session.answers();
  }
  qx::resetClientState();
  out.gaveBack = qxtest::heapCounts().liveBlocks == fresh.liveBlocks &&
                 qxtest::heapCounts().liveBytes == fresh.liveBytes;
  return out;
}

TEST(AllocationFailures, EveryAllocationOfABusySessionMayFail) {
  const Outcome clean = playFailing(0);
  ASSERT_TRUE(clean.answered);
  ASSERT_TRUE(clean.gaveBack);
  ASSERT_GT(clean.allocations, 20u);
  for (uint64_t n = 1; n <= clean.allocations; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " of " +
                 std::to_string(clean.allocations));
    const Outcome o = playFailing(n);
    EXPECT_EQ(o.failures, 1u);
    EXPECT_TRUE(o.answered);
    EXPECT_TRUE(o.gaveBack);
  }
}

}  // namespace
