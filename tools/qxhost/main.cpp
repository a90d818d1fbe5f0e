// qxhost: the reference host. It loads the client library by path, owns a
// game interface record, runs frames at a steady pace and hands the client
// console lines read from a script or standard input (host event 14).
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
// Its options are in optionTable() and its script commands in
// scriptCommands(); --help prints both.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/protocol.h"
#include "game.h"
#include "picture.h"
#include "qx/qxcl.h"
#include "server_link.h"
#include "tools/common/options.h"
#include "tools/common/script.h"

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
  bool check = false;  // check the script and stop
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

// Libraries the script loaded into the game's process (a module of the
// game, or a test cheat injected into it), kept until the host ends.
std::vector<void *> &loadedLibraries() {
  static std::vector<void *> libraries;
  return libraries;
}

void *symbolOf(void *library, const char *name) {
#if defined(_WIN32)
  return reinterpret_cast<void *>(
      GetProcAddress(static_cast<HMODULE>(library), name));
#else
  return dlsym(library, name);
#endif
}

void loadLibrary(const std::string &path) {
#if defined(_WIN32)
  void *lib = LoadLibraryA(path.c_str());
  const std::string why = "error " + std::to_string(GetLastError());
#else
  void *lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  const std::string why = lib ? "" : dlerror();
#endif
  if (!lib) {
    std::printf("qxhost: cannot load %s: %s\n", path.c_str(), why.c_str());
    return;
  }
  loadedLibraries().push_back(lib);
  std::printf("qxhost: loaded %s into the game's process\n", path.c_str());
}

// Switches a test cheat on or off through the last loaded library that
// offers them: "qx_cheat_on" returns 0 when the cheat is on.
void switchCheat(const std::string &kind, bool on) {
  using On = int (*)(const char *);
  using Off = void (*)(const char *);
  const char *name = on ? "qx_cheat_on" : "qx_cheat_off";
  for (auto lib = loadedLibraries().rbegin(); lib != loadedLibraries().rend();
       ++lib) {
    void *symbol = symbolOf(*lib, name);
    if (!symbol) continue;
    if (!on) {
      reinterpret_cast<Off>(symbol)(kind.c_str());
      std::printf("qxhost: cheat %s is off\n", kind.c_str());
    } else if (reinterpret_cast<On>(symbol)(kind.c_str()) == 0) {
      std::printf("qxhost: cheat %s is on\n", kind.c_str());
    } else {
      std::printf("qxhost: cheat %s could not be switched on\n", kind.c_str());
    }
    return;
  }
  std::printf("qxhost: no loaded library offers %s\n", name);
}

// Writes the clear bytes of the loaded test cheat's pattern to a file, from
// which an operator's tool makes the policy's pattern entry.
void writeCheatPattern(const std::string &path) {
  using Pattern = void (*)(uint8_t *);
  constexpr size_t kPatternSize = 16;  // QX_CHEAT_PATTERN_SIZE
  for (auto lib = loadedLibraries().rbegin(); lib != loadedLibraries().rend();
       ++lib) {
    void *symbol = symbolOf(*lib, "qx_cheat_pattern");
    if (!symbol) continue;
    uint8_t bytes[kPatternSize];
    reinterpret_cast<Pattern>(symbol)(bytes);
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes), kPatternSize);
    std::printf(out ? "qxhost: the cheat's pattern is in %s\n"
                    : "qxhost: cannot write %s\n",
                path.c_str());
    return;
  }
  std::printf("qxhost: no loaded library offers qx_cheat_pattern\n");
}

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

using Command = qxtools::ScriptCommand<Host>;

