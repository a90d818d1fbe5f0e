// qxserver: the reference server. It listens on UDP on 127.0.0.1, waits for
// a host's connection request, then plays a scenario script of server
// messages to that host's client and prints every reply decoded.
//
//   qxserver [--port N] [--script FILE] [--numbers A,B,C,D] [--shots DIR]
//            [--packages DIR]
//
// The numbers are the host numbers the client derives its channel key from
// (0,0,0,0 for a host without an agent). The packages directory holds the
// update packages the server pushes when the client asks for them
// ("la001301.htm"); uploaded screenshots are saved in the shots directory.
// Script lines:
//   # ...                   a comment
//   text TEXT               server text for the player ('A')
//   directive LINE          a directive line for the command processor
//   alive                   alive request ('T')
//   query-alive             alive request under 'B'
//   echo                    alive echo request
//   lookup NAME             host-entry lookup
//   addressed GUID TEXT     server text addressed to the server-assigned GUID
//   token-mismatch          a plain packet with a wrong token; the client
//                           answers with its token, which the server keeps
//   plain TEXT              server text in plain framing with the kept token
//   rule NAME KIND A [B]    adds a rule to the server's variable rule set
//   rules                   sends the rule set with its count line
//   rules-partial N         sends the first N rules without the count line;
//                           the client asks for the rest, the server answers
//   cvar NAME               asks for a variable's value ("M" reply)
//   cvar-watch NAME         the same, and asks for violation reports ("L")
//   binds TEXT              key-binding search
//   cvars TEXT              variable search
//   user-cvars              the player's own variables
//   changed-cvars           variables that differ from their defaults
//   list A B TEXT           variable query list (acknowledged with a number)
//   regname-password NAME PW  the password the server knows for a
//                           registered name (NAME may hold spaces)
//   regnames                asks for the registered-name report, which is
//                           printed with every digest checked
//   push FILE [drop N] [swap N]
//                           pushes FILE (relative to the working directory)
//                           under its own name, in chunks, a few at each
//                           step; chunk N lost, or sent after chunk N + 1;
//                           the server answers the client's resend requests
//   screenshot S N [W H X Y R]  asks for a screenshot within S seconds,
//                           request number N; the upload is saved as
//                           qxNNNNNN.png in the --shots directory
//   screenshot-restart L C  the upload with letter L goes on from chunk C
//                           ('-': header and every chunk again)
//   control CLIENT AGENT [A,B,C,D [GUID]]
//                           control message: the versions the server wants,
//                           the host numbers of the channel key (the
//                           server's own by default) and the server-assigned
//                           GUID; the server keys the channel with the new
//                           numbers once the client reports ready
//   order N [TEXT]          agent order N with its argument text
//   wait MS                 only receive and print replies for MS ms
//   quit                    stop
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

#include "peer/agent_peer.h"
#include "peer/cvars_peer.h"
#include "peer/peer.h"
#include "peer/regnames_peer.h"
#include "peer/screenshot_peer.h"
#include "peer/transfer_peer.h"
#include "tools/common/loopback_udp.h"

namespace {

using qx::peer::Bytes;
namespace peer = qx::peer;

constexpr int kPollStep = 50;      // ms
constexpr size_t kPushBatch = 16;  // chunks of a file push per poll step

struct Options {
  int port = 27960;
  std::string script;
  int32_t numbers[4] = {0, 0, 0, 0};
  std::string packages;
  std::string shots = ".";  // where uploaded screenshots are saved
};

class Server {
 public:
  explicit Server(const Options &o)
      : key_(peer::deriveKey(o.numbers[0], o.numbers[1], o.numbers[2],
                             o.numbers[3])),
        shots_(o.shots),
        packages_(o.packages) {
    std::copy(o.numbers, o.numbers + 4, numbers_);
  }

  // The third host number, which screenshot requests carry.
  int32_t hostC() const { return numbers_[2]; }

  bool open(int port) {
    socket_ = qxtools::openLoopbackUdp(port);
    if (socket_ < 0) return false;
    std::printf("qxserver: listening on 127.0.0.1:%d\n", port);
    std::fflush(stdout);
    return true;
  }

  // Waits for the host's first datagram, its connection request.
  bool waitForClient(int ms) {
    const auto end = now() + ms;
    while (!haveClient_ && now() < end) receive(kPollStep);
    return haveClient_;
  }

