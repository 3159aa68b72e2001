// What every comparing benchmark shares: its run settings, the registration of a benchmark
// with its best repetition as a statistic, the names of the processor slots, and a console
// reporter that keeps each benchmark's best time and prints the comparisons as
//   ratio <what> <ours/theirs>
// one line each (below 1: ours is faster), so a script can read them.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "jpeg/primitives/frame/dispatch.h"

namespace vorn::bench {

// Names of the dispatch table entries (the processor slots, then the portable build), as the
// forced builds' benchmarks and ratio lines show them. Slots 0 and 1 both hold the SSE2 build.
inline constexpr const char* kSlotNames[vorn::jpeg::prim::kDispatchEntries] = {
    "s2", "s2", "s3", "am", "s4", "v1", "v2", "plain"};

// Parses the command line after the defaults: repetitions in random order, so that a busy
// moment of the machine does not fall on one side of a comparison only, and aggregates only.
// Flags on the command line come after these and win. Every benchmark registered afterwards
// reports in |unit|, so that the times a ratio divides are alike.
inline void InitializeBenchmarks(int argc, char** argv,
                                 benchmark::TimeUnit unit = benchmark::kNanosecond) {
  std::vector<char*> args(argv, argv + argc);
  char repetitions[] = "--benchmark_repetitions=7";
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  char minTime[] = "--benchmark_min_time=0.2";
  char brief[] = "--benchmark_report_aggregates_only=true";
  args.insert(args.begin() + 1, {repetitions, interleave, minTime, brief});
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  benchmark::SetDefaultTimeUnit(unit);
}

// The "min" statistic: the best of the repetitions.
inline double Fastest(const std::vector<double>& v) {
  return *std::min_element(v.begin(), v.end());
}

// Registers a benchmark with the "min" statistic the reporter compares.
template <typename... Args>
void Register(const std::string& name, Args&&... args) {
  benchmark::RegisterBenchmark(name.c_str(), std::forward<Args>(args)...)
      ->ComputeStatistics("min", Fastest);
}

// Keeps each benchmark's best time per iteration for the ratio lines.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // No colour codes, so each ratio line starts its line.
  RatioReporter() : ConsoleReporter(OO_Tabular) {}

  std::map<std::string, double> seconds;

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    // The fastest repetition counts: the least disturbed by whatever else the machine runs.
    for (const Run& run : runs) {
      const bool single = run.run_type == Run::RT_Iteration && run.iterations > 0;
      const bool best = run.run_type == Run::RT_Aggregate && run.aggregate_name == "min";
      if (!single && !best) continue;
      const std::string name = run.run_name.function_name;
      const double t = run.GetAdjustedRealTime();
      auto it = seconds.find(name);
      if (it == seconds.end() || t < it->second) seconds[name] = t;
    }
  }

  // Prints "ratio <what> <ours/theirs>" from the best times of the benchmarks named |ours| and
  // |theirs| (in the same time unit); nothing if either did not run.
  void PrintRatio(const std::string& what, const std::string& ours,
                  const std::string& theirs) const {
    const auto o = seconds.find(ours), t = seconds.find(theirs);
    if (o == seconds.end() || t == seconds.end() || t->second <= 0) return;
    std::printf("ratio %s %.3f\n", what.c_str(), o->second / t->second);
  }
};

// The build the dispatch picked on this machine, after the ratio lines.
inline void PrintDispatchedSlot() {
  std::printf("dispatched slot %s\n", kSlotNames[vorn::jpeg::prim::CurrentProcessorIndex()]);
}

}  // namespace vorn::bench
