// Variable rules: one work frame's rule housekeeping with 1 and 200 rules
// stored (a frame tests one rule, so both cost about one variable read), and
// the full listing of 200 rules. The malloc counter shows that neither
// allocates.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "allocation_counter.h"
#include "cvars/host_query.h"
#include "cvars/rules.h"
#include "host/client_state.h"
#include "platform/platform.h"
#include "ratio_reporter.h"

namespace {

// A host as cheap as a real game's: every variable holds "2.5".
intptr_t QX_CDECL cheapQuery(int32_t code, char *buffer, int32_t) {
  if (code != QX_Q_CVAR) return 1;
  std::memcpy(buffer, "2.5", 4);
  return 0;
}
void QX_CDECL quietPrint(const char *, int32_t) {}

QxGameInterface g_gi = [] {
  QxGameInterface gi{};
  gi.magic = QX_INTERFACE_MAGIC;
  gi.query = cheapQuery;
  gi.print = quietPrint;
  return gi;
}();

// A complete set of n satisfied rules, as the server sends it.
void storeRules(int n) {
  qx::resetClientState();
  qx::client().host.gi = &g_gi;
  std::string block;
  char line[64];
  for (int i = 0; i < n; ++i) {
    std::snprintf(line, sizeof line, "%d cvar_%d in 1 %d\n", i + 1, i, i + 5);
    block += line;
  }
  block += std::to_string(n);
  qx::cvars::receiveRules(&g_gi, block.data(), static_cast<int>(block.size()));
}

void countAllocations(benchmark::State &state, uint64_t before) {
  state.counters["mallocs/iter"] =
      benchmark::Counter(static_cast<double>(qxbench::allocations() - before) /
                         static_cast<double>(state.iterations()));
}

void BM_ReadVariable(benchmark::State &state) {
  char value[qx::cvars::kHostText];
  for (auto _ : state) {
    qx::cvars::readVariable(&g_gi, "cvar_7", value);
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_ReadVariable);

void BM_RuleHousekeeping(benchmark::State &state) {
  storeRules(static_cast<int>(state.range(0)));
  uint32_t now = qx::platform::tickCount();
  const uint64_t before = qxbench::allocations();
  for (auto _ : state) qx::cvars::ruleHousekeeping(&g_gi, now++);
  countAllocations(state, before);
}
BENCHMARK(BM_RuleHousekeeping)->Arg(1)->Arg(200);

void BM_ListRules(benchmark::State &state) {
  storeRules(static_cast<int>(state.range(0)));
  const uint64_t before = qxbench::allocations();
  for (auto _ : state) qx::cvars::listRules(&g_gi, 0);
  countAllocations(state, before);
}
BENCHMARK(BM_ListRules)->Arg(200);

}  // namespace

int main(int argc, char **argv) {
  qxbench::RatioReporter reporter;
  reporter.ratio("BM_RuleHousekeeping/1", "BM_ReadVariable");
  reporter.ratio("BM_RuleHousekeeping/200", "BM_ReadVariable");
  reporter.ratio("BM_RuleHousekeeping/200", "BM_RuleHousekeeping/1");
  reporter.ratio("BM_ListRules/200", "BM_ReadVariable");
  reporter.ratio("BM_ListRules/200", "BM_RuleHousekeeping/200");
  return qxbench::runWithRatios(argc, argv, reporter);
}
