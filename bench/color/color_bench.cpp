// BgraToYCbCr420Planes and BgraToYCbCrPlanes on a 1920x1080 frame against libyuv, in the
// same run and on the same pixels. libyuv's ARGB is our B,G,R,x byte order; ARGBToJ420 is
// its full-range 4:2:0 (the like-for-like one), ARGBToI420 the limited-range one, and
// ARGBToI444 its 4:4:4. After the runs each comparison is printed as
//   ratio <what> <ours/theirs>
// (below 1: ours is faster), for the dispatched build and for each build forced.
#include <benchmark/benchmark.h>
#include <libyuv.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "jpeg/primitives/color/color.h"
#include "jpeg/primitives/frame/cpu.h"
#include "jpeg/primitives/frame/dispatch.h"

namespace {

using namespace vorn::jpeg::prim;

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;

struct Frame {
  std::vector<uint8_t> src = std::vector<uint8_t>(size_t{4} * kWidth * kHeight);
  std::vector<uint8_t> y = std::vector<uint8_t>(size_t{kWidth} * kHeight);
  std::vector<uint8_t> u = std::vector<uint8_t>(size_t{kWidth} * kHeight);
  std::vector<uint8_t> v = std::vector<uint8_t>(size_t{kWidth} * kHeight);
  Frame() {
    std::mt19937 rng(7);
    for (uint8_t& b : src) b = static_cast<uint8_t>(rng());
  }
};

Frame& TheFrame() {
  static Frame frame;
  return frame;
}

void Ours420(benchmark::State& state, int32_t slot) {
  Frame& f = TheFrame();
  uint8_t* dst[3] = {f.y.data(), f.u.data(), f.v.data()};
  const int32_t steps[3] = {kWidth, kWidth / 2, kWidth / 2};
  const auto fn = slot < 0 ? BgraToYCbCr420Planes : kBgraToYCbCr420PlanesTable.slot[slot];
  for (auto _ : state) {
    benchmark::DoNotOptimize(fn(f.src.data(), 4 * kWidth, dst, steps, kWidth, kHeight));
    benchmark::ClobberMemory();
  }
}

void Ours444(benchmark::State& state, int32_t slot) {
  Frame& f = TheFrame();
  uint8_t* dst[3] = {f.y.data(), f.u.data(), f.v.data()};
  const auto fn = slot < 0 ? BgraToYCbCrPlanes : kBgraToYCbCrPlanesTable.slot[slot];
  for (auto _ : state) {
    benchmark::DoNotOptimize(fn(f.src.data(), 4 * kWidth, dst, kWidth, kWidth, kHeight));
    benchmark::ClobberMemory();
  }
}

template <int (*Convert)(const uint8_t*, int, uint8_t*, int, uint8_t*, int, uint8_t*, int, int,
                         int)>
void Theirs(benchmark::State& state, int chromaStride) {
  Frame& f = TheFrame();
  for (auto _ : state) {
    benchmark::DoNotOptimize(Convert(f.src.data(), 4 * kWidth, f.y.data(), kWidth, f.u.data(),
                                     chromaStride, f.v.data(), chromaStride, kWidth, kHeight));
    benchmark::ClobberMemory();
  }
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
};

double Fastest(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

template <typename... Args>
void Register(const std::string& name, Args&&... args) {
  benchmark::RegisterBenchmark(name.c_str(), std::forward<Args>(args)...)
      ->ComputeStatistics("min", Fastest);
}

const char* const kSlotNames[kProcessorSlots] = {"s2-plain", "s2", "s3", "am", "s4", "v1", "v2"};

}  // namespace

int main(int argc, char** argv) {
  InitPrimitives();
  // Repetitions in random order, so that a busy moment of the machine does not fall on one
  // side of a comparison only; flags on the command line come after these and win.
  std::vector<char*> args(argv, argv + argc);
  char repetitions[] = "--benchmark_repetitions=7";
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  char minTime[] = "--benchmark_min_time=0.2";
  char brief[] = "--benchmark_report_aggregates_only=true";
  args.insert(args.begin() + 1, {repetitions, interleave, minTime, brief});
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  Register("ours/BgraToYCbCr420Planes", Ours420, -1);
  Register("ours/BgraToYCbCrPlanes", Ours444, -1);
  // Each distinct build this machine runs, forced.
  std::vector<int32_t> slots;
  for (int32_t s = 0; s < kProcessorSlots; ++s) {
    if (!BuildRunsHere(s)) continue;
    if (s > 0 && kBgraToYCbCr420PlanesTable.slot[s] == kBgraToYCbCr420PlanesTable.slot[s - 1]) {
      continue;
    }
    slots.push_back(s);
    Register(("ours/BgraToYCbCr420Planes/" + std::string(kSlotNames[s])).c_str(), Ours420, s);
    Register(("ours/BgraToYCbCrPlanes/" + std::string(kSlotNames[s])).c_str(), Ours444, s);
  }
  Register("libyuv/ARGBToJ420", Theirs<libyuv::ARGBToJ420>, kWidth / 2);
  Register("libyuv/ARGBToI420", Theirs<libyuv::ARGBToI420>, kWidth / 2);
  Register("libyuv/ARGBToI444", Theirs<libyuv::ARGBToI444>, kWidth);

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  auto ratio = [&](const std::string& what, const std::string& ours, const std::string& theirs) {
    const auto o = reporter.seconds.find(ours), t = reporter.seconds.find(theirs);
    if (o == reporter.seconds.end() || t == reporter.seconds.end() || t->second <= 0) return;
    std::printf("ratio %s %.3f\n", what.c_str(), o->second / t->second);
  };
  const std::string slotName = kSlotNames[CurrentProcessorIndex()];
  for (const char* theirs : {"ARGBToJ420", "ARGBToI420"}) {
    ratio(std::string("BgraToYCbCr420Planes/") + theirs, "ours/BgraToYCbCr420Planes",
          std::string("libyuv/") + theirs);
    for (const int32_t s : slots) {
      ratio(std::string("BgraToYCbCr420Planes[") + kSlotNames[s] + "]/" + theirs,
            std::string("ours/BgraToYCbCr420Planes/") + kSlotNames[s],
            std::string("libyuv/") + theirs);
    }
    ratio(std::string("BgraToYCbCrPlanes/") + theirs, "ours/BgraToYCbCrPlanes",
          std::string("libyuv/") + theirs);
  }
  ratio("BgraToYCbCrPlanes/ARGBToI444", "ours/BgraToYCbCrPlanes", "libyuv/ARGBToI444");
  for (const int32_t s : slots) {
    ratio(std::string("BgraToYCbCrPlanes[") + kSlotNames[s] + "]/ARGBToI444",
          std::string("ours/BgraToYCbCrPlanes/") + kSlotNames[s], "libyuv/ARGBToI444");
  }
  std::printf("dispatched slot %s\n", slotName.c_str());
  return 0;
}
