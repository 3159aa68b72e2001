// EncodeFrameJpeg on five 1920x1080 B,G,R,x screen frames (document, dashboard, code editor,
// photo viewer, desktop) at quality 85 and 95, 4:2:0, a restart marker after every MCU,
// against libjpeg-turbo with the same settings (B,G,R,x input, 2x2/1x1/1x1, accurate integer
// DCT, restart interval 1, standard tables) writing into a preallocated buffer, in the same
// process and on one thread. Ours runs with the build the dispatch picks and with the SSE2
// build (slot 1) forced; the contenders of a frame run in turn, round after round, and each
// keeps its best round.
//
// libjpeg-turbo picks its own instruction set once per process, so the comparison with its
// SSE2 code runs in a second process: unless JSIMD_FORCESSE2 is set already, the program runs
// itself again with JSIMD_FORCESSE2=1 after its own lines. A process with it set compares the
// SSE2 slot with that. Each comparison is printed as
//   ratio <what> <ours/theirs>
// (below 1: ours is faster, or smaller), per frame and for the five frames together, and the
// word size of the build (x64 or x86) is part of <what>. The 32-bit build runs the same; under
// an emulator, which cannot start the program again, it asks for JSIMD_FORCESSE2=1 instead.
// The frames' shading goes through the maths library, so the two builds' frames may differ
// by a level here and there.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "bench/common/alternating_timer.h"
#include "jpeg/codec/encode_frame_jpeg.h"
#include "jpeg/primitives/frame/cpu.h"
#include "jpeg/primitives/frame/dispatch.h"

extern char** environ;

namespace {

using namespace vorn::bench;
using vorn::jpeg::EncodeFrameJpeg;
using vorn::jpeg::JpegEncodeOk;
using vorn::jpeg::JpegEncodeRequest;
namespace prim = vorn::jpeg::prim;

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;
constexpr int32_t kStride = 4 * kWidth;
constexpr size_t kOutputBytes = size_t{kWidth} * kHeight * 4;
constexpr int32_t kQualities[] = {85, 95};
constexpr const char* kSlotNames[prim::kDispatchEntries] = {"s2", "s2", "s3", "am",
                                                            "s4", "v1", "v2", "plain"};
#if defined(__x86_64__)
constexpr const char* kWordSize = "x64";
#else
constexpr const char* kWordSize = "x86";
#endif

struct Rgb {
  int32_t r, g, b;
};

// A B,G,R,x canvas with the few drawing operations screen content is made of.
class Canvas {
 public:
  Canvas() : pixels_(size_t{kStride} * kHeight) {}

  std::vector<uint8_t>& Pixels() { return pixels_; }

  void Set(int32_t x, int32_t y, Rgb c) {
    if (x < 0 || y < 0 || x >= kWidth || y >= kHeight) return;
    uint8_t* p = &pixels_[size_t(y) * kStride + size_t(x) * 4];
    p[0] = Clamp(c.b);
    p[1] = Clamp(c.g);
    p[2] = Clamp(c.r);
    p[3] = 0xFF;
  }
  Rgb Get(int32_t x, int32_t y) const {
    const uint8_t* p = &pixels_[size_t(y) * kStride + size_t(x) * 4];
    return {p[2], p[1], p[0]};
  }
  // |c| over what is there with coverage a (0..1).
  void Blend(int32_t x, int32_t y, Rgb c, double a) {
    if (x < 0 || y < 0 || x >= kWidth || y >= kHeight) return;
    const Rgb o = Get(x, y);
    Set(x, y, {int32_t(std::lround(o.r + (c.r - o.r) * a)),
               int32_t(std::lround(o.g + (c.g - o.g) * a)),
               int32_t(std::lround(o.b + (c.b - o.b) * a))});
  }
  void Fill(int32_t x0, int32_t y0, int32_t x1, int32_t y1, Rgb c) {
    for (int32_t y = y0; y < y1; ++y)
      for (int32_t x = x0; x < x1; ++x) Set(x, y, c);
  }
  // Vertical gradient from |top| to |bottom|.
  void Gradient(int32_t x0, int32_t y0, int32_t x1, int32_t y1, Rgb top, Rgb bottom) {
    for (int32_t y = y0; y < y1; ++y) {
      const double t = double(y - y0) / std::max(1, y1 - y0 - 1);
      const Rgb c{int32_t(top.r + (bottom.r - top.r) * t), int32_t(top.g + (bottom.g - top.g) * t),
                  int32_t(top.b + (bottom.b - top.b) * t)};
      for (int32_t x = x0; x < x1; ++x) Set(x, y, c);
    }
  }
  void Frame(int32_t x0, int32_t y0, int32_t x1, int32_t y1, Rgb c) {
    Fill(x0, y0, x1, y0 + 1, c);
    Fill(x0, y1 - 1, x1, y1, c);
    Fill(x0, y0, x0 + 1, y1, c);
    Fill(x1 - 1, y0, x1, y1, c);
  }
  // A line of width about 2 with soft edges.
  void Line(double xa, double ya, double xb, double yb, Rgb c) {
    const int32_t steps = int32_t(std::hypot(xb - xa, yb - ya) * 2) + 1;
    for (int32_t i = 0; i <= steps; ++i) {
      const double x = xa + (xb - xa) * i / steps, y = ya + (yb - ya) * i / steps;
      for (int32_t dy = -2; dy <= 2; ++dy)
        for (int32_t dx = -2; dx <= 2; ++dx) {
          const int32_t px = int32_t(x) + dx, py = int32_t(y) + dy;
          const double d = std::hypot(px + 0.5 - x, py + 0.5 - y);
          if (d < 1.0) Set(px, py, c);
          else if (d < 1.8) Blend(px, py, c, 0.35);
        }
    }
  }

