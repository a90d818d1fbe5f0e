// The web update never stalls a frame: the worst single ca call during a
// whole exchange, against a silent server and against nginx, beside one
// bare ca call that is not due. And parsing and merging a full master list
// (4 entries, every table full) against a memcpy of its text.
#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/protocol.h"
#include "host/client_state.h"
#include "master/master_list.h"
#include "master/web_update.h"
#include "platform/platform.h"
#include "qx/qxcl.h"
#include "ratio_reporter.h"
#include "web_server.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string g_webAddress;  // what the host answers for the web host
char g_home[256];

// A host as cheap as a real game's: every answer is a short copy.
intptr_t QX_CDECL cheapQuery(int32_t code, char *buffer, int32_t size) {
  if (code == QX_Q_CVAR) {
    if (std::strcmp(buffer, "cl_quellor") == 0) {
      std::memcpy(buffer, "1", 2);
    } else if (std::strncmp(buffer, "qx_isresolved ", 14) == 0) {
      std::snprintf(buffer, static_cast<size_t>(size), "%s",
                    g_webAddress.c_str());
    } else {
      return 1;
    }
    return 0;
  }
  if (code == QX_Q_SERVER_ADDRESS) {
    std::memcpy(buffer, "10.0.0.1:27960", 15);
    return 0;
  }
  buffer[0] = 0;
  return 0;
}
void QX_CDECL quietPrint(const char *, int32_t) {}
void QX_CDECL noSend(int32_t, const void *) {}
void QX_CDECL noSendOob(const char *, int32_t, int32_t, const void *) {}
void QX_CDECL noNamedOp(const char *, const char *) {}
intptr_t QX_CDECL noCapture(int32_t) { return 0; }

QxGameInterface &startedClient() {
  static QxGameInterface gi{};
  qx::resetClientState();
  gi.magic = QX_INTERFACE_MAGIC;
  gi.query = cheapQuery;
  gi.print = quietPrint;
  gi.sendToServer = noSend;
  gi.sendOob = noSendOob;
  gi.namedOp = noNamedOp;
  gi.captureQuery = noCapture;
  if (!g_home[0]) {
    std::snprintf(g_home, sizeof g_home, "/tmp/qxbench_master_%d/",
                  static_cast<int>(qx::platform::processId()));
    qx::platform::makeDirectory(g_home);
  }
  std::memcpy(gi.homeDir, g_home, sizeof g_home);
  ca(&gi, 0);
  for (int i = 0; i < 4; ++i) ca(&gi, 0);  // server change seen
  return gi;
}

double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// Processor time of this thread: what a call itself costs, without the
// time the machine gave to other programs meanwhile.
double threadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The mean of one ca call that is not due.
double bareCall(QxGameInterface &gi) {
  qx::client().settings.sleep = 500;
  qx::client().frame.lastFrameTick = qx::platform::tickCount();
  constexpr int kCalls = 20000;
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < kCalls; ++i) benchmark::DoNotOptimize(ca(&gi, 0));
  return seconds(Clock::now() - start) / kCalls;
}

// One iteration is a whole web update; its time is that of the slowest ca
// call in it (wall clock). Every call is due, so half of them are work
// frames. Beside the wall clock the slowest call's processor time is
// reported, and how many calls took over 1 ms: on a busy machine a call can
// lose the processor to other programs, which no processor time shows.
void worstCallDuringWebUpdate(benchmark::State &state,
                              const std::string &address) {
  g_webAddress = address;
  QxGameInterface &gi = startedClient();
  const double bare = bareCall(gi);
  qx::client().settings.sleep = 0;
  double worstSeen = 0, worstCpu = 0;
  int64_t calls = 0, over = 0;
  for (auto _ : state) {
    qx::master::State &m = qx::client().master;
    m.web.lastAttempt = 0;
    qx::master::webUpdate(&gi, 0);
    if (m.web.phase == qx::master::WebPhase::Idle) {
      state.SkipWithError("the web update did not start");
      return;
    }
    double worst = 0;
    while (m.web.phase != qx::master::WebPhase::Idle) {
      const double cpuStart = threadSeconds();
      const Clock::time_point start = Clock::now();
      ca(&gi, 0);
      const double took = seconds(Clock::now() - start);
      const double cpu = threadSeconds() - cpuStart;
      if (took > worst) worst = took;
      if (cpu > worstCpu) worstCpu = cpu;
      if (took > 1e-3) ++over;
      ++calls;
    }
    state.SetIterationTime(worst);
    if (worst > worstSeen) worstSeen = worst;
  }
  state.counters["worst_ms"] = worstSeen * 1e3;
  state.counters["worst_cpu_ms"] = worstCpu * 1e3;
  state.counters["over_1ms"] = static_cast<double>(over);
  state.counters["bare_us"] = bare * 1e6;
  state.counters["worst/bare"] = worstSeen / bare;
  state.counters["calls"] = static_cast<double>(calls);
}

