// ForwardDctQuant8x8 on every 8x8 block of a 1920x1080 luminance plane against libjpeg-turbo's
// accurate integer path for the same blocks: its sample conversion, islow DCT and
// quantisation, through its own processor dispatch (the vector builds on this machine), with
// the same quality-75 table. After the runs each comparison is printed as
//   ratio <what> <ours/theirs>
// (below 1: ours is faster), for the dispatched build and for each build forced.
#include <benchmark/benchmark.h>

#include <cstdio>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "bench/common/bench_report.h"
#include "jpeg/primitives/dct/forward_dct.h"
#include "jpeg/primitives/frame/cpu.h"
#include "jpeg/primitives/frame/dispatch.h"
#include "jpeg/primitives/movement/movement.h"
#include "jpeg/primitives/quant/quant_table.h"

// libjpeg-turbo's block entry points (its 8-bit build works on 16-bit DCT elements).
extern "C" {
void jsimd_convsamp(JSAMPARRAY sample_data, JDIMENSION start_col, short* workspace);
void jsimd_fdct_islow(short* data);
void jsimd_quantize(JCOEFPTR coef_block, short* divisors, short* workspace);
int jsimd_can_convsamp(void);
int jsimd_can_fdct_islow(void);
int jsimd_can_quantize(void);
// Its SSE2 build, to set beside ours.
void jsimd_convsamp_sse2(JSAMPARRAY sample_data, JDIMENSION start_col, short* workspace);
void jsimd_fdct_islow_sse2(short* data);
void jsimd_quantize_sse2(JCOEFPTR coef_block, short* divisors, short* workspace);
}

namespace {

using namespace vorn::jpeg::prim;
using namespace vorn::bench;

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;
constexpr int32_t kBlocksX = kWidth / 8;
constexpr int32_t kBlocksY = kHeight / 8;
constexpr int32_t kBlocks = kBlocksX * kBlocksY;

// libjpeg-turbo's reciprocal form of a divisor for its vector quantisation: reciprocal,
// correction, scale and shift planes of 64 entries each.
void TurboReciprocal(uint16_t divisor, short* dtbl) {
  int b = 0;
  while ((1u << (b + 1)) <= divisor) ++b;  // floor(log2)
  int r = 16 + b;
  uint32_t fq = (1u << r) / divisor;
  const uint32_t fr = (1u << r) % divisor;
  uint16_t c = divisor / 2;
  if (fr == 0) {
    fq >>= 1;
    --r;
  } else if (fr <= divisor / 2u) {
    ++c;
  } else {
    ++fq;
  }
  dtbl[0] = static_cast<short>(fq);
  dtbl[64] = static_cast<short>(c);
  dtbl[128] = static_cast<short>(1 << (32 - r));
  dtbl[192] = static_cast<short>(r - 16);
}

struct Frame {
  std::vector<uint8_t> plane = std::vector<uint8_t>(size_t{kWidth} * kHeight);
  std::vector<JSAMPROW> rows = std::vector<JSAMPROW>(kHeight);
  std::vector<int16_t> coefficients = std::vector<int16_t>(size_t{64} * kBlocks);
  uint16_t forward[64];
  alignas(32) short divisors[256];
  alignas(32) short workspace[64];

