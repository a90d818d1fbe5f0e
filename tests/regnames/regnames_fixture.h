// A started client connected to a game server, with the registered-name
// file of its home directory at hand, and the server side (peer/) that
// reads its reports.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../channel/channel_fixture.h"
#include "common/protocol.h"
#include "host/client_state.h"
#include "peer/digest.h"
#include "peer/regnames_peer.h"
#include "platform/platform.h"
#include "regnames/regnames.h"

namespace regnamestest {

using qx::client;
using qx::regnames::Record;

// One registration as a test states it.
struct Name {
  std::string match;
  std::string password;
  std::string kind;  // "Full" or "Partial"
};

inline std::string recordLines(const std::vector<Name> &names) {
  std::string out;
  for (const Name &n : names)
    out += "\"" + n.match + "\" \"" + n.password + "\" " + n.kind + "\r\n";
  return out;
}

// The file as the format defines it, written independently of the client:
// plain with its header, or enciphered with the key's digest in front.
inline std::string plainFile(const std::vector<Name> &names) {
  return "QX_REGNAMES\r\n" + recordLines(names);
}
inline std::string encipheredFile(const std::vector<Name> &names,
                                  const std::string &key) {
  std::string out =
      qx::peer::digestText(key.data(), key.size(), 0) + recordLines(names);
  for (size_t i = 0; i < out.size(); ++i) out[i] ^= key[i % key.size()];
  return out;
}

class RegNames : public channeltest::ChannelTest {
 protected:
  std::string home() const { return client().host.homeDir; }
  std::string path(const std::string &name) const { return home() + name; }
  std::string read(const std::string &name) const {
    return qxtest::readFile(path(name));
  }
  bool exists(const std::string &name) const {
    qx::platform::FileHandle f = qx::platform::fileOpen(
        path(name).c_str(), qx::platform::OpenMode::Read);
    if (f) qx::platform::fileClose(f);
    return f != nullptr;
  }
  void write(const std::string &name, const std::string &bytes) {
    qx::platform::FileHandle f = qx::platform::fileOpen(
        path(name).c_str(), qx::platform::OpenMode::Write);
    ASSERT_NE(f, nullptr) << name;
    qx::platform::fileWrite(f, bytes.data(), bytes.size());
    qx::platform::fileClose(f);
  }

  // The player types a line at the console.
  void type(const std::string &line) {
    host.clearOutput();
    host.console(line);
    host.pump();
  }

  // The host now reports another server.
  void joinServer(const std::string &address) {
    host.serverAddress = address;
    host.clearOutput();
    host.pump(2);
  }

  // Loads the registered-name file afresh, as setting qx_RegNameFn does.
  void reload() {
    type(std::string("qx_RegNameFn ") + client().settings.regNameFn);
  }

  // The list as (match, kind) pairs; deleted records as ("", 0).
  std::vector<std::pair<std::string, int>> list() const {
    std::vector<std::pair<std::string, int>> out;
    const qx::console::RecordList &l = client().regnames.names;
    for (int32_t i = 0; i < l.count; ++i) {
      const Record *r = qx::console::listRecord<Record>(l, i);
      out.emplace_back(r->match, r->kind);
    }
    return out;
  }
  const Record &record(int32_t index) const {
    return *qx::console::listRecord<Record>(client().regnames.names, index);
  }

  // Every registered-name report the client sent since the output was
  // cleared, decoded by the server side (unsealed when sealed).
  std::vector<qx::peer::RegisteredNamesReport> reports() {
    std::vector<qx::peer::RegisteredNamesReport> out;
    for (const qx::peer::Unframed &u : packets()) {
      qx::peer::RegisteredNamesReport r =
          qx::peer::decodeRegisteredNames(u.message);
      if (qx::peer::isRegisteredNamesReport(
              qx::peer::unseal(u.message).message))
        out.push_back(r);
    }
    return out;
  }
};

}  // namespace regnamestest
