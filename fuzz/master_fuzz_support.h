// Shared set-up of the master fuzz targets: a started client with a fixed
// nonce in a quiet host whose name resolution answers every name.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "console_fuzz_support.h"
#include "host/client_state.h"
#include "master/master_list.h"

namespace qxfuzz {

constexpr const char *kNonce = "n0NCE#7~";

inline uint32_t &fuzzNow() {
  static uint32_t now = 100000;
  return now;
}
inline uint32_t fuzzTicks() { return fuzzNow(); }

// A fresh client with the built-in master list. The list is loaded once;
// every input starts from a copy of it, not from what the previous input
// saved, and without writing the file again.
inline QxGameInterface *freshMasterClient() {
  static qx::master::Entry builtIn[qx::master::kMaxEntries];
  static int32_t builtInCount = -1;
  QxGameInterface *gi = freshClient(true);
  qx::platform::setTickSource(fuzzTicks);
  qx::ClientState &c = qx::client();
  std::memcpy(c.host.nonce, kNonce, std::strlen(kNonce) + 1);
  if (builtInCount < 0) {
    char path[300];
    std::snprintf(path, sizeof path, "%sqxcl.db", homeDirectory());
    qx::platform::fileRemove(path);
    qx::master::loadMasterList(gi);
    std::memcpy(builtIn, c.master.entries, sizeof builtIn);
    builtInCount = c.master.entryCount;
  }
  std::memcpy(c.master.entries, builtIn, sizeof builtIn);
  c.master.entryCount = builtInCount;
  return gi;
}

}  // namespace qxfuzz
