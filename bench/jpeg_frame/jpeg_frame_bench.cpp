// EncodeFrameJpeg on three 1920x1080 B,G,R,x frames (desktop-like, smooth, noisy) at quality
// 95, 4:2:0, a restart marker after every MCU, against libjpeg-turbo with the same settings
// (B,G,R,x input, quality 95, 2x2/1x1/1x1, accurate integer DCT, restart interval 1) writing
// into a preallocated buffer, in the same run and on one thread. Ours runs with the plain
// (s2) build forced and with the build the dispatch picks. After the runs a table gives per
// frame the milliseconds per frame, megapixels per second, stream bytes and PSNR of each, and
// the comparisons are printed as
//   ratio <what> <ours/theirs>
// (below 1: ours is faster, or smaller).
#include <benchmark/benchmark.h>
#include <jpeglib.h>

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench/common/bench_report.h"
#include "jpeg/codec/encode_frame_jpeg.h"
#include "jpeg/primitives/frame/cpu.h"
#include "jpeg/primitives/frame/dispatch.h"

namespace {

using namespace vorn::bench;
using vorn::jpeg::EncodeFrameJpeg;
using vorn::jpeg::JpegEncodeOk;
using vorn::jpeg::JpegEncodeRequest;
namespace prim = vorn::jpeg::prim;

constexpr uint32_t kWidth = 1920;
constexpr uint32_t kHeight = 1080;
constexpr int32_t kStride = 4 * kWidth;
constexpr int32_t kQuality = 95;
constexpr size_t kOutputBytes = size_t{kWidth} * kHeight * 4;

struct Frame {
  const char* name;
  std::vector<uint8_t> pixels;
};

uint8_t Clamp(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// Windows over a gradient wallpaper: flat title bars and panes, lines of small dark glyphs on
// light ground, a photo-like region of smooth shading and mild noise.
std::vector<uint8_t> DesktopFrame() {
  std::vector<uint8_t> p(size_t{kStride} * kHeight);
  std::mt19937 rng(11);
  for (uint32_t y = 0; y < kHeight; ++y) {
    for (uint32_t x = 0; x < kWidth; ++x) {
      uint8_t* px = &p[size_t{y} * kStride + size_t{x} * 4];
      int b = 120 + static_cast<int>(x * 80 / kWidth), g = 70 + static_cast<int>(y * 60 / kHeight),
          r = 40;
      const bool window = x >= 200 && x < 1300 && y >= 120 && y < 900;
      const bool photo = x >= 1400 && x < 1850 && y >= 300 && y < 800;
      if (window) {
        if (y < 150) {
          b = 160, g = 110, r = 40;  // title bar
        } else {
          b = g = r = 245;
          // Text: 8 x 14 glyph cells on 20-pixel lines, strokes one or two pixels wide.
          const uint32_t line = (y - 160) % 20, cx = (x - 220) % 9, glyph = (x - 220) / 9;
          if (y >= 160 && line < 14 && x >= 220 && x < 1280 && cx < 7) {
            const uint32_t h = (glyph * 2654435761u + (y - 160) / 20 * 40503u) >> 7;
            const bool stroke = (h >> (cx + line % 7)) & 1;
            if (stroke && (h & 7) != 0) b = g = r = 30;
          }
        }
      } else if (photo) {
        const double fx = (x - 1400) / 450.0, fy = (y - 300) / 500.0;
        const int n = static_cast<int>(rng() % 9) - 4;
        b = static_cast<int>(90 + 80 * std::sin(fx * 5) * std::cos(fy * 3)) + n;
        g = static_cast<int>(120 + 60 * std::cos(fx * 2 + fy * 4)) + n;
        r = static_cast<int>(140 + 70 * std::sin(fy * 6)) + n;
      }
      px[0] = Clamp(b);
      px[1] = Clamp(g);
      px[2] = Clamp(r);
      px[3] = 0xFF;
    }
  }
  return p;
}

std::vector<uint8_t> SmoothFrame() {
  std::vector<uint8_t> p(size_t{kStride} * kHeight);
  for (uint32_t y = 0; y < kHeight; ++y) {
    for (uint32_t x = 0; x < kWidth; ++x) {
      uint8_t* px = &p[size_t{y} * kStride + size_t{x} * 4];
      const double fx = double(x) / kWidth, fy = double(y) / kHeight;
      px[0] = Clamp(static_cast<int>(128 + 100 * std::sin(fx * 3.1 + fy)));
      px[1] = Clamp(static_cast<int>(128 + 100 * std::cos(fy * 2.3 - fx)));
      px[2] = Clamp(static_cast<int>(255 * (fx + fy) / 2));
      px[3] = 0xFF;
    }
  }
  return p;
}

std::vector<uint8_t> NoisyFrame() {
  std::vector<uint8_t> p(size_t{kStride} * kHeight);
  std::mt19937 rng(5);
  for (uint8_t& b : p) b = static_cast<uint8_t>(rng());
  return p;
}

std::vector<Frame>& Frames() {
  static std::vector<Frame> frames = {
      {"desktop", DesktopFrame()}, {"smooth", SmoothFrame()}, {"noisy", NoisyFrame()}};
  return frames;
}

std::vector<uint8_t>& Output() {
  static std::vector<uint8_t> out(kOutputBytes);
  return out;
}

size_t EncodeOurs(const Frame& f, std::vector<uint8_t>& out) {
  JpegEncodeRequest r;
  r.width = kWidth;
  r.height = kHeight;
  r.pixelFormat = vorn::jpeg::PixelFormatBgrx32;
  r.pixels = f.pixels.data();
  r.stride = kStride;
  r.quality = kQuality;
  r.sampling = vorn::jpeg::Sampling420;
  r.output = out.data();
  r.outputCapacity = static_cast<int32_t>(out.size());
  return EncodeFrameJpeg(&r) == JpegEncodeOk ? static_cast<size_t>(r.outputLength) : 0;
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

size_t EncodeTheirs(const Frame& f, std::vector<uint8_t>& out) {
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
    // The buffer is full: fail, as ours does.
    (*info->err->error_exit)(reinterpret_cast<j_common_ptr>(info));
    return FALSE;
  };
  dest.manager.term_destination = [](j_compress_ptr) {};
  c.dest = &dest.manager;
  c.image_width = kWidth;
  c.image_height = kHeight;
  c.input_components = 4;
  c.in_color_space = JCS_EXT_BGRX;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, kQuality, TRUE);
  c.comp_info[0].h_samp_factor = c.comp_info[0].v_samp_factor = 2;
  for (int i = 1; i < 3; ++i) c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
  c.dct_method = JDCT_ISLOW;
  c.restart_interval = 1;
  c.optimize_coding = FALSE;
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(&f.pixels[size_t{c.next_scanline} * kStride]);
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  const size_t length = dest.capacity - dest.manager.free_in_buffer;
  jpeg_destroy_compress(&c);
  return length;
}

// PSNR in dB of a stream decoded by libjpeg-turbo (accurate DCT) against the frame's B,G,R.
double Psnr(const Frame& f, const std::vector<uint8_t>& stream, size_t length) {
  jpeg_decompress_struct d{};
  jpeg_error_mgr err;
  d.err = jpeg_std_error(&err);
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, stream.data(), static_cast<unsigned long>(length));
  jpeg_read_header(&d, TRUE);
  d.out_color_space = JCS_EXT_BGRX;
  d.dct_method = JDCT_ISLOW;
  jpeg_start_decompress(&d);
  std::vector<uint8_t> row(size_t{kStride});
  double sum = 0;
  while (d.output_scanline < d.output_height) {
    const uint32_t y = d.output_scanline;
    JSAMPROW r = row.data();
    jpeg_read_scanlines(&d, &r, 1);
    const uint8_t* src = &f.pixels[size_t{y} * kStride];
    for (uint32_t x = 0; x < kWidth; ++x)
      for (int c = 0; c < 3; ++c) {
        const double e = double(src[4 * x + c]) - row[4 * x + c];
        sum += e * e;
      }
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  const double mse = sum / (double(kWidth) * kHeight * 3);
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// Encodes |encode| over and over and reports the stream size and the pixel rate.
template <class Encode>
void Measure(benchmark::State& state, Encode encode) {
  size_t bytes = 0;
  for (auto _ : state) {
    bytes = encode();
    benchmark::DoNotOptimize(bytes);
    benchmark::ClobberMemory();
  }
  if (bytes == 0) state.SkipWithError("encode failed");
  state.counters["bytes"] = double(bytes);
  state.counters["MP/s"] = benchmark::Counter(double(kWidth) * kHeight / 1e6,
                                              benchmark::Counter::kIsIterationInvariantRate);
}

// slot -1: the build the dispatch picked.
void Ours(benchmark::State& state, size_t frame, int32_t slot) {
  prim::ScopedProcessorIndex force(slot < 0 ? prim::CurrentProcessorIndex() : slot);
  const Frame& f = Frames()[frame];
  Measure(state, [&] { return EncodeOurs(f, Output()); });
}

void Theirs(benchmark::State& state, size_t frame) {
  const Frame& f = Frames()[frame];
  Measure(state, [&] { return EncodeTheirs(f, Output()); });
}

}  // namespace

int main(int argc, char** argv) {
  prim::InitPrimitives();
  const int32_t best = prim::CurrentProcessorIndex();
  InitializeBenchmarks(argc, argv, benchmark::kMillisecond);
  for (size_t i = 0; i < Frames().size(); ++i) {
    const std::string name = Frames()[i].name;
    Register("ours/" + name, Ours, i, -1);
    if (best != prim::BuildS2) Register("ours/" + name + "/s2", Ours, i, prim::BuildS2);
    Register("libjpeg-turbo/" + name, Theirs, i);
  }

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  // Sizes and PSNR, measured once outside the timed runs.
  std::printf("\n%-8s %-14s %9s %8s %9s %8s\n", "frame", "encoder", "ms/frame", "MP/s", "bytes",
              "PSNR dB");
  std::vector<uint8_t> out(kOutputBytes);
  for (const Frame& f : Frames()) {
    const std::string name = f.name;
    struct Row {
      std::string label, bench;
      size_t bytes;
      double psnr;
    };
    std::vector<Row> rows;
    size_t n;
    {
      n = EncodeOurs(f, out);
      rows.push_back({std::string("ours/") + kSlotNames[best], "ours/" + name, n, Psnr(f, out, n)});
    }
    if (best != prim::BuildS2) {
      prim::ScopedProcessorIndex force(prim::BuildS2);
      n = EncodeOurs(f, out);
      rows.push_back({"ours/s2", "ours/" + name + "/s2", n, Psnr(f, out, n)});
    }
    n = EncodeTheirs(f, out);
    rows.push_back({"libjpeg-turbo", "libjpeg-turbo/" + name, n, Psnr(f, out, n)});
    for (const Row& r : rows) {
      const auto t = reporter.seconds.find(r.bench);
      const double ms = t == reporter.seconds.end() ? 0 : t->second;  // reported in ms
      std::printf("%-8s %-14s %9.2f %8.1f %9zu %8.2f\n", name.c_str(), r.label.c_str(), ms,
                  ms > 0 ? double(kWidth) * kHeight / 1e3 / ms : 0.0, r.bytes, r.psnr);
    }
    const Row& theirs = rows.back();
    std::printf("ratio bytes/%s %.3f\n", name.c_str(), double(rows[0].bytes) / theirs.bytes);
    std::printf("psnr-delta %s %+.3f dB\n", name.c_str(), rows[0].psnr - theirs.psnr);
  }
  std::printf("\n");
  for (const Frame& f : Frames()) {
    const std::string name = f.name;
    reporter.PrintRatio("EncodeFrameJpeg/" + name, "ours/" + name, "libjpeg-turbo/" + name);
    reporter.PrintRatio("EncodeFrameJpeg[s2]/" + name, "ours/" + name + "/s2",
                        "libjpeg-turbo/" + name);
  }
  PrintDispatchedSlot();
  return 0;
}
