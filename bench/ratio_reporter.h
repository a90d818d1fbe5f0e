// A console reporter that also prints, after the run, the time of named
// benchmarks as ratios against their baselines measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qxbench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // ratio(subject, baseline): subject's CPU time per iteration over the
  // baseline's (CPU time, so that other load on the machine counts less).
  void ratio(const std::string &subject, const std::string &baseline) {
    pairs_.emplace_back(subject, baseline);
  }

  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs)
      if (r.run_type == Run::RT_Iteration && r.iterations > 0)
        times_[r.benchmark_name()] = r.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf(
        "\nRatios (time of the first / time of the second, same run):\n");
    for (const auto &[subject, baseline] : pairs_) {
      auto s = times_.find(subject), b = times_.find(baseline);
      if (s == times_.end() || b == times_.end() || b->second <= 0) continue;
      std::printf("  %-40s / %-34s = %6.3f\n", subject.c_str(),
                  baseline.c_str(), s->second / b->second);
    }
  }

 private:
  std::map<std::string, double> times_;
  std::vector<std::pair<std::string, std::string>> pairs_;
};

// Runs the registered benchmarks with the reporter; use from main().
inline int runWithRatios(int argc, char **argv, RatioReporter &reporter) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace qxbench
