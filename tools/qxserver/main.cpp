// qxserver: the reference server. It listens on UDP on 127.0.0.1, waits for
// a host's connection request, then plays a scenario script of server
// messages to that host's client and prints every reply decoded. Its
// options are in optionTable() and its script commands in scriptCommands();
// --help prints both.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "peer/agent_peer.h"
#include "peer/cvars_peer.h"
#include "peer/peer.h"
#include "peer/regnames_peer.h"
#include "peer/scan_policy.h"
#include "peer/scan_session.h"
#include "peer/screenshot_peer.h"
#include "peer/transfer_peer.h"
#include "tools/common/loopback_udp.h"
#include "tools/common/options.h"
#include "tools/common/script.h"

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
  std::string policy;       // the scans' policy file
  std::string baseline;     // where the session's allow entries go
  bool check = false;       // check the script and stop
};

class Server {
 public:
  Server(const Options &o, const peer::ScanPolicy &policy)
      : scans(policy, std::random_device{}()),
        key_(peer::deriveKey(o.numbers[0], o.numbers[1], o.numbers[2],
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
    std::printf("qxserver: listening on 127.0.0.1:%d\n",
                qxtools::boundPort(socket_));
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
    sent_ = true;
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

  // Whether anything was sent since the last call.
  bool takeSent() {
    const bool sent = sent_;
    sent_ = false;
    return sent;
  }

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

  // Sends the messages of a scan command, or says what is wrong with it.
  void sendScan(const std::string &fault,
                const std::vector<peer::Outgoing> &messages) {
    if (!fault.empty()) std::printf("qxserver: %s\n", fault.c_str());
    for (const peer::Outgoing &o : messages) sendScrambled(o.what, o.message);
  }

  // Receives until every scan asked is answered, or ms have passed.
  void awaitScans(int ms) {
    const auto end = now() + ms;
    while (scans.waiting() && now() < end) receive(kPollStep);
  }

  peer::RuleSet rules;
  peer::PasswordBook passwords;  // of registered names
  peer::PushSchedule push;
  peer::ScanSession scans;

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
      // While the scans' seal allowance lasts, every message is sealed
      // with the key the last seal request set.
      const peer::Reply r = peer::decodeReply(u.message, scans.sealKey());
      std::vector<std::string> lines;
      if (scans.accept(u.message, lines)) {
        for (const std::string &line : lines)
          std::printf("%s%s\n",
                      line.rfind("FINDING", 0) == 0 ? "qxserver: " : "client< ",
                      line.c_str());
        std::fflush(stdout);
        return;
      }
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
  bool sent_ = false;
  uint32_t token_ = 0;
};

constexpr int kReplyWait = 400;     // ms of replies after each message
constexpr int kClientWait = 30000;  // ms the server waits for a host

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

void sendScreenshot(Server &server, const std::string &command,
                    const std::string &rest) {
  Bytes shot;
  std::string what;
  if (peer::screenshotCommand(command, rest, server.hostC(), shot, what))
    server.sendScrambled(what, shot);
  else
    std::printf("qxserver: bad screenshot command: %s %s\n", command.c_str(),
                rest.c_str());
}

using Command = qxtools::ScriptCommand<Server>;

bool scan(Server &server, const char *kind, const std::string &rest) {
  std::vector<peer::Outgoing> messages;
  const std::string fault = server.scans.command(kind, rest, messages);
  server.sendScan(fault, messages);
  return true;
}

// "scan KIND ARGS": the kind belongs to the command's name.
void joinScanKind(std::string &command, std::string &rest) {
  if (command != "scan") return;
  std::string kind, more;
  qxtools::splitCommand(rest, kind, more);
  command += " " + kind;
  rest = more;
}

// The scenario language: every command the server plays, with its help and
// an example line. Run, check and --help all read this table.
const std::vector<Command> &scriptCommands() {
  static const std::vector<Command> kCommands = {
      {"text", "TEXT", "server text for the player ('A')",
       "text Welcome to the reference server",
       [](Server &s, const std::string &rest) {
         s.sendScrambled("text \"" + rest + "\"", peer::serverText(rest));
         return true;
       }},
      {"directive", "LINE",
       "a directive line for the client's command processor",
       "directive QX_NETSTAT",
       [](Server &s, const std::string &rest) {
         s.sendScrambled("directive \"" + rest + "\"", peer::directive(rest));
         return true;
       }},
      {"alive", "", "alive request ('T')", "alive",
       [](Server &s, const std::string &) {
         s.sendScrambled("alive request", peer::aliveRequest());
         return true;
       }},
      {"query-alive", "", "alive request under 'B'", "query-alive",
       [](Server &s, const std::string &) {
         s.sendScrambled("alive request (query)", peer::queryAlive());
         return true;
       }},
      {"echo", "", "alive echo request", "echo",
       [](Server &s, const std::string &) {
         s.sendScrambled("alive echo request", peer::aliveEcho());
         return true;
       }},
      {"lookup", "NAME", "host-entry lookup", "lookup alpha",
       [](Server &s, const std::string &rest) {
         s.sendScrambled("lookup \"" + rest + "\"", peer::lookup(rest));
         return true;
       }},
      {"addressed", "GUID TEXT",
       "server text addressed to the server-assigned GUID",
       "addressed SrvGuid42 only for this client",
       [](Server &s, const std::string &rest) {
         const size_t space = rest.find(' ');
         const std::string guid = rest.substr(0, space);
         const std::string text =
             space == std::string::npos ? "" : rest.substr(space + 1);
         s.sendScrambled("addressed to " + guid + ": text \"" + text + "\"",
                         peer::identityAddressed(guid, s.numbers()[2],
                                                 peer::serverText(text)));
         return true;
       }},
      {"token-mismatch", "",
       "a plain packet with a wrong token; the client answers\n"
       "with its token, which the server keeps",
       "token-mismatch",
       [](Server &s, const std::string &) {
         s.sendPlain("plain packet with a wrong token", s.token() + 1,
                     peer::serverText("not for you"));
         return true;
       }},
      {"plain", "TEXT", "server text in plain framing with the kept token",
       "plain This text came in plain framing",
       [](Server &s, const std::string &rest) {
         s.sendPlain("plain text \"" + rest + "\"", s.token(),
                     peer::serverText(rest));
         return true;
       }},
      {"rule", "NAME KIND A [B]",
       "adds a rule to the server's variable rule set (sent by\n"
       "rules); KIND is in, out or exclude",
       "rule cl_maxpackets in 30 100",
       [](Server &s, const std::string &rest) {
         s.rules.rules.push_back(rest);
         return true;
       }},
      {"rules", "", "sends the rule set with its count line", "rules",
       [](Server &s, const std::string &) {
         s.sendRules(0, s.rules.rules.size(), true);
         return true;
       }},
      {"rules-partial", "N",
       "sends the first N rules without the count line; the\n"
       "client asks for the rest and the server answers",
       "rules-partial 2",
       [](Server &s, const std::string &rest) {
         s.sendRules(0, static_cast<size_t>(std::atoi(rest.c_str())), false);
         return true;
       }},
      {"cvar", "NAME", "asks for a variable's value (\"M\" reply)", "cvar rate",
       [](Server &s, const std::string &rest) {
         s.sendScrambled("cvar " + rest, peer::variableQuery(rest, false));
         return true;
       }},
      {"cvar-watch", "NAME", "the same, and asks for violation reports (\"L\")",
       "cvar-watch cl_maxpackets",
       [](Server &s, const std::string &rest) {
         s.sendScrambled("cvar-watch " + rest, peer::variableQuery(rest, true));
         return true;
       }},
      {"binds", "TEXT", "key-binding search", "binds attack",
       [](Server &s, const std::string &rest) {
         s.sendScrambled("binding search \"" + rest + "\"",
                         peer::bindingSearch(rest));
         return true;
       }},
      {"cvars", "TEXT", "variable search", "cvars r_",
       [](Server &s, const std::string &rest) {
         s.sendScrambled("variable search \"" + rest + "\"",
                         peer::variableSearch(rest));
         return true;
       }},
      {"user-cvars", "", "the player's own variables", "user-cvars",
       [](Server &s, const std::string &) {
         s.sendScrambled("user-created variables", peer::userVariablesQuery());
         return true;
       }},
      {"changed-cvars", "", "variables that differ from their defaults",
       "changed-cvars",
       [](Server &s, const std::string &) {
         s.sendScrambled("changed variables", peer::changedVariablesQuery());
         return true;
       }},
      {"list", "A B TEXT", "variable query list, acknowledged with a number",
       "list 77 75 players",
       [](Server &s, const std::string &rest) {
         std::istringstream args(rest);
         uint32_t a = 0, b = 0;
         std::string text;
         args >> a >> b;
         std::getline(args >> std::ws, text);
         s.sendScrambled("variable query list " + rest + " (expects " +
                             std::to_string(peer::listAcknowledgement(a, b)) +
                             ")",
                         peer::listRequest(a, b, text));
         return true;
       }},
      {"regname-password", "NAME PW",
       "the password the server knows for a registered name\n"
       "(NAME may hold blanks; PW is the last word)",
       "regname-password Clan Tag s3cret",
       [](Server &s, const std::string &rest) {
         const size_t space = rest.rfind(' ');
         if (space != std::string::npos)
           s.passwords[rest.substr(0, space)] = rest.substr(space + 1);
         return true;
       }},
      {"regnames", "",
       "asks for the registered-name report, printed with every\n"
       "digest checked",
       "regnames",
       [](Server &s, const std::string &) {
         s.sendScrambled("registered-name query", peer::registeredNamesQuery());
         return true;
       }},
      {"push", "FILE [drop N] [swap N]",
       "pushes FILE (relative to the working directory) under\n"
       "its own name in chunks; drop N loses chunk N, swap N\n"
       "sends it after chunk N + 1; the server answers the\n"
       "client's resend requests",
       "push wc001200.htm drop 3",
       [](Server &s, const std::string &rest) {
         if (startPush(s, rest))
           while (s.push.busy()) s.receive(kPollStep);
         return true;
       }},
      {"screenshot", "S N [W H X Y R]",
       "asks for a screenshot within S seconds, request number\n"
       "N, W x H pixels around X, Y percent, sampling rate R;\n"
       "the upload is saved in --shots as qxNNNNNN.png",
       "screenshot 2 42 640 480 50 50 4",
       [](Server &s, const std::string &rest) {
         sendScreenshot(s, "screenshot", rest);
         return true;
       }},
      {"screenshot-restart", "L C",
       "the upload with letter L goes on from chunk C ('-':\n"
       "header and every chunk again)",
       "screenshot-restart A 3",
       [](Server &s, const std::string &rest) {
         sendScreenshot(s, "screenshot-restart", rest);
         return true;
       }},
      {"control", "CLIENT AGENT [A,B,C,D [GUID]]",
       "control message: the versions the server wants, the host\n"
       "numbers of the channel key (the server's own by default)\n"
       "and the server-assigned GUID; the server keys the\n"
       "channel with the new numbers once the client is ready",
       "control 1199 1301 1234,77,250,9 SrvGuid42",
       [](Server &s, const std::string &rest) {
         s.sendControl(peer::parseControl(rest, s.numbers()));
         return true;
       }},
      {"order", "N [TEXT]", "agent order N with its argument text",
       "order 5 hello from the server",
       [](Server &s, const std::string &rest) {
         std::istringstream args(rest);
         int32_t order = 0;
         std::string text;
         args >> order;
         std::getline(args >> std::ws, text);
         s.sendScrambled("agent order " + rest, peer::agentOrder(order, text));
         return true;
       }},
      {"scan modules", "[game|all|none] [NAME...]",
       "the module table, file digests under the policy's\n"
       "module seed; the code of the game's modules (or every\n"
       "module, or none) compared with their files, and of each\n"
       "NAME too",
       "scan modules game",
       [](Server &s, const std::string &rest) {
         return scan(s, "modules", rest);
       }},
      {"scan code", "MODULE [all|COUNT [LENGTH]]",
       "a code challenge: COUNT ranges (8) of LENGTH bytes (64)\n"
       "at random in the executable sections of the policy's\n"
       "known-good file of MODULE (or all of them, up to 1 MiB),\n"
       "at its base in the last module table, digested with a\n"
       "fresh nonce",
       "scan code qxhost 8 64",
       [](Server &s, const std::string &rest) {
         return scan(s, "code", rest);
       }},
      {"scan hooks", "[imports] [all] [entries]",
       "hooks in the import tables of the game's modules\n"
       "(imports) or of every module (all), and jumps at the\n"
       "entries of exported functions (entries); imports and\n"
       "entries by default",
       "scan hooks imports entries",
       [](Server &s, const std::string &rest) {
         return scan(s, "hooks", rest);
       }},
      {"scan foreign", "", "executable memory outside every module",
       "scan foreign",
       [](Server &s, const std::string &rest) {
         return scan(s, "foreign", rest);
       }},
      {"scan patterns", "[images|other|all] [MOST]",
       "sends the policy's patterns as a new list (masked),\n"
       "then searches the module images, other memory or both\n"
       "(all) for at most MOST matches (256)",
       "scan patterns all 64",
       [](Server &s, const std::string &rest) {
         return scan(s, "patterns", rest);
       }},
      {"scan processes", "",
       "the policy's process name digests against the player's\n"
       "other processes (only while the player's QX_SYSTEM is 1)",
       "scan processes",
       [](Server &s, const std::string &rest) {
         return scan(s, "processes", rest);
       }},
      {"scan windows", "", "the same for the titles of top-level windows",
       "scan windows",
       [](Server &s, const std::string &rest) {
         return scan(s, "windows", rest);
       }},
      {"scan file", "PATH",
       "the digest of a file in the game's folder, against the\n"
       "policy's known-good digest",
       "scan file maps\\demo.bsp",
       [](Server &s, const std::string &rest) {
         return scan(s, "file", rest);
       }},
      {"scan status", "",
       "passes under way, messages ignored, patterns held and\n"
       "the seal allowance",
       "scan status",
       [](Server &s, const std::string &rest) {
         return scan(s, "status", rest);
       }},
      {"scan cancel", "", "stops every pass; their replies are dropped",
       "scan cancel",
       [](Server &s, const std::string &rest) {
         return scan(s, "cancel", rest);
       }},
      {"scan-form", "directive|message",
       "scan requests travel as QX_SCAN directive lines, or as\n"
       "messages of their own (the default)",
       "scan-form directive",
       [](Server &s, const std::string &rest) {
         s.scans.useDirectives(rest == "directive");
         return true;
       }},
      {"seal", "N E ALLOWANCE",
       "the client seals its next ALLOWANCE messages with\n"
       "modulus N (3 to 65535) and exponent E; the server opens\n"
       "them with the private exponent of N and E",
       "seal 60491 7 100",
       [](Server &s, const std::string &rest) {
         std::vector<peer::Outgoing> messages;
         const std::string fault = s.scans.seal(rest, messages);
         s.sendScan(fault, messages);
         return true;
       }},
      {"wait-scans", "MS",
       "receive until every scan asked is answered, at most\n"
       "MS milliseconds",
       "wait-scans 10000",
       [](Server &s, const std::string &rest) {
         s.awaitScans(std::atoi(rest.c_str()));
         return true;
       }},
      {"verdict", "", "prints the verdict of the scans so far", "verdict",
       [](Server &s, const std::string &) {
         std::printf("qxserver: %s", s.scans.judge().verdict().c_str());
         return true;
       }},
      {"wait", "MS", "only receive and print replies for MS milliseconds",
       "wait 1500",
       [](Server &s, const std::string &rest) {
         s.receive(std::atoi(rest.c_str()));
         return true;
       }},
      {"quit", "", "stop", "quit",
       [](Server &, const std::string &) { return false; }},
  };
  return kCommands;
}

// What is wrong with a script line, or "".
std::string checkLine(const std::string &line) {
  std::string command, rest;
  qxtools::splitCommand(line, command, rest);
  if (qxtools::isComment(command)) return "";
  if (command == "scan" && rest.empty())
    return "scan needs what to scan: modules, code, hooks, foreign, patterns, "
           "processes, windows, file, status or cancel";
  joinScanKind(command, rest);
  std::string fault = qxtools::checkCommand(scriptCommands(), command, rest);
  if (fault.empty() && command.rfind("scan ", 0) == 0)
    fault = peer::ScanSession::check(command.substr(5), rest);
  if (fault.empty() && command == "scan-form" && rest != "directive" &&
      rest != "message")
    fault = "scan-form is directive or message";
  if (fault.empty() && command == "seal") {
    std::vector<peer::Outgoing> none;
    peer::ScanSession probe(peer::ScanPolicy{}, 0);
    fault = probe.seal(rest, none);
  }
  return fault;
}

// Plays one script line; false ends the scenario. After a line that sent
// something the server listens for the replies a while.
bool play(Server &server, const std::string &line) {
  std::string command, rest;
  qxtools::splitCommand(line, command, rest);
  if (qxtools::isComment(command)) return true;
  joinScanKind(command, rest);
  const std::string fault = checkLine(line);
  if (!fault.empty()) {
    std::printf("qxserver: %s\n", fault.c_str());
    return true;
  }
  if (!qxtools::findCommand(scriptCommands(), command)->play(server, rest))
    return false;
  if (server.takeSent()) server.receive(kReplyWait);
  return true;
}

const char kAbout[] =
    "qxserver: the reference server. It listens on UDP on 127.0.0.1, waits\n"
    "up to 30 seconds for a host's connection request, then plays a scenario\n"
    "script of server messages to that host's client and prints every reply\n"
    "decoded. The script file is read and checked at start-up.\n"
    "\n"
    "usage: qxserver [options]\n"
    "\n";

const char kScriptAbout[] =
    "\n"
    "script commands (one a line, from --script or standard input; a line\n"
    "starting with # is a comment; words in [...] may be left out):\n";

std::string numbersText(const int32_t numbers[4]) {
  return std::to_string(numbers[0]) + "," + std::to_string(numbers[1]) + "," +
         std::to_string(numbers[2]) + "," + std::to_string(numbers[3]);
}

// "A,B,C,D": four whole numbers of 32 bits.
std::string readHostNumbers(const std::string &text, int32_t numbers[4]) {
  int32_t read[4];
  size_t at = 0;
  for (int i = 0; i < 4; ++i) {
    const size_t comma = i < 3 ? text.find(',', at) : text.size();
    if (comma == std::string::npos)
      return "\"" + text + "\" is not four numbers A,B,C,D";
    long long n = 0;
    const std::string error = qxtools::readNumber(text.substr(at, comma - at),
                                                  INT32_MIN, INT32_MAX, n);
    if (!error.empty()) return error;
    read[i] = static_cast<int32_t>(n);
    at = comma + 1;
  }
  std::copy(read, read + 4, numbers);
  return "";
}

std::vector<qxtools::Option> optionTable(Options &o) {
  return {
      qxtools::portOption(o.port),
      qxtools::textOption("--script", "FILE", "standard input",
                          "the scenario script to play", o.script),
      {"--numbers", "A,B,C,D", numbersText(o.numbers),
       "the host numbers the client derives its channel key from\n"
       "(0,0,0,0 for a host without an agent)",
       [&o](const std::string &v) { return readHostNumbers(v, o.numbers); }},
      qxtools::textOption("--shots", "DIR", "the working directory",
                          "folder where uploaded screenshots are saved",
                          o.shots),
      qxtools::textOption("--packages", "DIR", "none",
                          "folder of the update packages the server pushes "
                          "when the\nclient asks for them (\"la001301.htm\")",
                          o.packages),
      qxtools::textOption("--policy", "FILE", "none",
                          "the scans' policy: what the server knows and "
                          "allows\n(see the README); checked at start-up",
                          o.policy),
      qxtools::textOption("--record-baseline", "FILE", "none",
                          "at the end of the session, write the entries that "
                          "allow\nwhat it found, for a clean session's "
                          "baseline",
                          o.baseline),
      qxtools::switchOption(
          "--check", "check the script and stop, without listening", o.check),
  };
}

bool isFolder(const std::string &path, const char *role) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) return true;
  std::fprintf(stderr, "qxserver: the %s folder %s %s.\n", role, path.c_str(),
               std::filesystem::exists(path, error) ? "is not a folder"
                                                    : "does not exist");
  return false;
}

