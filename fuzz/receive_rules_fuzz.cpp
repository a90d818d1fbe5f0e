// receiveRules on arbitrary server text. The first byte picks the rule-set
// state the block meets; the rest is the block. Every stored rule is then
// listed and checked against values from a small host.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cvars/rules.h"
#include "host/client_state.h"

namespace {

intptr_t QX_CDECL answer(int32_t code, char *buffer, int32_t size) {
  if (code != QX_Q_CVAR || size < 8) return 1;
  // Values of every kind: a number, a quoted number, text, nothing.
  switch (buffer[0] % 4) {
    case 0:
      std::memcpy(buffer, "2.5", 4);
      break;
    case 1:
      std::memcpy(buffer, "\"-7\"", 5);
      break;
    case 2:
      std::memcpy(buffer, "abcXYZ", 7);
      break;
    default:
      return 1;
  }
  return 0;
}

void QX_CDECL print(const char *, int32_t) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static QxGameInterface gi = [] {
    QxGameInterface g{};
    g.magic = QX_INTERFACE_MAGIC;
    g.query = answer;
    g.print = print;
    return g;
  }();
  if (size == 0) return 0;
  qx::ClientState &c = qx::client();
  c.host.gi = &gi;
  c.cvars.rules.count = 0;
  c.cvars.ruleState = data[0] & 1 ? qx::cvars::kRulesComplete : data[0] >> 1;
  qx::cvars::receiveRules(&gi, reinterpret_cast<const char *>(data + 1),
                          static_cast<int>(size - 1));
  qx::cvars::listRules(&gi, data[0] & 2 ? 10 : 0);
  for (int32_t i = 0; i < c.cvars.rules.count; ++i)
    qx::cvars::ruleHousekeeping(&gi, static_cast<uint32_t>(i) * 20000u);
  return 0;
}
