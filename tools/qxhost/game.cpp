#include "game.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "picture.h"
#include "server_link.h"

namespace qxhost {

namespace {

std::string lower(std::string s) {
  for (char &c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

void answer(char *buffer, int32_t size, const std::string &text) {
  if (buffer && size > 0)
    std::snprintf(buffer, static_cast<size_t>(size), "%s", text.c_str());
}

bool contains(const std::string &text, const std::string &part) {
  return lower(text).find(lower(part)) != std::string::npos;
}

// ---- key bindings and variable enumeration --------------------------------

// "%d %s": the next key from that index whose command contains the text.
intptr_t findBinding(Game &g, char *buffer, int32_t size) {
  char *rest = nullptr;
  long from = std::strtol(buffer, &rest, 10);
  const std::string text = rest && *rest == ' ' ? rest + 1 : "";
  if (from < 0) from = 0;
  for (size_t i = static_cast<size_t>(from); i < g.keys.size(); ++i)
    if (!g.keys[i].command.empty() && contains(g.keys[i].command, text)) {
      answer(buffer, size, std::to_string(i));
      return 0;
    }
  answer(buffer, size, "-1");
  return 0;
}

intptr_t keyText(Game &g, char *buffer, int32_t size, bool name) {
  const long i = std::strtol(buffer, nullptr, 10);
  if (i < 0 || static_cast<size_t>(i) >= g.keys.size()) return 1;
  const KeyBinding &k = g.keys[static_cast<size_t>(i)];
  answer(buffer, size, name ? k.key : k.command);
  return 0;
}

// The next variable from pos that accept takes; null, and pos back at the
// start, at the end of the list.
template <typename Accept>
Cvar *nextCvar(Game &g, size_t &pos, Accept accept) {
  while (pos < g.cvars.size()) {
    Cvar &v = g.cvars[pos++];
    if (accept(v)) return &v;
  }
  pos = 0;
  return nullptr;
}

intptr_t enumerate(Game &g, int32_t code, char *buffer, int32_t size) {
  if (code == QX_Q_CVAR_FIND) {
    const std::string text = buffer;
    const Cvar *v = nextCvar(g, g.findPosition, [&](const Cvar &c) {
      return contains(c.name, text);
    });
    answer(buffer, size, v ? v->name : "");
    return 0;
  }
  if (code == QX_Q_CVAR_NEXT_USER) {
    const Cvar *v =
        nextCvar(g, g.userPosition, [](const Cvar &) { return true; });
    if (!v) return 0;
    answer(buffer, size, std::to_string(v->flags));
    return reinterpret_cast<intptr_t>(v->name.c_str());
  }
  const Cvar *v = nextCvar(g, g.changedPosition, [](const Cvar &c) {
    return c.value != c.defaultValue;
  });
  if (!v) return 0;
  answer(buffer, size, v->value);
  return reinterpret_cast<intptr_t>(v->name.c_str());
}

// ---- the record's callbacks ----------------------------------------------

void QX_CDECL namedOp(const char *name, const char *argument) {
  const std::string op = name ? name : "";
  const std::string arg = argument ? argument : "";
  if (op == "set_cl_quellor")
    game().set("cl_quellor", arg);
  else if (op == "Cmd_Exec")
    game().execute(arg);
}

intptr_t QX_CDECL query(int32_t code, char *buffer, int32_t size) {
  Game &g = game();
  switch (code) {
    case QX_Q_CVAR: {
      const Cvar *v = buffer ? g.find(buffer) : nullptr;
      if (!v) return 1;
      answer(buffer, size, v->value);
      return 0;
    }
    case QX_Q_SERVER_ADDRESS:
      answer(buffer, size, g.serverAddress);
      return 0;
    case QX_Q_BIND_FIND:
      return findBinding(g, buffer, size);
    case QX_Q_BIND_TEXT:
    case QX_Q_BIND_NAME:
      return keyText(g, buffer, size, code == QX_Q_BIND_NAME);
    case QX_Q_CVAR_FIND:
    case QX_Q_CVAR_NEXT_USER:
    case QX_Q_CVAR_NEXT_CHANGED:
      return enumerate(g, code, buffer, size);
    case QX_Q_LIST_ENTRY: {
      // A short numbered list; past its end the number comes back.
      static const char *const kEntries[] = {"alpha 10.0.0.7 27960",
                                             "beta 10.0.0.8 27961", "\\"};
      const unsigned long index =
          buffer ? std::strtoul(buffer, nullptr, 10) : 0;
      if (index < sizeof kEntries / sizeof kEntries[0])
        answer(buffer, size, kEntries[index]);
      return 0;
    }
    case QX_Q_SS_LOG_DETAIL: {  // screenshot details by name
      const std::string name = buffer ? buffer : "";
      if (name == QX_SS_DETAIL_GAME) answer(buffer, size, "QxHost");
      if (name == QX_SS_DETAIL_MAP) answer(buffer, size, "meadow");
      if (name == QX_SS_DETAIL_PLAYER)
        answer(buffer, size, g.find("name") ? g.find("name")->value : "");
      return 0;
    }
    case QX_Q_HOST_REPORT:
      answer(buffer, size, "qxhost frames=" + std::to_string(g.frames));
      return 1;
    default:
      return 0;
  }
}

void QX_CDECL print(const char *text, int32_t) {
  consolePrint(game().gi.msgPrefix, text ? text : "");
}

// Without a server link the game is offline and its packets go nowhere.
void QX_CDECL sendToServer(int32_t length, const void *packet) {
  linkSend(packet, length);
}
void QX_CDECL sendOob(const char *address, int32_t port, int32_t length,
                      const void *packet) {
  linkSendTo(address, port, packet, length);
}

struct Defaults {
  const char *name, *value;
  uint32_t flags;
};

// A typical game's variables, with their flags and defaults.
const Defaults kCvars[] = {
    {"cl_quellor", "1", kArchive},
    {"fs_homepath", "", kReadOnly},
#if defined(_WIN32)
    {"version", "QxHost 1.0 win-x86", kReadOnly | kServerInfo},
#else
    {"version", "QxHost 1.0 linux-x86_64", kReadOnly | kServerInfo},
#endif
    {"cl_guid", "6F1D0C3A9B2E4D5F8A7C6B5E4D3C2B1A", kUserInfo | kReadOnly},
    {"name", "Player", kArchive | kUserInfo},
    {"rate", "25000", kArchive | kUserInfo},
    {"snaps", "20", kArchive | kUserInfo},
    {"model", "sarge", kArchive | kUserInfo},
    {"sensitivity", "5", kArchive},
    {"m_pitch", "0.022", kArchive},
    {"m_yaw", "0.022", kArchive},
    {"m_filter", "0", kArchive},
    {"cl_maxpackets", "30", kArchive},
    {"cl_timenudge", "0", kArchive},
    {"cl_packetdup", "1", kArchive},
    {"cg_fov", "90", kArchive},
    {"cg_thirdperson", "0", kCheat},
    {"cg_shadows", "1", kArchive},
    {"cg_gibs", "1", kArchive},
    {"cg_drawgun", "1", kArchive},
    {"cg_draw3dicons", "1", kArchive},
    {"cg_brassTime", "2500", kArchive},
    {"cg_marks", "1", kArchive},
    {"com_maxfps", "85", kArchive},
    {"r_picmip", "1", kArchive},
    {"r_gamma", "1", kArchive},
    {"r_overbrightbits", "1", kArchive},
    {"r_mapoverbrightbits", "2", kArchive},
    {"r_intensity", "1", kArchive},
    {"r_fullbright", "0", kCheat},
    {"r_showtris", "0", kCheat},
    {"r_lodbias", "0", kArchive},
    {"r_subdivisions", "4", kArchive},
    {"r_vertexlight", "0", kArchive},
    {"r_drawsky", "1", kArchive},
    {"r_fastsky", "0", kArchive},
    {"r_mode", "3", kArchive},
    {"timescale", "1", kCheat},
    {"s_volume", "0.8", kArchive},
    {"s_musicvolume", "0.25", kArchive},
    {"sv_hostname", "noname", kServerInfo | kArchive},
    {"sv_cheats", "0", kSystemInfo | kReadOnly},
    {"g_gametype", "0", kServerInfo},
};

const char *kKeyNames[] = {
    "TAB", "ENTER", "ESCAPE", "SPACE", "MOUSE1", "MOUSE2", "w",
    "a",   "s",     "d",      "e",     "q",      "r",      "f",
    "1",   "2",     "3",      "4",     "5",      "F1",     "F2"};

}  // namespace

Game &game() {
  static Game g;
  return g;
}

Game::Game() {
  for (const Defaults &d : kCvars)
    cvars.push_back({d.name, d.value, d.value, d.flags});
  for (const char *k : kKeyNames) keys.push_back({k, ""});
  bind("TAB", "+scores");
  bind("MOUSE1", "+attack");
  bind("SPACE", "+moveup");
  bind("w", "+forward");
  bind("s", "+back");
  bind("a", "+moveleft");
  bind("d", "+moveright");
  bind("F1", "vote yes");
  bind("F2", "vote no");
  bind("e", "weapon 5; say_team rocket ready");

  gi.magic = QX_INTERFACE_MAGIC;
  gi.namedOp = namedOp;
  gi.query = query;
  gi.print = print;
  gi.sendToServer = sendToServer;
  gi.sendOob = sendOob;
  gi.captureQuery = captureQuery;
}

Cvar *Game::find(const std::string &name) {
  const std::string key = lower(name);
  for (Cvar &v : cvars)
    if (lower(v.name) == key) return &v;
  return nullptr;
}

void Game::set(const std::string &name, const std::string &value) {
  if (Cvar *v = find(name))
    v->value = value;
  else
    cvars.push_back({name, value, "", kUserCreated});
}

void Game::bind(const std::string &key, const std::string &command) {
  for (KeyBinding &k : keys)
    if (lower(k.key) == lower(key)) {
      k.command = command;
      return;
    }
  keys.push_back({key, command});
}

void Game::execute(const std::string &line) {
  std::istringstream in(line);
  std::string word;
  in >> word;
  std::string rest;
  std::getline(in, rest);
  const size_t start = rest.find_first_not_of(' ');
  rest = start == std::string::npos ? "" : rest.substr(start);
  word = lower(word);
  if (word == "set" || word == "seta") {
    std::istringstream args(rest);
    std::string name, value;
    args >> name;
    std::getline(args, value);
    const size_t v = value.find_first_not_of(' ');
    set(name, v == std::string::npos ? "" : value.substr(v));
  } else if (word == "bind") {
    std::istringstream args(rest);
    std::string key, command;
    args >> key;
    std::getline(args, command);
    const size_t c = command.find_first_not_of(' ');
    bind(key, c == std::string::npos ? "" : command.substr(c));
  } else if (word == "say" || word == "echo") {
    consolePrint("game", rest);
  } else if (Cvar *v = find(word)) {
    if (rest.empty())
      consolePrint("game", "\"" + v->name + "\" is \"" + v->value + "\"");
    else
      v->value = rest;
  } else {
    consolePrint("game", "Unknown command \"" + word + "\"");
  }
}

void consolePrint(const std::string &label, const std::string &text) {
  std::string shown = label;
  const std::string marker = "[skipnotify]";
  if (shown.compare(0, marker.size(), marker) == 0)
    shown = shown.substr(marker.size());
  std::printf("%s: %s\n", shown.c_str(), text.c_str());
  std::fflush(stdout);
}

}  // namespace qxhost
