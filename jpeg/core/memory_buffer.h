// One block of the aligned allocator, owned and freed with the object.
#pragma once

#include <cstdint>

#include "jpeg/core/core_types.h"

namespace vorn::jpeg {

class CMemoryBuffer {
 public:
  CMemoryBuffer() = default;
  virtual ~CMemoryBuffer();
  CMemoryBuffer(const CMemoryBuffer&) = delete;
  CMemoryBuffer& operator=(const CMemoryBuffer&) = delete;

  // Frees the old block and allocates |size| bytes, not cleared; -6 (size 0) on failure.
  JpegCoreStatus Allocate(int32_t size);
  JpegCoreStatus Free();

  int32_t Size() const { return size_; }
  uint8_t* Data() const { return data_; }

 private:
  int32_t size_ = 0;
  uint8_t* data_ = nullptr;
};

}  // namespace vorn::jpeg
