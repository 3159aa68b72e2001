// The encoder's buffers: aligned blocks, the MCU-row buffers of each component, and the
// per-component factors, coefficient buffer, bit-stream buffer and coder state that
// PrepareBuffers derives and allocates. Every size is computed in 64 bits and refused when it
// does not fit the allocator's 32-bit sizes.
#include <initializer_list>
#include <limits>

#include "jpeg/core/encoder.h"
#include "jpeg/primitives/frame/cpu.h"
#include "jpeg/primitives/frame/memory.h"
#include "jpeg/primitives/movement/movement.h"

namespace vorn::jpeg {
namespace {

ScanDescriptor Scan(std::initializer_list<int32_t> components, int32_t ss, int32_t se,
                              int32_t ah, int32_t al) {
  ScanDescriptor d{static_cast<int32_t>(components.size()), {0, 0, 0, 0}, ss, se, ah, al};
  int32_t i = 0;
  for (int32_t c : components) d.componentIndices[i++] = c;
  return d;
}

// The fixed scan scripts: DC at reduced precision, AC bands, then refinements.
JpegCoreStatus BuildScanScript(int32_t components, std::vector<ScanDescriptor>* script) {
  switch (components) {
    case 1:
      *script = {Scan({0}, 0, 0, 0, 1), Scan({0}, 1, 5, 0, 2),  Scan({0}, 6, 63, 0, 2),
                 Scan({0}, 1, 63, 2, 1), Scan({0}, 0, 0, 1, 0), Scan({0}, 1, 63, 1, 0)};
      return CoreOk;
    case 3:
      *script = {Scan({0, 1, 2}, 0, 0, 0, 1), Scan({0}, 1, 5, 0, 2),  Scan({2}, 1, 63, 0, 1),
                 Scan({1}, 1, 63, 0, 1),       Scan({0}, 6, 63, 0, 2), Scan({0}, 1, 63, 2, 1),
                 Scan({0, 1, 2}, 0, 0, 1, 0), Scan({2}, 1, 63, 1, 0), Scan({1}, 1, 63, 1, 0),
                 Scan({0}, 1, 63, 1, 0)};
      return CoreOk;
    case 4:
      script->push_back(Scan({0, 1, 2, 3}, 0, 0, 0, 1));
      for (int32_t c = 0; c < 4; ++c) script->push_back(Scan({c}, 1, 5, 0, 2));
      for (int32_t c = 0; c < 4; ++c) script->push_back(Scan({c}, 6, 63, 0, 2));
      for (int32_t c = 0; c < 4; ++c) script->push_back(Scan({c}, 1, 63, 2, 1));
      script->push_back(Scan({0, 1, 2, 3}, 0, 0, 1, 0));
      for (int32_t c = 0; c < 4; ++c) script->push_back(Scan({c}, 1, 63, 1, 0));
      return CoreOk;
    default:
      // No script, so no scan count left over from an earlier frame: refused.
      return CoreBadParameter;
  }
}

bool FitsAllocation(int64_t size) {
  return size > 0 && size <= std::numeric_limits<int32_t>::max();
}

// The most a lossless difference can take in the stream: 16 code and 15 value bits, each of
// the 4 bytes followed by a stuffed 0.
constexpr int64_t kLosslessBytesPerSample = 8;
// The padding of the last byte at the end, stuffed too.
constexpr int64_t kLosslessFlushBytes = 2;

}  // namespace

CMemoryBuffer::~CMemoryBuffer() { Free(); }

JpegCoreStatus CMemoryBuffer::Allocate(int32_t size) {
  Free();
  size_ = size;
  data_ = static_cast<uint8_t*>(prim::AlignedMalloc(size));
  if (data_ == nullptr) {
    size_ = 0;
    return CoreOutOfMemory;
  }
  return CoreOk;
}

JpegCoreStatus CMemoryBuffer::Free() {
  prim::AlignedFree(data_);
  data_ = nullptr;
  size_ = 0;
  return CoreOk;
}

JpegCoreStatus CJPEGColorComponent::AllocateSlices(CMemoryBuffer& buffer, int32_t rows,
                                                   int32_t step, int32_t slots, int32_t& slice) {
  const int64_t sliceBytes = static_cast<int64_t>(rows) * step;
  const int64_t total = sliceBytes * slots;
  if (!FitsAllocation(sliceBytes) || slots < 1 || !FitsAllocation(total)) {
    return CoreBadParameter;
  }
  slice = static_cast<int32_t>(sliceBytes);
  return buffer.Allocate(static_cast<int32_t>(total));
}

JpegCoreStatus CJPEGColorComponent::AllocateConvertedBuffer(int32_t slots) {
  return AllocateSlices(convertedBuffer, convertedRows, convertedStep, slots, convertedSlice);
}

JpegCoreStatus CJPEGColorComponent::AllocateSubsampledBuffer(int32_t slots) {
  return AllocateSlices(subsampledBuffer, subsampledRows, subsampledStep, slots, subsampledSlice);
}

JpegCoreStatus CJPEGEncoder::PrepareBuffers() {
  // Only a frame accepted by SetParams or SetLosslessParams gets buffers.
  if (mode_ != ModeBaseline && mode_ != ModeProgressive && mode_ != ModeExtended &&
      mode_ != ModeLossless) {
    return CoreBadParameter;
  }
  // The progressive scan script; none (and no scan) for any other frame.
  scanScript_.clear();
  if (mode_ == ModeProgressive) {
    JpegCoreStatus status = BuildScanScript(componentCount_, &scanScript_);
    if (status != CoreOk) return status;
  }
  if (componentCount_ < 1 || componentCount_ > kMaxComponents || mcusPerRow_ < 1 || mcuRows_ < 1) {
    return CoreBadParameter;
  }
  slotCount_ = prim::PrimitiveThreadCount();
  const int64_t paddedWidth = static_cast<int64_t>(mcusPerRow_) * mcuWidth_;
  const int64_t paddedHeight = static_cast<int64_t>(mcuRows_) * mcuHeight_;
  if (paddedWidth > std::numeric_limits<int32_t>::max() ||
      paddedHeight > std::numeric_limits<int32_t>::max()) {
    return CoreBadParameter;
  }
  paddingRows_ = static_cast<int32_t>(paddedHeight - height_);
  paddingColumns_ = static_cast<int32_t>(paddedWidth - width_);
  paddedWidth_ = static_cast<int32_t>(paddedWidth);
  rowsPerMcuRow_ = mcuHeight_;
  blocksPerMcu_ = 0;

  const bool subsampled = sampling_ != Sampling444;
  const bool vertical = sampling_ == Sampling420;
  for (int32_t i = 0; i < componentCount_; ++i) {
    CJPEGColorComponent& c = components_[i];
    const bool luma = i == 0 || i == 3;
    c.identifier = i;
    c.index = i;
    c.h = subsampled && luma ? 2 : 1;
    c.v = vertical && luma ? 2 : 1;
    c.horizontalDownsampling = subsampled && !luma ? 2 : 1;
    c.verticalDownsampling = vertical && !luma ? 2 : 1;
    c.blocksPerMcu = c.h * c.v;
    blocksPerMcu_ += c.blocksPerMcu;
    c.convertedRows = mcuHeight_;
    // Lossless rows may hold 16-bit samples, and so do extended ones above 8 bits.
    const bool wide = mode_ == ModeLossless || (mode_ == ModeExtended && precision_ > 8);
    c.convertedStep = wide ? paddedWidth_ * 2 : paddedWidth_;
    c.subsampledRows = c.convertedRows / c.verticalDownsampling;
    c.subsampledStep = c.convertedStep / c.horizontalDownsampling;
    JpegCoreStatus status = c.AllocateConvertedBuffer(slotCount_);
    if (status != CoreOk) return status;
    status = c.AllocateSubsampledBuffer(slotCount_);
    if (status != CoreOk) return status;
    if (mode_ == ModeLossless) {
      for (CMemoryBuffer& rowBuffer : c.rowBuffers) {
        if ((status = rowBuffer.Allocate(c.convertedStep)) != CoreOk) return status;
      }
      c.currentRow = reinterpret_cast<uint16_t*>(c.rowBuffers[0].Data());
      c.previousRow = reinterpret_cast<uint16_t*>(c.rowBuffers[1].Data());
    }
  }

  // Blocks of 64 coefficients; in a lossless frame one 16-bit difference a sample, sized by
  // what the scan writes (a row of every component, or every row with optimizeHuffman).
  const int64_t coefficientBytes =
      mode_ == ModeLossless
          ? LosslessDifferenceBytes()
          : static_cast<int64_t>(mcusPerRow_) * blocksPerMcu_ * slotCount_ *
                mcuRowsPerCoefficientPass_ * kCoefficientBlockBytes;
  if (!FitsAllocation(coefficientBytes)) return CoreBadParameter;
  if (coefficients_ == nullptr) {
    coefficients_ =
        static_cast<int16_t*>(prim::AlignedMalloc(static_cast<int32_t>(coefficientBytes)));
    if (coefficients_ == nullptr) return CoreOutOfMemory;
    coefficientBytes_ = static_cast<int32_t>(coefficientBytes);
    prim::ZeroBytes(coefficients_, coefficientBytes_);
  } else if (coefficientBytes > coefficientBytes_) {
    // The buffer is kept for the encoder's life; a larger image cannot reuse it.
    return CoreBadParameter;
  }

  // A lossless row is coded in one piece after the buffer has been emptied: a difference
  // takes at most 31 bits, so 4 bytes, and each byte may need a stuffed 0 after it.
  int64_t bitStreamBytes = kBitStreamBytes;
  if (mode_ == ModeLossless) {
    const int64_t row = static_cast<int64_t>(width_) * componentCount_ * kLosslessBytesPerSample +
                        kLosslessFlushBytes;
    if (row > bitStreamBytes) bitStreamBytes = row;
    if (!FitsAllocation(bitStreamBytes)) return CoreBadParameter;
  }
  JpegCoreStatus status = bitStream_.AllocateBuffer(static_cast<int32_t>(bitStreamBytes));
  if (status != CoreOk) return status;
  return huffmanState_.Create();
}

}  // namespace vorn::jpeg
