// DownsampleRows2x2 on a 1920x1080 chroma plane (540 output rows of 960 samples) against
// libjpeg-turbo's 2x2 down-sampling through its own processor dispatch, which rounds with the
// same alternating bias, so both must give the same bytes (checked first). After the runs
// each comparison is printed as
//   ratio <what> <ours/theirs>
// (below 1: ours is faster), for the dispatched build and for each build forced.
#include <benchmark/benchmark.h>

#include <cstdio>

#include <random>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "bench/common/bench_report.h"
#include "jpeg/primitives/frame/cpu.h"
#include "jpeg/primitives/frame/dispatch.h"
#include "jpeg/primitives/sampling/downsample.h"

extern "C" {
int jsimd_can_h2v2_downsample(void);
void jsimd_h2v2_downsample(j_compress_ptr cinfo, jpeg_component_info* compptr,
                           JSAMPARRAY input_data, JSAMPARRAY output_data);
}

namespace {

using namespace vorn::jpeg::prim;
using namespace vorn::bench;

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;

struct Plane {
  std::vector<uint8_t> src = std::vector<uint8_t>(size_t{kWidth} * kHeight);
  std::vector<uint8_t> dst = std::vector<uint8_t>(size_t{kWidth / 2} * kHeight / 2);
  std::vector<JSAMPROW> srcRows = std::vector<JSAMPROW>(kHeight);
  std::vector<JSAMPROW> dstRows = std::vector<JSAMPROW>(kHeight / 2);
  jpeg_compress_struct cinfo{};
  jpeg_component_info component{};

  Plane() {
    std::mt19937 rng(5);
    for (uint8_t& b : src) b = static_cast<uint8_t>(rng());
    for (int32_t y = 0; y < kHeight; ++y) srcRows[y] = src.data() + size_t{kWidth} * y;
    for (int32_t y = 0; y < kHeight / 2; ++y) dstRows[y] = dst.data() + size_t{kWidth / 2} * y;
    // One output row from two input rows per call, the frame's width in whole blocks.
    cinfo.image_width = kWidth;
    cinfo.max_v_samp_factor = 2;
    component.v_samp_factor = 1;
    component.width_in_blocks = kWidth / 2 / 8;
  }
};

Plane& ThePlane() {
  static Plane plane;
  return plane;
}

void Ours(benchmark::State& state, int32_t slot) {
  Plane& p = ThePlane();
  const auto fn = slot < 0 ? DownsampleRows2x2 : kDownsampleRows2x2Table.slot[slot];
  for (auto _ : state) {
    for (int32_t y = 0; y < kHeight / 2; ++y) fn(p.srcRows[2 * y], p.srcRows[2 * y + 1], kWidth, p.dstRows[y]);
    benchmark::ClobberMemory();
  }
}

void Theirs(benchmark::State& state) {
  Plane& p = ThePlane();
  for (auto _ : state) {
    for (int32_t y = 0; y < kHeight / 2; ++y) {
      jsimd_h2v2_downsample(&p.cinfo, &p.component, p.srcRows.data() + 2 * y, p.dstRows.data() + y);
    }
    benchmark::ClobberMemory();
  }
}

bool SameBytes() {
  Plane& p = ThePlane();
  std::vector<uint8_t> ours(p.dst.size());
  for (int32_t y = 0; y < kHeight / 2; ++y) {
    DownsampleRows2x2(p.srcRows[2 * y], p.srcRows[2 * y + 1], kWidth, ours.data() + size_t{kWidth / 2} * y);
  }
  for (int32_t y = 0; y < kHeight / 2; ++y) {
    jsimd_h2v2_downsample(&p.cinfo, &p.component, p.srcRows.data() + 2 * y, p.dstRows.data() + y);
  }
  const bool same = ours == p.dst;
  std::printf("check: outputs %s\n", same ? "identical" : "differ");
  return same;
}

}  // namespace

int main(int argc, char** argv) {
  InitPrimitives();
  if (!jsimd_can_h2v2_downsample()) {
    std::printf("libjpeg-turbo reports no vector down-sampling on this machine\n");
    return 1;
  }
  if (!SameBytes()) return 1;
  InitializeBenchmarks(argc, argv, benchmark::kMicrosecond);
  Register("ours/DownsampleRows2x2", Ours, -1);
  std::vector<int32_t> slots;
  // The portable build first, then each slot with a build of its own.
  DownsampleRows2x2Fn previous = nullptr;
  for (int32_t s : kEntriesReferenceFirst) {
    if (!BuildRunsHere(s) || kDownsampleRows2x2Table.slot[s] == previous) continue;
    previous = kDownsampleRows2x2Table.slot[s];
    slots.push_back(s);
    Register(std::string("ours/DownsampleRows2x2/") + kSlotNames[s], Ours, s);
  }
  Register("libjpeg-turbo/h2v2_downsample", Theirs);

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  reporter.PrintRatio("DownsampleRows2x2/h2v2_1080p_chroma", "ours/DownsampleRows2x2",
                      "libjpeg-turbo/h2v2_downsample");
  for (const int32_t s : slots) {
    reporter.PrintRatio(std::string("DownsampleRows2x2[") + kSlotNames[s] + "]/h2v2_1080p_chroma",
                        std::string("ours/DownsampleRows2x2/") + kSlotNames[s],
                        "libjpeg-turbo/h2v2_downsample");
  }
  PrintDispatchedSlot();
  return 0;
}
