// The abstract streams the encoder writes through. Sizes, positions and counts are 64-bit;
// every operation returns a status (0 success, non-zero as each stream defines).
#pragma once

#include <cstdint>

namespace vorn::jpeg::ImageCodec {

using StreamStatus = int32_t;

// Where a seek counts from.
enum StreamOrigin : int32_t {
  StreamFromCurrent = 0,
  StreamFromStart = 1,
  StreamFromEnd = 2,
};

class BaseStream {
 public:
  virtual ~BaseStream();
  virtual StreamStatus Size(int64_t* size) = 0;
  virtual StreamStatus Position(int64_t* position) = 0;
};

class BaseStreamOutput : public BaseStream {
 public:
  // Takes up to |size| bytes of |data|; *count tells how many were taken.
  virtual StreamStatus Write(const void* data, int64_t size, int64_t* count) = 0;
  virtual StreamStatus Seek(int64_t offset, int32_t origin) = 0;
};

}  // namespace vorn::jpeg::ImageCodec
