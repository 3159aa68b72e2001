// The Huffman coder's state of the encoder, in an aligned block of its own.
//
// Create results: 0; -2 the size query failed; -6 the allocation failed (no state is left).
#pragma once

#include <cstdint>

#include "jpeg/primitives/huffman/huffman.h"

namespace vorn::jpeg {

class CJPEGEncoderHuffmanState {
 public:
  static constexpr int32_t kOk = 0;
  static constexpr int32_t kFailed = -2;
  static constexpr int32_t kOutOfMemory = -6;

  CJPEGEncoderHuffmanState() = default;
  virtual ~CJPEGEncoderHuffmanState();
  CJPEGEncoderHuffmanState(const CJPEGEncoderHuffmanState&) = delete;
  CJPEGEncoderHuffmanState& operator=(const CJPEGEncoderHuffmanState&) = delete;

  // Replaces the state with a new, uncleared one (the scan resets it before coding).
  int32_t Create();
  void Destroy();

  prim::HuffmanEncodeState* State() const { return state_; }

 private:
  prim::HuffmanEncodeState* state_ = nullptr;  // AlignedMalloc
};

}  // namespace vorn::jpeg