  // Receives and prints replies for ms milliseconds.
  void receive(int ms) {
    const auto end = now() + ms;
    for (;;) {
      const long left = static_cast<long>(end - now());
      if (left < 0) return;
      sendPushBatch();
      const long wait = push.busy() && left > kPollStep ? kPollStep : left;
      Bytes datagram;
      sockaddr_in from{};
      const int got = qxtools::receiveDatagram(socket_, static_cast<int>(wait),
                                               datagram, from);
      if (got < 0 || (got == 0 && wait == left)) return;
      if (got > 0) handle(datagram, from);
    }
  }

  void send(const std::string &what, const Bytes &packet) {
    if (!what.empty()) std::printf("server> %s\n", what.c_str());
    std::fflush(stdout);
    if (!haveClient_) {
      std::printf("qxserver: no client yet\n");
      return;
    }
    ::sendto(socket_, packet.data(), packet.size(), 0,
             reinterpret_cast<const sockaddr *>(&client_), sizeof client_);
  }
  void sendScrambled(const std::string &what, const Bytes &message) {
    send(what, peer::frameScrambled(key_, message));
  }
  void sendPlain(const std::string &what, uint32_t token,
                 const Bytes &message) {
    send(what, peer::framePlain(token, message));
  }

  uint32_t token() const { return token_; }

  // A control message. The client empties its channel key when the host
  // numbers change and derives the new one once every version is current;
  // its ready message is the first to use it.
  void sendControl(peer::Control control) {
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "%d,%d,%d,%d", control.numbers[0],
                  control.numbers[1], control.numbers[2], control.numbers[3]);
    sendScrambled("control: wants client " +
                      std::to_string(control.clientVersion) + ", agent " +
                      std::to_string(control.agentVersion) + ", numbers " +
                      numbers + ", guid " + control.guid,
                  peer::controlMessage(control));
    key_.clear();
    pendingKey_ = peer::deriveKey(control.numbers[0], control.numbers[1],
                                  control.numbers[2], control.numbers[3]);
    std::copy(control.numbers, control.numbers + 4, numbers_);
  }
  const int32_t *numbers() const { return numbers_; }

  // Sends the rule set from rule first on; with withCount the count line
  // closes it. From then on the server answers the client's rule requests.
  void sendRules(size_t first, size_t count, bool withCount) {
    peer::RuleSet part = rules;
    if (first + count < part.rules.size()) part.rules.resize(first + count);
    for (const Bytes &m : part.messages(first, 8, withCount))
      sendScrambled("rules \"" + printable(m) + "\"", m);
    imposed_ = true;
  }

  peer::RuleSet rules;
  peer::PasswordBook passwords;  // of registered names
  peer::PushSchedule push;

 private:
  void printRegisteredNames(char type, const Bytes &message) {
    peer::RegisteredNamesReport report = peer::decodeRegisteredNames(message);
    peer::verifyRegisteredNames(report, passwords);
    std::printf("client< [%c] %s\n", type, peer::describe(report).c_str());
    std::fflush(stdout);
  }

  // The next messages of a file push in progress.
  void sendPushBatch() {
    for (const peer::Outgoing &o : push.next(kPushBatch)) {
      if (o.message.empty())
        std::printf("server> %s\n", o.what.c_str());
      else
        sendScrambled(o.what, o.message);
    }
  }

  static long long now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

  void handle(const Bytes &datagram, const sockaddr_in &from) {
    peer::Unframed u = peer::unframe(key_, datagram);
    if (!u.ok && !pendingKey_.empty()) {
      const peer::Unframed keyed = peer::unframe(pendingKey_, datagram);
      if (keyed.ok) {
        u = keyed;
        key_ = pendingKey_;
      }
    }
    if (u.type == 0) {  // not a channel packet: a connection request
      client_ = from;
      haveClient_ = true;
      std::printf("client< connection request \"%s\"\n",
                  std::string(datagram.begin(), datagram.end()).c_str());
    } else if (!u.ok) {
      std::printf("client< BAD %c packet of %zu bytes (check failed)\n", u.type,
                  datagram.size());
    } else {
      const peer::Reply r = peer::decodeReply(u.message);
      const peer::ScreenshotReceiver::Event shot = uploads_.accept(r.message);
      if (!shot.kind.empty()) {
        std::printf("client< [%c] %s\n", u.type,
                    peer::describeAndSave(shot, shots_).c_str());
        std::fflush(stdout);
        return;
      }
      if (r.kind == "token") token_ = r.number;
      if (peer::isRegisteredNamesReport(r.message)) {
        printRegisteredNames(u.type, u.message);
        return;
      }
      const peer::VariableReply v = peer::decodeVariableReply(r.message);
      const peer::ModuleReply module = peer::decodeModuleReply(r.message);
      const peer::ResendRequest resend = peer::decodeResendRequest(r.message);
      if (resend.valid) {
        std::printf("client< [%c] %s\n", u.type,
                    peer::describe(resend).c_str());
        if (!push.answer(resend))
          std::printf("qxserver: no push that this request is for\n");
      } else if (!module.kind.empty()) {
        std::printf("client< [%c] %s\n", u.type,
                    peer::describe(module).c_str());
        answerModuleReply(module);
      } else if (v.kind.empty())
        std::printf("client< [%c] %s\n", u.type, peer::describe(r).c_str());
      else
        std::printf("client< [%c] %s%s\n", u.type, peer::describe(v).c_str(),
                    r.sealed ? (r.sealValid ? " (sealed, seal ok)"
                                            : " (sealed, SEAL BAD)")
                             : "");
      std::fflush(stdout);
      if (v.kind == "rule-request" && imposed_)
        sendRules(v.number, rules.rules.size(), true);
    }
    std::fflush(stdout);
  }

