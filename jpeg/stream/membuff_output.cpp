#include "jpeg/stream/membuff_output.h"

#include "jpeg/primitives/movement/movement.h"

namespace vorn::jpeg {

CMemBuffOutput::~CMemBuffOutput() { Close(); }

ImageCodec::StreamStatus CMemBuffOutput::Size(int64_t* size) {
  if (size != nullptr) *size = capacity_;
  return 0;
}

ImageCodec::StreamStatus CMemBuffOutput::Position(int64_t* position) {
  if (position != nullptr) *position = position_;
  return 0;
}

ImageCodec::StreamStatus CMemBuffOutput::Write(const void* data, int64_t size, int64_t* count) {
  int64_t taken = 0;
  ImageCodec::StreamStatus status = 0;
  if (size < 0 || (size > 0 && data == nullptr)) {
    status = 1;
  } else if (size > 0) {
    const int64_t room = int64_t{capacity_} - position_;
    taken = size < room ? size : room;
    if (taken > 0) {
      prim::CopyBytes(data, buffer_ + position_, static_cast<int32_t>(taken));
      position_ += static_cast<int32_t>(taken);
    }
    status = taken < size ? 1 : 0;
  }
  if (count != nullptr) *count = taken;
  return status;
}

ImageCodec::StreamStatus CMemBuffOutput::Seek(int64_t offset, int32_t origin) {
  int64_t target;
  switch (origin) {
    case ImageCodec::StreamFromStart:
      if (offset < 0 || offset >= capacity_) return 1;
      position_ = static_cast<int32_t>(offset);
      return 0;
    case ImageCodec::StreamFromCurrent:
      target = position_;
      break;
    case ImageCodec::StreamFromEnd:
      target = capacity_;
      break;
    default:
      return 0;
  }
  // Offsets beyond any 32-bit capacity are refused before they could overflow the sum.
  if (offset < -(int64_t{1} << 32) || offset > (int64_t{1} << 32)) return 1;
  target += offset;
  if (target < 0 || target > capacity_) return 1;
  position_ = static_cast<int32_t>(target);
  return 0;
}

int32_t CMemBuffOutput::Open(uint8_t* buffer, int32_t capacity) {
  if (buffer == nullptr || capacity < 0) return 1;
  buffer_ = buffer;
  capacity_ = capacity;
  position_ = 0;
  return 0;
}

int32_t CMemBuffOutput::Close() {
  buffer_ = nullptr;
  capacity_ = 0;
  position_ = 0;
  return 0;
}

}  // namespace vorn::jpeg
