// Runs a tool's command line as a person would in a shell (POSIX only) and
// keeps what it printed and its exit status.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "fake_host.h"

namespace qxtest {

struct ToolRun {
  int status;          // the exit status; -1 when it did not exit
  std::string output;  // what it printed
};

// With stderrToo, standard error is kept as well, after standard output's
// lines as they came; without it standard error is dropped.
inline ToolRun runTool(const std::string &commandLine, bool stderrToo = true) {
  const std::string command =
      commandLine + (stderrToo ? " 2>&1" : " 2>/dev/null") + " </dev/null";
  ToolRun r{-1, ""};
  FILE *pipe = popen(command.c_str(), "r");
  if (!pipe) return r;
  char buffer[512];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
    r.output.append(buffer, got);
  const int status = pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

inline bool contains(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

// A fresh folder for a tool's files, removed with all it holds at the end
// of its scope (the tools' tests write files of many megabytes).
struct ScratchDir {
  const std::string path = makeTempDir();
  ScratchDir() = default;
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;
  ~ScratchDir() {
    std::error_code error;
    std::filesystem::remove_all(path, error);
  }
};

}  // namespace qxtest
