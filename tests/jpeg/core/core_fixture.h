// Helpers of the encoder-core tests: synthetic images, one whole encode into memory, stream
// scanning, and (where the library is linked) a libjpeg-turbo decoder that counts warnings.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "jpeg/core/encoder.h"
#include "jpeg/stream/membuff_output.h"

#if VORN_HAVE_LIBJPEG
#include <jpeglib.h>

#include <csetjmp>
#include <cstdio>
#endif

namespace vorn::jpeg::test {

// Interleaved pixels, |channels| bytes each, rows |step| bytes apart.
struct Image {
  int32_t width = 0;
  int32_t height = 0;
  int32_t channels = 0;
  int32_t step = 0;
  std::vector<uint8_t> pixels;

  uint8_t* At(int32_t x, int32_t y) { return &pixels[size_t(y) * step + size_t(x) * channels]; }
  const uint8_t* At(int32_t x, int32_t y) const {
    return &pixels[size_t(y) * step + size_t(x) * channels];
  }
};

// Smooth ramps that differ per channel and per position, so a block coded in the wrong place
// shows as a large error. Rows carry 5 spare bytes that the encoder must not read as pixels.
inline Image RampImage(int32_t width, int32_t height, int32_t channels) {
  Image image{width, height, channels, width * channels + 5, {}};
  image.pixels.assign(size_t(image.step) * height, 0xA5);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      uint8_t* p = image.At(x, y);
      // At most two steps a pixel, so chroma subsampling costs little even on tiny images.
      const int32_t rx = x * 255 / (width - 1 > 127 ? width - 1 : 127);
      const int32_t ry = y * 255 / (height - 1 > 127 ? height - 1 : 127);
      const int32_t values[4] = {rx, ry, (rx + ry) / 2, 255 - rx};
      for (int32_t c = 0; c < channels; ++c) p[c] = static_cast<uint8_t>(values[c]);
    }
  }
  return image;
}

// Pseudo-random samples (a fixed linear congruential sequence).
inline Image NoiseImage(int32_t width, int32_t height, int32_t channels, uint32_t seed = 1) {
  Image image{width, height, channels, width * channels, {}};
  image.pixels.resize(size_t(image.step) * height);
  for (uint8_t& b : image.pixels) {
    seed = seed * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(seed >> 24);
  }
  return image;
}

struct EncodeConfig {
  int32_t sourceColor = ColorBgr;
  int32_t frameColor = ColorYCbCr;
  int32_t sampling = Sampling420;
  int32_t restartInterval = 1;
  int32_t quality = 95;
  int32_t capacity = 0;  // 0: room for any stream of the image
  int32_t sourceSampling = Sampling444;
  int32_t optimizeHuffman = 0;
  int32_t mode = ModeBaseline;
};

struct EncodeResult {
  JpegCoreStatus setParams = CoreOk;
  JpegCoreStatus header = CoreOk;
  JpegCoreStatus data = CoreOk;
  int32_t headerBytes = 0;  // bytes at the output after WriteHeader
  std::vector<uint8_t> bytes;

  bool Ok() const { return setParams == CoreOk && header == CoreOk && data == CoreOk; }
};

// One encode the way the frame encoder drives the core: source, parameters, an empty comment,
// the output stream, header, data.
inline EncodeResult Encode(const Image& image, const EncodeConfig& config) {
  EncodeResult result;
  const int32_t capacity =
      config.capacity != 0 ? config.capacity : image.width * image.height * 8 + 65536;
  std::vector<uint8_t> output(size_t(capacity) + 64, 0xEE);
  CMemBuffOutput stream;
  stream.Open(output.data(), capacity);
  CJPEGEncoder encoder;
  static const char kEmptyComment[128] = {};
  encoder.SetInterleavedSource8(image.pixels.data(), image.step, image.width, image.height,
                                image.channels, config.sourceColor, config.sourceSampling, 8);
  result.setParams = encoder.SetParams(config.mode, config.frameColor, config.sampling,
                                       config.restartInterval, config.optimizeHuffman,
                                       config.quality, 1);
  encoder.SetComment(0, kEmptyComment);
  encoder.SetOutputStream(&stream);
  if (result.setParams == CoreOk) {
    result.header = encoder.WriteHeader();
    int64_t position = 0;
    stream.Position(&position);
    result.headerBytes = static_cast<int32_t>(position);
    if (result.header == CoreOk) result.data = encoder.WriteData();
  }
  int64_t length = 0;
  stream.Position(&length);
  // Nothing is written past the capacity.
  for (size_t i = size_t(capacity); i < output.size(); ++i) {
    if (output[i] != 0xEE) {
      result.data = -100;
      break;
    }
  }
  output.resize(size_t(length));
  result.bytes = std::move(output);
  return result;
}

// The markers found in the entropy-coded data after the first SOS: FF xx with xx neither 00
// nor a fill byte, as offsets.
struct Marker {
  size_t offset;
  uint8_t code;
};
inline std::vector<Marker> ScanMarkers(const std::vector<uint8_t>& bytes) {
  std::vector<Marker> markers;
  size_t i = 2;
  // Walk the segments up to SOS.
  while (i + 4 <= bytes.size() && bytes[i] == 0xFF && bytes[i + 1] != 0xDA) {
    i += 2 + ((size_t(bytes[i + 2]) << 8) | bytes[i + 3]);
  }
  if (i + 4 > bytes.size()) return markers;
  i += 2 + ((size_t(bytes[i + 2]) << 8) | bytes[i + 3]);
  for (; i + 1 < bytes.size(); ++i) {
    if (bytes[i] == 0xFF && bytes[i + 1] != 0x00) {
      markers.push_back({i, bytes[i + 1]});
      ++i;
    }
  }
  return markers;
}

