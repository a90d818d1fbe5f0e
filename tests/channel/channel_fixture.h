// A fake host connected to a game server, and the server side of the
// channel (peer/) that talks to the client through the real entry points.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channel/channel.h"
#include "fake_host.h"
#include "host/client_state.h"
#include "peer/peer.h"

namespace channeltest {

using qx::client;
using qx::peer::Bytes;
namespace channel = qx::channel;
namespace peer = qx::peer;

constexpr int32_t kHostNumbers[4] = {1234, 77, 250, 9};
constexpr const char *kPlayerGuid = "PLAYER0123456789abcdef0123456789";
constexpr const char *kServerGuid = "SrvGuid42";

class ChannelTest : public testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 4; ++i) host.gi.agentParams[i] = kHostNumbers[i];
    host.cvars["cl_guid"] = kPlayerGuid;
    host.serverAddress = "10.1.2.3:27960";
    host.start();
    host.pump(4);  // reads the GUID and the server address
    host.clearOutput();
    key = qx::peer::deriveKey(kHostNumbers[0], kHostNumbers[1], kHostNumbers[2],
                              kHostNumbers[3]);
  }

  // The server sends one message in 'E' framing; the client drains it and
  // runs a work frame that sends its queued replies.
  void sendE(const Bytes &message) {
    host.packet(qx::peer::frameScrambled(key, message));
    host.pump(3);
  }
  void sendP(const Bytes &message) {
    host.packet(qx::peer::framePlain(qx::client().channel.token, message));
    host.pump(3);
  }

  // Every packet the client sent, unframed by the server side; a packet
  // that fails its check fails the test.
  std::vector<qx::peer::Unframed> packets() {
    std::vector<qx::peer::Unframed> out;
    for (const qxtest::Packet &p : host.sent) {
      out.push_back(qx::peer::unframe(key, p.bytes));
      EXPECT_TRUE(out.back().ok);
    }
    return out;
  }
  std::vector<qx::peer::Reply> replies() {
    std::vector<qx::peer::Reply> out;
    for (const qx::peer::Unframed &u : packets())
      out.push_back(qx::peer::decodeReply(u.message));
    return out;
  }

  // Makes identity-addressed messages acceptable: a server version that
  // knows them and a server-assigned GUID.
  void assignServerGuid(const char *guid = kServerGuid) {
    qx::client().channel.serverVersion = 1092;
    std::snprintf(host.gi.serverGuid, sizeof host.gi.serverGuid, "%s", guid);
  }

  qxtest::FakeHost host;
  std::string key;
};

}  // namespace channeltest
