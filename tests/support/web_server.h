// Real TCP peers for the web update: nginx from Debian's packages, started
// on a loopback address of its own with a configuration written into a
// temporary directory, and a small scripted server run in the test's own
// thread (silent, or answering each connection with given bytes). Both work
// natively and under Wine, where nginx runs as a native process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qxtest {

// A loopback address other than 127.0.0.1, drawn at random so that test
// runs side by side do not meet ("127.a.b.c").
std::string freshLoopbackAddress();

class Nginx {
 public:
  Nginx() = default;
  ~Nginx() { stop(); }
  Nginx(const Nginx &) = delete;
  Nginx &operator=(const Nginx &) = delete;

  // Starts nginx on address:port serving the directory root(); false, with
  // the reason in error(), when it does not come up.
  bool start(const std::string &address, uint16_t port = 80);
  void stop();
  bool running() const { return running_; }
  const std::string &address() const { return address_; }
  const std::string &error() const { return error_; }

  // Writes (or, with remove, deletes) a file below the served directory;
  // relative uses '/'.
  void putFile(const std::string &relative, const std::string &content);
  void removeFile(const std::string &relative);

 private:
  bool run(const std::string &arguments);
  bool waitForPidFile(bool present, int ms);

  std::string unixDir_;   // the temporary directory as nginx sees it
  std::string localDir_;  // the same directory as this program sees it
  std::string address_;
  std::string error_;
  bool running_ = false;
};

// A listening socket on address:port. Silent (serve() never called) it
// accepts nothing and never answers; serve() accepts waiting connections,
// reads each request and answers it with the reply bytes, then closes. With
// a piece size, each call of serve() sends at most that many bytes of a
// reply, so the reply arrives over several reads.
class ScriptedServer {
 public:
  ScriptedServer() = default;
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer &) = delete;
  ScriptedServer &operator=(const ScriptedServer &) = delete;

  // backlog: connections the system completes before serve() accepts them;
  // with 0, a second connect stays pending until one is accepted.
  bool listen(const std::string &address, uint16_t port = 80, int backlog = 8);
  void serve();  // never waits
  std::string reply;
  size_t pieceSize = 0;               // 0: the whole reply at once
  std::vector<std::string> requests;  // every complete request read

 private:
  struct Connection {
    intptr_t socket;
    std::string request;
    bool answering = false;
    size_t sent = 0;  // bytes of the reply sent
  };
  intptr_t listener_ = -1;
  std::vector<Connection> connections_;
};

}  // namespace qxtest
