#include "master/master_state.h"

#include <cstdlib>
#include <cstring>

#include "common/heap.h"

namespace qx::master {

void releaseTransfers(console::RecordList &list) {
  for (int32_t i = 0; i < list.count; ++i) {
    auto *t = console::listRecord<ContentTransfer>(list, i);
    heap::release(t->buffer);
    std::memset(t, 0, sizeof *t);
  }
}

void closeWebExchange(WebUpdate &web) {
  if (web.phase != WebPhase::Idle) platform::socketClose(web.socket);
  web.phase = WebPhase::Idle;
  web.socket = platform::kNoSocket;
}

void releaseMasterState(State &state) { closeWebExchange(state.web); }

}  // namespace qx::master