  // A rule block for a person: its lines separated by " | ".
  static std::string printable(const Bytes &m) {
    std::string out;
    for (size_t i = 1; i < m.size() && m[i]; ++i)
      out += m[i] == '\n' ? std::string(" | ") : std::string(1, char(m[i]));
    return out;
  }

  // Pushes the package the client asked for, from the packages directory.
  // A request for the package already on its way is not answered again: the
  // client asks every few seconds until it has installed the package.
  void answerModuleReply(const peer::ModuleReply &reply) {
    const std::string name = peer::requestedPackage(reply);
    // The name comes from the client: only a platform letter makes a name
    // of the packages directory.
    if (name.empty() || !std::isalpha(static_cast<unsigned char>(name[0])))
      return;
    if (push.busy() && name == pushing_) {
      std::printf("qxserver: %s is on its way\n", name.c_str());
      return;
    }
    std::ifstream in(packages_ + "/" + name, std::ios::binary);
    if (packages_.empty() || !in) {
      std::printf("qxserver: no package %s to push\n", name.c_str());
      return;
    }
    const Bytes content((std::istreambuf_iterator<char>(in)),
                        std::istreambuf_iterator<char>());
    std::printf("qxserver: pushing %s (%zu bytes)\n", name.c_str(),
                content.size());
    push.start(peer::FilePush(name, content));
    pushing_ = name;
  }

  bool imposed_ = false;
  std::string key_;
  std::string shots_;
  peer::ScreenshotReceiver uploads_;
  std::string packages_;
  std::string pendingKey_;
  std::string pushing_;  // name of the package pushed last
  int32_t numbers_[4] = {0, 0, 0, 0};
  int socket_ = -1;
  sockaddr_in client_{};
  bool haveClient_ = false;
  uint32_t token_ = 0;
};

constexpr int kReplyWait = 400;  // ms of replies after each message

// "FILE [drop N] [swap N]": reads the file and starts pushing it.
bool startPush(Server &server, const std::string &rest) {
  std::istringstream words(rest);
  std::string path, change;
  words >> path;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::printf("qxserver: cannot read %s\n", path.c_str());
    return false;
  }
  const Bytes content((std::istreambuf_iterator<char>(in)),
                      std::istreambuf_iterator<char>());
  const size_t slash = path.find_last_of("/\\");
  peer::FilePush file(
      slash == std::string::npos ? path : path.substr(slash + 1), content);
  int index;
  while (words >> change >> index) {
    if (change == "drop") file.drop(index);
    if (change == "swap") file.swap(index);
  }
  server.push.start(file);
  return true;
}

