// HTTP replies as the web update reads them: at most 4097 bytes, the
// status line, the header end and the body, which is saved and processed
// as master list text.
#include <cstddef>
#include <cstdint>

#include "master/master_state.h"
#include "master/web_update.h"
#include "master_fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  QxGameInterface *gi = qxfuzz::freshMasterClient();
  const int32_t length = size < static_cast<size_t>(qx::master::kWebReplySize)
                             ? static_cast<int32_t>(size)
                             : qx::master::kWebReplySize;
  qx::master::handleWebReply(gi, data, length);
  return 0;
}
