#include "module_fixture.h"

#include <fstream>
#include <sstream>

#include "channel/channel.h"
#include "cvars/rules.h"
#include "platform/platform.h"
#include "update_fixture.h"

namespace moduletest {

std::string builtModule(const char *path) {
  std::string out = path;
#if defined(_WIN32)
  for (char &c : out)
    if (c == '/') c = '\\';
  out = "Z:" + out;  // Wine's drive for the Unix file system
#endif
  return out;
}

namespace {

std::string kept(char module, const char *version) {
  return std::string("dll\\") + p::kThisPlatform.letter + module + "00" +
         version + p::kThisPlatform.suffix;
}

}  // namespace

std::string keptAgent(const char *version) { return kept('a', version); }
std::string keptClient(const char *version) { return kept('c', version); }

void ModuleTest::SetUp() {
  for (int i = 0; i < 4; ++i) host.gi.agentParams[i] = kStartNumbers[i];
  host.cvars["cl_guid"] = "PLAYER0123456789abcdef0123456789";
  host.serverAddress = "10.1.2.3:27960";
  host.start();
  host.pump(4);
  // This server imposes no variable rules, so the client sends no rule
  // requests between the packets a test counts.
  client().cvars.ruleState = qx::cvars::kRulesComplete;
  host.clearOutput();
  key = peer::deriveKey(kStartNumbers[0], kStartNumbers[1], kStartNumbers[2],
                        kStartNumbers[3]);
  // Before the first 'E' packet the client has no key block; the first one
  // creates it from the start numbers.
}

std::string ModuleTest::homePath(const std::string &name) const {
  return updatetest::systemPath(std::string(client().host.homeDir) + name);
}

void ModuleTest::place(const std::string &built, const std::string &name) {
  std::ifstream in(built, std::ios::binary);
  ASSERT_TRUE(in) << built;
  std::ofstream out(homePath(name), std::ios::binary | std::ios::trunc);
  ASSERT_TRUE(out) << homePath(name);
  out << in.rdbuf();
}

bool ModuleTest::exists(const std::string &name) const {
  return qx::platform::fileExists(homePath(name).c_str());
}

bool ModuleTest::sameFile(const std::string &name,
                          const std::string &built) const {
  const std::string a = qxtest::readFile(homePath(name));
  return !a.empty() && a == qxtest::readFile(built);
}

void ModuleTest::useAgent(const std::string &built) {
  place(built, agentFile());
  qx::update::agentVersion(&host.gi);
}

peer::Control ModuleTest::wanting(int32_t client, int32_t agent,
                                  const std::string &guid) {
  peer::Control c;
  c.clientVersion = client;
  c.agentVersion = agent;
  for (int i = 0; i < 4; ++i) c.numbers[i] = kHostNumbers[i];
  c.guid = guid;
  return c;
}

void ModuleTest::send(const Bytes &message) {
  host.packet(peer::frameScrambled(key, message));
  host.pump(3);
}

void ModuleTest::control(const peer::Control &c) {
  pendingKey =
      peer::deriveKey(c.numbers[0], c.numbers[1], c.numbers[2], c.numbers[3]);
  const size_t before = host.sent.size();
  send(peer::controlMessage(c));
  // The client empties its key when the host numbers change, and derives
  // it from the new ones once every version is current; its ready message
  // is the first to use the new key.
  bool ready = false;
  for (size_t i = before; i < host.sent.size(); ++i) {
    const peer::Unframed u = peer::unframe(pendingKey, host.sent[i].bytes);
    ready |= u.ok && peer::decodeModuleReply(u.message).kind == "ready";
  }
  key = ready ? pendingKey : "";
}

void ModuleTest::direct(const Bytes &message) {
  Bytes copy = message;
  qx::channel::dispatchMessage(&host.gi, static_cast<int>(copy.size()),
                               copy.data());
}

std::vector<peer::Unframed> ModuleTest::packets() {
  std::vector<peer::Unframed> out;
  for (const qxtest::Packet &packet : host.sent) {
    peer::Unframed u = peer::unframe(key, packet.bytes);
    // Messages handed over directly set other numbers than control() knows.
    const int32_t *n = host.gi.agentParams;
    const std::string direct = peer::deriveKey(n[0], n[1], n[2], n[3]);
    for (const std::string &other : {pendingKey, direct, std::string()})
      if (!u.ok) u = peer::unframe(other, packet.bytes);
    EXPECT_TRUE(u.ok);
    out.push_back(u);
  }
  return out;
}

std::vector<peer::ModuleReply> ModuleTest::replies() {
  std::vector<peer::ModuleReply> out;
  for (const peer::Unframed &u : packets())
    out.push_back(peer::decodeModuleReply(peer::unseal(u.message).message));
  return out;
}

std::vector<peer::ModuleReply> ModuleTest::repliesOf(const std::string &kind) {
  std::vector<peer::ModuleReply> out;
  for (const peer::ModuleReply &r : replies())
    if (r.kind == kind) out.push_back(r);
  return out;
}

}  // namespace moduletest
