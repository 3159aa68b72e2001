// Baseline Huffman coding of the quantised blocks of a 1920x1080 luminance frame, ours against
// libjpeg-turbo's on the very same coefficients.
//
// Ours: EncodeBaselineBlock for every block, through the encoder's 4096-byte buffer flushed to
// a memory stream when 256 bytes or fewer are free (as the scan does). Theirs: the transcoding
// path (jpeg_write_coefficients, then jpeg_finish_compress), which hands the same blocks to its
// Huffman coder (its vector build where the machine has one) and writes them to memory; only
// jpeg_finish_compress is timed. Both use the standard tables, and the check below requires
// both scans to be the same bytes before anything is timed.
//
// Three frames: a quiet desktop (solid areas, a little text: mostly blocks with a DC alone), a
// busy screen (a gradient panel and a page of text-like strokes) and a photo-like frame (noise
// on a gradient: dense blocks). After the runs each comparison is
// printed as
//   ratio <what> <ours/theirs>
// (below 1: ours is faster), for the dispatched build and for each build forced.
#include <benchmark/benchmark.h>

#include <cstdio>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <jpeglib.h>

#include "bench/common/bench_report.h"
#include "jpeg/primitives/dct/forward_dct.h"
#include "jpeg/primitives/frame/cpu.h"
#include "jpeg/primitives/frame/dispatch.h"
#include "jpeg/primitives/huffman/huffman.h"
#include "jpeg/primitives/quant/quant_table.h"
#include "jpeg/stream/bitstream_output.h"
#include "jpeg/stream/membuff_output.h"

