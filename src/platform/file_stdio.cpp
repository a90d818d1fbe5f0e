// File transfer through the C library's streams, the same on every system;
// opening, sizing and flushing are system-specific and live beside the rest
// of each platform's code.
#include <cstdio>

#include "platform/platform.h"

namespace qx::platform {

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
