// qxmaster: the reference master server. It listens on UDP on 127.0.0.1 and
// answers each master query with a master list reply ('1', scrambled with
// the nonce it reads from the query) and then pushes content transfers
// ('C'): master list texts and plain files named on its command line.
//
//   qxmaster [--port N] [--reply FILE] [--list FILE]... [--file FILE]...
//            [--compress] [--queries N] [--time MS]
//
//   --reply FILE  master list text sent as the '1' reply
//   --list FILE   master list text sent as a content transfer (its name
//                 carries the master list marker)
//   --file FILE   a file sent as a content transfer under its own name
//   --compress    content transfers travel zlib-compressed
//   --queries N   stop after answering N queries (default 1)
//   --time MS     stop after MS milliseconds (default 60000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/protocol.h"
#include "peer/master_peer.h"
#include "tools/common/loopback_udp.h"

namespace {

namespace peer = qx::peer;
using peer::Bytes;

constexpr int kPollStep = 50;  // ms

struct Options {
  int port = qx::protocol::kMasterPort;
  std::string reply;
  std::vector<std::string> lists;
  std::vector<std::string> files;
  bool compress = false;
  int queries = 1;
  int time = 60000;
};

bool readFile(const std::string &path, Bytes &out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  const std::string text = s.str();
  out.assign(text.begin(), text.end());
  return true;
}

std::string baseName(const std::string &path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

class MasterServer {
 public:
  explicit MasterServer(const Options &o) : options_(o) {}

  bool open() {
    socket_ = qxtools::openLoopbackUdp(options_.port);
    if (socket_ < 0) return false;
    std::printf("qxmaster: listening on 127.0.0.1:%d\n", options_.port);
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
    if (!options_.reply.empty()) {
      Bytes text;
      if (readFile(options_.reply, text)) {
        send(from, peer::masterListPacket(
                       nonce, std::string(text.begin(), text.end())));
        std::printf("qxmaster> master list reply (%zu bytes of text)\n",
                    text.size());
      }
    }
    for (const std::string &list : options_.lists)
      transfer(from, nonce, list, peer::masterListName(baseName(list)));
    for (const std::string &file : options_.files)
      transfer(from, nonce, file, baseName(file));
    std::fflush(stdout);
    ++answered_;
  }

  void transfer(const sockaddr_in &to, const std::string &nonce,
                const std::string &path, const std::string &name) {
    peer::ContentTransfer t;
    t.identifier = ++identifier_;
    t.name = name;
    t.compress = options_.compress;
    if (!readFile(path, t.content)) {
      std::printf("qxmaster: cannot read %s\n", path.c_str());
      return;
    }
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
  int socket_ = -1;
  int answered_ = 0;
  uint32_t identifier_ = 0;
};

bool parse(int argc, char **argv, Options &o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string &out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--port" && value(v)) {
      o.port = std::atoi(v.c_str());
    } else if (a == "--reply" && value(v)) {
      o.reply = v;
    } else if (a == "--list" && value(v)) {
      o.lists.push_back(v);
    } else if (a == "--file" && value(v)) {
      o.files.push_back(v);
    } else if (a == "--compress") {
      o.compress = true;
    } else if (a == "--queries" && value(v)) {
      o.queries = std::atoi(v.c_str());
    } else if (a == "--time" && value(v)) {
      o.time = std::atoi(v.c_str());
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
                 "usage: qxmaster [--port N] [--reply FILE] [--list FILE]... "
                 "[--file FILE]... [--compress] [--queries N] [--time MS]\n");
    return 2;
  }
  MasterServer server(options);
  if (!server.open()) {
    std::fprintf(stderr, "qxmaster: cannot listen on 127.0.0.1:%d\n",
                 options.port);
    return 1;
  }
  server.run();
  std::printf("qxmaster: done\n");
  return 0;
}
