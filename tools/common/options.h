// Command-line options of the tools. Each tool describes its options once,
// in a table; the same table parses the command line and writes --help, so
// the help always lists exactly the options the parser accepts.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qxtools {

struct Option {
  std::string name;         // "--port"
  std::string value;        // what it takes ("N", "FILE"); empty: a switch
  std::string defaultText;  // shown as "default: ..."; empty: none shown
  std::string help;         // what it does; '\n' starts another help line
  // Takes the option's value (empty for a switch); returns an error text,
  // empty when the value is good.
  std::function<std::string(const std::string &value)> apply;
};

// A decimal whole number from min to max. The text must be the number and
// nothing else: no blanks, no sign unless min is negative, no trailing
// characters. Returns an error text, empty when good.
std::string readNumber(const std::string &text, long long min, long long max,
                       long long &out);

// Options of the common kinds, which store their value into target.
Option numberOption(const std::string &name, const std::string &value,
                    const std::string &help, int &target, long long min,
                    long long max);
Option textOption(const std::string &name, const std::string &value,
                  const std::string &defaultText, const std::string &help,
                  std::string &target);
// May be given more than once; each value is added.
Option listOption(const std::string &name, const std::string &value,
                  const std::string &help, std::vector<std::string> &target);
// --port: the UDP port on 127.0.0.1 a reference server listens on.
Option portOption(int &target);
Option switchOption(const std::string &name, const std::string &help,
                    bool &target);

enum class Parsed { kRun, kHelp, kError };

// Applies the command line to the options. "--help" or "-h" anywhere asks
// for the help. An unknown option, a missing value or a bad one is printed
// to stderr as "tool: --name: why" with a pointer to --help.
Parsed parseOptions(const char *tool, int argc, char **argv,
                    const std::vector<Option> &options);

// One entry of a help text: the head ("--port N", "wait MS") in the left
// column, each line of the help beside it.
std::string helpEntry(const std::string &head, const std::string &help);

// The help of the options: each with its value, its default and its help,
// and --help itself.
std::string optionsHelp(const std::vector<Option> &options);

// Reads a whole file. Returns an error text ("there is no such file", "it
// is a folder", ...), empty when good.
std::string readWholeFile(const std::string &path, std::string &out);

// Exit statuses of the tools: a command line they cannot run, and a file or
// resource that a good command line names but that is not usable.
constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

}  // namespace qxtools
