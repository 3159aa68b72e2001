// The statistics pass of a sequential frame coded with tables built for the image: the whole
// image is converted and transformed once into the coefficient buffer, every block's symbols
// are counted with the DC predictions reset exactly where the scan resets them, and the
// tables built from the counts are installed and written.
#include <cstring>

#include "jpeg/core/encoder.h"
#include "jpeg/primitives/dct/forward_dct.h"
#include "jpeg/primitives/huffman/huffman.h"
#include "jpeg/primitives/huffman/huffman_optimal.h"

namespace vorn::jpeg {

JpegCoreStatus CJPEGEncoder::OptimizeHuffmanTables() {
  if ((mode_ != ModeBaseline && mode_ != ModeExtended) || !optimizeHuffman_ ||
      mcuRowsPerCoefficientPass_ != mcuRows_ || coefficients_ == nullptr) {
    return CoreBadParameter;
  }
  int32_t restartsToGo = restartInterval_;
  for (CJPEGColorComponent& c : components_) c.lastDc = 0;
  if (prim::ResetHuffmanEncodeState(huffmanState_.State()) != prim::StatusOk) {
    return CorePrimitiveFailed;
  }
  // Baseline: tables 0 for component 0, 1 for the others of a YCbCr or YCCK frame (K
  // included). Extended: component k has tables k.
  const bool chroma = HasChromaTables();
  int32_t tableOf[kMaxComponents];
  for (int32_t k = 0; k < kMaxComponents; ++k) {
    tableOf[k] = mode_ == ModeExtended ? k : (chroma && k > 0 ? 1 : 0);
  }

  static constexpr int32_t kTables = kMaxComponents;
  uint32_t dcCounts[kTables][256];
  uint32_t acCounts[kTables][256];
  std::memset(dcCounts, 0, sizeof dcCounts);
  std::memset(acCounts, 0, sizeof acCounts);

  for (int32_t r = 0; r < mcuRows_; ++r) {
    JpegCoreStatus status;
    if ((status = PrepareMcuRow(r)) != CoreOk) return status;
    int16_t* blocks = McuRowBlocks(r);
    if ((status = TransformMcuRow(blocks)) != CoreOk) return status;
    const int16_t* block = blocks;
    for (int32_t m = 0; m < mcusPerRow_; ++m) {
      if (restartInterval_ != 0 && restartsToGo == 0) {
        for (CJPEGColorComponent& c : components_) c.lastDc = 0;
        restartsToGo = restartInterval_;
      }
      for (int32_t k = 0; k < componentCount_; ++k) {
        CJPEGColorComponent& c = components_[k];
        const int32_t t = tableOf[k];
        for (int32_t b = 0; b < c.blocksPerMcu; ++b) {
          if (prim::CountBlockStatistics(block, dcCounts[t], acCounts[t], &c.lastDc) < 0) {
            return CorePrimitiveFailed;
          }
          block += prim::kBlockSize;
        }
      }
      if (restartInterval_ != 0) {
        restartsToGo = (restartsToGo != 0 ? restartsToGo : restartInterval_) - 1;
      }
    }
  }

  for (int32_t k = 0; k < componentCount_; ++k) {
    const int32_t t = tableOf[k];
    CJPEGColorComponent& c = components_[k];
    c.dcTableId = t;
    c.acTableId = t;
    // A table two components share is built once, with the first of them.
    if (k > 0 && tableOf[k - 1] == t) continue;
    uint8_t bits[16];
    uint8_t values[256];
    JpegCoreStatus status;
    std::memset(values, 0, sizeof values);
    if (prim::BuildOptimalHuffmanTable(dcCounts[t], bits, values) != prim::StatusOk) {
      return CorePrimitiveFailed;
    }
    if ((status = dcTables_[t].Init(t, 0, bits, values)) != CoreOk) return status;
    std::memset(values, 0, sizeof values);
    if (prim::BuildOptimalHuffmanTable(acCounts[t], bits, values) != prim::StatusOk) {
      return CorePrimitiveFailed;
    }
    if ((status = acTables_[t].Init(t, 1, bits, values)) != CoreOk) return status;
    if ((status = WriteHuffmanTableSegment(dcTables_[t])) != CoreOk) return status;
    if ((status = WriteHuffmanTableSegment(acTables_[t])) != CoreOk) return status;
  }
  return CoreOk;
}

}  // namespace vorn::jpeg
