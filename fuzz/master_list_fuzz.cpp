// Master list text: parsed into fresh entries and merged into the list,
// which is then saved and parsed again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "master/master_list.h"
#include "master_fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  QxGameInterface *gi = qxfuzz::freshMasterClient();
  qx::master::State &m = qx::client().master;
  char *text = static_cast<char *>(std::malloc(size + 1));
  std::memcpy(text, data, size);
  text[size] = '\0';
  if (!qx::master::parseMasterList(gi, text, static_cast<int32_t>(size) + 1,
                                   m.parsed, &m.parsedCount)) {
    qx::master::mergeParsed(gi);
    // What was saved parses again.
    char path[300];
    std::snprintf(path, sizeof path, "%sqxcl.db", qx::client().host.homeDir);
    qx::master::TextFile file;
    if (qx::master::readTextFile(path, file) &&
        qx::master::parseMasterList(gi, file.text, file.length + 1, m.parsed,
                                    &m.parsedCount) != nullptr)
      std::abort();
  }
  std::free(text);
  return 0;
}
