// The data part of the stream: the baseline sequential scan of an interleaved source, one MCU
// row at a time (prepare, transform, code), with restart markers, the extended scan from the
// coefficients of its statistics pass, and EOI.
#include "jpeg/core/encoder.h"
#include "jpeg/core/marker_writer.h"
#include "jpeg/primitives/dct/forward_dct.h"
#include "jpeg/primitives/huffman/huffman.h"

namespace vorn::jpeg {

JpegCoreStatus CJPEGEncoder::WriteData() {
  // Only the frames SetParams and SetLosslessParams accept have scans; progressive and
  // lossless frames take no planar sources.
  if (mode_ != ModeBaseline && mode_ != ModeProgressive && mode_ != ModeExtended &&
      mode_ != ModeLossless) {
    return CoreBadParameter;
  }
  if (planar_ && (mode_ == ModeProgressive || mode_ == ModeLossless)) return CoreBadParameter;
  // The buffers must be those WriteHeader prepared for the current source and parameters.
  if (!headerWritten_) return CoreBadParameter;
  JpegCoreStatus status;
  switch (mode_) {
    case ModeProgressive:
      status = EncodeProgressiveScans();
      break;
    case ModeLossless:
      status = EncodeLosslessScan();
      break;
    case ModeExtended:
      status = planar_ ? EncodeExtendedScanPlanar() : EncodeExtendedScan();
      break;
    default:
      status = planar_ ? EncodeBaselineScanPlanar() : EncodeBaselineScan();
      break;
  }
  if (status != CoreOk) return status;
  if ((status = bitStream_.WriteWord(kMarkerEoi)) != CoreOk) return status;
  return bitStream_.FlushBuffer(0);
}

JpegCoreStatus CJPEGEncoder::WriteScanHeader() {
  MarkerWriter out(bitStream_);
  out.Word(kMarkerSos);
  out.Word(2 * componentCount_ + 6);
  out.Byte(componentCount_);
  for (int32_t i = 0; i < componentCount_; ++i) {
    out.Byte(components_[i].index);
    out.Byte((components_[i].dcTableId << 4) | components_[i].acTableId);
  }
  out.Byte(ss_);
  out.Byte(se_);
  out.Byte((ah_ << 4) | al_);
  return out.Status();
}

int16_t* CJPEGEncoder::McuRowBlocks(int32_t row) const {
  if (mcuRowsPerCoefficientPass_ <= 1) return coefficients_;
  const int64_t blocks = static_cast<int64_t>(row) * mcusPerRow_ * blocksPerMcu_;
  return coefficients_ + static_cast<ptrdiff_t>(blocks * prim::kBlockSize);
}

JpegCoreStatus CJPEGEncoder::TransformMcuRow(int16_t* blocks) {
  // Extended frames above 8 bits hold 16-bit samples and use the float transform with the
  // float form of the quantisation table; an 8-bit table has none, and the transform refuses.
  const bool wide = mode_ == ModeExtended && precision_ > 8;
  const intptr_t sampleBytes = wide ? 2 : 1;
  const ptrdiff_t mcuBlocks = static_cast<ptrdiff_t>(blocksPerMcu_) * prim::kBlockSize;
  // MCUs in pairs: blocks side by side go to the transform two at a time, within an MCU for a
  // component two or more blocks wide, else the same block of both MCUs.
  for (int32_t m = 0; m < mcusPerRow_;) {
    const int32_t mcus = !wide && m + 1 < mcusPerRow_ ? 2 : 1;
    int16_t* const mcu = blocks + m * mcuBlocks;
    ptrdiff_t offset = 0;  // of the component's first block in its MCU
    for (int32_t i = 0; i < componentCount_; ++i) {
      const CJPEGColorComponent& c = components_[i];
      // The rows the preparation left for the transform.
      const uint8_t* rows = c.transformRows;
      const int32_t step = c.transformStep;
      if (rows == nullptr) return CorePrimitiveFailed;
      const prim::CJPEGEncoderQuantTable& table = quantTables_[c.quantTableId];
      auto source = [&](int32_t mcuIndex, int32_t v, int32_t h) {
        return rows + static_cast<intptr_t>(v) * 8 * step +
               static_cast<intptr_t>(mcuIndex * c.h + h) * 8 * sampleBytes;
      };
      for (int32_t v = 0; v < c.v; ++v) {
        int16_t* const line = mcu + offset + static_cast<ptrdiff_t>(v) * c.h * prim::kBlockSize;
        prim::PrimitiveStatus status = prim::StatusOk;
        if (c.h == 1 && mcus == 2) {
          status = prim::ForwardDctQuant8x8Pair(source(m, v, 0), step, line, line + mcuBlocks,
                                                table.Forward());
        } else {
          for (int32_t k = 0; k < mcus && status == prim::StatusOk; ++k) {
            int16_t* block = line + k * mcuBlocks;
            for (int32_t h = 0; h < c.h && status == prim::StatusOk; ++h) {
              const uint8_t* src = source(m + k, v, h);
              if (wide) {
                status = prim::ForwardDctQuant8x8From16(reinterpret_cast<const int16_t*>(src),
                                                        step, block, table.FloatTable());
              } else if (h + 1 < c.h) {
                status = prim::ForwardDctQuant8x8Pair(src, step, block,
                                                      block + prim::kBlockSize, table.Forward());
                ++h;
                block += prim::kBlockSize;
              } else {
                status = prim::ForwardDctQuant8x8(src, step, block, table.Forward());
              }
              block += prim::kBlockSize;
            }
          }
        }
        if (status != prim::StatusOk) return CorePrimitiveFailed;
      }
      offset += static_cast<ptrdiff_t>(c.blocksPerMcu) * prim::kBlockSize;
    }
    m += mcus;
  }
  return CoreOk;
}

// Completes the pending bits of the coder to a byte (padded with 1-bits).
JpegCoreStatus CJPEGEncoder::FlushBlockBits() {
  int32_t position = bitStream_.Position();
  const prim::PrimitiveStatus status =
      prim::EncodeBaselineBlock(nullptr, bitStream_.Buffer(), bitStream_.Size(), &position, nullptr,
                                nullptr, nullptr, huffmanState_.State(), 1);
  bitStream_.SetPosition(position);
  return status < 0 ? CorePrimitiveFailed : CoreOk;
}

JpegCoreStatus CJPEGEncoder::BeginBlocksCoder() {
  // The scan's tables and MCU layout once; the coder checks the tables at its first call.
  scanCoder_ = prim::BaselineScanCoder{};
  int32_t perMcu = 0;
  for (int32_t i = 0; i < componentCount_; ++i) {
    const CJPEGColorComponent& c = components_[i];
    scanCoder_.dcSpec[i] = dcTables_[c.dcTableId].Spec();
    scanCoder_.acSpec[i] = acTables_[c.acTableId].Spec();
    for (int32_t b = 0; b < c.blocksPerMcu; ++b) {
      if (perMcu == prim::kMaxBlocksPerMcu) return CorePrimitiveFailed;
      scanCoder_.blockComponent[perMcu++] = static_cast<uint8_t>(i);
    }
  }
  scanCoder_.blocksPerMcu = perMcu;
  scanCoder_.restartInterval = restartInterval_;
  scanCoder_.restartsToGo = restartsToGo_;
  scanCoder_.nextRestartNumber = nextRestartNumber_;
  return CoreOk;
}

JpegCoreStatus CJPEGEncoder::EncodeMcuRow(const int16_t* blocks) {
  // The row's blocks go to the coder in as few calls as the buffer allows; it writes the
  // restart markers in line and stops when the buffer runs low, and the buffer then goes to
  // the output before it goes on.
  prim::BaselineScanCoder& scan = scanCoder_;
  // At most 65535 / 8 MCUs of at most 10 blocks each.
  const int32_t total = mcusPerRow_ * scan.blocksPerMcu;
  int32_t done = 0;
  JpegCoreStatus status = CoreOk;
  while (done < total) {
    if (bitStream_.Size() - bitStream_.Position() < prim::kBaselineBlocksMinFree &&
        (status = bitStream_.FlushBuffer(0)) != CoreOk) {
      break;
    }
    int32_t position = bitStream_.Position();
    int32_t coded = 0;
    const prim::PrimitiveStatus result = prim::EncodeBaselineBlocks(
        blocks + static_cast<ptrdiff_t>(done) * prim::kBlockSize, total - done,
        bitStream_.Buffer(), bitStream_.Size(), &position, &scan, huffmanState_.State(), &coded);
    bitStream_.SetPosition(position);
    done += coded;
    // No block coded with the buffer just emptied: the buffer is too small for the coder.
    if (result != prim::StatusOk || coded == 0) {
      status = CorePrimitiveFailed;
      break;
    }
  }
  for (int32_t i = 0; i < componentCount_; ++i) components_[i].lastDc = scan.lastDc[i];
  restartsToGo_ = scan.restartsToGo;
  nextRestartNumber_ = scan.nextRestartNumber;
  return status;
}

JpegCoreStatus CJPEGEncoder::BeginSequentialScan() {
  // The whole band at full precision, whatever a lossless scan of an earlier frame left.
  ss_ = 0;
  se_ = 63;
  ah_ = 0;
  al_ = 0;
  for (CJPEGColorComponent& c : components_) c.lastDc = 0;
  nextRestartNumber_ = 0;
  restartsToGo_ = restartInterval_;
  if (prim::ResetHuffmanEncodeState(huffmanState_.State()) != prim::StatusOk) {
    return CorePrimitiveFailed;
  }
  const JpegCoreStatus status = BeginBlocksCoder();
  if (status != CoreOk) return status;
  return WriteScanHeader();
}

JpegCoreStatus CJPEGEncoder::PrepareMcuRow(int32_t row) {
  // Planes are copied at their components' resolution; the baseline scan converts a planar
  // source whose colour is not the frame's as it would an interleaved one.
  if (planar_ && (mode_ == ModeExtended || sourceColor_ == color_)) {
    return CopyPlanarMcuRow(row, 0);
  }
  return ConvertAndDownsampleMcuRow(row, 0);
}

JpegCoreStatus CJPEGEncoder::EncodeSequentialRows() {
  JpegCoreStatus status = BeginSequentialScan();
  if (status != CoreOk) return status;
  for (int32_t r = 0; r < mcuRows_; ++r) {
    // With optimised tables the statistics pass has left the whole image transformed.
    if (!optimizeHuffman_) {
      if ((status = PrepareMcuRow(r)) != CoreOk) return status;
      if ((status = TransformMcuRow(coefficients_)) != CoreOk) return status;
    }
    if ((status = EncodeMcuRow(McuRowBlocks(r))) != CoreOk) return status;
  }
  if ((status = bitStream_.FlushBuffer(kBlockFlushMinFree)) != CoreOk) return status;
  return FlushBlockBits();
}

JpegCoreStatus CJPEGEncoder::EncodeExtendedScan() {
  // The statistics pass has left the whole image transformed: the scan codes it as it is.
  if (mode_ != ModeExtended || planar_ || !optimizeHuffman_ ||
      mcuRowsPerCoefficientPass_ != mcuRows_) {
    return CoreBadParameter;
  }
  return EncodeSequentialRows();
}

JpegCoreStatus CJPEGEncoder::EncodeExtendedScanPlanar() {
  if (mode_ != ModeExtended || !planar_ || !optimizeHuffman_ ||
      mcuRowsPerCoefficientPass_ != mcuRows_) {
    return CoreBadParameter;
  }
  return EncodeSequentialRows();
}

JpegCoreStatus CJPEGEncoder::EncodeBaselineScanPlanar() {
  if (mode_ != ModeBaseline || !planar_) return CoreBadParameter;
  return EncodeSequentialRows();
}

JpegCoreStatus CJPEGEncoder::EncodeBaselineScan() {
  if (mode_ != ModeBaseline || planar_) return CoreBadParameter;
  return EncodeSequentialRows();
}

}  // namespace vorn::jpeg
