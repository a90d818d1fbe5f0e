// File transfer through the C library's streams, the same on every system;
// opening, sizing and flushing are system-specific and live beside the rest
// of each platform's code.
#include <cstdio>

#include "platform/file_stdio.h"

namespace qx::platform {

const char *stdioMode(OpenMode mode) {
  switch (mode) {
    case OpenMode::Write:
      return "wb";
    case OpenMode::Append:
#if defined(_WIN32)
      return "abc";  // 'c': commit to disk on flush
#else
      return "ab";
#endif
    case OpenMode::ReadWrite:
      return "r+b";
    case OpenMode::Read:
    default:
      return "rb";
  }
}

void fileClose(FileHandle f) {
  if (f) std::fclose(static_cast<FILE *>(f));
}

size_t fileRead(FileHandle f, void *buffer, size_t size) {
  return f ? std::fread(buffer, 1, size, static_cast<FILE *>(f)) : 0;
}

size_t fileWrite(FileHandle f, const void *data, size_t size) {
  return f ? std::fwrite(data, 1, size, static_cast<FILE *>(f)) : 0;
}

bool fileSeek(FileHandle f, long offset) {
  return f && std::fseek(static_cast<FILE *>(f), offset, SEEK_SET) == 0;
}

}  // namespace qx::platform
