#include "jpeg/stream/bitstream_output.h"

#include "jpeg/primitives/frame/memory.h"

namespace vorn::jpeg {

CBitStreamOutput::~CBitStreamOutput() {
  FreeBuffer();
  stream_ = nullptr;
}

void CBitStreamOutput::FreeBuffer() {
  prim::AlignedFree(buffer_);
  buffer_ = nullptr;
  size_ = 0;
  position_ = 0;
}

int32_t CBitStreamOutput::SetStream(ImageCodec::BaseStreamOutput* stream) {
  FreeBuffer();
  stream_ = stream;
  return kOk;
}

int32_t CBitStreamOutput::AllocateBuffer(int32_t size) {
  FreeBuffer();
  buffer_ = static_cast<uint8_t*>(prim::AlignedMalloc(size));
  // Without a buffer there is no size either, so no write can reach a missing buffer.
  if (buffer_ == nullptr) return kNoBuffer;
  size_ = size;
  return kOk;
}

int32_t CBitStreamOutput::WriteByte(uint8_t b) {
  if (buffer_ == nullptr) return kNoBuffer;
  if (position_ >= size_) {
    const int32_t status = FlushBuffer(0);
    if (status != kOk) return status;
  }
  buffer_[position_++] = b;
  return kOk;
}

int32_t CBitStreamOutput::WriteWord(uint16_t w) {
  const int32_t status = WriteByte(static_cast<uint8_t>((w >> 8) & 0xFF));
  if (status != kOk) return status;
  return WriteByte(static_cast<uint8_t>(w & 0xFF));
}

int32_t CBitStreamOutput::FlushBuffer(int32_t minFree) {
  if (position_ > size_ || position_ < 0) return kOverrun;
  if (minFree != 0 && size_ - position_ > minFree) return kOk;
  // Nothing can be handed on without a stream: only an empty buffer flushes then.
  if (stream_ == nullptr) return position_ == 0 ? kOk : kOutputFull;
  int64_t count = 0;
  stream_->Write(buffer_, position_, &count);
  if (count != position_) return kOutputFull;
  position_ = 0;
  return kOk;
}

}  // namespace vorn::jpeg
