#include "master/master_state.h"

#include <cstdlib>
#include <cstring>

namespace qx::master {

void releaseTransfers(console::RecordList &list) {
  for (int32_t i = 0; i < list.count; ++i) {
    auto *t = console::listRecord<ContentTransfer>(list, i);
    std::free(t->buffer);
    std::memset(t, 0, sizeof *t);
    t->handle = -1;
  }
}

}  // namespace qx::master