namespace {

using namespace vorn::jpeg;
using namespace vorn::jpeg::prim;
using namespace vorn::bench;

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;
constexpr int32_t kBlocksX = kWidth / 8;
constexpr int32_t kBlocksY = kHeight / 8;
constexpr int32_t kBlocks = kBlocksX * kBlocksY;

struct Rng {
  uint64_t s;
  uint32_t Next() {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(s >> 33);
  }
};

struct Frame {
  std::vector<int16_t> coefficients = std::vector<int16_t>(size_t{64} * kBlocks);
  uint32_t dc[256];
  uint32_t ac[256];
};

// Quantised blocks of |plane| at quality 75.
void Transform(const std::vector<uint8_t>& plane, Frame& f) {
  uint8_t raw[64];
  uint16_t forward[64];
  std::copy(StdLumaQuant.begin(), StdLumaQuant.end(), raw);
  ScaleQuantTableByQuality(raw, 75);
  BuildForwardQuantTable(raw, forward);
  int16_t* out = f.coefficients.data();
  for (int32_t by = 0; by < kBlocksY; ++by) {
    for (int32_t bx = 0; bx < kBlocksX; ++bx, out += 64) {
      ForwardDctQuant8x8(plane.data() + size_t{8} * kWidth * by + 8 * bx, kWidth, out, forward);
    }
  }
  BuildHuffmanEncodeSpec(StdHuffmanTables[StdDcLuminance].bits,
                         StdHuffmanTables[StdDcLuminance].values, f.dc);
  BuildHuffmanEncodeSpec(StdHuffmanTables[StdAcLuminance].bits,
                         StdHuffmanTables[StdAcLuminance].values, f.ac);
}

Frame& Screen() {
  static Frame f = [] {
    Frame frame;
    std::vector<uint8_t> plane(size_t{kWidth} * kHeight);
    for (int32_t y = 0; y < kHeight; ++y) {
      for (int32_t x = 0; x < kWidth; ++x) {
        uint8_t v = 235;                                          // window background
        if (y < 40) v = 60;                                       // title bar
        if (x < 300) v = static_cast<uint8_t>(200 - y * 80 / kHeight);  // side panel gradient
        // Lines of "text": short dark strokes on a 9-pixel grid in the document area.
        if (x >= 340 && y >= 80 && (y % 18) < 11 && ((x * 7 + (y / 18) * 13) % 23) < 5 &&
            ((x / 60 + y / 18) % 5) != 0) {
          v = 20;
        }
        plane[size_t{kWidth} * y + x] = v;
      }
    }
    Transform(plane, frame);
    return frame;
  }();
  return f;
}

// A quiet desktop: solid window areas, a title bar, a few lines of text; most blocks hold
// their DC alone.
Frame& Desktop() {
  static Frame f = [] {
    Frame frame;
    std::vector<uint8_t> plane(size_t{kWidth} * kHeight);
    for (int32_t y = 0; y < kHeight; ++y) {
      for (int32_t x = 0; x < kWidth; ++x) {
        uint8_t v = x < 300 ? 180 : 235;
        if (y < 40) v = 60;
        if (x >= 340 && x < 1200 && y >= 80 && y < 260 && (y % 18) < 11 &&
            ((x * 7 + (y / 18) * 13) % 23) < 5) {
          v = 20;
        }
        plane[size_t{kWidth} * y + x] = v;
      }
    }
    Transform(plane, frame);
    return frame;
  }();
  return f;
}

Frame& Photo() {
  static Frame f = [] {
    Frame frame;
    std::vector<uint8_t> plane(size_t{kWidth} * kHeight);
    Rng rng{5};
    for (int32_t y = 0; y < kHeight; ++y) {
      for (int32_t x = 0; x < kWidth; ++x) {
        const int32_t base = (x * 255 / kWidth + y * 128 / kHeight) / 2 + 40;
        plane[size_t{kWidth} * y + x] = static_cast<uint8_t>(base + static_cast<int32_t>(rng.Next() % 48));
      }
    }
    Transform(plane, frame);
    return frame;
  }();
  return f;
}

// ---- ours ----

std::vector<uint8_t>& OurOutput() {
  static std::vector<uint8_t> out(size_t{32} << 20);
  return out;
}

// Codes the frame as the scan does; returns the scan's bytes (padded, flushed).
int64_t OursScan(const Frame& f, EncodeBaselineBlockFn fn) {
  CMemBuffOutput stream;
  stream.Open(OurOutput().data(), static_cast<int32_t>(OurOutput().size()));
  CBitStreamOutput bits;
  bits.SetStream(&stream);
  bits.AllocateBuffer(4096);
  alignas(64) HuffmanEncodeState state;
  ResetHuffmanEncodeState(&state);
  int16_t lastDC = 0;
  const int16_t* block = f.coefficients.data();
  for (int32_t b = 0; b < kBlocks; ++b, block += 64) {
    bits.FlushBuffer(256);
    int32_t pos = bits.Position();
    fn(block, bits.Buffer(), bits.Size(), &pos, &lastDC, f.dc, f.ac, &state, 0);
    bits.SetPosition(pos);
  }
  bits.FlushBuffer(256);
  int32_t pos = bits.Position();
  fn(nullptr, bits.Buffer(), bits.Size(), &pos, nullptr, nullptr, nullptr, &state, 1);
  bits.SetPosition(pos);
  bits.FlushBuffer(0);
  int64_t length = 0;
  stream.Position(&length);
  return length;
}

void OursFrame(benchmark::State& st, Frame& (*frame)(), int32_t slot) {
  const Frame& f = frame();
  const EncodeBaselineBlockFn fn = slot < 0 ? EncodeBaselineBlock : kEncodeBaselineBlockTable.slot[slot];
  int64_t bytes = 0;
  for (auto _ : st) {
    bytes = OursScan(f, fn);
    benchmark::DoNotOptimize(OurOutput().data());
  }
  st.counters["scan_bytes"] = static_cast<double>(bytes);
}

// ---- libjpeg-turbo ----

struct Turbo {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr err;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  std::vector<unsigned char> storage = std::vector<unsigned char>(size_t{32} << 20);

  // Everything up to the scan: the coefficients are in place when this returns.
  void Prepare(const Frame& f) {
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    buffer = storage.data();
    size = storage.size();
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = kWidth;
    cinfo.image_height = kHeight;
    cinfo.input_components = 1;
    cinfo.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    cinfo.optimize_coding = FALSE;
    jpeg_set_quality(&cinfo, 75, TRUE);
    jvirt_barray_ptr arrays[1];
    arrays[0] = cinfo.mem->request_virt_barray(reinterpret_cast<j_common_ptr>(&cinfo),
                                               JPOOL_IMAGE, FALSE, kBlocksX, kBlocksY, 1);
    jpeg_write_coefficients(&cinfo, arrays);
    const int16_t* src = f.coefficients.data();
    for (int32_t by = 0; by < kBlocksY; ++by) {
      JBLOCKARRAY row = cinfo.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&cinfo),
                                                      arrays[0], by, 1, TRUE);
      for (int32_t bx = 0; bx < kBlocksX; ++bx, src += 64) {
        std::memcpy(row[0][bx], src, 64 * sizeof(JCOEF));
      }
    }
  }
  // The scan and EOI.
  void Finish() { jpeg_finish_compress(&cinfo); }
  void Destroy() { jpeg_destroy_compress(&cinfo); }
};

