#include "jpeg/entropy/huffman_state.h"

#include "jpeg/primitives/frame/memory.h"

namespace vorn::jpeg {

CJPEGEncoderHuffmanState::~CJPEGEncoderHuffmanState() { Destroy(); }

int32_t CJPEGEncoderHuffmanState::Create() {
  int32_t size = 0;
  if (prim::HuffmanEncodeStateSize(&size) != prim::StatusOk) return kFailed;
  Destroy();
  state_ = static_cast<prim::HuffmanEncodeState*>(prim::AlignedMalloc(size));
  return state_ != nullptr ? kOk : kOutOfMemory;
}

void CJPEGEncoderHuffmanState::Destroy() {
  prim::AlignedFree(state_);
  state_ = nullptr;
}

}  // namespace vorn::jpeg
