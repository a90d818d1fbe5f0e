// Shared set-up of the master fuzz targets: a started client with a fixed
// nonce in a quiet host whose name resolution answers every name.
#pragma once

#include <cstdint>
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

// A fresh client with the built-in master list loaded.
inline QxGameInterface *freshMasterClient() {
  QxGameInterface *gi = freshClient(true);
  qx::platform::setTickSource(fuzzTicks);
  qx::ClientState &c = qx::client();
  std::memcpy(c.host.nonce, kNonce, std::strlen(kNonce) + 1);
  qx::master::loadMasterList(gi);
  return gi;
}

}  // namespace qxfuzz
