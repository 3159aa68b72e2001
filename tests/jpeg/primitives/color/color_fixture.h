// Images for the colour conversion tests: random samples with the extremes frequent (so
// clamping and rounding edges are hit), rows padded beyond the width, destinations
// pre-filled with a pattern so every byte a conversion must not touch can be checked.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace vorn::jpeg::prim::test {

struct Plane {
  int32_t step = 0;
  int32_t rows = 0;
  int32_t offset = 0;  // bytes before the first sample, to misalign it
  std::vector<uint8_t> bytes;

  Plane() = default;
  Plane(int32_t rowBytes, int32_t rowCount, int32_t pad, int32_t misalign, uint8_t fill)
      : step(rowBytes + pad),
        rows(rowCount),
        offset(misalign),
        bytes(static_cast<size_t>(step) * rowCount + misalign, fill) {}

  uint8_t* data() { return bytes.data() + offset; }
  uint8_t& at(int32_t row, int32_t col) { return data()[static_cast<size_t>(step) * row + col]; }
  // The last row's start, for walking the image upwards with a negative step.
  uint8_t* last() { return data() + static_cast<size_t>(step) * (rows - 1); }
};

inline void FillRandom(Plane& p, std::mt19937& rng) {
  std::uniform_int_distribution<int> pick(0, 9);
  std::uniform_int_distribution<int> byte(0, 255);
  for (uint8_t& b : p.bytes) {
    const int k = pick(rng);
    b = static_cast<uint8_t>(k == 0 ? 0 : k == 1 ? 255 : byte(rng));
  }
}

}  // namespace vorn::jpeg::prim::test
