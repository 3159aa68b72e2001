// One Huffman code table of the encoder: the code of every symbol for the coder, and BITS and
// HUFFVAL as the DHT segment carries them.
//
// Results: 0; -2 the size query or the table itself failed (Init before Create included); -6
// the allocation failed.
#pragma once

#include <cstdint>

#include "jpeg/primitives/huffman/huffman.h"

namespace vorn::jpeg {

class CJPEGEncoderHuffmanTable {
 public:
  static constexpr int32_t kOk = 0;
  static constexpr int32_t kFailed = -2;
  static constexpr int32_t kOutOfMemory = -6;

  CJPEGEncoderHuffmanTable();
  virtual ~CJPEGEncoderHuffmanTable();
  CJPEGEncoderHuffmanTable(const CJPEGEncoderHuffmanTable&) = delete;
  CJPEGEncoderHuffmanTable& operator=(const CJPEGEncoderHuffmanTable&) = delete;

  // Allocates the code table (any earlier one is freed).
  int32_t Create();
  // Keeps the low 4 bits of id (0 luminance, 1 chrominance) and of class (0 DC, 1 AC), copies
  // 16 BITS and 256 HUFFVAL bytes and builds the codes. A refused table is left with BITS
  // and HUFFVAL all zero (no codes).
  int32_t Init(uint32_t id, uint32_t tableClass, const uint8_t* bits, const uint8_t* values);
  // Clears id, class, BITS and HUFFVAL and frees the code table.
  void Destroy();

  // The code table for EncodeBaselineBlock; null before Create.
  const uint32_t* Spec() const { return spec_; }
  uint32_t Id() const { return id_; }
  uint32_t Class() const { return class_; }
  const uint8_t* Bits() const { return bits_; }
  const uint8_t* Values() const { return values_; }

 private:
  uint32_t* spec_ = nullptr;  // AlignedMalloc, kHuffmanSpecEntries entries
  uint32_t id_ = 0;
  uint32_t class_ = 0;
  uint8_t bits_[16];
  uint8_t values_[256];
};

}  // namespace vorn::jpeg
