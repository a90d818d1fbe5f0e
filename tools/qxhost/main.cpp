// qxhost: the reference host. It loads the client library by path, owns a
// game interface record, runs frames at a steady pace and hands the client
// console lines read from a script or standard input (host event 14).
//
//   qxhost [--library PATH] [--home DIR] [--script FILE] [--fps N]
//          [--server HOST:PORT]
//
// With --server the game connects to a game server over UDP: its connection
// request (with the client's connect hook) goes out first, the client's
// packets follow as datagrams, and the server's datagrams reach the client
// as host event 13.
//
// When the client has prepared a replacement of itself (the record's
// replacement-ready flag), the host unloads it at the next frame boundary,
// loads qxclnew from the client's directory in its place and carries on.
//
// Script lines are console text for the client, except:
//   # ...              a comment
//   @wait MS           keep running frames for MS milliseconds
//   @set NAME VALUE    set a game variable (as the player would in the game)
//   @game TEXT         run TEXT in the game's own console
//   @echo TEXT         print a line of the host
//   @cat FILE          show a file of the client's home directory
//   @complete TEXT     ask the client to complete TEXT (the console's tab key)
//   @resolve NAME ADDR the game has resolved host NAME to ADDR: its answer
//                      to the client's "qx_isresolved NAME"
//   @quit              stop
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "common/protocol.h"
#include "game.h"
#include "picture.h"
#include "qx/qxcl.h"
#include "server_link.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

struct Options {
  std::string library;
  std::string home;
  std::string script;
  std::string server;
  int fps = 60;
};

struct Client {
  void *library = nullptr;
  QxFrameEntryFn ca = nullptr;
  QxEventEntryFn cb = nullptr;
};

#if defined(_WIN32)
const char *kDefaultLibrary = "qxcl.dll";
#else
const char *kDefaultLibrary = "./libqxcl.so";
#endif

bool loadClient(const std::string &path, Client &client) {
#if defined(_WIN32)
  HMODULE lib = LoadLibraryA(path.c_str());
  if (!lib) return false;
  client.library = lib;
  client.ca = reinterpret_cast<QxFrameEntryFn>(
      reinterpret_cast<void *>(GetProcAddress(lib, "ca")));
  client.cb = reinterpret_cast<QxEventEntryFn>(
      reinterpret_cast<void *>(GetProcAddress(lib, "cb")));
#else
  void *lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    std::fprintf(stderr, "qxhost: %s\n", dlerror());
    return false;
  }
  client.library = lib;
  client.ca = reinterpret_cast<QxFrameEntryFn>(dlsym(lib, "ca"));
  client.cb = reinterpret_cast<QxEventEntryFn>(dlsym(lib, "cb"));
#endif
  return client.ca && client.cb;
}

void unloadClient(Client &client) {
#if defined(_WIN32)
  if (client.library) FreeLibrary(static_cast<HMODULE>(client.library));
#else
  if (client.library) dlclose(client.library);
#endif
  client = Client{};
}

std::string homeFile(const std::string &name) {
  qxhost::Game &g = qxhost::game();
  std::string dir = g.gi.homeDir;
  if (dir.empty()) {
    const qxhost::Cvar *home = g.find("fs_homepath");
    dir = (home ? home->value : std::string(".")) + "/qx/";
  }
#if !defined(_WIN32)
  for (char &c : dir)
    if (c == '\\') c = '/';
#endif
  return dir + name;
}

class Host {
 public:
  Host(const Options &options, Client client)
      : client_(client),
        frameTime_(1000 / (options.fps > 0 ? options.fps : 60)) {}

  // Runs frames for the given time at the host's pace.
  void run(int ms) {
    const auto end =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    do {
      frame();
      std::this_thread::sleep_for(std::chrono::milliseconds(frameTime_));
    } while (std::chrono::steady_clock::now() < end);
  }

  void consoleLine(const std::string &line) {
    qxhost::Game &g = qxhost::game();
    std::printf("] %s\n", line.c_str());
    if (!client_.cb) return;
    const intptr_t r =
        client_.cb(&g.gi, QX_EV_CONSOLE_LINE, static_cast<int32_t>(line.size()),
                   line.c_str(), 0);
    if (r)
      std::printf("qxhost: the client refused the line: %s\n",
                  reinterpret_cast<const char *>(r));
    std::fflush(stdout);
  }

  // The console's tab key: the client completes the text in place or lists
  // the names that begin with it.
  void complete(const std::string &text) {
    qxhost::Game &g = qxhost::game();
    char buffer[256] = {};
    std::snprintf(buffer, sizeof buffer, "%s", text.c_str());
    std::printf("] %s<TAB>\n", buffer);
    if (client_.cb) client_.cb(&g.gi, QX_CB_COMPLETE, 0, buffer, 0);
    if (text != buffer) std::printf("] %s\n", buffer);
    std::fflush(stdout);
  }

  void frame() {
    qxhost::Game &g = qxhost::game();
    if (!client_.ca) return;  // no client loaded any more
    ++g.frames;
    qxhost::pumpWindow();
    for (const std::vector<uint8_t> &packet : qxhost::linkReceive())
      client_.cb(&g.gi, QX_EV_SERVER_PACKET,
                 static_cast<int32_t>(packet.size()), packet.data(), 0);
    if (const char *error = client_.ca(&g.gi, 0)) {
      if (error != lastError_) std::printf("qxhost: client frame: %s\n", error);
      lastError_ = error;
    }
    if (g.gi.replacementReady) switchToReplacement();
  }

