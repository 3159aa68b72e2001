// The encoder core's other frames on one 1920x1080 photo-like image, on one thread:
// - planar 8-bit Y, Cb, Cr planes (4:2:0) in a baseline frame (quality 95, restart interval 1,
//   standard tables), against libjpeg-turbo's raw-data input with the same settings
//   (2x2/1x1/1x1, accurate integer DCT, restart interval 1);
// - 12-bit R, G, B samples in an extended frame (tables built for the image);
// - lossless frames of 8-bit R, G, B (standard and built tables) and 16-bit gray samples.
// The stock libjpeg-turbo of the build codes 8-bit sequential and progressive frames only, so
// the 12-bit and lossless rows have nothing to compare with. After the runs a table gives the
// milliseconds per frame, megapixels per second and stream bytes of each, and
//   ratio <what> <ours/theirs>
// (below 1: ours is faster).
#include <benchmark/benchmark.h>
#include <jpeglib.h>

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench/common/bench_report.h"
#include "jpeg/core/encoder.h"
#include "jpeg/primitives/frame/cpu.h"
#include "jpeg/stream/membuff_output.h"

namespace {

using namespace vorn::bench;
using namespace vorn::jpeg;

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;
constexpr int32_t kQuality = 95;
constexpr size_t kOutputBytes = size_t{kWidth} * kHeight * 8;

// Smooth shading with mild noise, one value per channel and pixel, scaled to |bits|.
std::vector<uint16_t> Photo(int32_t channels, int32_t bits, uint32_t seed) {
  std::vector<uint16_t> p(size_t{kWidth} * kHeight * channels);
  std::mt19937 rng(seed);
  const double top = double((1 << bits) - 1);
  for (int32_t y = 0; y < kHeight; ++y) {
    for (int32_t x = 0; x < kWidth; ++x) {
      const double fx = x / double(kWidth), fy = y / double(kHeight);
      for (int32_t c = 0; c < channels; ++c) {
        const double v = 0.5 + 0.3 * std::sin(fx * (5 + c) + fy * 3) * std::cos(fy * (4 - c)) +
                         0.04 * (double(rng() % 1000) / 1000 - 0.5);
        p[(size_t(y) * kWidth + x) * channels + c] =
            static_cast<uint16_t>(std::lround(std::fmin(std::fmax(v, 0.0), 1.0) * top));
      }
    }
  }
  return p;
}

struct Planes420 {
  std::vector<uint8_t> y, cb, cr;
};

const Planes420& YCbCrPlanes() {
  static const Planes420 planes = [] {
    const std::vector<uint16_t> photo = Photo(3, 8, 3);
    Planes420 p;
    p.y.resize(size_t{kWidth} * kHeight);
    p.cb.resize(size_t{kWidth / 2} * (kHeight / 2));
    p.cr.resize(p.cb.size());
    for (size_t i = 0; i < p.y.size(); ++i) p.y[i] = static_cast<uint8_t>(photo[3 * i]);
    for (int32_t y = 0; y < kHeight / 2; ++y) {
      for (int32_t x = 0; x < kWidth / 2; ++x) {
        const size_t at = (size_t(2 * y) * kWidth + 2 * x) * 3;
        p.cb[size_t(y) * (kWidth / 2) + x] = static_cast<uint8_t>(photo[at + 1]);
        p.cr[size_t(y) * (kWidth / 2) + x] = static_cast<uint8_t>(photo[at + 2]);
      }
    }
    return p;
  }();
  return planes;
}

const std::vector<uint16_t>& Rgb12() {
  static const std::vector<uint16_t> p = Photo(3, 12, 4);
  return p;
}
const std::vector<uint8_t>& Rgb8() {
  static const std::vector<uint8_t> p = [] {
    const std::vector<uint16_t> wide = Photo(3, 8, 5);
    return std::vector<uint8_t>(wide.begin(), wide.end());
  }();
  return p;
}
const std::vector<uint16_t>& Gray16() {
  static const std::vector<uint16_t> p = Photo(1, 16, 6);
  return p;
}

std::vector<uint8_t>& Output() {
  static std::vector<uint8_t> out(kOutputBytes);
  return out;
}

// Header and data into |out|; the stream length, or 0 when a step fails.
size_t Finish(CJPEGEncoder& encoder, JpegCoreStatus params, std::vector<uint8_t>& out) {
  if (params != CoreOk) return 0;
  CMemBuffOutput stream;
  stream.Open(out.data(), static_cast<int32_t>(out.size()));
  encoder.SetComment(0, "");
  encoder.SetOutputStream(&stream);
  if (encoder.WriteHeader() != CoreOk || encoder.WriteData() != CoreOk) return 0;
  int64_t length = 0;
  stream.Position(&length);
  return static_cast<size_t>(length);
}

size_t OursPlanar420(std::vector<uint8_t>& out) {
  const Planes420& p = YCbCrPlanes();
  const uint8_t* planes[4] = {p.y.data(), p.cb.data(), p.cr.data(), nullptr};
  const int32_t steps[4] = {kWidth, kWidth / 2, kWidth / 2, 0};
  CJPEGEncoder encoder;
  encoder.SetPlanarSource8(planes, steps, kWidth, kHeight, 3, ColorYCbCr, Sampling420, 8);
  return Finish(encoder, encoder.SetParams(ModeBaseline, ColorYCbCr, Sampling420, 1, 0, kQuality, 0),
                out);
}

size_t OursExtended12(std::vector<uint8_t>& out) {
  CJPEGEncoder encoder;
  encoder.SetInterleavedSource16(Rgb12().data(), kWidth * 6, kWidth, kHeight, 3, ColorRgb,
                                 Sampling444, 12);
  return Finish(encoder, encoder.SetParams(ModeExtended, ColorRgb, Sampling444, 0, 1, kQuality, 0),
                out);
}

size_t OursLossless8(std::vector<uint8_t>& out, int32_t optimize) {
  CJPEGEncoder encoder;
  encoder.SetInterleavedSource8(Rgb8().data(), kWidth * 3, kWidth, kHeight, 3, ColorRgb,
                                Sampling444, 8);
  return Finish(encoder, encoder.SetLosslessParams(ColorRgb, 0, optimize), out);
}

size_t OursLossless16(std::vector<uint8_t>& out) {
  CJPEGEncoder encoder;
  encoder.SetInterleavedSource16(Gray16().data(), kWidth * 2, kWidth, kHeight, 1, ColorGray,
                                 Sampling444, 16);
  return Finish(encoder, encoder.SetLosslessParams(ColorGray, 0, 1), out);
}

// libjpeg-turbo into a fixed buffer: a destination that never grows, and errors that jump
// back instead of ending the program.
struct FixedDestination {
  jpeg_destination_mgr manager;
  uint8_t* buffer;
  size_t capacity;
};

struct Trap {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

size_t TheirsPlanar420(std::vector<uint8_t>& out) {
  const Planes420& p = YCbCrPlanes();
  jpeg_compress_struct c{};
  Trap trap{};
  FixedDestination dest{};
  c.err = jpeg_std_error(&trap.manager);
  trap.manager.error_exit = [](j_common_ptr info) {
    std::longjmp(reinterpret_cast<Trap*>(info->err)->jump, 1);
  };
  if (setjmp(trap.jump)) {
    jpeg_destroy_compress(&c);
    return 0;
  }
  jpeg_create_compress(&c);
  dest.buffer = out.data();
  dest.capacity = out.size();
  dest.manager.init_destination = [](j_compress_ptr info) {
    FixedDestination* d = reinterpret_cast<FixedDestination*>(info->dest);
    d->manager.next_output_byte = d->buffer;
    d->manager.free_in_buffer = d->capacity;
  };
  dest.manager.empty_output_buffer = [](j_compress_ptr info) -> boolean {
    (*info->err->error_exit)(reinterpret_cast<j_common_ptr>(info));
    return FALSE;
  };
  dest.manager.term_destination = [](j_compress_ptr) {};
  c.dest = &dest.manager;
  c.image_width = kWidth;
  c.image_height = kHeight;
  c.input_components = 3;
  c.in_color_space = JCS_YCbCr;
  jpeg_set_defaults(&c);
  jpeg_set_colorspace(&c, JCS_YCbCr);
  jpeg_set_quality(&c, kQuality, TRUE);
  c.raw_data_in = TRUE;
  c.comp_info[0].h_samp_factor = c.comp_info[0].v_samp_factor = 2;
  for (int i = 1; i < 3; ++i) c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
  c.dct_method = JDCT_ISLOW;
  c.restart_interval = 1;
  c.optimize_coding = FALSE;
  jpeg_start_compress(&c, TRUE);
  JSAMPROW y[16], cb[8], cr[8];
  JSAMPARRAY planes[3] = {y, cb, cr};
  while (c.next_scanline < c.image_height) {
    const int32_t top = static_cast<int32_t>(c.next_scanline);
    // Rows below the image repeat the last one, as ours pads.
    for (int32_t i = 0; i < 16; ++i) {
      const int32_t row = std::min(top + i, kHeight - 1);
      y[i] = const_cast<uint8_t*>(&p.y[size_t(row) * kWidth]);
    }
    for (int32_t i = 0; i < 8; ++i) {
      const int32_t row = std::min(top / 2 + i, kHeight / 2 - 1);
      cb[i] = const_cast<uint8_t*>(&p.cb[size_t(row) * (kWidth / 2)]);
      cr[i] = const_cast<uint8_t*>(&p.cr[size_t(row) * (kWidth / 2)]);
    }
    jpeg_write_raw_data(&c, planes, 16);
  }
  jpeg_finish_compress(&c);
  const size_t length = dest.capacity - dest.manager.free_in_buffer;
  jpeg_destroy_compress(&c);
  return length;
}

struct Case {
  const char* name;
  size_t (*encode)(std::vector<uint8_t>&);
};

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"ours/planar420", OursPlanar420},
      {"libjpeg-turbo/planar420", TheirsPlanar420},
      {"ours/extended12", OursExtended12},
      {"ours/lossless8-std", [](std::vector<uint8_t>& out) { return OursLossless8(out, 0); }},
      {"ours/lossless8-opt", [](std::vector<uint8_t>& out) { return OursLossless8(out, 1); }},
      {"ours/lossless16-opt", OursLossless16},
  };
  return cases;
}

