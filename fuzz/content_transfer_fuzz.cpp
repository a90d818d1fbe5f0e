// Sequences of content-transfer bodies. The input is a series of records:
// a control byte, a big-endian 16-bit length and that many body bytes. Bit
// 0 of the control byte moves the clock 61 seconds on first, bit 1 runs the
// finishing step after the body.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/paths.h"
#include "common/protocol.h"
#include "master/content_transfer.h"
#include "master_fuzz_support.h"

namespace {

// Every live transfer carries master-list text or names one file that
// passes the name rule and is not the local update.
void checkNames() {
  qx::console::RecordList &list = qx::client().master.transfers;
  for (int32_t i = 0; i < list.count; ++i) {
    const auto *t =
        qx::console::listRecord<qx::master::ContentTransfer>(list, i);
    if (t->identifier == 0 ||
        std::strstr(t->name, qx::protocol::kMasterListMarker))
      continue;
    if (!qx::isPlainFileName(t->name) || qx::isLocalUpdateName(t->name))
      std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  QxGameInterface *gi = qxfuzz::freshMasterClient();
  size_t at = 0;
  while (at + 3 <= size) {
    const uint8_t control = data[at];
    size_t length = static_cast<size_t>(data[at + 1]) << 8 | data[at + 2];
    at += 3;
    if (length > size - at) length = size - at;
    if (control & 1) qxfuzz::fuzzNow() += 61000;
    qx::master::contentTransfer(gi, data + at, static_cast<int>(length));
    if (control & 2) qx::master::finishTransfers(gi, qxfuzz::fuzzNow());
    checkNames();
    at += length;
  }
  qx::master::finishTransfers(gi, qxfuzz::fuzzNow());
  return 0;
}