  // Between two frames: the old client goes, its replacement comes. The
  // client's operations in the record belong to the library that goes.
  void switchToReplacement() {
    qxhost::Game &g = qxhost::game();
    const std::string path = homeFile(qx::protocol::kThisPlatform.clientFile);
    std::printf("qxhost: the client is ready to be replaced; loading %s\n",
                path.c_str());
    g.gi.replacementReady = 0;
    g.gi.digest = nullptr;
    g.gi.connectHook = nullptr;
    g.gi.secondHook = nullptr;
    g.gi.thirdHook = nullptr;
    unloadClient(client_);
    lastError_ = nullptr;
    if (!loadClient(path, client_)) {
      std::printf("qxhost: cannot load %s; the game goes on without a client\n",
                  path.c_str());
      client_ = Client{};
    } else {
      std::printf(
          "qxhost: switched to %s (client version %ld)\n", path.c_str(),
          static_cast<long>(client_.cb(&g.gi, QX_CB_VERSION, 0, nullptr, 0)));
    }
    std::fflush(stdout);
  }

  Client client_;

 private:
  int frameTime_;
  const char *lastError_ = nullptr;
};

void showFile(const std::string &name) {
  std::ifstream in(homeFile(name), std::ios::binary);
  if (!in) {
    std::printf("qxhost: no file %s\n", name.c_str());
    return;
  }
  std::printf("---- %s ----\n", name.c_str());
  std::string line;
  while (std::getline(in, line)) {
    bool crlf = !line.empty() && line.back() == '\r';
    if (crlf) line.pop_back();
    std::printf("%s%s\n", line.c_str(), crlf ? "  (CR LF)" : "");
  }
  std::printf("----\n");
  std::fflush(stdout);
}

// Handles one script line; false ends the session.
bool scriptLine(Host &host, std::string line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
    line.pop_back();
  if (line.empty() || line[0] == '#') return true;
  if (line[0] != '@') {
    host.consoleLine(line);
    host.run(150);
    return true;
  }
  const size_t space = line.find(' ');
  const std::string word = line.substr(
      1, space == std::string::npos ? std::string::npos : space - 1);
  const std::string rest =
      space == std::string::npos ? "" : line.substr(space + 1);
  qxhost::Game &g = qxhost::game();
  if (word == "wait") {
    host.run(std::atoi(rest.c_str()));
  } else if (word == "set") {
    const size_t s = rest.find(' ');
    g.set(rest.substr(0, s), s == std::string::npos ? "" : rest.substr(s + 1));
  } else if (word == "game") {
    std::printf("] %s\n", rest.c_str());
    g.execute(rest);
  } else if (word == "echo") {
    std::printf("\n== %s\n", rest.c_str());
  } else if (word == "cat") {
    showFile(rest);
  } else if (word == "resolve") {
    const size_t s = rest.find(' ');
    g.set("qx_isresolved " + rest.substr(0, s),
          s == std::string::npos ? "" : rest.substr(s + 1));
  } else if (word == "complete") {
    host.complete(rest);
  } else if (word == "quit") {
    return false;
  } else {
    std::printf("qxhost: unknown script command @%s\n", word.c_str());
  }
  std::fflush(stdout);
  return true;
}

// Opens the link and sends the game's connection request, which the
// client's connect hook extends with the player GUID.
bool connectToServer(Host &host, const std::string &server) {
  qxhost::Game &g = qxhost::game();
  if (!qxhost::linkOpen(server)) {
    std::fprintf(stderr, "qxhost: cannot reach %s\n", server.c_str());
    return false;
  }
  std::printf("qxhost: connecting to %s\n", server.c_str());
  char request[1200] = "connect \\name\\Player";
  int32_t length = static_cast<int32_t>(std::strlen(request));
  if (g.gi.connectHook) {
    if (const char *error = g.gi.connectHook(2, request, &length))
      std::printf("qxhost: connect hook: %s\n", error);
  }
  qxhost::linkSend(request, length);
  g.serverAddress = server;
  host.run(200);
  return true;
}

bool parse(int argc, char **argv, Options &o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string &out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string fps;
    if (a == "--library") {
      if (!value(o.library)) return false;
    } else if (a == "--home") {
      if (!value(o.home)) return false;
    } else if (a == "--script") {
      if (!value(o.script)) return false;
    } else if (a == "--server") {
      if (!value(o.server)) return false;
    } else if (a == "--fps") {
      if (!value(fps)) return false;
      o.fps = std::atoi(fps.c_str());
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
                 "usage: qxhost [--library PATH] [--home DIR] [--script FILE] "
                 "[--fps N] [--server HOST:PORT]\n");
    return 2;
  }
  if (options.library.empty()) options.library = kDefaultLibrary;
  Client client;
  if (!loadClient(options.library, client)) {
    std::fprintf(stderr, "qxhost: cannot load %s\n", options.library.c_str());
    return 1;
  }
  qxhost::Game &g = qxhost::game();
  if (!options.home.empty()) g.set("fs_homepath", options.home);
  std::printf(
      "qxhost: loaded %s (client version %ld)\n", options.library.c_str(),
      static_cast<long>(client.cb(&g.gi, QX_CB_VERSION, 0, nullptr, 0)));

  qxhost::openWindow();
  Host host(options, client);
  host.run(300);  // the client starts in the first frames
  if (!options.server.empty() && !connectToServer(host, options.server))
    return 1;
  std::ifstream file;
  std::istream *in = &std::cin;
  if (!options.script.empty()) {
    file.open(options.script);
    if (!file) {
      std::fprintf(stderr, "qxhost: cannot read %s\n", options.script.c_str());
      return 1;
    }
    in = &file;
  }
  std::string line;
  while (std::getline(*in, line))
    if (!scriptLine(host, line)) break;
  host.run(300);
  std::printf("qxhost: done after %u frames\n", g.frames);
  return 0;
}
