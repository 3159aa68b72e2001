// Synthetic images of up to 16-bit samples for the tests of the wide-sample frames.
#pragma once

#include <cstdint>
#include <vector>

namespace vorn::jpeg::test {

// Interleaved samples of |channels| channels; 8-bit sources use the low byte.
struct Samples {
  int32_t width = 0;
  int32_t height = 0;
  int32_t channels = 0;
  int32_t precision = 8;
  std::vector<uint16_t> values;

  uint16_t At(int32_t x, int32_t y, int32_t c) const {
    return values[(size_t(y) * width + x) * channels + c];
  }
};

enum class Pattern { kNoise, kRamp, kWrapping, kChecker };

inline Samples MakeSamples(int32_t width, int32_t height, int32_t channels, int32_t precision,
                    Pattern pattern, uint32_t seed = 5) {
  Samples s{width, height, channels, precision, {}};
  s.values.resize(size_t(width) * height * channels);
  const uint32_t mask = (1u << precision) - 1;
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      for (int32_t c = 0; c < channels; ++c) {
        uint32_t v = 0;
        switch (pattern) {
          case Pattern::kNoise:
            seed = seed * 1664525u + 1013904223u;
            v = seed >> 8;
            break;
          case Pattern::kRamp:
            v = uint32_t(x * (c + 1) * 3 + y * 5 + c * 40);
            break;
          case Pattern::kChecker:
            // The extremes of the range in 4 x 4 squares: the largest coefficients.
            v = ((x >> 2) + (y >> 2) + c) & 1 ? mask : 0;
            break;
          case Pattern::kWrapping:
            // Steps of almost half the range: the differences wrap modulo 2^16 and reach the
            // largest categories, samples from 32768 up included at 16 bits.
            v = uint32_t(x) * 32767u + uint32_t(y) * 40000u + uint32_t(c) * 12345u;
            break;
        }
        s.values[(size_t(y) * width + x) * channels + c] = static_cast<uint16_t>(v & mask);
      }
    }
  }
  return s;
}

}  // namespace vorn::jpeg::test
