// The game side of the reference host: console variables, key bindings and
// the game interface record's callbacks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qx/game_interface.h"

namespace qxhost {

// Flag bits of the game's console variables.
enum CvarFlags : uint32_t {
  kArchive = 1,      // saved in the game's configuration
  kUserInfo = 2,     // sent to the server
  kServerInfo = 4,   // shown to browsers
  kSystemInfo = 8,
  kReadOnly = 64,
  kUserCreated = 128,  // created by the player with "set"
  kCheat = 512,
};

struct Cvar {
  std::string name;
  std::string value;
  std::string defaultValue;
  uint32_t flags;
};

struct KeyBinding {
  std::string key;
  std::string command;
};

class Game {
 public:
  Game();

  Cvar *find(const std::string &name);
  // "set"-like: creates a user variable when the name is new.
  void set(const std::string &name, const std::string &value);
  void bind(const std::string &key, const std::string &command);
  // Runs a line of game console text (Cmd_Exec from the client).
  void execute(const std::string &line);

  std::vector<Cvar> cvars;
  std::vector<KeyBinding> keys;  // index = key number
  std::string serverAddress;     // "host:port" while connected
  uint32_t frames = 0;

  QxGameInterface gi{};
};

// The one game of this process; the record's callbacks reach it.
Game &game();

// Prints a line of the game console.
void consolePrint(const std::string &label, const std::string &text);

}  // namespace qxhost