inline uint64_t Fnv1a64(const std::vector<uint8_t>& bytes) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (uint8_t b : bytes) {
    hash ^= b;
    hash *= 0x100000001b3ull;
  }
  return hash;
}

#if VORN_HAVE_LIBJPEG

// A libjpeg error manager that turns fatal errors into a flag instead of exit().
struct CountingErrors {
  jpeg_error_mgr mgr;
  jmp_buf jump;
  bool failed;
};

inline void ExitThroughJump(j_common_ptr cinfo) {
  CountingErrors* errors = reinterpret_cast<CountingErrors*>(cinfo->err);
  errors->failed = true;
  longjmp(errors->jump, 1);
}

// Keeps the count of corrupt-data warnings (msg_level -1) without printing.
inline void CountWarning(j_common_ptr cinfo, int level) {
  if (level < 0) cinfo->err->num_warnings++;
}

struct Decoded {
  bool ok = false;
  long warnings = -1;
  int width = 0;
  int height = 0;
  int components = 0;
  J_COLOR_SPACE jpegColorSpace = JCS_UNKNOWN;
  int hSamp[4] = {};
  int vSamp[4] = {};
  int restartInterval = 0;
  uint16_t quant[2][64] = {};  // natural order
  bool quantPresent[2] = {};
  std::vector<uint8_t> pixels;  // output colour space, interleaved
};

// Decodes to |outSpace| (JCS_RGB for colour frames, JCS_GRAYSCALE, or JCS_CMYK).
inline Decoded DecodeWithLibjpeg(const std::vector<uint8_t>& bytes, J_COLOR_SPACE outSpace) {
  Decoded out;
  jpeg_decompress_struct cinfo;
  CountingErrors errors{};
  std::vector<uint8_t> row;
  cinfo.err = jpeg_std_error(&errors.mgr);
  errors.mgr.error_exit = ExitThroughJump;
  errors.mgr.emit_message = CountWarning;
  if (setjmp(errors.jump)) {
    out.warnings = errors.mgr.num_warnings;
    jpeg_destroy_decompress(&cinfo);
    out.ok = false;
    return out;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, bytes.data(), static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&cinfo, TRUE);
  out.width = static_cast<int>(cinfo.image_width);
  out.height = static_cast<int>(cinfo.image_height);
  out.components = cinfo.num_components;
  out.jpegColorSpace = cinfo.jpeg_color_space;
  out.restartInterval = static_cast<int>(cinfo.restart_interval);
  for (int c = 0; c < cinfo.num_components && c < 4; ++c) {
    out.hSamp[c] = cinfo.comp_info[c].h_samp_factor;
    out.vSamp[c] = cinfo.comp_info[c].v_samp_factor;
  }
  for (int t = 0; t < 2; ++t) {
    if (cinfo.quant_tbl_ptrs[t] != nullptr) {
      out.quantPresent[t] = true;
      for (int k = 0; k < 64; ++k) out.quant[t][k] = cinfo.quant_tbl_ptrs[t]->quantval[k];
    }
  }
  cinfo.out_color_space = outSpace;
  cinfo.dct_method = JDCT_ISLOW;
  jpeg_start_decompress(&cinfo);
  const size_t rowBytes = size_t(cinfo.output_width) * cinfo.output_components;
  out.pixels.resize(rowBytes * cinfo.output_height);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW line = out.pixels.data() + rowBytes * cinfo.output_scanline;
    jpeg_read_scanlines(&cinfo, &line, 1);
  }
  jpeg_finish_decompress(&cinfo);
  out.warnings = errors.mgr.num_warnings;
  jpeg_destroy_decompress(&cinfo);
  out.ok = true;
  return out;
}

// The quantised coefficients of every component as libjpeg-turbo reads them: per component
// its blocks row by row, 64 values each in natural order. Empty when the stream is refused
// or raises a warning.
inline std::vector<std::vector<int16_t>> ReadCoefficients(const std::vector<uint8_t>& bytes) {
  std::vector<std::vector<int16_t>> planes;
  jpeg_decompress_struct cinfo;
  CountingErrors errors{};
  cinfo.err = jpeg_std_error(&errors.mgr);
  errors.mgr.error_exit = ExitThroughJump;
  errors.mgr.emit_message = CountWarning;
  if (setjmp(errors.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return {};
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, bytes.data(), static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&cinfo, TRUE);
  jvirt_barray_ptr* arrays = jpeg_read_coefficients(&cinfo);
  for (int c = 0; c < cinfo.num_components; ++c) {
    const jpeg_component_info& info = cinfo.comp_info[c];
    std::vector<int16_t> plane;
    for (JDIMENSION by = 0; by < info.height_in_blocks; ++by) {
      JBLOCKARRAY row = (*cinfo.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&cinfo),
                                                         arrays[c], by, 1, FALSE);
      for (JDIMENSION bx = 0; bx < info.width_in_blocks; ++bx) {
        plane.insert(plane.end(), row[0][bx], row[0][bx] + 64);
      }
    }
    planes.push_back(std::move(plane));
  }
  jpeg_finish_decompress(&cinfo);
  const long warnings = errors.mgr.num_warnings;
  jpeg_destroy_decompress(&cinfo);
  if (warnings != 0) return {};
  return planes;
}

#endif  // VORN_HAVE_LIBJPEG

}  // namespace vorn::jpeg::test