// Writes the entries that allow what the session found; the findings that
// no entry may allow (known cheats, failed challenges) are named instead.
bool recordBaseline(const std::string &path, const peer::ScanJudge &judge) {
  std::ofstream out(path, std::ios::binary);
  out << "# Baseline recorded by qxserver from a session taken as clean:\n"
         "# what it found, allowed. Include it from the policy.\n"
      << judge.baseline();
  if (!out) {
    std::fprintf(stderr, "qxserver: cannot write the baseline %s\n",
                 path.c_str());
    return false;
  }
  for (const peer::Finding &f : judge.findings())
    if (f.allowEntry.empty())
      std::printf("qxserver: not in the baseline (never allowed): %s\n",
                  f.what.c_str());
  std::printf("qxserver: baseline written to %s\n", path.c_str());
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  std::vector<std::string> lines;
  const int status = qxtools::startScriptedTool(
      "qxserver", argc, argv, optionTable(o), kAbout, kScriptAbout,
      scriptCommands(), o.script, lines, checkLine);
  if (status >= 0) return status;
  if (!isFolder(o.shots, "--shots") ||
      (!o.packages.empty() && !isFolder(o.packages, "--packages")))
    return qxtools::kExitFailure;
  peer::ScanPolicy policy;
  if (!o.policy.empty()) {
    const std::string faults = peer::readPolicy(o.policy, policy);
    if (!faults.empty()) {
      std::fprintf(stderr, "qxserver: the policy is not good:\n%s",
                   faults.c_str());
      return qxtools::kExitFailure;
    }
  }
  if (o.check) {
    std::printf("qxserver: %s is a good script of %zu lines\n",
                o.script.empty() ? "standard input" : o.script.c_str(),
                lines.size());
    return 0;
  }
  Server server(o, policy);
  if (!server.open(o.port)) {
    std::fprintf(stderr, "qxserver: cannot listen on port %d\n", o.port);
    return qxtools::kExitFailure;
  }
  if (!server.waitForClient(kClientWait)) {
    std::fprintf(stderr, "qxserver: no client connected\n");
    return qxtools::kExitFailure;
  }
  bool going = true;
  for (size_t i = 0; going && i < lines.size(); ++i)
    going = play(server, lines[i]);
  for (std::string line;
       going && o.script.empty() && std::getline(std::cin, line);)
    going = play(server, line);
  server.receive(kReplyWait);
  std::printf("qxserver: scenario done\n");
  if (server.scans.asked())
    std::printf("qxserver: %s", server.scans.judge().verdict().c_str());
  if (!o.baseline.empty() && !recordBaseline(o.baseline, server.scans.judge()))
    return qxtools::kExitFailure;
  return 0;
}