// Plays one script line; false ends the scenario.
bool play(Server &server, const std::string &line) {
  std::istringstream words(line);
  std::string command;
  words >> command;
  std::string rest;
  std::getline(words >> std::ws, rest);
  if (command.empty() || command[0] == '#') return true;
  if (command == "quit") return false;
  if (command == "wait") {
    server.receive(std::atoi(rest.c_str()));
    return true;
  }
  if (command == "text") {
    server.sendScrambled("text \"" + rest + "\"", peer::serverText(rest));
  } else if (command == "directive") {
    server.sendScrambled("directive \"" + rest + "\"", peer::directive(rest));
  } else if (command == "alive") {
    server.sendScrambled("alive request", peer::aliveRequest());
  } else if (command == "query-alive") {
    server.sendScrambled("alive request (query)", peer::queryAlive());
  } else if (command == "echo") {
    server.sendScrambled("alive echo request", peer::aliveEcho());
  } else if (command == "lookup") {
    server.sendScrambled("lookup \"" + rest + "\"", peer::lookup(rest));
  } else if (command == "addressed") {
    const size_t space = rest.find(' ');
    const std::string guid = rest.substr(0, space);
    const std::string text =
        space == std::string::npos ? "" : rest.substr(space + 1);
    server.sendScrambled("addressed to " + guid + ": text \"" + text + "\"",
                         peer::identityAddressed(guid, server.numbers()[2],
                                                 peer::serverText(text)));
  } else if (command == "token-mismatch") {
    server.sendPlain("plain packet with a wrong token", server.token() + 1,
                     peer::serverText("not for you"));
  } else if (command == "plain") {
    server.sendPlain("plain text \"" + rest + "\"", server.token(),
                     peer::serverText(rest));
  } else if (command == "rule") {
    server.rules.rules.push_back(rest);
    return true;
  } else if (command == "rules") {
    server.sendRules(0, server.rules.rules.size(), true);
  } else if (command == "rules-partial") {
    server.sendRules(0, static_cast<size_t>(std::atoi(rest.c_str())), false);
  } else if (command == "cvar" || command == "cvar-watch") {
    server.sendScrambled(command + " " + rest,
                         peer::variableQuery(rest, command == "cvar-watch"));
  } else if (command == "binds") {
    server.sendScrambled("binding search \"" + rest + "\"",
                         peer::bindingSearch(rest));
  } else if (command == "cvars") {
    server.sendScrambled("variable search \"" + rest + "\"",
                         peer::variableSearch(rest));
  } else if (command == "user-cvars") {
    server.sendScrambled("user-created variables", peer::userVariablesQuery());
  } else if (command == "changed-cvars") {
    server.sendScrambled("changed variables", peer::changedVariablesQuery());
  } else if (command == "list") {
    std::istringstream args(rest);
    uint32_t a = 0, b = 0;
    std::string text;
    args >> a >> b;
    std::getline(args >> std::ws, text);
    server.sendScrambled("variable query list " + rest + " (expects " +
                             std::to_string(peer::listAcknowledgement(a, b)) +
                             ")",
                         peer::listRequest(a, b, text));
  } else if (command == "regname-password") {
    const size_t space = rest.rfind(' ');
    if (space != std::string::npos)
      server.passwords[rest.substr(0, space)] = rest.substr(space + 1);
    return true;
  } else if (command == "regnames") {
    server.sendScrambled("registered-name query", peer::registeredNamesQuery());
  } else if (command == "push") {
    if (!startPush(server, rest)) return true;
    while (server.push.busy()) server.receive(kPollStep);
  } else if (Bytes shot; command.compare(0, 10, "screenshot") == 0) {
    std::string what;
    if (!peer::screenshotCommand(command, rest, server.hostC(), shot, what)) {
      std::printf("qxserver: bad screenshot command: %s\n", line.c_str());
      return true;
    }
    server.sendScrambled(what, shot);
  } else if (command == "control") {
    server.sendControl(peer::parseControl(rest, server.numbers()));
  } else if (command == "order") {
    std::istringstream args(rest);
    int32_t order = 0;
    std::string text;
    args >> order;
    std::getline(args >> std::ws, text);
    server.sendScrambled("agent order " + rest, peer::agentOrder(order, text));
  } else {
    std::printf("qxserver: unknown script command %s\n", command.c_str());
    return true;
  }
  server.receive(kReplyWait);
  return true;
}

bool parse(int argc, char **argv, Options &o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return false;
    const std::string v = argv[++i];
    if (a == "--port") {
      o.port = std::atoi(v.c_str());
    } else if (a == "--shots") {
      o.shots = v;
    } else if (a == "--script") {
      o.script = v;
    } else if (a == "--packages") {
      o.packages = v;
    } else if (a == "--numbers") {
      if (std::sscanf(v.c_str(), "%d,%d,%d,%d", &o.numbers[0], &o.numbers[1],
                      &o.numbers[2], &o.numbers[3]) != 4)
        return false;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: qxserver [--port N] [--script FILE] "
                 "[--numbers A,B,C,D] [--shots DIR] [--packages DIR]\n");
    return 2;
  }
  Server server(options);
  if (!server.open(options.port)) {
    std::fprintf(stderr, "qxserver: cannot listen on port %d\n", options.port);
    return 1;
  }
  if (!server.waitForClient(30000)) {
    std::fprintf(stderr, "qxserver: no client connected\n");
    return 1;
  }
  std::istream *script = &std::cin;
  std::ifstream file(options.script);
  if (!options.script.empty()) script = &file;
  if (!*script) {
    std::fprintf(stderr, "qxserver: cannot read %s\n", options.script.c_str());
    return 1;
  }
  for (std::string line; std::getline(*script, line) && play(server, line);) {
  }
  server.receive(kReplyWait);
  std::printf("qxserver: scenario done\n");
  return 0;
}
