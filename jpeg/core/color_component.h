// One colour component of a JPEG frame: its sampling factors, table ids, the buffers of one
// MCU row at full and at its own resolution, and the DC predictor of the baseline coder.
#pragma once

#include <cstdint>

#include "jpeg/core/core_types.h"
#include "jpeg/core/memory_buffer.h"

namespace vorn::jpeg {

class CJPEGColorComponent {
 public:
  CJPEGColorComponent() = default;
  virtual ~CJPEGColorComponent() = default;
  CJPEGColorComponent(const CJPEGColorComponent&) = delete;
  CJPEGColorComponent& operator=(const CJPEGColorComponent&) = delete;

  // Rows of |slot| in the converted (full-resolution) and subsampled buffers.
  uint8_t* ConvertedRows(int32_t slot) const {
    return convertedBuffer.Data() + static_cast<intptr_t>(slot) * convertedSlice;
  }
  uint8_t* SubsampledRows(int32_t slot) const {
    return subsampledBuffer.Data() + static_cast<intptr_t>(slot) * subsampledSlice;
  }

  // slice = rows x step, then one slice per slot; -3 when the sizes do not fit 32 bits, -6
  // when the allocation fails.
  JpegCoreStatus AllocateConvertedBuffer(int32_t slots);
  JpegCoreStatus AllocateSubsampledBuffer(int32_t slots);
  void FreeConvertedBuffer() { convertedBuffer.Free(); }
  void FreeSubsampledBuffer() { subsampledBuffer.Free(); }

  int32_t identifier = 0;
  int32_t index = 0;
  int32_t h = 0;  // sampling factors of the frame header
  int32_t v = 0;
  int32_t horizontalDownsampling = 1;  // 1 or 2: how much coarser than the image
  int32_t verticalDownsampling = 1;
  int32_t blocksPerMcu = 0;  // h x v
  int32_t quantTableId = 0;
  int32_t dcTableId = 0;
  int32_t acTableId = 0;
  int32_t convertedRows = 0;
  int32_t convertedStep = 0;
  int32_t convertedSlice = 0;
  int32_t subsampledRows = 0;
  int32_t subsampledStep = 0;
  int32_t subsampledSlice = 0;
  // Where the transform reads this component's MCU row, and the step of those rows: set by
  // the row's preparation (a full-resolution component is read where it was converted).
  const uint8_t* transformRows = nullptr;
  int32_t transformStep = 0;
  int16_t lastDc = 0;
  CMemoryBuffer convertedBuffer;
  CMemoryBuffer subsampledBuffer;
  // Lossless frames only: the current and the previous row as 16-bit samples; they swap
  // roles after every row.
  CMemoryBuffer rowBuffers[2];
  uint16_t* currentRow = nullptr;
  uint16_t* previousRow = nullptr;

 private:
  static JpegCoreStatus AllocateSlices(CMemoryBuffer& buffer, int32_t rows, int32_t step,
                                       int32_t slots, int32_t& slice);
};

}  // namespace vorn::jpeg