  // Text: glyph cells of |cell| pixels wide and 1.6 x |cell| tall on lines |lineHeight| apart,
  // each glyph made of stems and bars chosen by a hash, with soft edges; words of 2 to 8
  // glyphs, lines of varying length. |colorOf|(line, word) gives each word its colour.
  template <typename ColorOf>
  void Text(int32_t x0, int32_t y0, int32_t x1, int32_t y1, int32_t cell, int32_t lineHeight,
            uint32_t seed, ColorOf colorOf, int32_t indentCells = 0) {
    const int32_t glyphH = cell * 8 / 5;
    const int32_t cols = (x1 - x0) / cell;
    for (int32_t line = 0; y0 + line * lineHeight + glyphH <= y1; ++line) {
      const uint32_t lh = Hash(seed, uint32_t(line), 7);
      if (lh % 9 == 0) continue;  // a blank line between paragraphs
      const int32_t indent = indentCells > 0 ? int32_t(lh >> 8) % (indentCells + 1) * 2 : 0;
      const int32_t length = cols / 3 + int32_t(lh >> 12) % (cols - cols / 3);
      int32_t col = indent, word = 0;
      while (col < length) {
        const int32_t letters = 2 + int32_t(Hash(seed, uint32_t(line), uint32_t(word)) % 7);
        const Rgb color = colorOf(line, word);
        for (int32_t k = 0; k < letters && col < length; ++k, ++col) {
          Glyph(x0 + col * cell, y0 + line * lineHeight, cell, glyphH,
                Hash(seed + uint32_t(col), uint32_t(line), uint32_t(k)), color);
        }
        ++col;  // the space
        ++word;
      }
    }
  }

 private:
  static uint8_t Clamp(int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }
  static uint32_t Hash(uint32_t a, uint32_t b, uint32_t c) {
    uint32_t h = a * 0x9E3779B1u ^ b * 0x85EBCA77u ^ c * 0xC2B2AE3Du;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return h;
  }

  void Glyph(int32_t x, int32_t y, int32_t w, int32_t h, uint32_t bits, Rgb c) {
    const int32_t left = 1, right = w - 3, top = h / 5, mid = h / 2, base = h - 2;
    auto stem = [&](int32_t sx, int32_t from, int32_t to) {
      for (int32_t yy = from; yy <= to; ++yy) {
        Set(x + sx, y + yy, c);
        Blend(x + sx + 1, y + yy, c, 0.45);
        Blend(x + sx - 1, y + yy, c, 0.15);
      }
    };
    auto bar = [&](int32_t by) {
      for (int32_t xx = left; xx <= right; ++xx) {
        Set(x + xx, y + by, c);
        Blend(x + xx, y + by + 1, c, 0.3);
      }
    };
    if (bits & 1) stem(left, bits & 32 ? 0 : top, base);
    if (bits & 2) stem(right, top + 1, bits & 64 ? h - 1 : base);
    if (bits & 4) bar(top + 1);
    if (bits & 8) bar(mid);
    if (bits & 16) bar(base);
    if ((bits & 3) == 0) stem((left + right) / 2, top, base);
  }

