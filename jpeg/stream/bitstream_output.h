// The encoder's own output buffer: marker bytes are written into it one or two at a time, the
// entropy coders write straight into it (Buffer, Size, Position, SetPosition), and full
// stretches of it go to the output stream.
//
// Results: 0; -4 the position passed the buffer; -5 the stream took fewer bytes than it was
// given (the output is full: the bytes stay in the buffer, the position is kept); -6 no
// buffer (allocation failed or none made).
#pragma once

#include <cstdint>

#include "jpeg/stream/base_stream.h"

namespace vorn::jpeg {

class CBitStreamOutput {
 public:
  static constexpr int32_t kOk = 0;
  static constexpr int32_t kOverrun = -4;
  static constexpr int32_t kOutputFull = -5;
  static constexpr int32_t kNoBuffer = -6;

  CBitStreamOutput() = default;
  virtual ~CBitStreamOutput();
  CBitStreamOutput(const CBitStreamOutput&) = delete;
  CBitStreamOutput& operator=(const CBitStreamOutput&) = delete;

  // Frees the buffer (a new one is allocated before the next stream) and keeps the stream.
  int32_t SetStream(ImageCodec::BaseStreamOutput* stream);
  // Replaces the buffer with |size| bytes: 0, or -6 leaving no buffer.
  int32_t AllocateBuffer(int32_t size);
  // A full buffer is first handed to the stream (FlushBuffer(0)).
  int32_t WriteByte(uint8_t b);
  // The high byte, then the low byte; a failure after the first leaves it in the buffer.
  int32_t WriteWord(uint16_t w);
  // With minFree 0, or when no more than minFree bytes are free, the buffered bytes go to the
  // stream and the buffer empties; otherwise nothing happens.
  int32_t FlushBuffer(int32_t minFree);

  ImageCodec::BaseStreamOutput* Stream() const { return stream_; }
  uint8_t* Buffer() const { return buffer_; }
  int32_t Size() const { return size_; }
  int32_t Position() const { return position_; }
  // Where an entropy coder left off in Buffer().
  void SetPosition(int32_t position) { position_ = position; }

 private:
  void FreeBuffer();

  ImageCodec::BaseStreamOutput* stream_ = nullptr;  // borrowed
  uint8_t* buffer_ = nullptr;                       // AlignedMalloc
  int32_t size_ = 0;
  int32_t position_ = 0;  // bytes not yet handed to the stream
};

}  // namespace vorn::jpeg
