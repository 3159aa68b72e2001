// A small PNG writer for the pictures vorn-sim leaves behind: 8-bit RGB, one IDAT chunk whose
// zlib stream uses fixed Huffman codes with two kinds of matches only, the pixel to the left
// (runs of one colour) and the same place in the row above, which is what flat desktops,
// text and moving windows are made of. No library is needed, so it builds wherever the
// simulator does, 32-bit builds included.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn::sim {

// The PNG file of a |width| x |height| picture given as BGRA rows |pitch| bytes apart.
std::vector<uint8_t> EncodePng(const uint8_t* bgra, uint32_t width, uint32_t height,
                               uint32_t pitch);
// Writes it to |path|; false with |error| when the file cannot be written.
bool WritePng(const std::string& path, const uint8_t* bgra, uint32_t width, uint32_t height,
              uint32_t pitch, std::string* error = nullptr);

// For tests: inflates a zlib stream made of stored and fixed-Huffman blocks (what EncodePng
// writes); false on anything else or on a damaged stream.
bool InflateZlib(const std::vector<uint8_t>& in, std::vector<uint8_t>* out);

}  // namespace vorn::sim
