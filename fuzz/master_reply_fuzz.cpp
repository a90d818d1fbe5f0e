// '1' replies as a master server sends them: scrambled with the nonce,
// possibly longer than the 1400 bytes the client reads.
#include <cstddef>
#include <cstdint>

#include "master/master_list.h"
#include "master_fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  QxGameInterface *gi = qxfuzz::freshMasterClient();
  qx::master::masterListReply(gi, data, static_cast<int>(size));
  return 0;
}
