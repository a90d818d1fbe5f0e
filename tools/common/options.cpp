#include "tools/common/options.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace qxtools {

namespace {

constexpr size_t kHelpColumn = 24;  // where an option's help begins

const Option *findOption(const std::vector<Option> &options,
                         const std::string &name) {
  for (const Option &o : options)
    if (o.name == name) return &o;
  return nullptr;
}

void printError(const char *tool, const std::string &what) {
  std::fprintf(stderr, "%s: %s\nRun %s --help for its options.\n", tool,
               what.c_str(), tool);
}

}  // namespace

std::string readNumber(const std::string &text, long long min, long long max,
                       long long &out) {
  const std::string range = "a whole number from " + std::to_string(min) +
                            " to " + std::to_string(max);
  const bool negative = !text.empty() && text[0] == '-';
  const size_t first = negative ? 1 : 0;
  bool digits = text.size() > first;
  for (size_t i = first; i < text.size(); ++i)
    digits = digits && text[i] >= '0' && text[i] <= '9';
  if (!digits) return "\"" + text + "\" is not " + range;
  // Enough digits for any range the tools use, and no overflow below.
  constexpr size_t kMaxDigits = 15;
  long long value = 0;
  for (size_t i = first; i < text.size() && i - first < kMaxDigits; ++i)
    value = value * 10 + (text[i] - '0');
  if (negative) value = -value;
  if (text.size() - first > kMaxDigits || value < min || value > max)
    return text + " is out of range: it takes " + range;
  out = value;
  return "";
}

Option numberOption(const std::string &name, const std::string &value,
                    const std::string &help, int &target, long long min,
                    long long max) {
  return {
      name, value, std::to_string(target),
      help + " (" + std::to_string(min) + " to " + std::to_string(max) + ")",
      [&target, min, max](const std::string &text) {
        long long n = 0;
        std::string error = readNumber(text, min, max, n);
        if (error.empty()) target = static_cast<int>(n);
        return error;
      }};
}

Option textOption(const std::string &name, const std::string &value,
                  const std::string &defaultText, const std::string &help,
                  std::string &target) {
  return {name, value, defaultText, help, [&target](const std::string &text) {
            if (text.empty()) return std::string("the value is empty");
            target = text;
            return std::string();
          }};
}

Option listOption(const std::string &name, const std::string &value,
                  const std::string &help, std::vector<std::string> &target) {
  return {name, value, "none", help + "\nmay be given more than once",
          [&target](const std::string &text) {
            if (text.empty()) return std::string("the value is empty");
            target.push_back(text);
            return std::string();
          }};
}

Option portOption(int &target) {
  return numberOption("--port", "N",
                      "UDP port on 127.0.0.1 to listen on; 0 takes a free "
                      "port\nand prints it",
                      target, 0, 65535);
}

Option switchOption(const std::string &name, const std::string &help,
                    bool &target) {
  return {name, "", "off", help, [&target](const std::string &) {
            target = true;
            return std::string();
          }};
}

Parsed parseOptions(const char *tool, int argc, char **argv,
                    const std::vector<Option> &options) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") return Parsed::kHelp;
  }
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const Option *o = findOption(options, a);
    if (!o) {
      printError(tool, "there is no option \"" + a + "\"");
      return Parsed::kError;
    }
    std::string value;
    if (!o->value.empty()) {
      if (i + 1 >= argc) {
        printError(tool, a + " needs a value: " + a + " " + o->value);
        return Parsed::kError;
      }
      value = argv[++i];
    }
    const std::string error = o->apply(value);
    if (!error.empty()) {
      printError(tool, a + ": " + error);
      return Parsed::kError;
    }
  }
  return Parsed::kRun;
}

std::string helpEntry(const std::string &head, const std::string &help) {
  std::string out = "  " + head;
  out += out.size() + 2 > kHelpColumn
             ? "\n" + std::string(kHelpColumn, ' ')
             : std::string(kHelpColumn - out.size(), ' ');
  for (size_t at = 0, n; at <= help.size(); at = n + 1) {
    n = help.find('\n', at);
    if (n == std::string::npos) n = help.size();
    out += (at ? std::string(kHelpColumn, ' ') : "") + help.substr(at, n - at) +
           "\n";
  }
  return out;
}

std::string optionsHelp(const std::vector<Option> &options) {
  std::string out = "options:\n";
  for (const Option &o : options)
    out += helpEntry(
        o.name + (o.value.empty() ? "" : " " + o.value),
        o.help + (o.defaultText.empty() ? "" : "\ndefault: " + o.defaultText));
  return out + helpEntry("--help", "show this text and stop");
}

std::string readWholeFile(const std::string &path, std::string &out) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) return "it is a folder";
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return std::filesystem::exists(path, error) ? "it cannot be opened"
                                                : "there is no such file";
  out.assign(std::istreambuf_iterator<char>(in),
             std::istreambuf_iterator<char>());
  if (in.bad()) return "reading it failed";
  return "";
}

}  // namespace qxtools