// The host's script commands, each a line beginning with '@'; every other
// line is console text for the client. Run, check and --help all read this
// table.
const std::vector<Command> &scriptCommands() {
  static const std::vector<Command> kCommands = {
      {"@wait", "MS", "keep running frames for MS milliseconds", "@wait 1500",
       [](Host &host, const std::string &rest) {
         host.run(std::atoi(rest.c_str()));
         return true;
       }},
      {"@set", "NAME [VALUE]",
       "set a game variable, as the player would in the game",
       "@set cl_maxpackets 125",
       [](Host &, const std::string &rest) {
         const size_t s = rest.find(' ');
         qxhost::game().set(rest.substr(0, s),
                            s == std::string::npos ? "" : rest.substr(s + 1));
         return true;
       }},
      {"@game", "TEXT", "run TEXT in the game's own console",
       "@game set my_alias say hi",
       [](Host &, const std::string &rest) {
         std::printf("] %s\n", rest.c_str());
         qxhost::game().execute(rest);
         return true;
       }},
      {"@echo", "[TEXT]", "print a line of the host",
       "@echo The player joins the server",
       [](Host &, const std::string &rest) {
         std::printf("\n== %s\n", rest.c_str());
         return true;
       }},
      {"@cat", "FILE", "show a file of the client's home directory",
       "@cat qxcl.cfg",
       [](Host &, const std::string &rest) {
         showFile(rest);
         return true;
       }},
      {"@complete", "TEXT",
       "ask the client to complete TEXT (the console's tab key)",
       "@complete qx_cvar",
       [](Host &host, const std::string &rest) {
         host.complete(rest);
         return true;
       }},
      {"@resolve", "NAME ADDR",
       "the game has resolved host NAME to ADDR: its answer to\n"
       "the client's \"qx_isresolved NAME\"",
       "@resolve master1.quellor.example 127.0.0.1",
       [](Host &, const std::string &rest) {
         const size_t s = rest.find(' ');
         qxhost::game().set("qx_isresolved " + rest.substr(0, s),
                            s == std::string::npos ? "" : rest.substr(s + 1));
         return true;
       }},
      {"@load", "LIBRARY",
       "load a library into the game's process and keep it there\n"
       "(a module of the game, or a test cheat injected into it)",
       "@load ./libqxtest_target.so",
       [](Host &, const std::string &rest) {
         loadLibrary(rest);
         return true;
       }},
      {"@cheat", "KIND",
       "switch on a test cheat of a loaded cheat library (the\n"
       "kinds it offers: module, code, got, jump, mapped,\n"
       "pattern, process, window)",
       "@cheat jump",
       [](Host &, const std::string &rest) {
         switchCheat(rest, true);
         return true;
       }},
      {"@cheat-off", "KIND", "switch the test cheat off again, undoing it",
       "@cheat-off jump",
       [](Host &, const std::string &rest) {
         switchCheat(rest, false);
         return true;
       }},
      {"@cheat-pattern", "FILE",
       "write the bytes of the loaded test cheat's pattern to\n"
       "FILE, for the policy's pattern entry",
       "@cheat-pattern cheat-pattern.bin",
       [](Host &, const std::string &rest) {
         writeCheatPattern(rest);
         return true;
       }},
      {"@quit", "", "stop", "@quit",
       [](Host &, const std::string &) { return false; }},
  };
  return kCommands;
}

bool isCommandLine(const std::string &command) {
  return !command.empty() && command[0] == '@';
}

// What is wrong with a script line, or "". Console text is the client's to
// judge.
std::string checkLine(const std::string &line) {
  std::string command, rest;
  qxtools::splitCommand(line, command, rest);
  if (!isCommandLine(command)) return "";
  return qxtools::checkCommand(scriptCommands(), command, rest);
}

