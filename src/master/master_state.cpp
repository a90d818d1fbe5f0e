#include "master/master_state.h"

#include <cstdlib>
#include <cstring>

namespace qx::master {

void releaseTransfers(console::RecordList &list) {
  for (int32_t i = 0; i < list.count; ++i) {
    auto *t = console::listRecord<ContentTransfer>(list, i);
    std::free(t->buffer);
    std::memset(t, 0, sizeof *t);
  }
}

void releaseMasterState(State &state) {
  if (state.web.phase != WebPhase::Idle)
    platform::socketClose(state.web.socket);
  state.web.phase = WebPhase::Idle;
  state.web.socket = platform::kNoSocket;
}

}  // namespace qx::master
