// The display path's output stream: copies into a memory buffer the caller owns and tells when
// that buffer is full.
#pragma once

#include <cstdint>

#include "jpeg/stream/base_stream.h"

namespace vorn::jpeg {

class CMemBuffOutput : public ImageCodec::BaseStreamOutput {
 public:
  CMemBuffOutput() = default;
  ~CMemBuffOutput() override;
  CMemBuffOutput(const CMemBuffOutput&) = delete;
  CMemBuffOutput& operator=(const CMemBuffOutput&) = delete;

  // 0: the capacity.
  ImageCodec::StreamStatus Size(int64_t* size) override;
  // 0: the bytes written so far (the stream's length as the frame encoder reports it).
  ImageCodec::StreamStatus Position(int64_t* position) override;
  // Copies as much of |data| as still fits and stores that count; 1 when it is less than
  // |size| (the buffer is full), else 0. A write of 0 bytes changes nothing and returns 0; a
  // negative size, or data missing for a positive one, takes nothing and returns 1.
  ImageCodec::StreamStatus Write(const void* data, int64_t size, int64_t* count) override;
  // From the start: to 0 <= offset < capacity. From the current position or the end: to any
  // position from 0 to the capacity. Else 1 and the position stays; an unknown origin 0.
  ImageCodec::StreamStatus Seek(int64_t offset, int32_t origin) override;

  // 1 for a null buffer or a negative capacity (nothing changes); else 0 with the position 0.
  int32_t Open(uint8_t* buffer, int32_t capacity);
  int32_t Close();

 private:
  uint8_t* buffer_ = nullptr;  // borrowed
  int32_t capacity_ = 0;
  int32_t position_ = 0;
};

}  // namespace vorn::jpeg
