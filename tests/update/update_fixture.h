// Files and modules for the update suites: test modules, and files read and
// written by path with the separators the client's texts use.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "fake_host.h"

namespace updatetest {

using Bytes = std::vector<uint8_t>;

// A module that compresses like a real program: runs of text and tables
// among varied bytes.
inline Bytes sampleModule(size_t size, uint32_t seed = 1) {
  static const char kWords[] = "qxcl agent module version frame packet ";
  Bytes out(size);
  uint32_t x = seed;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    if ((i / 64) % 3 == 0)
      out[i] = static_cast<uint8_t>(kWords[i % (sizeof kWords - 1)]);
    else if ((i / 64) % 3 == 1)
      out[i] = static_cast<uint8_t>(i & 0x0F);
    else
      out[i] = static_cast<uint8_t>(x >> 24);
  }
  return out;
}

inline std::string systemPath(std::string path) {
#if !defined(_WIN32)
  for (char &c : path)
    if (c == '\\') c = '/';
#endif
  return path;
}

inline bool fileExists(const std::string &path) {
  return std::ifstream(systemPath(path), std::ios::binary).good();
}

inline Bytes readBytes(const std::string &path) {
  const std::string text = qxtest::readFile(path);
  return Bytes(text.begin(), text.end());
}

inline void writeText(const std::string &path, const std::string &text) {
  std::ofstream(systemPath(path), std::ios::binary | std::ios::trunc)
      .write(text.data(), static_cast<std::streamsize>(text.size()));
}

}  // namespace updatetest
