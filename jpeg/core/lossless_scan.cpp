// Lossless frames: each image row is converted, widened to 16-bit samples, turned into
// differences against the prediction from its neighbours and coded with the DC table of its
// component, the components interleaved sample by sample. Restart intervals are whole rows;
// the row after each restart is predicted as a first row.
#include <cstring>

#include "jpeg/core/encoder.h"
#include "jpeg/core/marker_writer.h"
#include "jpeg/primitives/huffman/huffman.h"
#include "jpeg/primitives/huffman/huffman_optimal.h"
#include "jpeg/primitives/lossless/lossless.h"
#include "jpeg/primitives/movement/movement.h"

namespace vorn::jpeg {

int64_t CJPEGEncoder::LosslessDifferenceBytes() const {
  const int64_t rows = optimizeHuffman_ ? height_ : 1;
  return rows * componentCount_ * width_ * static_cast<int64_t>(sizeof(int16_t));
}

JpegCoreStatus CJPEGEncoder::LosslessRowDifferences(int32_t row, int16_t* diffs) {
  JpegCoreStatus status = ConvertMcuRow(row, 0);
  if (status != CoreOk) return status;
  const bool firstRow = row == 0 || firstRowOfInterval_;
  for (int32_t k = 0; k < componentCount_; ++k) {
    CJPEGColorComponent& c = components_[k];
    const uint8_t* converted = c.ConvertedRows(0);
    int16_t* cur = reinterpret_cast<int16_t*>(c.currentRow);
    int16_t* dst = diffs + static_cast<ptrdiff_t>(k) * width_;
    prim::PrimitiveStatus result =
        sourcePrecision_ <= 8
            ? prim::WidenImage8To16(converted, c.convertedStep, cur, c.convertedStep, width_, 1)
            : prim::CopyWords16(reinterpret_cast<const int16_t*>(converted), cur, width_);
    if (result == prim::StatusOk && pointTransform_ != 0) {
      result = prim::ShiftRightWords16InPlace(pointTransform_, cur, width_);
    }
    if (result == prim::StatusOk) {
      result = firstRow ? prim::LosslessDiffFirstRow(c.currentRow, dst, width_, precision_,
                                                     pointTransform_)
                        : prim::LosslessDiffRow(c.currentRow, c.previousRow, dst, width_,
                                                predictor_);
    }
    if (result != prim::StatusOk) return CorePrimitiveFailed;
    uint16_t* swap = c.currentRow;
    c.currentRow = c.previousRow;
    c.previousRow = swap;
  }
  firstRowOfInterval_ = false;
  return CoreOk;
}

void CJPEGEncoder::CountLosslessRow() {
  if (restartInterval_ == 0) return;
  restartsToGo_ -= width_;
  if (restartsToGo_ == 0) firstRowOfInterval_ = true;
}

JpegCoreStatus CJPEGEncoder::OptimizeLosslessHuffmanTable() {
  if (mode_ != ModeLossless || !optimizeHuffman_ || coefficients_ == nullptr ||
      coefficientBytes_ < LosslessDifferenceBytes()) {
    return CoreBadParameter;
  }
  if (prim::ResetHuffmanEncodeState(huffmanState_.State()) != prim::StatusOk) {
    return CorePrimitiveFailed;
  }
  nextRestartNumber_ = 0;
  restartsToGo_ = restartInterval_;
  firstRowOfInterval_ = false;
  uint32_t counts[kMaxComponents][256];
  std::memset(counts, 0, sizeof counts);

  const ptrdiff_t rowLength = static_cast<ptrdiff_t>(componentCount_) * width_;
  for (int32_t r = 0; r < mcuRows_; ++r) {
    int16_t* diffs = coefficients_ + r * rowLength;
    JpegCoreStatus status = LosslessRowDifferences(r, diffs);
    if (status != CoreOk) return status;
    // The scan restarts here; nothing is written in this pass.
    if (restartInterval_ != 0 && restartsToGo_ == 0) restartsToGo_ = restartInterval_;
    for (int32_t k = 0; k < componentCount_; ++k) {
      const int16_t* d = diffs + static_cast<ptrdiff_t>(k) * width_;
      for (int32_t i = 0; i < width_; ++i) {
        if (prim::CountLosslessStatistics(d + i, counts[k]) < 0) return CorePrimitiveFailed;
      }
    }
    CountLosslessRow();
  }

  for (int32_t k = 0; k < componentCount_; ++k) {
    uint8_t bits[16];
    uint8_t values[256];
    std::memset(values, 0, sizeof values);
    if (prim::BuildOptimalHuffmanTable(counts[k], bits, values) < 0) return CorePrimitiveFailed;
    components_[k].dcTableId = k;
    JpegCoreStatus status = dcTables_[k].Init(k, 0, bits, values);
    if (status != CoreOk) return status;
    if ((status = WriteHuffmanTableSegment(dcTables_[k])) != CoreOk) return status;
  }
  return CoreOk;
}

JpegCoreStatus CJPEGEncoder::EncodeLosslessScan() {
  // The difference rows must fit the coefficient buffer, whatever prepared it.
  if (mode_ != ModeLossless || coefficients_ == nullptr ||
      coefficientBytes_ < LosslessDifferenceBytes()) {
    return CoreBadParameter;
  }
  prim::HuffmanEncodeState* state = huffmanState_.State();
  if (prim::ResetHuffmanEncodeState(state) != prim::StatusOk) return CorePrimitiveFailed;
  ss_ = predictor_;
  se_ = 0;
  ah_ = 0;
  al_ = pointTransform_;
  nextRestartNumber_ = 0;
  restartsToGo_ = restartInterval_;
  firstRowOfInterval_ = false;
  JpegCoreStatus status = WriteScanHeader();
  if (status != CoreOk) return status;

  const uint32_t* specs[4] = {};
  for (int32_t k = 0; k < componentCount_; ++k) {
    specs[k] = dcTables_[components_[k].dcTableId].Spec();
  }
  const ptrdiff_t rowLength = static_cast<ptrdiff_t>(componentCount_) * width_;
  for (int32_t r = 0; r < mcuRows_; ++r) {
    int16_t* diffs = coefficients_;
    if (optimizeHuffman_) {
      diffs += r * rowLength;  // stored by the statistics pass
    } else if ((status = LosslessRowDifferences(r, diffs)) != CoreOk) {
      return status;
    }
    if (restartInterval_ != 0 && restartsToGo_ == 0) {
      if ((status = bitStream_.FlushBuffer(0)) != CoreOk) return status;
      int32_t position = bitStream_.Position();
      const prim::PrimitiveStatus flushed = prim::EncodeLosslessValue(
          nullptr, bitStream_.Buffer(), bitStream_.Size(), &position, nullptr, state, 1);
      bitStream_.SetPosition(position);
      if (flushed < 0) return CorePrimitiveFailed;
      if (prim::ResetHuffmanEncodeState(state) != prim::StatusOk) return CorePrimitiveFailed;
      if ((status = bitStream_.WriteWord(kMarkerRst0 + nextRestartNumber_)) != CoreOk) {
        return status;
      }
      nextRestartNumber_ = (nextRestartNumber_ + 1) & 7;
      restartsToGo_ = restartInterval_;
    }
    if ((status = bitStream_.FlushBuffer(0)) != CoreOk) return status;
    const int16_t* rows[4] = {};
    for (int32_t k = 0; k < componentCount_; ++k) rows[k] = diffs + static_cast<ptrdiff_t>(k) * width_;
    int32_t position = bitStream_.Position();
    const prim::PrimitiveStatus coded =
        prim::EncodeLosslessRow(rows, width_, componentCount_, bitStream_.Buffer(),
                                bitStream_.Size(), &position, specs, state, 0);
    bitStream_.SetPosition(position);
    if (coded < 0) return CorePrimitiveFailed;
    CountLosslessRow();
  }
  if ((status = bitStream_.FlushBuffer(0)) != CoreOk) return status;
  int32_t position = bitStream_.Position();
  const prim::PrimitiveStatus flushed = prim::EncodeLosslessValue(
      nullptr, bitStream_.Buffer(), bitStream_.Size(), &position, nullptr, state, 1);
  bitStream_.SetPosition(position);
  return flushed < 0 ? CorePrimitiveFailed : CoreOk;
}

}  // namespace vorn::jpeg