  std::vector<uint8_t> pixels_;
};

// Smooth shading, texture and grain: what a photograph looks like to the encoder.
void Photo(Canvas& c, int32_t x0, int32_t y0, int32_t x1, int32_t y1, uint32_t seed) {
  uint32_t s = seed;
  for (int32_t y = y0; y < y1; ++y) {
    for (int32_t x = x0; x < x1; ++x) {
      s = s * 1664525u + 1013904223u;
      const double fx = double(x - x0) / (x1 - x0), fy = double(y - y0) / (y1 - y0);
      const int32_t grain = int32_t(s >> 28) - 8;
      // Sky above a horizon, hills and foliage texture below.
      const double horizon = 0.45 + 0.08 * std::sin(fx * 9 + seed);
      Rgb p;
      if (fy < horizon) {
        p = {int32_t(110 + 80 * fy), int32_t(150 + 60 * fy), int32_t(230 - 40 * fy)};
        p.r += int32_t(25 * std::sin(fx * 13 + fy * 7));
      } else {
        const double t = std::sin(x * 0.21) * std::cos(y * 0.17) + std::sin((x + y) * 0.05);
        p = {int32_t(70 + 40 * t + 60 * fx), int32_t(110 + 45 * t - 30 * fy),
             int32_t(50 + 25 * t)};
      }
      c.Set(x, y, {p.r + grain, p.g + grain, p.b + grain});
    }
  }
}

Canvas Document() {
  Canvas c;
  c.Fill(0, 0, kWidth, kHeight, {228, 228, 230});
  c.Gradient(0, 0, kWidth, 36, {60, 90, 160}, {40, 70, 140});  // title bar
  c.Fill(0, 36, kWidth, 96, {243, 243, 245});                  // ribbon
  for (int32_t i = 0; i < 24; ++i) c.Fill(20 + i * 44, 50, 52 + i * 44, 82, {200, 210, 225});
  c.Fill(360, 110, 1560, kHeight, {255, 255, 255});  // the page
  c.Frame(359, 109, 1561, kHeight, {190, 190, 195});
  c.Text(440, 150, 1480, 190, 14, 30, 3, [](int32_t, int32_t) { return Rgb{20, 40, 90}; });
  c.Text(440, 210, 1480, kHeight - 20, 9, 21, 5, [](int32_t line, int32_t word) {
    return (line * 7 + word) % 23 == 0 ? Rgb{10, 60, 200} : Rgb{25, 25, 25};
  });
  c.Fill(0, kHeight - 24, kWidth, kHeight, {60, 90, 160});  // status bar
  return c;
}

Canvas Dashboard() {
  Canvas c;
  c.Fill(0, 0, kWidth, kHeight, {240, 242, 245});
  c.Fill(0, 0, 240, kHeight, {28, 36, 52});  // side bar with its menu
  c.Text(24, 80, 230, 700, 9, 36, 11, [](int32_t line, int32_t) {
    return line == 2 ? Rgb{255, 255, 255} : Rgb{160, 170, 190};
  });
  c.Fill(240, 0, kWidth, 64, {255, 255, 255});
  c.Text(270, 22, 900, 50, 10, 30, 12, [](int32_t, int32_t) { return Rgb{40, 40, 50}; });
  const Rgb accents[] = {{66, 133, 244}, {219, 68, 55}, {244, 180, 0}, {15, 157, 88}};
  for (int32_t k = 0; k < 4; ++k) {  // cards with a big number each
    const int32_t x = 270 + k * 410;
    c.Fill(x, 90, x + 380, 230, {255, 255, 255});
    c.Frame(x, 90, x + 380, 230, {220, 223, 230});
    c.Fill(x, 90, x + 6, 230, accents[k]);
    c.Text(x + 24, 110, x + 300, 140, 9, 24, 20 + k, [](int32_t, int32_t) { return Rgb{110, 115, 125}; });
    c.Text(x + 24, 160, x + 260, 220, 22, 60, 30 + k, [&](int32_t, int32_t) { return accents[k]; });
  }
  // A bar chart and a line chart.
  c.Fill(270, 260, 1090, 760, {255, 255, 255});
  c.Frame(270, 260, 1090, 760, {220, 223, 230});
  for (int32_t i = 0; i < 24; ++i) {
    const int32_t h = 60 + int32_t(180 + 150 * std::sin(i * 0.7)) ;
    c.Fill(300 + i * 32, 730 - h, 322 + i * 32, 730, accents[i % 2]);
  }
  c.Fill(1120, 260, 1900, 760, {255, 255, 255});
  c.Frame(1120, 260, 1900, 760, {220, 223, 230});
  for (int32_t g = 0; g < 5; ++g) c.Fill(1150, 320 + g * 90, 1880, 321 + g * 90, {235, 236, 240});
  for (int32_t s = 0; s < 3; ++s) {
    double px = 1150, py = 600;
    for (int32_t i = 1; i <= 60; ++i) {
      const double x = 1150 + i * 12.0;
      const double y = 520 - s * 70 + 110 * std::sin(i * 0.21 + s) * std::cos(i * 0.05);
      c.Line(px, py, x, y, accents[s + 1]);
      px = x, py = y;
    }
  }
  // A table.
  c.Fill(270, 790, 1900, 1060, {255, 255, 255});
  for (int32_t r = 0; r < 9; ++r) {
    c.Fill(270, 790 + r * 30, 1900, 791 + r * 30, {225, 228, 233});
    if (r % 2) c.Fill(270, 791 + r * 30, 1900, 820 + r * 30, {248, 249, 251});
  }
  c.Text(290, 798, 1880, 1060, 9, 30, 44, [](int32_t, int32_t w) {
    return w % 5 == 3 ? Rgb{15, 157, 88} : Rgb{50, 50, 60};
  });
  return c;
}

Canvas CodeEditor() {
  Canvas c;
  c.Fill(0, 0, kWidth, kHeight, {30, 30, 30});
  c.Fill(0, 0, kWidth, 30, {50, 50, 52});      // tabs
  c.Fill(200, 0, 420, 30, {30, 30, 30});
  c.Fill(0, 30, 300, kHeight, {37, 37, 38});   // file tree
  c.Text(16, 44, 290, kHeight - 30, 8, 22, 70, [](int32_t line, int32_t) {
    return line == 6 ? Rgb{255, 255, 255} : Rgb{200, 200, 200};
  }, 3);
  c.Fill(300, 30, 360, kHeight, {30, 30, 30});  // line numbers
  c.Text(310, 40, 356, kHeight - 30, 8, 20, 71, [](int32_t, int32_t) { return Rgb{110, 118, 129}; });
  c.Fill(360, 40 + 20 * 17, kWidth - 120, 40 + 20 * 18, {42, 45, 46});  // the cursor's line
  const Rgb syntax[] = {{86, 156, 214}, {206, 145, 120}, {220, 220, 170}, {156, 220, 254},
                        {106, 153, 85}, {212, 212, 212}, {197, 134, 192}};
  c.Text(372, 40, kWidth - 140, kHeight - 30, 8, 20, 72, [&](int32_t line, int32_t word) {
    return syntax[(line * 3 + word * 5) % 7];
  }, 6);
  c.Fill(kWidth - 120, 30, kWidth, kHeight, {37, 37, 38});  // minimap
  for (int32_t y = 40; y < kHeight - 30; y += 3) {
    const int32_t len = 20 + (y * 7919) % 80;
    c.Fill(kWidth - 110, y, kWidth - 110 + len, y + 2, {90, 90, 95});
  }
  c.Fill(0, kHeight - 22, kWidth, kHeight, {0, 122, 204});  // status bar
  return c;
}

Canvas PhotoViewer() {
  Canvas c;
  c.Fill(0, 0, kWidth, kHeight, {24, 24, 26});
  c.Fill(0, 0, kWidth, 48, {40, 40, 44});
  c.Text(20, 16, 700, 44, 9, 24, 90, [](int32_t, int32_t) { return Rgb{220, 220, 220}; });
  Photo(c, 160, 70, 1760, 900, 4);
  for (int32_t k = 0; k < 12; ++k) {  // thumbnails
    const int32_t x = 100 + k * 145;
    Photo(c, x, 930, x + 130, 1040, 10 + uint32_t(k));
    if (k == 3) c.Frame(x - 3, 927, x + 133, 1043, {66, 133, 244});
  }
  return c;
}

Canvas Desktop() {
  Canvas c;
  c.Gradient(0, 0, kWidth, kHeight, {40, 80, 140}, {20, 150, 170});  // wallpaper
  for (int32_t i = 0; i < 8; ++i) {  // icons with their labels
    c.Fill(30, 30 + i * 110, 94, 94 + i * 110, {230, 200, 90});
    c.Text(20, 100 + i * 110, 110, 125 + i * 110, 7, 14, 100 + uint32_t(i),
           [](int32_t, int32_t) { return Rgb{255, 255, 255}; });
  }
  // A browser window with a page of text and a picture, a terminal, a task bar.
  c.Fill(200, 80, 1300, 900, {255, 255, 255});
  c.Fill(200, 80, 1300, 118, {222, 225, 230});
  c.Fill(220, 88, 1100, 110, {255, 255, 255});
  c.Frame(199, 79, 1301, 901, {120, 120, 120});
  c.Text(240, 140, 1260, 190, 16, 34, 110, [](int32_t, int32_t) { return Rgb{30, 30, 30}; });
  Photo(c, 240, 200, 700, 520, 7);
  c.Text(730, 200, 1260, 880, 9, 20, 111, [](int32_t l, int32_t w) {
    return (l + w) % 17 == 0 ? Rgb{26, 13, 171} : Rgb{34, 34, 34};
  });
  c.Text(240, 540, 700, 880, 9, 20, 112, [](int32_t, int32_t) { return Rgb{34, 34, 34}; });
  c.Fill(1350, 300, 1880, 980, {12, 12, 12});
  c.Fill(1350, 300, 1880, 326, {60, 60, 60});
  c.Text(1362, 336, 1870, 970, 8, 18, 120, [](int32_t, int32_t w) {
    return w == 0 ? Rgb{80, 220, 80} : Rgb{204, 204, 204};
  }, 2);
  c.Fill(0, kHeight - 40, kWidth, kHeight, {32, 32, 36});
  for (int32_t i = 0; i < 10; ++i) c.Fill(60 + i * 52, kHeight - 34, 96 + i * 52, kHeight - 6, {90, 120, 200});
  return c;
}

struct Frame {
  const char* name;
  std::vector<uint8_t> pixels;
};

std::vector<Frame> MakeFrames() {
  std::vector<Frame> frames;
  frames.push_back({"document", Document().Pixels()});
  frames.push_back({"dashboard", Dashboard().Pixels()});
  frames.push_back({"code", CodeEditor().Pixels()});
  frames.push_back({"photo", PhotoViewer().Pixels()});
  frames.push_back({"desktop", Desktop().Pixels()});
  return frames;
}

size_t EncodeOurs(const Frame& f, int32_t quality, std::vector<uint8_t>& out) {
  JpegEncodeRequest r;
  r.width = kWidth;
  r.height = kHeight;
  r.pixelFormat = vorn::jpeg::PixelFormatBgrx32;
  r.pixels = f.pixels.data();
  r.stride = kStride;
  r.quality = quality;
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

size_t EncodeTheirs(const Frame& f, int32_t quality, std::vector<uint8_t>& out) {
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
  jpeg_set_quality(&c, quality, TRUE);
  c.comp_info[0].h_samp_factor = c.comp_info[0].v_samp_factor = 2;
  for (int i = 1; i < 3; ++i) c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
  c.dct_method = JDCT_ISLOW;
  c.restart_interval = 1;
  c.optimize_coding = FALSE;
  jpeg_start_compress(&c, TRUE);
  JSAMPROW rows[16];
  while (c.next_scanline < c.image_height) {
    const uint32_t n = std::min<uint32_t>(16, c.image_height - c.next_scanline);
    for (uint32_t i = 0; i < n; ++i) {
      rows[i] = const_cast<uint8_t*>(&f.pixels[size_t{c.next_scanline + i} * kStride]);
    }
    jpeg_write_scanlines(&c, rows, n);
  }
  jpeg_finish_compress(&c);
  const size_t length = dest.capacity - dest.manager.free_in_buffer;
  jpeg_destroy_compress(&c);
  return length;
}

// PSNR in dB of a stream decoded by libjpeg-turbo (accurate DCT) against the frame's B,G,R.
double Psnr(const Frame& f, const std::vector<uint8_t>& stream, size_t length) {
  if (length == 0) return 0;
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
    for (int32_t x = 0; x < kWidth; ++x)
      for (int32_t c = 0; c < 3; ++c) {
        const double e = double(src[4 * x + c]) - row[4 * x + c];
        sum += e * e;
      }
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  const double mse = sum / (double(kWidth) * kHeight * 3);
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// Runs this program again with JSIMD_FORCESSE2=1 and the same arguments; its lines follow.
constexpr int kCannotRunAgain = 125;
int RunSse2Pass(char** argv) {
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    setenv("JSIMD_FORCESSE2", "1", 1);
    execv("/proc/self/exe", argv);
    _exit(kCannotRunAgain);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) < 0) return 1;
  if (WIFEXITED(status) && WEXITSTATUS(status) == kCannotRunAgain) {
    // Under an emulator the program cannot start itself again.
    std::printf("note: run with JSIMD_FORCESSE2=1 for the comparison with SSE2 code\n");
    return 0;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
  prim::InitPrimitives();
  const int32_t best = prim::CurrentProcessorIndex();
  const char* forced = std::getenv("JSIMD_FORCESSE2");
  const bool sse2Pass = forced != nullptr && std::strcmp(forced, "1") == 0;
  int32_t rounds = 7;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--rounds=", 9) == 0) rounds = std::max(1, std::atoi(argv[i] + 9));
  }
  const std::vector<Frame> frames = MakeFrames();
  std::vector<uint8_t> out(kOutputBytes);
  const std::string turbo = sse2Pass ? "turbo-sse2" : "turbo";
  std::printf("%s build, dispatched slot %s, libjpeg-turbo %s\n", kWordSize, kSlotNames[best],
              sse2Pass ? "forced to SSE2" : "with its own choice");
  std::printf("%-10s %3s %-12s %9s %8s %9s %8s\n", "frame", "q", "encoder", "ms/frame", "MP/s",
              "bytes", "PSNR dB");
  for (int32_t quality : kQualities) {
    double sumBest = 0, sumS2 = 0, sumTurbo = 0;
    for (const Frame& f : frames) {
      std::vector<Contender> contenders;
      if (!sse2Pass) {
        contenders.push_back({std::string("ours/") + kSlotNames[best], [&] {
                                prim::ScopedProcessorIndex force(best);
                                EncodeOurs(f, quality, out);
                              }});
      }
      contenders.push_back({"ours/s2", [&] {
                              prim::ScopedProcessorIndex force(prim::BuildS2);
                              EncodeOurs(f, quality, out);
                            }});
      contenders.push_back({turbo, [&] { EncodeTheirs(f, quality, out); }});
      RunAlternating(contenders, rounds, 3);
      // Sizes and PSNR once, outside the timed runs.
      for (size_t k = 0; k < contenders.size(); ++k) {
        size_t n;
        if (k + 1 == contenders.size()) {
          n = EncodeTheirs(f, quality, out);
        } else {
          prim::ScopedProcessorIndex force(contenders[k].name == "ours/s2" ? prim::BuildS2 : best);
          n = EncodeOurs(f, quality, out);
        }
        const double ms = contenders[k].bestSeconds * 1e3;
        std::printf("%-10s %3d %-12s %9.2f %8.1f %9zu %8.2f\n", f.name, quality,
                    contenders[k].name.c_str(), ms, double(kWidth) * kHeight / 1e3 / ms, n,
                    Psnr(f, out, n));
        if (n == 0) std::printf("error: %s failed on %s\n", contenders[k].name.c_str(), f.name);
      }
      const double theirs = contenders.back().bestSeconds;
      const double s2 = contenders[contenders.size() - 2].bestSeconds;
      sumTurbo += theirs;
      sumS2 += s2;
      if (!sse2Pass) {
        sumBest += contenders[0].bestSeconds;
        std::printf("ratio %s/best/%s/%s/q%d %.3f\n", kWordSize, turbo.c_str(), f.name, quality,
                    contenders[0].bestSeconds / theirs);
      }
      std::printf("ratio %s/s2/%s/%s/q%d %.3f\n", kWordSize, turbo.c_str(), f.name, quality,
                  s2 / theirs);
    }
    if (!sse2Pass) {
      std::printf("ratio %s/best/%s/all/q%d %.3f\n", kWordSize, turbo.c_str(), quality,
                  sumBest / sumTurbo);
    }
    std::printf("ratio %s/s2/%s/all/q%d %.3f\n", kWordSize, turbo.c_str(), quality,
                sumS2 / sumTurbo);
  }
  if (!sse2Pass && forced == nullptr) return RunSse2Pass(argv);
  return 0;
}
