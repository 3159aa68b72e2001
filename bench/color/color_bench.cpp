// BgraToYCbCr420Planes and BgraToYCbCrPlanes on a 1920x1080 frame against libyuv, in the
// same run and on the same pixels. libyuv's ARGB is our B,G,R,x byte order; ARGBToJ420 is
// its full-range 4:2:0 (the like-for-like one), ARGBToI420 the limited-range one, and
// ARGBToI444 its 4:4:4. After the runs each comparison is printed as
//   ratio <what> <ours/theirs>
// (below 1: ours is faster), for the dispatched build and for each build forced.
#include <benchmark/benchmark.h>
#include <libyuv.h>

#include <random>
#include <string>
#include <vector>

#include "bench/common/bench_report.h"
#include "jpeg/primitives/color/color.h"
#include "jpeg/primitives/frame/cpu.h"
#include "jpeg/primitives/frame/dispatch.h"

namespace {

using namespace vorn::jpeg::prim;
using namespace vorn::bench;

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

}  // namespace

int main(int argc, char** argv) {
  InitPrimitives();
  InitializeBenchmarks(argc, argv);
  Register("ours/BgraToYCbCr420Planes", Ours420, -1);
  Register("ours/BgraToYCbCrPlanes", Ours444, -1);
  // Each distinct build this machine runs, forced.
  std::vector<int32_t> slots;
  // The portable build first, then each slot with a build of its own.
  BgraToYCbCr420PlanesFn previous = nullptr;
  for (int32_t s : kEntriesReferenceFirst) {
    if (!BuildRunsHere(s) || kBgraToYCbCr420PlanesTable.slot[s] == previous) continue;
    previous = kBgraToYCbCr420PlanesTable.slot[s];
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

  for (const char* theirs : {"ARGBToJ420", "ARGBToI420"}) {
    reporter.PrintRatio(std::string("BgraToYCbCr420Planes/") + theirs, "ours/BgraToYCbCr420Planes",
                        std::string("libyuv/") + theirs);
    for (const int32_t s : slots) {
      reporter.PrintRatio(std::string("BgraToYCbCr420Planes[") + kSlotNames[s] + "]/" + theirs,
                          std::string("ours/BgraToYCbCr420Planes/") + kSlotNames[s],
                          std::string("libyuv/") + theirs);
    }
    reporter.PrintRatio(std::string("BgraToYCbCrPlanes/") + theirs, "ours/BgraToYCbCrPlanes",
                        std::string("libyuv/") + theirs);
  }
  reporter.PrintRatio("BgraToYCbCrPlanes/ARGBToI444", "ours/BgraToYCbCrPlanes",
                      "libyuv/ARGBToI444");
  for (const int32_t s : slots) {
    reporter.PrintRatio(std::string("BgraToYCbCrPlanes[") + kSlotNames[s] + "]/ARGBToI444",
                        std::string("ours/BgraToYCbCrPlanes/") + kSlotNames[s],
                        "libyuv/ARGBToI444");
  }
  PrintDispatchedSlot();
  return 0;
}
