#include "jpeg/entropy/huffman_table.h"

#include "jpeg/primitives/frame/memory.h"
#include "jpeg/primitives/movement/movement.h"

namespace vorn::jpeg {

CJPEGEncoderHuffmanTable::CJPEGEncoderHuffmanTable() {
  prim::ZeroBytes(bits_, sizeof(bits_));
  prim::ZeroBytes(values_, sizeof(values_));
}

CJPEGEncoderHuffmanTable::~CJPEGEncoderHuffmanTable() { Destroy(); }

int32_t CJPEGEncoderHuffmanTable::Create() {
  int32_t size = 0;
  if (prim::HuffmanEncodeSpecSize(&size) != prim::StatusOk) return kFailed;
  prim::AlignedFree(spec_);
  spec_ = static_cast<uint32_t*>(prim::AlignedMalloc(size));
  return spec_ != nullptr ? kOk : kOutOfMemory;
}

int32_t CJPEGEncoderHuffmanTable::Init(uint32_t id, uint32_t tableClass, const uint8_t* bits,
                                       const uint8_t* values) {
  id_ = id & 0xF;
  class_ = tableClass & 0xF;
  if (prim::CopyBytes(bits, bits_, sizeof(bits_)) == prim::StatusOk &&
      prim::CopyBytes(values, values_, sizeof(values_)) == prim::StatusOk &&
      prim::BuildHuffmanEncodeSpec(bits_, values_, spec_) == prim::StatusOk) {
    return kOk;
  }
  // A refused table keeps no BITS: they may count more codes than HUFFVAL holds, and the
  // DHT segment is written from them.
  prim::ZeroBytes(bits_, sizeof(bits_));
  prim::ZeroBytes(values_, sizeof(values_));
  return kFailed;
}

void CJPEGEncoderHuffmanTable::Destroy() {
  id_ = 0;
  class_ = 0;
  prim::ZeroBytes(bits_, sizeof(bits_));
  prim::ZeroBytes(values_, sizeof(values_));
  prim::AlignedFree(spec_);
  spec_ = nullptr;
}

}  // namespace vorn::jpeg
