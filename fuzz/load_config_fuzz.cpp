// Configuration files: the input is written to a file in the home directory
// and loaded as qx_Load would.
#include <cstdint>
#include <cstdio>

#include "console/config.h"
#include "console_fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  QxGameInterface *gi = qxfuzz::freshClient(true);
  char path[300];
  std::snprintf(path, sizeof path, "%sfuzz.cfg", qxfuzz::homeDirectory());
  qx::platform::FileHandle f =
      qx::platform::fileOpen(path, qx::platform::OpenMode::Write);
  if (!f) return 0;
  qx::platform::fileWrite(f, data, size);
  qx::platform::fileClose(f);
  qx::console::loadConfig(gi, "fuzz.cfg", 0, 1);
  qxfuzz::dropLocalLog();
  return 0;
}
