// Helpers of the frame encoder tests: synthetic B,G,R(,x) pictures, one encode into a
// guarded buffer, and (where libjpeg-turbo is linked) a decoder back to B,G,R with the PSNR
// against the source.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "jpeg/codec/encode_frame_jpeg.h"

#if VORN_HAVE_LIBJPEG
#include <jpeglib.h>

#include <csetjmp>
#include <cstdio>
#endif

namespace vorn::jpeg::test {

struct Picture {
  uint32_t width = 0;
  uint32_t height = 0;
  int32_t channels = 4;
  int32_t stride = 0;
  std::vector<uint8_t> bytes;

  uint8_t* At(uint32_t x, uint32_t y) {
    return &bytes[size_t{y} * stride + size_t{x} * channels];
  }
  const uint8_t* At(uint32_t x, uint32_t y) const {
    return &bytes[size_t{y} * stride + size_t{x} * channels];
  }
};

// Smooth ramps with a few hard-edged boxes, like a desktop with windows; each row carries
// |spare| bytes the encoder must not read as pixels, and the fourth byte of B,G,R,x pixels
// is |fourth| (or varies with the position when |fourth| is negative).
inline Picture DesktopPicture(uint32_t width, uint32_t height, int32_t channels,
                              int32_t fourth = 0xFF, int32_t spare = 12) {
  Picture p{width, height, channels, static_cast<int32_t>(width) * channels + spare, {}};
  p.bytes.assign(size_t(p.stride) * height, 0xC3);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t* px = p.At(x, y);
      int b = static_cast<int>(x * 200 / width) + 20;
      int g = static_cast<int>(y * 180 / height) + 40;
      int r = static_cast<int>((x + y) * 120 / (width + height)) + 90;
      if ((x / 24 + y / 16) % 5 == 0) b = 250, g = 250, r = 250;   // bright boxes
      if (x % 40 < 3 && y % 30 < 20) b = 10, g = 10, r = 30;       // dark bars
      px[0] = static_cast<uint8_t>(b);
      px[1] = static_cast<uint8_t>(g);
      px[2] = static_cast<uint8_t>(r);
      if (channels == 4)
        px[3] = static_cast<uint8_t>(fourth >= 0 ? fourth : (x * 37 + y * 11) & 0xFF);
    }
  }
  return p;
}

// A buffer whose bytes past the capacity must stay untouched.
constexpr uint8_t kGuard = 0xE7;
constexpr int32_t kGuardBytes = 4096;

struct Encoded {
  JpegEncodeStatus status = 0;
  int32_t outputLength = -12345;  // what the request held before the call
  std::vector<uint8_t> buffer;    // capacity + guard bytes, pre-filled with kGuard
  int32_t capacity = 0;

  std::vector<uint8_t> Stream() const {
    return {buffer.begin(), buffer.begin() + (status == JpegEncodeOk ? outputLength : 0)};
  }
  // Whether every byte past the first |capacity| is still the guard.
  bool GuardIntact() const {
    const size_t from = capacity > 0 ? static_cast<size_t>(capacity) : 0;
    for (size_t i = from; i < buffer.size(); ++i)
      if (buffer[i] != kGuard) return false;
    return true;
  }
};

inline JpegEncodeRequest RequestFor(const Picture& p, int32_t sampling = Sampling420,
                                    int32_t quality = 95) {
  JpegEncodeRequest r;
  r.width = p.width;
  r.height = p.height;
  r.pixelFormat = p.channels == 4 ? PixelFormatBgrx32 : PixelFormatBgr24;
  r.pixels = p.bytes.data();
  r.stride = p.stride;
  r.quality = quality;
  r.sampling = sampling;
  return r;
}

// Room for any stream of a picture of this size at any quality.
inline int32_t AmpleCapacity(const JpegEncodeRequest& r) {
  return static_cast<int32_t>(size_t{r.width} * r.height * 4 + 8192);
}

// Encodes |r| into a guarded buffer of |capacity| bytes (kAmple: AmpleCapacity); the
// request's output fields are set here.
constexpr int32_t kAmple = INT32_MIN + 1;
// |change|, when given, alters the finished request last.
inline Encoded Encode(JpegEncodeRequest r, int32_t capacity = kAmple,
                      void (*change)(JpegEncodeRequest&) = nullptr) {
  Encoded e;
  e.capacity = capacity == kAmple ? AmpleCapacity(r) : capacity;
  e.buffer.assign(static_cast<size_t>(e.capacity > 0 ? e.capacity : 0) + kGuardBytes, kGuard);
  r.output = e.buffer.data();
  r.outputCapacity = e.capacity;
  r.outputLength = e.outputLength;
  if (change != nullptr) change(r);
  e.status = EncodeFrameJpeg(&r);
  e.outputLength = r.outputLength;
  return e;
}

#if VORN_HAVE_LIBJPEG
struct DecodeTrap {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  int warnings;
};

// The stream decoded to B,G,R rows (empty when it does not decode without warnings).
inline std::vector<uint8_t> DecodeBgr(const std::vector<uint8_t>& stream, uint32_t* width,
                                      uint32_t* height) {
  jpeg_decompress_struct info{};
  DecodeTrap trap{};
  info.err = jpeg_std_error(&trap.manager);
  trap.manager.error_exit = [](j_common_ptr c) {
    std::longjmp(reinterpret_cast<DecodeTrap*>(c->err)->jump, 1);
  };
  trap.manager.emit_message = [](j_common_ptr c, int level) {
    if (level < 0) ++reinterpret_cast<DecodeTrap*>(c->err)->warnings;
  };
  std::vector<uint8_t>* rows = new std::vector<uint8_t>();
  if (setjmp(trap.jump)) {
    jpeg_destroy_decompress(&info);
    delete rows;
    return {};
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, stream.data(), static_cast<unsigned long>(stream.size()));
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_EXT_BGR;
  info.dct_method = JDCT_ISLOW;
  jpeg_start_decompress(&info);
  rows->resize(size_t{info.output_width} * info.output_height * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = &(*rows)[size_t{info.output_scanline} * info.output_width * 3];
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  *width = info.output_width;
  *height = info.output_height;
  jpeg_destroy_decompress(&info);
  std::vector<uint8_t> out = trap.warnings == 0 ? std::move(*rows) : std::vector<uint8_t>{};
  delete rows;
  return out;
}
#endif

// PSNR in dB of B,G,R rows (packed) against the picture's colour bytes.
inline double PsnrBgr(const Picture& p, const std::vector<uint8_t>& bgr) {
  double sum = 0;
  for (uint32_t y = 0; y < p.height; ++y) {
    for (uint32_t x = 0; x < p.width; ++x) {
      const uint8_t* a = p.At(x, y);
      const uint8_t* b = &bgr[(size_t{y} * p.width + x) * 3];
      for (int c = 0; c < 3; ++c) sum += double(a[c] - b[c]) * double(a[c] - b[c]);
    }
  }
  const double mse = sum / (double(p.width) * p.height * 3);
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace vorn::jpeg::test
