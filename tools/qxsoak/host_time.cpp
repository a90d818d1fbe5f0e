#include "host_time.h"

#include "measure.h"

#if !defined(_WIN32)
#include <dlfcn.h>
#endif

namespace qxsoak {

namespace {

struct Wrapped {
  HostTime time;
  QxGameInterface original{};
  QxReadBackFn readBackFn = nullptr;
};
Wrapped g_host;

struct Stopwatch {
  Clocks start = startSpan();
  ~Stopwatch() { g_host.time.host += since(start); }
};

void QX_CDECL timedNamedOp(const char *name, const char *argument) {
  Stopwatch s;
  g_host.original.namedOp(name, argument);
}
intptr_t QX_CDECL timedQuery(int32_t code, char *buffer, int32_t size) {
  Stopwatch s;
  return g_host.original.query(code, buffer, size);
}
void QX_CDECL timedPrint(const char *text, int32_t one) {
  Stopwatch s;
  g_host.original.print(text, one);
}
void QX_CDECL timedSend(int32_t length, const void *packet) {
  Stopwatch s;
  g_host.original.sendToServer(length, packet);
}
void QX_CDECL timedSendOob(const char *address, int32_t port, int32_t length,
                           const void *packet) {
  Stopwatch s;
  g_host.original.sendOob(address, port, length, packet);
}
void QX_READBACK_CALL timedReadBack(int32_t x, int32_t y, int32_t width,
                                    int32_t height, int32_t format,
                                    int32_t type, void *destination) {
  const Clocks start = startSpan();
  g_host.readBackFn(x, y, width, height, format, type, destination);
  g_host.time.readBack += since(start);
}
intptr_t QX_CDECL timedCapture(int32_t code) {
  Stopwatch s;
  const intptr_t answer = g_host.original.captureQuery(code);
  if (code != QX_CAP_READBACK || answer == 0) return answer;
  g_host.readBackFn = reinterpret_cast<QxReadBackFn>(answer);
  return reinterpret_cast<intptr_t>(&timedReadBack);
}

}  // namespace

void timeHostCallbacks(QxGameInterface &gi) {
  g_host.original = gi;
  gi.namedOp = timedNamedOp;
  gi.query = timedQuery;
  gi.print = timedPrint;
  gi.sendToServer = timedSend;
  gi.sendOob = timedSendOob;
  gi.captureQuery = timedCapture;
}

HostTime &hostTime() { return g_host.time; }

}  // namespace qxsoak

#if !defined(_WIN32)
// The linked-in client calls the loader through these: the soak's own
// definitions come first in the program, time the system's and hand over.
namespace {
template <typename Fn>
Fn systemLoader(const char *name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}
}  // namespace

extern "C" void *dlopen(const char *file, int mode) {
  static const auto real = systemLoader<void *(*)(const char *, int)>("dlopen");
  const qxsoak::Clocks start = qxsoak::startSpan();
  void *handle = real(file, mode);
  qxsoak::hostTime().library += qxsoak::since(start);
  return handle;
}

extern "C" int dlclose(void *handle) {
  static const auto real = systemLoader<int (*)(void *)>("dlclose");
  const qxsoak::Clocks start = qxsoak::startSpan();
  const int result = real(handle);
  qxsoak::hostTime().library += qxsoak::since(start);
  return result;
}
#endif
