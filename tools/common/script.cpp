#include "tools/common/script.h"

#include <cstdio>

namespace qxtools {

int loadScript(const char *tool, const std::string &path,
               std::vector<std::string> &lines,
               const std::function<std::string(const std::string &)> &check) {
  std::string text;
  const std::string why = readWholeFile(path, text);
  if (!why.empty()) {
    std::fprintf(stderr, "%s: cannot read the script %s: %s.\n", tool,
                 path.c_str(), why.c_str());
    return kExitFailure;
  }
  lines.clear();
  for (size_t at = 0, n; at < text.size(); at = n + 1) {
    n = text.find('\n', at);
    if (n == std::string::npos) n = text.size();
    lines.push_back(text.substr(at, n - at));
  }
  int faults = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string fault = check(lines[i]);
    if (fault.empty()) continue;
    std::fprintf(stderr, "%s: %s, line %zu: %s\n", tool, path.c_str(), i + 1,
                 fault.c_str());
    ++faults;
  }
  if (faults)
    std::fprintf(stderr, "Run %s --help for the script commands.\n", tool);
  return faults ? kExitFailure : 0;
}

}  // namespace qxtools
