// The frame entry's cost when nothing is due, an empty work frame, and
// seeded MD5 against OpenSSL's MD5.
#include <benchmark/benchmark.h>

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

#include <cstring>
#include <vector>

#include "common/md5.h"
#include "host/client_state.h"
#include "host/frame.h"
#include "platform/platform.h"
#include "qx/qxcl.h"
#include "ratio_reporter.h"

namespace {

// A host as cheap as a real game's: every answer is a short copy.
intptr_t QX_CDECL cheapQuery(int32_t code, char *buffer, int32_t) {
  switch (code) {
    case QX_Q_CVAR:
      if (std::strcmp(buffer, "cl_quellor") == 0) {
        std::memcpy(buffer, "1", 2);
      } else if (std::strcmp(buffer, "fs_homepath") == 0) {
        std::memcpy(buffer, "/tmp/qxbench", 13);
      } else {
        std::memcpy(buffer, "0123456789ABCDEF0123456789ABCDEF", 33);
      }
      return 0;
    case QX_Q_SERVER_ADDRESS:
      std::memcpy(buffer, "10.0.0.1:27960", 15);
      return 0;
    default:
      buffer[0] = 0;
      return 0;
  }
}
void QX_CDECL quietPrint(const char *, int32_t) {}
void QX_CDECL noSend(int32_t, const void *) {}
void QX_CDECL noNamedOp(const char *, const char *) {}
intptr_t QX_CDECL noCapture(int32_t) { return 0; }

QxGameInterface makeInterface() {
  QxGameInterface gi{};
  gi.magic = QX_INTERFACE_MAGIC;
  gi.query = cheapQuery;
  gi.print = quietPrint;
  gi.sendToServer = noSend;
  gi.namedOp = noNamedOp;
  gi.captureQuery = noCapture;
  return gi;
}

void BM_TickRead(benchmark::State &state) {
  for (auto _ : state) benchmark::DoNotOptimize(qx::platform::tickCount());
}
BENCHMARK(BM_TickRead);

void BM_FrameNotDue(benchmark::State &state) {
  qx::resetClientState();
  QxGameInterface gi = makeInterface();
  ca(&gi, 0);  // starts the client and runs the first frame
  qx::client().settings.sleep = 500;
  for (int i = 0; i < 8; ++i) ca(&gi, 0);  // GUID read, server change seen
  qx::client().frame.lastFrameTick = qx::platform::tickCount();
  for (auto _ : state) {
    benchmark::DoNotOptimize(ca(&gi, 0));
    // Keep the period test failing however long the run takes.
    if ((state.iterations() & 0xFFFF) == 0)
      qx::client().frame.lastFrameTick = qx::platform::tickCount();
  }
}
BENCHMARK(BM_FrameNotDue);

void BM_EmptyWorkFrame(benchmark::State &state) {
  qx::resetClientState();
  QxGameInterface gi = makeInterface();
  ca(&gi, 0);
  for (int i = 0; i < 8; ++i) ca(&gi, 0);
  qx::client().settings.netPort = 0;
  for (auto _ : state) qx::host::workFrame(&gi);
}
BENCHMARK(BM_EmptyWorkFrame);

std::vector<uint8_t> data(size_t size) {
  std::vector<uint8_t> d(size);
  for (size_t i = 0; i < size; ++i) d[i] = static_cast<uint8_t>(i * 131 + 7);
  return d;
}

void BM_Md5Seeded(benchmark::State &state) {
  const auto d = data(static_cast<size_t>(state.range(0)));
  uint8_t digest[16];
  for (auto _ : state) {
    qx::md5(d.data(), d.size(), 0x5C13E7A4u, digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Md5Seeded)->Arg(64)->Arg(1100)->Arg(1 << 20);

void BM_Md5OpenSsl(benchmark::State &state) {
  const auto d = data(static_cast<size_t>(state.range(0)));
  uint8_t digest[16];
  for (auto _ : state) {
    MD5(d.data(), d.size(), digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Md5OpenSsl)->Arg(64)->Arg(1100)->Arg(1 << 20);

}  // namespace

int main(int argc, char **argv) {
  qxbench::RatioReporter reporter;
  reporter.ratio("BM_FrameNotDue", "BM_TickRead");
  reporter.ratio("BM_EmptyWorkFrame", "BM_TickRead");
  // MD5: OpenSSL's time over ours, i.e. our throughput relative to OpenSSL.
  for (const char *size : {"64", "1100", "1048576"})
    reporter.ratio(std::string("BM_Md5OpenSsl/") + size,
                   std::string("BM_Md5Seeded/") + size);
  return qxbench::runWithRatios(argc, argv, reporter);
}