void Run(benchmark::State& state, size_t index) {
  const Case& c = Cases()[index];
  size_t bytes = 0;
  for (auto _ : state) {
    bytes = c.encode(Output());
    benchmark::DoNotOptimize(bytes);
    benchmark::ClobberMemory();
  }
  if (bytes == 0) state.SkipWithError("encode failed");
  state.counters["bytes"] = double(bytes);
  state.counters["MP/s"] = benchmark::Counter(double(kWidth) * kHeight / 1e6,
                                              benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

int main(int argc, char** argv) {
  vorn::jpeg::prim::InitPrimitives();
  InitializeBenchmarks(argc, argv, benchmark::kMillisecond);
  for (size_t i = 0; i < Cases().size(); ++i) Register(Cases()[i].name, Run, i);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  std::printf("\n%-24s %9s %8s %9s\n", "encoder/frame", "ms/frame", "MP/s", "bytes");
  for (const Case& c : Cases()) {
    const size_t bytes = c.encode(Output());
    const auto t = reporter.seconds.find(c.name);
    const double ms = t == reporter.seconds.end() ? 0 : t->second;  // reported in ms
    std::printf("%-24s %9.2f %8.1f %9zu\n", c.name, ms,
                ms > 0 ? double(kWidth) * kHeight / 1e3 / ms : 0.0, bytes);
  }
  std::printf("\n");
  reporter.PrintRatio("planar420", "ours/planar420", "libjpeg-turbo/planar420");
  PrintDispatchedSlot();
  return 0;
}