void TurboFrame(benchmark::State& st, Frame& (*frame)()) {
  const Frame& f = frame();
  Turbo turbo;
  for (auto _ : st) {
    st.PauseTiming();
    turbo.Prepare(f);
    st.ResumeTiming();
    turbo.Finish();
    st.PauseTiming();
    turbo.Destroy();
    st.ResumeTiming();
  }
}

// The scan libjpeg-turbo wrote: from after its SOS segment to before EOI.
std::vector<uint8_t> TurboScan(const Frame& f) {
  Turbo turbo;
  turbo.Prepare(f);
  turbo.Finish();
  std::vector<uint8_t> all(turbo.buffer, turbo.buffer + turbo.size);
  turbo.Destroy();
  for (size_t i = 0; i + 3 < all.size(); ++i) {
    if (all[i] == 0xFF && all[i + 1] == 0xDA) {
      const size_t start = i + 2 + (size_t{all[i + 2]} << 8 | all[i + 3]);
      return std::vector<uint8_t>(all.begin() + static_cast<long>(start), all.end() - 2);
    }
  }
  return {};
}

bool SameBytes(const char* name, Frame& (*frame)()) {
  const Frame& f = frame();
  const std::vector<uint8_t> theirs = TurboScan(f);
  bool same = true;
  for (int32_t s = -1; s < kDispatchEntries; ++s) {
    if (s >= 0 && !BuildRunsHere(s)) continue;
    const int64_t n = OursScan(f, s < 0 ? EncodeBaselineBlock : kEncodeBaselineBlockTable.slot[s]);
    same &= n == static_cast<int64_t>(theirs.size()) &&
            std::equal(theirs.begin(), theirs.end(), OurOutput().begin());
  }
  int64_t nonzero = 0;
  for (int16_t c : f.coefficients) nonzero += c != 0;
  std::printf("check %s: scan %zu bytes, %.1f non-zero coefficients a block, %s\n", name,
              theirs.size(), static_cast<double>(nonzero) / kBlocks,
              same ? "same bytes in every build" : "BYTES DIFFER");
  return same;
}

}  // namespace

int main(int argc, char** argv) {
  InitPrimitives();
  const std::pair<const char*, Frame& (*)()> frames[] = {
      {"desktop", Desktop}, {"screen", Screen}, {"photo", Photo}};
  for (auto [name, frame] : frames) {
    if (!SameBytes(name, frame)) {
      std::printf("the two scans differ; no comparison\n");
      return 1;
    }
  }
  InitializeBenchmarks(argc, argv, benchmark::kMicrosecond);

  std::vector<int32_t> slots;
  // The portable build first, then each slot with a build of its own.
  EncodeBaselineBlockFn previous = nullptr;
  for (int32_t s : kEntriesReferenceFirst) {
    if (!BuildRunsHere(s) || kEncodeBaselineBlockTable.slot[s] == previous) continue;
    previous = kEncodeBaselineBlockTable.slot[s];
    slots.push_back(s);
  }
  for (auto [name, frame] : frames) {
    const std::string n = name;
    Register("ours/EncodeBaselineBlock/" + n, OursFrame, frame, -1);
    for (const int32_t s : slots) {
      Register("ours/EncodeBaselineBlock/" + n + "/" + kSlotNames[s], OursFrame, frame, s);
    }
    Register("libjpeg-turbo/huffman/" + n, TurboFrame, frame);
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  for (auto [name, frame] : frames) {
    const std::string n = name;
    reporter.PrintRatio("EncodeBaselineBlock/" + n + "_1080p_frame",
                        "ours/EncodeBaselineBlock/" + n, "libjpeg-turbo/huffman/" + n);
    for (const int32_t s : slots) {
      reporter.PrintRatio(
          std::string("EncodeBaselineBlock[") + kSlotNames[s] + "]/" + n + "_1080p_frame",
          "ours/EncodeBaselineBlock/" + n + "/" + kSlotNames[s], "libjpeg-turbo/huffman/" + n);
    }
  }
  PrintDispatchedSlot();
  return 0;
}