  Frame() {
    // A smooth picture with noise, like a desktop photo rather than white noise.
    std::mt19937 rng(11);
    for (int32_t y = 0; y < kHeight; ++y) {
      for (int32_t x = 0; x < kWidth; ++x) {
        const int v = 128 + (x * 7 + y * 3) % 96 - 48 + static_cast<int>(rng() % 17) - 8;
        plane[size_t{kWidth} * y + x] = static_cast<uint8_t>(std::clamp(v, 0, 255));
      }
      rows[y] = plane.data() + size_t{kWidth} * y;
    }
    uint8_t raw[64];
    std::copy(StdLumaQuant.begin(), StdLumaQuant.end(), raw);
    ScaleQuantTableByQuality(raw, 75);
    BuildForwardQuantTable(raw, forward);
    // libjpeg's islow output carries a factor of 8, folded into its divisors.
    for (int k = 0; k < 64; ++k) {
      TurboReciprocal(static_cast<uint16_t>(raw[ZigzagNaturalIndex[k]] * 8), divisors + k);
    }
  }
};

Frame& TheFrame() {
  static Frame frame;
  return frame;
}

void OursFrame(benchmark::State& state, int32_t slot) {
  Frame& f = TheFrame();
  const auto fn = slot < 0 ? ForwardDctQuant8x8 : kForwardDctQuant8x8Table.slot[slot];
  for (auto _ : state) {
    int16_t* out = f.coefficients.data();
    for (int32_t by = 0; by < kBlocksY; ++by) {
      const uint8_t* row = f.plane.data() + size_t{8} * kWidth * by;
      for (int32_t bx = 0; bx < kBlocksX; ++bx, out += 64) fn(row + 8 * bx, kWidth, out, f.forward);
    }
    benchmark::ClobberMemory();
  }
  state.counters["ns_per_block"] = benchmark::Counter(
      static_cast<double>(kBlocks), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void TurboBlock(Frame& f, int32_t bx, int32_t by, int16_t* out) {
  jsimd_convsamp(f.rows.data() + 8 * by, static_cast<JDIMENSION>(8 * bx), f.workspace);
  jsimd_fdct_islow(f.workspace);
  jsimd_quantize(out, f.divisors, f.workspace);
}

void TurboBlockSse2(Frame& f, int32_t bx, int32_t by, int16_t* out) {
  jsimd_convsamp_sse2(f.rows.data() + 8 * by, static_cast<JDIMENSION>(8 * bx), f.workspace);
  jsimd_fdct_islow_sse2(f.workspace);
  jsimd_quantize_sse2(out, f.divisors, f.workspace);
}

void TurboFrame(benchmark::State& state, void (*block)(Frame&, int32_t, int32_t, int16_t*)) {
  Frame& f = TheFrame();
  for (auto _ : state) {
    int16_t* out = f.coefficients.data();
    for (int32_t by = 0; by < kBlocksY; ++by) {
      for (int32_t bx = 0; bx < kBlocksX; ++bx, out += 64) block(f, bx, by, out);
    }
    benchmark::ClobberMemory();
  }
  state.counters["ns_per_block"] = benchmark::Counter(
      static_cast<double>(kBlocks), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Both sides must compute the same thing: the two transforms round differently, so the
// quantised coefficients may differ by one, but by no more.
bool SameComputation() {
  Frame& f = TheFrame();
  int32_t worst = 0;
  int64_t differing = 0;
  int16_t ours[64], theirs[64];
  for (int32_t by = 0; by < kBlocksY; by += 7) {
    for (int32_t bx = 0; bx < kBlocksX; bx += 5) {
      ForwardDctQuant8x8(f.plane.data() + size_t{8} * kWidth * by + 8 * bx, kWidth, ours, f.forward);
      TurboBlock(f, bx, by, theirs);
      for (int k = 0; k < 64; ++k) {
        worst = std::max(worst, std::abs(ours[k] - theirs[k]));
        differing += ours[k] != theirs[k];
      }
    }
  }
  std::printf("check: coefficients differing %lld, by at most %d\n", static_cast<long long>(differing), worst);
  return worst <= 1;
}

}  // namespace

int main(int argc, char** argv) {
  InitPrimitives();
  if (!jsimd_can_convsamp() || !jsimd_can_fdct_islow() || !jsimd_can_quantize()) {
    std::printf("libjpeg-turbo reports no vector DCT on this machine; comparing with its plain code\n");
  }
  if (!SameComputation()) {
    std::printf("the two sides disagree by more than rounding; no comparison\n");
    return 1;
  }
  InitializeBenchmarks(argc, argv, benchmark::kMicrosecond);
  Register("ours/ForwardDctQuant8x8", OursFrame, -1);
  std::vector<int32_t> slots;
  // The portable build first, then each slot with a build of its own.
  ForwardDctQuant8x8Fn previous = nullptr;
  for (int32_t s : kEntriesReferenceFirst) {
    if (!BuildRunsHere(s) || kForwardDctQuant8x8Table.slot[s] == previous) continue;
    previous = kForwardDctQuant8x8Table.slot[s];
    slots.push_back(s);
    Register(std::string("ours/ForwardDctQuant8x8/") + kSlotNames[s], OursFrame, s);
  }
  Register("libjpeg-turbo/islow+quantize", TurboFrame, TurboBlock);
  Register("libjpeg-turbo/islow+quantize/sse2", TurboFrame, TurboBlockSse2);

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  reporter.PrintRatio("ForwardDctQuant8x8/islow_1080p_frame", "ours/ForwardDctQuant8x8",
                      "libjpeg-turbo/islow+quantize");
  for (const int32_t s : slots) {
    reporter.PrintRatio(std::string("ForwardDctQuant8x8[") + kSlotNames[s] + "]/islow_1080p_frame",
                        std::string("ours/ForwardDctQuant8x8/") + kSlotNames[s],
                        "libjpeg-turbo/islow+quantize");
  }
  reporter.PrintRatio("ForwardDctQuant8x8[s2]/islow_sse2_1080p_frame", "ours/ForwardDctQuant8x8/s2",
                      "libjpeg-turbo/islow+quantize/sse2");
  PrintDispatchedSlot();
  return 0;
}
