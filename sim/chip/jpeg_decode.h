// The chip's JPEG decoder: turns a baseline stream into the planes a frame keeps in memory.
// Built only where libjpeg-turbo can be linked; elsewhere JpegDecoderAvailable() is false and
// every decode fails with "no JPEG decoder in this build".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorn::chip {

bool JpegDecoderAvailable();

// A decoded picture: full-size luma and 4:2:0 chroma ((w + 1) / 2 x (h + 1) / 2), or, for an
// RGB target, rows of B, G, R.
struct DecodedJpeg {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> y, cb, cr;
  std::vector<uint8_t> bgr;
};

// Reads the size a stream declares; false when its header cannot be read.
bool ReadJpegSize(const uint8_t* data, size_t size, uint32_t* width, uint32_t* height,
                  std::string* error);

// Decodes |data| to YCbCr planes with 4:2:0 chroma (4:2:0 streams keep their own chroma
// samples; others are averaged down), or with |bgr| set to B, G, R rows. Streams larger than
// |max_width| x |max_height|, damaged streams (a decoder warning counts as damage) and
// streams other than 3-component ones fail with a reason in |error|.
bool DecodeJpeg(const uint8_t* data, size_t size, uint32_t max_width, uint32_t max_height,
                bool bgr, DecodedJpeg* out, std::string* error);

}  // namespace vorn::chip
