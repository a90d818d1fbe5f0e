// Shared set-up of the console fuzz targets: a quiet game interface and a
// home directory of its own, and a fresh client state for every input.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/text.h"
#include "host/client_state.h"
#include "platform/platform.h"

namespace qxfuzz {

inline void QX_CDECL namedOp(const char *name, const char *argument) {
  // Touch both texts so that a missing terminator shows up.
  volatile size_t n = std::strlen(name) + std::strlen(argument);
  (void)n;
}

// Answers every query with a short text. The enumerations that return a
// name pointer (110, 111) end at once, as a host without variables does:
// any other value there would be a pointer the client must trust.
inline intptr_t QX_CDECL query(int32_t code, char *buffer, int32_t size) {
  if (size > 16) std::snprintf(buffer, 16, "answer %d", code);
  if (code == QX_Q_CVAR_NEXT_USER || code == QX_Q_CVAR_NEXT_CHANGED) return 0;
  return code;
}

inline void QX_CDECL print(const char *text, int32_t) {
  volatile size_t n = std::strlen(text);
  (void)n;
}

inline char *homeDirectory() {
  static char home[256];
  if (!home[0]) {
    char pattern[] = "/tmp/qxfuzz_XXXXXX";
    if (!mkdtemp(pattern)) std::abort();
    std::snprintf(home, sizeof home, "%s\\", pattern);
  }
  return home;
}

// A fresh client state, enabled or not, with the fuzz interface current.
inline QxGameInterface *freshClient(bool enabled) {
  static QxGameInterface gi;
  gi.magic = QX_INTERFACE_MAGIC;
  gi.namedOp = namedOp;
  gi.query = query;
  gi.print = print;
  qx::resetClientState();
  qx::ClientState &c = qx::client();
  c.host.gi = &gi;
  c.host.enabled = enabled ? 1 : 0;
  c.host.initialised = 1;
  qx::copyText(c.host.homeDir, homeDirectory(), sizeof c.host.homeDir - 1);
  return &gi;
}

// The local log would grow with every input that switches it on.
inline void dropLocalLog() {
  char path[300];
  std::snprintf(path, sizeof path, "%sqxcl.log", homeDirectory());
  qx::platform::fileRemove(path);
}

}  // namespace qxfuzz
