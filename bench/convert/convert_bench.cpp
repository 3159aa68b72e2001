// The pixel converters on a 1920x1080 frame against libyuv, in the same run and on the same
// pixels: BgraToYCbCr420Interleaved against ARGBToNV12 (Y plus interleaved UV 4:2:0; libyuv's
// ARGB is our B,G,R,x byte order), BgraToRgb24 against ARGBToRGB24 and Rgb565ToRgb32 against
// RGB565ToARGB. After the runs each comparison is printed as
//   ratio <what> <ours/theirs>
// (below 1: ours is faster), for the dispatched build and for each build forced.
#include <benchmark/benchmark.h>
#include <libyuv.h>

#include <random>
#include <string>
#include <vector>

#include "bench/common/bench_report.h"
#include "display/convert/convert.h"
#include "jpeg/primitives/frame/cpu.h"
#include "jpeg/primitives/frame/dispatch.h"

namespace {

using namespace vorn::display;
using namespace vorn::bench;
using vorn::jpeg::prim::BuildRunsHere;
using vorn::jpeg::prim::kProcessorSlots;

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;

struct Frame {
  std::vector<uint8_t> src = std::vector<uint8_t>(size_t{4} * kWidth * kHeight);
  std::vector<uint8_t> src16 = std::vector<uint8_t>(size_t{2} * kWidth * kHeight);
  std::vector<uint8_t> y = std::vector<uint8_t>(size_t{kWidth} * kHeight);
  std::vector<uint8_t> uv = std::vector<uint8_t>(size_t{kWidth} * kHeight / 2);
  std::vector<uint8_t> rgb = std::vector<uint8_t>(size_t{3} * kWidth * kHeight);
  std::vector<uint8_t> wide = std::vector<uint8_t>(size_t{4} * kWidth * kHeight);
  Frame() {
    std::mt19937 rng(7);
    for (uint8_t& b : src) b = static_cast<uint8_t>(rng());
    for (uint8_t& b : src16) b = static_cast<uint8_t>(rng());
  }
};

Frame& TheFrame() {
  static Frame frame;
  return frame;
}

void OursNv12(benchmark::State& state, int32_t slot) {
  Frame& f = TheFrame();
  const auto fn = slot < 0 ? BgraToYCbCr420Interleaved : kBgraToYCbCr420InterleavedTable.slot[slot];
  for (auto _ : state) {
    fn({f.src.data(), kHeight, kWidth, 4 * kWidth}, {f.y.data(), kHeight, kWidth, kWidth},
       {f.uv.data(), kHeight / 2, kWidth / 2, kWidth});
    benchmark::ClobberMemory();
  }
}

void OursRgb24(benchmark::State& state, int32_t slot) {
  Frame& f = TheFrame();
  const auto fn = slot < 0 ? BgraToRgb24 : kBgraToRgb24Table.slot[slot];
  for (auto _ : state) {
    fn(f.rgb.data(), f.src.data(), 3 * kWidth, 4 * kWidth, kWidth, kHeight);
    benchmark::ClobberMemory();
  }
}

void OursRgb565(benchmark::State& state, int32_t slot) {
  Frame& f = TheFrame();
  const auto fn = slot < 0 ? Rgb565ToRgb32 : kRgb565ToRgb32Table.slot[slot];
  for (auto _ : state) {
    fn(f.wide.data(), f.src16.data(), 4 * kWidth, 2 * kWidth, kWidth, kHeight);
    benchmark::ClobberMemory();
  }
}

void TheirsNv12(benchmark::State& state) {
  Frame& f = TheFrame();
  for (auto _ : state) {
    benchmark::DoNotOptimize(libyuv::ARGBToNV12(f.src.data(), 4 * kWidth, f.y.data(), kWidth,
                                                f.uv.data(), kWidth, kWidth, kHeight));
    benchmark::ClobberMemory();
  }
}

void TheirsRgb24(benchmark::State& state) {
  Frame& f = TheFrame();
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        libyuv::ARGBToRGB24(f.src.data(), 4 * kWidth, f.rgb.data(), 3 * kWidth, kWidth, kHeight));
    benchmark::ClobberMemory();
  }
}

void TheirsRgb565(benchmark::State& state) {
  Frame& f = TheFrame();
  for (auto _ : state) {
    benchmark::DoNotOptimize(libyuv::RGB565ToARGB(f.src16.data(), 2 * kWidth, f.wide.data(),
                                                  4 * kWidth, kWidth, kHeight));
    benchmark::ClobberMemory();
  }
}

struct Pair {
  const char* ours;
  const char* theirs;
};
constexpr Pair kPairs[] = {{"BgraToYCbCr420Interleaved", "ARGBToNV12"},
                           {"BgraToRgb24", "ARGBToRGB24"},
                           {"Rgb565ToRgb32", "RGB565ToARGB"}};

}  // namespace

int main(int argc, char** argv) {
  vorn::jpeg::prim::InitPrimitives();
  InitializeBenchmarks(argc, argv, benchmark::kMicrosecond);
  Register("ours/BgraToYCbCr420Interleaved", OursNv12, -1);
  Register("ours/BgraToRgb24", OursRgb24, -1);
  Register("ours/Rgb565ToRgb32", OursRgb565, -1);
  // Each distinct build this machine runs, forced.
  std::vector<int32_t> slots;
  for (int32_t s = 0; s < kProcessorSlots; ++s) {
    if (!BuildRunsHere(s)) continue;
    if (s > 0 && kBgraToRgb24Table.slot[s] == kBgraToRgb24Table.slot[s - 1]) continue;
    slots.push_back(s);
    const std::string suffix = std::string("/") + kSlotNames[s];
    Register("ours/BgraToYCbCr420Interleaved" + suffix, OursNv12, s);
    Register("ours/BgraToRgb24" + suffix, OursRgb24, s);
    Register("ours/Rgb565ToRgb32" + suffix, OursRgb565, s);
  }
  Register("libyuv/ARGBToNV12", TheirsNv12);
  Register("libyuv/ARGBToRGB24", TheirsRgb24);
  Register("libyuv/RGB565ToARGB", TheirsRgb565);

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  for (const Pair& p : kPairs) {
    const std::string ours = std::string("ours/") + p.ours, theirs = std::string("libyuv/") + p.theirs;
    reporter.PrintRatio(std::string(p.ours) + "/" + p.theirs, ours, theirs);
    for (const int32_t s : slots) {
      reporter.PrintRatio(std::string(p.ours) + "[" + kSlotNames[s] + "]/" + p.theirs,
                          ours + "/" + kSlotNames[s], theirs);
    }
  }
  PrintDispatchedSlot();
  return 0;
}
