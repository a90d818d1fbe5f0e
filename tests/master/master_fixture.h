// A started client connected to a game server, with a home directory of
// its own, and the master server's side (peer/) to talk to it.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "common/protocol.h"
#include "console/command_processor.h"
#include "fake_host.h"
#include "host/client_state.h"
#include "master/master_list.h"
#include "peer/master_peer.h"

namespace mastertest {

using qx::client;
using qx::peer::Bytes;
namespace master = qx::master;
namespace peer = qx::peer;
namespace protocol = qx::protocol;

// A module of the given size and seed, and its master list record.
inline Bytes module(size_t size, uint8_t seed) {
  Bytes m(size);
  for (size_t i = 0; i < size; ++i)
    m[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 3));
  return m;
}

class MasterTest : public testing::Test {
 protected:
  void SetUp() override {
    home = qxtest::makeTempDir() + kSeparator;
    std::snprintf(host.gi.homeDir, sizeof host.gi.homeDir, "%s", home.c_str());
    host.serverAddress = "10.1.2.3:27960";
    prepare();
    host.start();
    host.pump(4);
    host.clearOutput();
  }
  // Runs before start-up: files and host answers the client starts with.
  virtual void prepare() {}

  void resolves(const std::string &name, const std::string &address) {
    host.cvars["qx_isresolved " + name] = address;
  }
  std::string path(const std::string &name) const { return home + name; }
  std::string read(const std::string &name) const {
    return qxtest::readFile(path(name));
  }
  bool exists(const std::string &name) const {
    std::ifstream in(local(path(name)), std::ios::binary);
    return static_cast<bool>(in);
  }
  void write(const std::string &name, const std::string &content) const {
    std::ofstream(local(path(name)), std::ios::binary) << content;
  }
  void remove(const std::string &name) const {
    std::remove(local(path(name)).c_str());
  }
  static std::string local(std::string p) {
#if !defined(_WIN32)
    for (char &c : p)
      if (c == '\\') c = '/';
#endif
    return p;
  }

  std::string nonce() const { return client().host.nonce; }
  // A packet from a master server, handed over by the host and drained.
  void fromMaster(const Bytes &packet) {
    host.packet(packet);
    host.pump(2);
  }
  // A directive line from the server.
  void directive(std::string line) {
    qx::console::processLine(&host.gi, line.data(), 0, 0);
  }
  void reply(const std::string &text) {
    fromMaster(peer::masterListPacket(nonce(), text));
  }

  static constexpr const char *kSeparator = "\\";
  qxtest::FakeHost host;
  std::string home;
};

}  // namespace mastertest
