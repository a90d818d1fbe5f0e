// Console and directive lines: the first byte chooses the client's state
// (enabled, connected, reporting, depth), the rest is the line.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "console/command_processor.h"
#include "console_fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  QxGameInterface *gi = qxfuzz::freshClient((flags & 1) == 0);
  qx::client().frame.connected = (flags >> 1) & 1;
  const int reportUnknown = (flags >> 2) & 1;
  const int depth = (flags >> 3) % 7;

  // An exact-size copy, so that reading past the line is caught.
  char *line = static_cast<char *>(std::malloc(size));
  std::memcpy(line, data + 1, size - 1);
  line[size - 1] = '\0';
  qx::console::processLine(gi, line, depth, reportUnknown);
  std::free(line);
  qxfuzz::dropLocalLog();
  return 0;
}