void BM_WebUpdateSilentServer(benchmark::State &state) {
  qxtest::ScriptedServer silent;
  const std::string address = qxtest::freshLoopbackAddress();
  if (!silent.listen(address)) {
    state.SkipWithError("cannot listen on port 80");
    return;
  }
  worstCallDuringWebUpdate(state, address);
}
BENCHMARK(BM_WebUpdateSilentServer)->UseManualTime()->Iterations(3);

void BM_WebUpdateNginx(benchmark::State &state) {
  qxtest::Nginx nginx;
  bool started = false;
  for (int attempt = 0; attempt < 4 && !started; ++attempt)
    started = nginx.start(qxtest::freshLoopbackAddress());
  if (!started) {
    state.SkipWithError(nginx.error().c_str());
    return;
  }
  std::string text = "<html>\n<p> S 2 ";
  text += qx::protocol::kBuiltInMasters[0];
  text += " 16567 0\n</html>\n";
  nginx.putFile(
      std::string("downloads/") + qx::protocol::kWebPathCode + "/qxsec.htm",
      text);
  worstCallDuringWebUpdate(state, nginx.address());
}
BENCHMARK(BM_WebUpdateNginx)->UseManualTime()->Iterations(200);

// ---- parsing and merging
// ------------------------------------------------------

std::string fullList() {
  const std::string d1 = "0123456789ABCDEF0123456789ABCDEF";
  const std::string d2 = "FEDCBA9876543210FEDCBA9876543210";
  std::string text = qx::protocol::kMasterListHeader;
  for (int kind = 2; kind <= 5; ++kind) {
    text += "<p> S " + std::to_string(kind) + " MASTER" + std::to_string(kind) +
            ".QUELLOR.EXAMPLE 16567 0\r\n";
    text += "<p> M MIRROR" + std::to_string(kind) + "A.EXAMPLE 16568\r\n";
    text += "<p> M MIRROR" + std::to_string(kind) + "B.EXAMPLE 16569\r\n";
    for (const char *k : {"A", "C", "S"})
      for (const char *p : {"W", "L", "K", "M"})
        for (int v = 1; v <= 8; ++v)
          text += std::string("<p> F ") + k + " " + p + " " +
                  std::to_string(1000 + v) + " 1A2B3 " + d1 + " " + d2 + "\r\n";
  }
  return text;
}

void BM_MemcpyListText(benchmark::State &state) {
  const std::string text = fullList();
  std::vector<char> buffer(text.size() + 1);
  for (auto _ : state) {
    std::memcpy(buffer.data(), text.c_str(), text.size() + 1);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_MemcpyListText);

// The list already holds every record, so the merge checks them all and
// changes (and writes) nothing.
void BM_ParseAndMergeFullList(benchmark::State &state) {
  g_webAddress = "10.0.0.9";
  QxGameInterface &gi = startedClient();
  const std::string text = fullList();
  std::vector<char> buffer(text.size() + 1);
  qx::master::State &m = qx::client().master;
  std::memcpy(buffer.data(), text.c_str(), text.size() + 1);
  qx::master::parseMasterList(&gi, buffer.data(),
                              static_cast<int32_t>(text.size()) + 1, m.entries,
                              &m.entryCount);
  for (auto _ : state) {
    std::memcpy(buffer.data(), text.c_str(), text.size() + 1);
    qx::master::parseMasterList(&gi, buffer.data(),
                                static_cast<int32_t>(text.size()) + 1, m.parsed,
                                &m.parsedCount);
    if (qx::master::mergeParsed(&gi) != qx::master::MergeOutcome::Unchanged)
      state.SkipWithError("the merge changed the list");
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ParseAndMergeFullList);

}  // namespace

int main(int argc, char **argv) {
  qxbench::RatioReporter reporter;
  reporter.ratio("BM_ParseAndMergeFullList", "BM_MemcpyListText");
  return qxbench::runWithRatios(argc, argv, reporter);
}
