// The command processor on a setting line and on a line that matches
// nothing, against a plain case-insensitive scan of the 32 command and
// setting names; the allocation counter shows that no line allocates.
#include <benchmark/benchmark.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "allocation_counter.h"
#include "console/command_processor.h"
#include "host/client_state.h"
#include "ratio_reporter.h"

namespace {

void QX_CDECL quietPrint(const char *, int32_t) {}
void QX_CDECL noNamedOp(const char *, const char *) {}
intptr_t QX_CDECL noQuery(int32_t, char *, int32_t) { return 0; }

QxGameInterface g_gi;

void enabledClient() {
  qx::resetClientState();
  g_gi = QxGameInterface{};
  g_gi.magic = QX_INTERFACE_MAGIC;
  g_gi.print = quietPrint;
  g_gi.namedOp = noNamedOp;
  g_gi.query = noQuery;
  qx::client().host.gi = &g_gi;
  qx::client().host.enabled = 1;
}

constexpr const char *kNames[32] = {
    "qx_cl_Enable",   "qx_cl_Disable",  "qx_Load",        "qx_Ver",
    "qx_Plist",       "qx_SsOptions",   "qx_GetSs",       "qx_CvarList",
    "qx_CvarVal",     "qx_BindSrch",    "qx_CvarSrch",    "qx_CvarUser",
    "qx_CvarChanged", "qx_WriteCfg",    "qx_RegNameFull", "qx_RegNamePartial",
    "qx_RegNameDel",  "qx_RegNameList", "qx_Power",       "qx_Kick",
    "qx_MsgPrefix",   "qx_Security",    "qx_Sleep",       "qx_LogToFile",
    "qx_SsLog",       "qx_SsSave",      "qx_RegNameFn",   "qx_RegNamePw",
    "qx_LogUser",     "qx_LogPw",       "qx_LogAddr",     "qx_LogPort"};

constexpr const char *kSettingLine = "qx_Sleep 250";
constexpr const char *kUnknownLine = "qx_Nothing 250";

// Neither line is changed by processing (no comment, no trailing blanks),
// so one buffer serves every iteration.
void processRepeatedly(benchmark::State &state, const char *text) {
  enabledClient();
  char line[64];
  std::strcpy(line, text);
  const uint64_t before = qxbench::allocations();
  for (auto _ : state)
    benchmark::DoNotOptimize(qx::console::processLine(&g_gi, line, 0, 1));
  state.counters["allocations"] =
      static_cast<double>(qxbench::allocations() - before);
}

void BM_ProcessSettingLine(benchmark::State &state) {
  processRepeatedly(state, kSettingLine);
}
BENCHMARK(BM_ProcessSettingLine);

void BM_ProcessUnknownLine(benchmark::State &state) {
  processRepeatedly(state, kUnknownLine);
}
BENCHMARK(BM_ProcessUnknownLine);

void scanNames(benchmark::State &state, const char *line) {
  for (auto _ : state) {
    int found = -1;
    for (int i = 0; i < 32 && found < 0; ++i)
      if (strncasecmp(line, kNames[i], std::strlen(kNames[i])) == 0) found = i;
    benchmark::DoNotOptimize(found);
  }
}

void BM_ScanNamesSettingLine(benchmark::State &state) {
  scanNames(state, kSettingLine);
}
BENCHMARK(BM_ScanNamesSettingLine);

void BM_ScanNamesUnknownLine(benchmark::State &state) {
  scanNames(state, kUnknownLine);
}
BENCHMARK(BM_ScanNamesUnknownLine);

}  // namespace

int main(int argc, char **argv) {
  qxbench::RatioReporter reporter;
  reporter.ratio("BM_ProcessSettingLine", "BM_ScanNamesSettingLine");
  reporter.ratio("BM_ProcessUnknownLine", "BM_ScanNamesUnknownLine");
  return qxbench::runWithRatios(argc, argv, reporter);
}
