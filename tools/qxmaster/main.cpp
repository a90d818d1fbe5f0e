// qxmaster: the reference master server. It listens on UDP on 127.0.0.1 and
// answers each master query with a master list reply ('1', scrambled with
// the nonce it reads from the query) and then pushes content transfers
// ('C'): master list texts and plain files named on its command line. Its
// options and their defaults are in optionTable(), which --help prints.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/protocol.h"
#include "peer/master_peer.h"
#include "tools/common/loopback_udp.h"
#include "tools/common/options.h"

namespace {

namespace peer = qx::peer;
using peer::Bytes;

constexpr int kPollStep = 50;  // ms

const char kAbout[] =
    "qxmaster: the reference master server. It listens on UDP on 127.0.0.1\n"
    "and answers each master query of a client with a master list reply,\n"
    "then pushes its content transfers: master list texts, which the client\n"
    "merges into its master list, and plain files, which it stores in its\n"
    "home directory. Every file is read at start-up.\n"
    "\n"
    "usage: qxmaster [options]\n"
    "\n";

struct Options {
  int port = qx::protocol::kMasterPort;
  std::string reply;
  std::vector<std::string> lists;
  std::vector<std::string> files;
  bool compress = false;
  int queries = 1;
  int time = 60000;  // ms
};

std::vector<qxtools::Option> optionTable(Options &o) {
  return {
      qxtools::portOption(o.port),
      qxtools::textOption("--reply", "FILE", "none (no master list reply)",
                          "master list text sent as the reply to each query",
                          o.reply),
      qxtools::listOption("--list", "FILE",
                          "master list text sent as a content transfer, "
                          "which the\nclient merges into its master list",
                          o.lists),
      qxtools::listOption("--file", "FILE",
                          "a file sent as a content transfer under its own "
                          "name,\nwhich the client stores in its home "
                          "directory",
                          o.files),
      qxtools::switchOption(
          "--compress", "content transfers travel zlib-compressed", o.compress),
      qxtools::numberOption("--queries", "N", "stop after answering N queries",
                            o.queries, 1, 1000000),
      qxtools::numberOption("--time", "MS", "stop after MS milliseconds",
                            o.time, 1, 86400000),
  };
}

// A file named by an option, read at start-up.
struct Content {
  std::string path;
  Bytes bytes;
};

bool readContent(const std::string &path, const char *role, Content &out) {
  std::string text;
  const std::string why = qxtools::readWholeFile(path, text);
  if (!why.empty()) {
    std::fprintf(stderr, "qxmaster: cannot read the %s %s: %s.\n", role,
                 path.c_str(), why.c_str());
    return false;
  }
  out.path = path;
  out.bytes.assign(text.begin(), text.end());
  return true;
}

// Warns of what a client will not take in full: the part of a reply past
// what it keeps, a content transfer over its limit.
void warnOfLimits(const Content &c, bool reply) {
  const size_t size = c.bytes.size();
  if (reply && size > static_cast<size_t>(qx::protocol::kMasterReplyMax))
    std::fprintf(stderr,
                 "qxmaster: warning: the reply %s has %zu bytes; a client "
                 "keeps only the first %d and ignores the rest. Send the "
                 "rest with --list.\n",
                 c.path.c_str(), size, qx::protocol::kMasterReplyMax);
  if (!reply && size > qx::protocol::kContentMaxSize)
    std::fprintf(stderr,
                 "qxmaster: warning: %s has %zu bytes; a client refuses a "
                 "content transfer of more than %u bytes.\n",
                 c.path.c_str(), size,
                 static_cast<unsigned>(qx::protocol::kContentMaxSize));
}

// Every file the options name, read and checked at start-up.
struct Contents {
  bool haveReply = false;
  Content reply;
  std::vector<Content> lists, files;
};

bool readAll(const std::vector<std::string> &paths, const char *role,
             std::vector<Content> &out) {
  for (const std::string &path : paths) {
    Content c;
    if (!readContent(path, role, c)) return false;
    warnOfLimits(c, false);
    out.push_back(std::move(c));
  }
  return true;
}

bool readContents(const Options &o, Contents &c) {
  if (!o.reply.empty()) {
    if (!readContent(o.reply, "reply", c.reply)) return false;
    c.haveReply = true;
    warnOfLimits(c.reply, true);
  }
  return readAll(o.lists, "master list", c.lists) &&
         readAll(o.files, "file", c.files);
}

std::string baseName(const std::string &path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

class MasterServer {
 public:
  MasterServer(const Options &o, Contents contents)
      : options_(o), contents_(std::move(contents)) {}

  bool open() {
    socket_ = qxtools::openLoopbackUdp(options_.port);
    if (socket_ < 0) return false;
    std::printf("qxmaster: listening on 127.0.0.1:%d\n",
                qxtools::boundPort(socket_));
    std::fflush(stdout);
    return true;
  }

  void run() {
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(options_.time);
    while (answered_ < options_.queries &&
           std::chrono::steady_clock::now() < end) {
      Bytes datagram;
      sockaddr_in from{};
      if (qxtools::receiveDatagram(socket_, kPollStep, datagram, from) > 0)
        handle(datagram, from);
    }
    qxtools::closeLoopbackUdp(socket_);
  }

 private:
  void handle(const Bytes &datagram, const sockaddr_in &from) {
    std::string nonce;
    if (!peer::readMasterQuery(datagram, nonce)) {
      std::printf("qxmaster: ignored a datagram of %zu bytes\n",
                  datagram.size());
      return;
    }
    std::printf("qxmaster: master query from port %d, nonce %zu characters\n",
                ntohs(from.sin_port), nonce.size());
    if (contents_.haveReply) {
      const Bytes &text = contents_.reply.bytes;
      send(from, peer::masterListPacket(nonce,
                                        std::string(text.begin(), text.end())));
      std::printf("qxmaster> master list reply (%zu bytes of text)\n",
                  text.size());
    }
    for (const Content &list : contents_.lists)
      transfer(from, nonce, list, peer::masterListName(baseName(list.path)));
    for (const Content &file : contents_.files)
      transfer(from, nonce, file, baseName(file.path));
    std::fflush(stdout);
    ++answered_;
  }

  void transfer(const sockaddr_in &to, const std::string &nonce,
                const Content &content, const std::string &name) {
    peer::ContentTransfer t;
    t.identifier = ++identifier_;
    t.name = name;
    t.compress = options_.compress;
    t.content = content.bytes;
    const std::vector<Bytes> packets = t.packets(nonce);
    for (const Bytes &p : packets) send(to, p);
    std::printf(
        "qxmaster> content transfer \"%s\": %zu bytes (%zu sent) in %zu "
        "chunks\n",
        name.c_str(), t.content.size(), t.transferred().size(),
        packets.size() - 1);
  }

  void send(const sockaddr_in &to, const Bytes &packet) {
    qxtools::sendDatagram(socket_, packet, to);
    // A short pause between datagrams keeps a slow receiver's queue short.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }

  Options options_;
  Contents contents_;
  int socket_ = -1;
  int answered_ = 0;
  uint32_t identifier_ = 0;
};

}  // namespace

int main(int argc, char **argv) {
  Options o;
  switch (qxtools::parseOptions("qxmaster", argc, argv, optionTable(o))) {
    case qxtools::Parsed::kHelp:
      std::printf("%s%s", kAbout, qxtools::optionsHelp(optionTable(o)).c_str());
      return 0;
    case qxtools::Parsed::kError:
      return qxtools::kExitUsage;
    case qxtools::Parsed::kRun:
      break;
  }
  Contents contents;
  if (!readContents(o, contents)) return qxtools::kExitFailure;
  MasterServer server(o, std::move(contents));
  if (!server.open()) {
    std::fprintf(stderr, "qxmaster: cannot listen on 127.0.0.1:%d\n", o.port);
    return qxtools::kExitFailure;
  }
  server.run();
  std::printf("qxmaster: done\n");
  return 0;
}
