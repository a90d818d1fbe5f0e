// A fake host connected to a game server, the server side of module
// management (peer/), and the real module libraries the project builds:
// test agents at versions 1300 and 1301, an agent without its export, a
// replacement client at version 1200, and an agent and a replacement client
// that fault when asked their version.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/protocol.h"
#include "fake_host.h"
#include "host/client_state.h"
#include "peer/agent_peer.h"
#include "peer/peer.h"
#include "update/modules.h"

namespace moduletest {

using qx::client;
using qx::peer::Bytes;
namespace peer = qx::peer;
namespace p = qx::protocol;

constexpr int32_t kStartNumbers[4] = {11, 22, 33, 44};
constexpr int32_t kHostNumbers[4] = {1234, 77, 250, 9};

// Paths of the built modules, as the client's platform reads them.
std::string builtModule(const char *path);
#define QX_BUILT(name) ::moduletest::builtModule(name)

// "dll\la001301.so", "htm\wc001200.htm": module file names built from this
// platform's letter and suffix, written out the way the client must name
// them.
std::string keptAgent(const char *version);   // "dll\\?a" version suffix
std::string keptClient(const char *version);  // "dll\\?c" version suffix
inline std::string agentFile() { return p::kThisPlatform.agentFile; }
inline std::string clientFile() { return p::kThisPlatform.clientFile; }

class ModuleTest : public testing::Test {
 protected:
  void SetUp() override;

  // ---- files of the home directory ----
  std::string homePath(const std::string &name) const;
  void place(const std::string &built, const std::string &name);
  bool exists(const std::string &name) const;
  bool sameFile(const std::string &name, const std::string &built) const;
  // Installs a built agent as the agent in use and lets the client load it.
  void useAgent(const std::string &built);

  // ---- the server side ----
  // A control message wanting these versions with kHostNumbers and a GUID.
  static peer::Control wanting(int32_t client, int32_t agent,
                               const std::string &guid = "SrvGuid42");
  // Sends a message in 'E' framing with the key the client holds, then
  // runs frames until it is handled and the replies are out.
  void send(const Bytes &message);
  void control(const peer::Control &c);
  // Hands a message straight to the dispatcher, with no frames run and no
  // time passing, for tests of time limits.
  void direct(const Bytes &message);
  // Every packet the client sent, unframed (a packet that fails its check
  // fails the test), decoded as module replies.
  std::vector<peer::Unframed> packets();
  std::vector<peer::ModuleReply> replies();
  std::vector<peer::ModuleReply> repliesOf(const std::string &kind);

  qxtest::FakeHost host;
  // The server's view of the channel key: the key in use, and the one it
  // expects once the client is ready.
  std::string key, pendingKey;
};

}  // namespace moduletest
