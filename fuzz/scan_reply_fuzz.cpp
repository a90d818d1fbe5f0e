// The server half's decoder of scan replies on messages from fuzz input, as
// a client under a cheat's control could send them: decoded (sealed or
// not), joined into passes and judged. None may read past its message.
#include <cstddef>
#include <cstdint>

#include "peer/scan_peer.h"
#include "peer/scan_policy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const qx::peer::ScanPolicy policy;
  qx::peer::ScanJudge judge(policy);
  qx::peer::ScanPasses passes;
  // The input is one or more messages, each ended by a zero byte.
  size_t from = 0;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] != 0 && i + 1 < size) continue;
    const qx::peer::Bytes message(data + from, data + i + 1);
    from = i + 1;
    const qx::peer::ScanReply reply = qx::peer::decodeScanReply(message);
    qx::peer::describe(reply);
    qx::peer::ScanReply pass;
    if (!reply.ok)
      judge.judge(reply);
    else if (passes.add(reply, pass))
      judge.judge(pass);
  }
  judge.verdict();
  return 0;
}
