// qxscan: makes the entries of a scan policy (see peer/scan_policy.h) from
// files a server operator has, and checks a policy. It prints entries on
// standard output, to be added to the policy file.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "peer/code_image.h"
#include "peer/scan_peer.h"
#include "peer/scan_policy.h"
#include "tools/common/options.h"

namespace {

namespace peer = qx::peer;
using peer::Bytes;

const char kUsage[] =
    "qxscan: makes the entries of a scan policy from files a server operator\n"
    "has, and checks a policy. Entries go to standard output, to be added to\n"
    "the policy that qxserver --policy reads.\n"
    "\n"
    "usage:\n"
    "  qxscan module [--seed HEX] [--bad LABEL] FILE...\n"
    "      the module entry of each FILE: its digest under the policy's\n"
    "      module seed, as \"module allow\", or \"module bad\" with LABEL\n"
    "  qxscan name [--seed HEX] process|window NAME LABEL\n"
    "      a process or window entry: NAME lower-cased and digested under\n"
    "      the policy's name seed; the client only ever gets the digest\n"
    "  qxscan pattern [--offset N] [--length N] [--wild FROM-TO]... ID FILE "
    "LABEL\n"
    "      a pattern entry of LENGTH bytes (16) of FILE from OFFSET (0);\n"
    "      --wild makes the bytes FROM to TO of the pattern (counted from 0)\n"
    "      match any byte\n"
    "  qxscan code MODULE FILE\n"
    "      checks that FILE is a PE or ELF file the server can challenge\n"
    "      MODULE's code with, and writes its code entry\n"
    "  qxscan file [--seed HEX] PATH FILE\n"
    "      the entry of the game file PATH (inside the game's folder, as the\n"
    "      server asks for it) from its known-good copy FILE\n"
    "  qxscan check POLICY\n"
    "      reads POLICY and the files it includes and names every fault\n"
    "  qxscan --help\n"
    "\n"
    "HEX is a hexadecimal number (0x optional), N a decimal one or 0x and\n"
    "hexadecimal digits. Example:\n"
    "  qxscan module --seed 5EED0001 game.exe >> game.policy\n";

int usage(const std::string &why) {
  std::fprintf(stderr, "qxscan: %s (qxscan --help tells more)\n", why.c_str());
  return qxtools::kExitUsage;
}

bool readNumber(const std::string &text, uint64_t &out, bool hex) {
  std::string digits = text;
  if (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0) {
    digits.erase(0, 2);
    hex = true;
  }
  if (digits.empty() || digits.size() > (hex ? 8u : 10u) ||
      digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") !=
          std::string::npos)
    return false;
  out = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
  return out <= 0xFFFFFFFFu;
}

// The words of a command line: its options (--name VALUE, some repeated)
// and the other words in order.
struct Words {
  std::vector<std::pair<std::string, std::string>> options;
  std::vector<std::string> plain;
  std::string error;
};

Words split(int argc, char **argv, const std::vector<std::string> &known) {
  Words w;
  for (int i = 2; i < argc; ++i) {
    const std::string word = argv[i];
    if (word.rfind("--", 0) != 0) {
      w.plain.push_back(word);
      continue;
    }
    bool found = false;
    for (const std::string &k : known) found = found || k == word;
    if (!found) {
      w.error = word + " is not an option of qxscan " + argv[1];
      return w;
    }
    if (i + 1 >= argc) {
      w.error = word + " needs a value";
      return w;
    }
    w.options.emplace_back(word, argv[++i]);
  }
  return w;
}

bool readFile(const std::string &path, Bytes &out) {
  std::string text;
  const std::string why = qxtools::readWholeFile(path, text);
  if (!why.empty()) {
    std::fprintf(stderr, "qxscan: %s: %s\n", path.c_str(), why.c_str());
    return false;
  }
  out.assign(text.begin(), text.end());
  return true;
}

std::string baseName(const std::string &path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// --seed HEX, defaulting to 0.
bool seedOf(const Words &w, uint32_t &seed) {
  seed = 0;
  for (const auto &[name, value] : w.options) {
    uint64_t v = 0;
    if (name != "--seed") continue;
    if (!readNumber(value, v, true)) return false;
    seed = static_cast<uint32_t>(v);
  }
  return true;
}

int moduleEntries(const Words &w) {
  uint32_t seed = 0;
  if (!seedOf(w, seed)) return usage("--seed takes a hexadecimal number");
  std::string bad;
  for (const auto &[name, value] : w.options)
    if (name == "--bad") bad = value;
  if (w.plain.empty()) return usage("module needs at least one FILE");
  for (const std::string &path : w.plain) {
    Bytes file;
    if (!readFile(path, file)) return qxtools::kExitFailure;
    const std::string digest =
        peer::digestHex(peer::digestOf(file.data(), file.size(), seed));
    if (bad.empty())
      std::printf("module allow %s %s\n", digest.c_str(),
                  baseName(path).c_str());
    else
      std::printf("module bad %s %s\n", digest.c_str(), bad.c_str());
  }
  return 0;
}

int nameEntry(const Words &w) {
  uint32_t seed = 0;
  if (!seedOf(w, seed)) return usage("--seed takes a hexadecimal number");
  if (w.plain.size() != 3 ||
      (w.plain[0] != "process" && w.plain[0] != "window"))
    return usage("name needs process or window, a NAME and a LABEL");
  std::printf("%s %s %s\n", w.plain[0].c_str(),
              peer::digestHex(peer::nameDigest(w.plain[1], seed)).c_str(),
              w.plain[2].c_str());
  return 0;
}

int patternEntry(const Words &w) {
  uint64_t offset = 0, length = 16, id = 0;
  std::vector<std::pair<uint64_t, uint64_t>> wild;
  for (const auto &[name, value] : w.options) {
    if (name == "--offset" && !readNumber(value, offset, false))
      return usage("--offset takes a number");
    if (name == "--length" && !readNumber(value, length, false))
      return usage("--length takes a number");
    if (name == "--wild") {
      const size_t dash = value.find('-');
      uint64_t from = 0, to = 0;
      if (!readNumber(value.substr(0, dash), from, false) ||
          !readNumber(dash == std::string::npos ? value.substr(0, dash)
                                                : value.substr(dash + 1),
                      to, false) ||
          to < from)
        return usage("--wild takes FROM-TO or one position");
      wild.emplace_back(from, to);
    }
  }
  if (w.plain.size() != 3 || !readNumber(w.plain[0], id, false) || id > 0xFFFF)
    return usage("pattern needs an ID (0 to 65535), a FILE and a LABEL");
  Bytes file;
  if (!readFile(w.plain[1], file)) return qxtools::kExitFailure;
  if (offset > file.size() || length > file.size() - offset) {
    std::fprintf(stderr, "qxscan: %s holds no %llu bytes from %llu\n",
                 w.plain[1].c_str(), static_cast<unsigned long long>(length),
                 static_cast<unsigned long long>(offset));
    return qxtools::kExitFailure;
  }
  peer::Pattern pattern;
  pattern.id = static_cast<uint16_t>(id);
  pattern.bytes.assign(file.begin() + static_cast<long>(offset),
                       file.begin() + static_cast<long>(offset + length));
  pattern.care.assign(pattern.bytes.size(), true);
  for (const auto &[from, to] : wild)
    for (uint64_t i = from; i <= to && i < pattern.care.size(); ++i)
      pattern.care[i] = false;
  const std::string fault = peer::patternError(pattern);
  if (!fault.empty()) {
    std::fprintf(stderr, "qxscan: %s\n", fault.c_str());
    return qxtools::kExitFailure;
  }
  std::string text = peer::patternText(pattern);
  std::string bytes;
  for (char c : text)
    if (c != ' ') bytes += c;
  std::printf("pattern %u %s %s\n", static_cast<unsigned>(id), bytes.c_str(),
              w.plain[2].c_str());
  return 0;
}

int codeEntry(const Words &w) {
  if (w.plain.size() != 2) return usage("code needs a MODULE and its FILE");
  peer::CodeImage image;
  const std::string error = peer::loadCodeImageFile(w.plain[1], image);
  if (!error.empty()) {
    std::fprintf(stderr, "qxscan: %s\n", error.c_str());
    return qxtools::kExitFailure;
  }
  uint64_t code = 0;
  for (const peer::CodeImage::Span &s : image.code) code += s.end - s.begin;
  std::printf(
      "# %s: %s, %llu bytes of code in %zu sections, %zu base relocations\n",
      baseName(w.plain[1]).c_str(),
      image.format == peer::CodeImage::Format::kPe ? "PE" : "ELF",
      static_cast<unsigned long long>(code), image.code.size(),
      image.fixups.size());
  // The policy reads a relative path from its own folder.
  std::error_code ignored;
  std::printf("code %s %s\n", w.plain[0].c_str(),
              std::filesystem::absolute(w.plain[1], ignored).string().c_str());
  return 0;
}

int fileEntry(const Words &w) {
  uint32_t seed = 0;
  if (!seedOf(w, seed)) return usage("--seed takes a hexadecimal number");
  if (w.plain.size() != 2)
    return usage("file needs the game's PATH and a FILE");
  Bytes file;
  if (!readFile(w.plain[1], file)) return qxtools::kExitFailure;
  std::printf(
      "file %s %llX %s\n",
      peer::digestHex(peer::digestOf(file.data(), file.size(), seed)).c_str(),
      static_cast<unsigned long long>(file.size()), w.plain[0].c_str());
  return 0;
}

int checkPolicy(const Words &w) {
  if (w.plain.size() != 1) return usage("check needs one POLICY");
  peer::ScanPolicy policy;
  const std::string faults = peer::readPolicy(w.plain[0], policy);
  if (!faults.empty()) {
    std::fprintf(stderr, "%s", faults.c_str());
    return qxtools::kExitFailure;
  }
  for (const auto &[module, path] : policy.codeFiles) {
    peer::CodeImage image;
    const std::string error = peer::loadCodeImageFile(path, image);
    if (!error.empty()) {
      std::fprintf(stderr, "qxscan: code of %s: %s\n", module.c_str(),
                   error.c_str());
      return qxtools::kExitFailure;
    }
  }
  std::printf(
      "qxscan: %s is good: %zu allowed and %zu known-bad modules, %zu code "
      "files, %zu patterns, %zu processes, %zu windows, %zu game files, %zu "
      "allowed hooks, %zu allowed foreign regions\n",
      w.plain[0].c_str(), policy.allowedModules.size(),
      policy.badModules.size(), policy.codeFiles.size(), policy.patterns.size(),
      policy.processes.size(), policy.windows.size(), policy.files.size(),
      policy.allowedHooks.size(), policy.allowedForeign.size());
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
      std::printf("%s", kUsage);
      return 0;
    }
  if (argc < 2) return usage("name what to make");
  const std::string what = argv[1];
  const struct {
    const char *name;
    std::vector<std::string> options;
    int (*run)(const Words &);
  } commands[] = {
      {"module", {"--seed", "--bad"}, moduleEntries},
      {"name", {"--seed"}, nameEntry},
      {"pattern", {"--offset", "--length", "--wild"}, patternEntry},
      {"code", {}, codeEntry},
      {"file", {"--seed"}, fileEntry},
      {"check", {}, checkPolicy},
  };
  for (const auto &c : commands) {
    if (what != c.name) continue;
    const Words w = split(argc, argv, c.options);
    if (!w.error.empty()) return usage(w.error);
    return c.run(w);
  }
  return usage("there is no command \"" + what + "\"");
}
