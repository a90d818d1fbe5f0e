// The web update never stalls a frame: the worst single ca call during a
// whole exchange, against a silent server and against nginx (with an update
// that changes nothing, and with one that changes the list, which is then
// saved), beside ca calls that are not due. And parsing and merging a full
// master list (4 entries, every table full) against a memcpy of its text.
#include <benchmark/benchmark.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
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

// calls ca calls that are not due, each timed: their mean, the slowest, and
// how many took over 1 ms. On a busy machine the slowest calls are those
// that lost the processor to other programs, so this is the yardstick for
// the calls of a web update.
struct BareCalls {
  double mean = 0, worst = 0;
  int64_t over = 0;
};
BareCalls bareCalls(QxGameInterface &gi, int64_t calls) {
  qx::client().settings.sleep = 500;
  qx::client().frame.lastFrameTick = qx::platform::tickCount();
  BareCalls b;
  const Clock::time_point first = Clock::now();
  for (int64_t i = 0; i < calls; ++i) {
    const Clock::time_point start = Clock::now();
    benchmark::DoNotOptimize(ca(&gi, 0));
    const double took = seconds(Clock::now() - start);
    if (took > b.worst) b.worst = took;
    if (took > 1e-3) ++b.over;
  }
  b.mean = seconds(Clock::now() - first) / static_cast<double>(calls);
  return b;
}

// One iteration is a whole web update; its time is that of the slowest ca
// call in it (wall clock). Every call is due, so half of them are work
// frames. Beside the wall clock the slowest call's processor time is
// reported, and how many calls took over 1 ms: on a busy machine a call can
// lose the processor to other programs, which no processor time shows, so
// the same number of bare calls is timed the same way beside them.
void worstCallDuringWebUpdate(
    benchmark::State &state, const std::string &address,
    const std::function<void(int64_t)> &beforeEach = nullptr) {
  g_webAddress = address;
  QxGameInterface &gi = startedClient();
  qx::client().settings.sleep = 0;
  double worstSeen = 0, worstCpu = 0, total = 0;
  int64_t calls = 0, over = 0;
  int64_t iteration = 0;
  for (auto _ : state) {
    if (beforeEach) beforeEach(iteration++);
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
      total += took;
      if (took > worst) worst = took;
      if (cpu > worstCpu) worstCpu = cpu;
      if (took > 1e-3) ++over;
      ++calls;
    }
    state.SetIterationTime(worst);
    if (worst > worstSeen) worstSeen = worst;
  }
  const BareCalls bare = bareCalls(gi, calls);
  state.counters["worst_ms"] = worstSeen * 1e3;
  state.counters["worst_cpu_ms"] = worstCpu * 1e3;
  state.counters["over_1ms"] = static_cast<double>(over);
  state.counters["bare_us"] = bare.mean * 1e6;
  state.counters["worst/bare"] = worstSeen / bare.mean;
  state.counters["bare_worst_ms"] = bare.worst * 1e3;
  state.counters["bare_over_1ms"] = static_cast<double>(bare.over);
  state.counters["calls"] = static_cast<double>(calls);
  state.counters["mean_us"] = total / static_cast<double>(calls) * 1e6;
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

// An update for the first built-in master; with a version, it adds that
// module version, so the merge changes the list and saves qxcl.db.
std::string webUpdateText(int64_t version) {
  std::string text = "<html>\n<p> S 2 ";
  text += qx::protocol::kBuiltInMasters[0];
  text += " 16567 0\n";
  if (version > 0)
    text += "<p> F A W " + std::to_string(version) +
            " 400 0123456789ABCDEF0123456789ABCDEF "
            "FEDCBA9876543210FEDCBA9876543210\n";
  return text + "</html>\n";
}

// Against nginx; with changing, every update adds a module version, so the
// call that ends the exchange also saves the master list.
void webUpdateNginx(benchmark::State &state, bool changing) {
  qxtest::Nginx nginx;
  bool started = false;
  for (int attempt = 0; attempt < 4 && !started; ++attempt)
    started = nginx.start(qxtest::freshLoopbackAddress());
  if (!started) {
    state.SkipWithError(nginx.error().c_str());
    return;
  }
  const std::string path =
      std::string("downloads/") + qx::protocol::kWebPathCode + "/qxsec.htm";
  nginx.putFile(path, webUpdateText(0));
  worstCallDuringWebUpdate(state, nginx.address(), [&](int64_t i) {
    if (changing) nginx.putFile(path, webUpdateText(1000 + i));
  });
}
void BM_WebUpdateNginx(benchmark::State &state) {
  webUpdateNginx(state, false);
}
BENCHMARK(BM_WebUpdateNginx)->UseManualTime()->Iterations(200);
void BM_WebUpdateNginxChangingList(benchmark::State &state) {
  webUpdateNginx(state, true);
}
BENCHMARK(BM_WebUpdateNginxChangingList)->UseManualTime()->Iterations(100);

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
