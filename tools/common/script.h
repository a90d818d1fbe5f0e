// Scenario scripts of the reference tools: one command a line, its words
// separated by blanks, "#" starting a comment line. Each tool describes its
// commands once, in a table; the same table runs a script, checks a script
// before it runs and writes the commands' part of --help, so the help lists
// exactly the commands the tool runs, each with an example line that the
// check accepts.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tools/common/options.h"

namespace qxtools {

template <class Player>
struct ScriptCommand {
  const char *name;     // the first word of the line
  const char *args;     // the words after it; words in [...] are optional
  const char *help;     // what it does; '\n' starts another help line
  const char *example;  // a whole line using the command
  // Plays the line; rest is the text after the command and its blanks.
  // False ends the script.
  bool (*play)(Player &player, const std::string &rest);
};

// The command word and the rest of a line, without the blanks between them
// and without a trailing CR.
inline void splitCommand(std::string line, std::string &command,
                         std::string &rest) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
    line.pop_back();
  const size_t start = line.find_first_not_of(" \t");
  const size_t end = start == std::string::npos
                         ? line.size()
                         : line.find_first_of(" \t", start);
  command = start == std::string::npos ? "" : line.substr(start, end - start);
  const size_t restStart = end == std::string::npos
                               ? std::string::npos
                               : line.find_first_not_of(" \t", end);
  rest = restStart == std::string::npos ? "" : line.substr(restStart);
}

inline bool isComment(const std::string &command) {
  return command.empty() || command[0] == '#';
}

// The number of words the command's arguments need: those outside [...].
inline size_t requiredWords(const char *args) {
  size_t words = 0;
  int depth = 0;
  bool inWord = false;
  for (const char *c = args; *c; ++c) {
    if (*c == '[') ++depth;
    if (*c == ']') --depth;
    const bool wordChar = *c != ' ' && *c != '[' && *c != ']';
    if (wordChar && !inWord && depth == 0) ++words;
    inWord = wordChar;
  }
  return words;
}

inline size_t countWords(const std::string &text) {
  size_t words = 0;
  bool inWord = false;
  for (char c : text) {
    const bool wordChar = c != ' ' && c != '\t';
    if (wordChar && !inWord) ++words;
    inWord = wordChar;
  }
  return words;
}

template <class Player>
const ScriptCommand<Player> *findCommand(
    const std::vector<ScriptCommand<Player>> &table,
    const std::string &command) {
  for (const ScriptCommand<Player> &c : table)
    if (command == c.name) return &c;
  return nullptr;
}

// What is wrong with a command line of the table, or "" when it can run.
template <class Player>
std::string checkCommand(const std::vector<ScriptCommand<Player>> &table,
                         const std::string &command, const std::string &rest) {
  const ScriptCommand<Player> *c = findCommand(table, command);
  if (!c) return "there is no script command \"" + command + "\"";
  if (countWords(rest) < requiredWords(c->args))
    return std::string(c->name) + " needs " + c->args + ", as in \"" +
           c->example + "\"";
  return "";
}

// The help of the commands: each with its arguments, help and example.
template <class Player>
std::string commandsHelp(const std::vector<ScriptCommand<Player>> &table) {
  std::string out;
  for (const ScriptCommand<Player> &c : table)
    out += helpEntry(std::string(c.name) + (*c.args ? " " : "") + c.args,
                     std::string(c.help) + "\nexample: " + c.example);
  return out;
}

// Reads a script file at start-up into its lines and checks each with check
// (which returns what is wrong, or ""). Prints every fault as "tool: FILE,
// line N: why". Returns 0, or the exit status of the fault.
int loadScript(const char *tool, const std::string &path,
               std::vector<std::string> &lines,
               const std::function<std::string(const std::string &)> &check);

// The start of a scripted tool: applies the command line to options,
// answers --help (about, the options, scriptAbout, then the commands) and
// reads and checks the script that script names once the options are
// applied. Returns -1 when the tool goes on, else its exit status.
template <class Player>
int startScriptedTool(
    const char *tool, int argc, char **argv, const std::vector<Option> &options,
    const char *about, const char *scriptAbout,
    const std::vector<ScriptCommand<Player>> &commands,
    const std::string &script, std::vector<std::string> &lines,
    const std::function<std::string(const std::string &)> &check) {
  switch (parseOptions(tool, argc, argv, options)) {
    case Parsed::kHelp:
      std::printf("%s%s%s%s", about, optionsHelp(options).c_str(), scriptAbout,
                  commandsHelp(commands).c_str());
      return 0;
    case Parsed::kError:
      return kExitUsage;
    case Parsed::kRun:
      break;
  }
  if (script.empty()) return -1;
  const int status = loadScript(tool, script, lines, check);
  return status ? status : -1;
}

}  // namespace qxtools