// Handles one script line; false ends the session.
bool scriptLine(Host &host, std::string line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
    line.pop_back();
  std::string command, rest;
  qxtools::splitCommand(line, command, rest);
  if (qxtools::isComment(command)) return true;
  if (!isCommandLine(command)) {
    host.consoleLine(line);
    host.run(150);
    return true;
  }
  const std::string fault = checkLine(line);
  bool going = true;
  if (!fault.empty())
    std::printf("qxhost: %s\n", fault.c_str());
  else
    going = qxtools::findCommand(scriptCommands(), command)->play(host, rest);
  std::fflush(stdout);
  return going;
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

const char kAbout[] =
    "qxhost: the reference host, a small game that loads the client library\n"
    "and plays a player: it runs frames at a steady pace and hands the client\n"
    "console lines from a script or standard input. With --server the game\n"
    "connects to a game server (such as qxserver) over UDP. The script file\n"
    "is read and checked at start-up.\n"
    "\n"
    "usage: qxhost [options]\n"
    "\n";

const char kScriptAbout[] =
    "\n"
    "script (one line at a time, from --script or standard input): a line\n"
    "starting with # is a comment, a line starting with @ is one of the host\n"
    "commands below, and every other line is console text for the client,\n"
    "as the player types it (example: qx_Ver). Words in [...] may be left\n"
    "out.\n";

// "HOST:PORT" with a port from 1 to 65535.
std::string checkServer(const std::string &text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0)
    return "\"" + text + "\" is not HOST:PORT";
  long long port = 0;
  const std::string error =
      qxtools::readNumber(text.substr(colon + 1), 1, 65535, port);
  return error.empty() ? "" : "the port " + error;
}

std::vector<qxtools::Option> optionTable(Options &o) {
  return {
      qxtools::textOption("--library", "PATH", kDefaultLibrary,
                          "the client library to load", o.library),
      qxtools::textOption("--home", "DIR", "the working directory",
                          "the game's home folder (fs_homepath); the "
                          "client keeps\nits files in qx there",
                          o.home),
      qxtools::textOption("--script", "FILE", "standard input",
                          "the script of the player's lines", o.script),
      qxtools::numberOption("--fps", "N", "frames a second", o.fps, 1, 1000),
      {"--server", "HOST:PORT", "none (no server)",
       "connect to the game server at HOST:PORT over UDP",
       [&o](const std::string &v) {
         const std::string error = checkServer(v);
         if (error.empty()) o.server = v;
         return error;
       }},
      qxtools::switchOption("--check",
                            "check the script and stop, without loading the "
                            "client",
                            o.check),
  };
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  std::vector<std::string> lines;
  const int status = qxtools::startScriptedTool(
      "qxhost", argc, argv, optionTable(options), kAbout, kScriptAbout,
      scriptCommands(), options.script, lines, checkLine);
  if (status >= 0) return status;
  if (options.check) {
    std::printf(
        "qxhost: %s is a good script of %zu lines\n",
        options.script.empty() ? "standard input" : options.script.c_str(),
        lines.size());
    return 0;
  }
  if (options.library.empty()) options.library = kDefaultLibrary;
  if (options.home.empty()) {
    std::error_code error;
    options.home = std::filesystem::current_path(error).string();
  }
  Client client;
  if (!loadClient(options.library, client)) {
    std::fprintf(stderr, "qxhost: cannot load %s\n", options.library.c_str());
    return qxtools::kExitFailure;
  }
  qxhost::Game &g = qxhost::game();
  g.set("fs_homepath", options.home);
  std::printf(
      "qxhost: loaded %s (client version %ld)\n", options.library.c_str(),
      static_cast<long>(client.cb(&g.gi, QX_CB_VERSION, 0, nullptr, 0)));

  qxhost::openWindow();
  Host host(options, client);
  host.run(300);  // the client starts in the first frames
  if (!options.server.empty() && !connectToServer(host, options.server))
    return qxtools::kExitFailure;
  bool going = true;
  for (size_t i = 0; going && i < lines.size(); ++i)
    going = scriptLine(host, lines[i]);
  for (std::string line;
       going && options.script.empty() && std::getline(std::cin, line);)
    going = scriptLine(host, line);
  host.run(300);
  std::printf("qxhost: done after %u frames\n", g.frames);
  return 0;
}
