// Progressive frames: the whole image transformed once, then each scan of the script with a
// statistics pass that builds the scan's own tables and a coding pass over the same blocks,
// both resetting DC predictions and coder state at the same places.
#include <cstring>

#include "jpeg/core/encoder.h"
#include "jpeg/core/marker_writer.h"
#include "jpeg/primitives/dct/forward_dct.h"
#include "jpeg/primitives/huffman/huffman_optimal.h"
#include "jpeg/primitives/huffman/progressive.h"

namespace vorn::jpeg {
namespace {

// Room kept free before each progressive block: a refinement block can carry the 1000
// buffered correction bits of its run, and every byte may need a stuffed 0x00 after it.
constexpr int32_t kProgressiveBlockMinFree = 1024;

bool IsAcScan(int32_t ss, int32_t se) { return ss != 0 && se != 0; }

}  // namespace

JpegCoreStatus CJPEGEncoder::TransformImage() {
  for (int32_t r = 0; r < mcuRows_; ++r) {
    JpegCoreStatus status;
    if ((status = ConvertAndDownsampleMcuRow(r, 0)) != CoreOk) return status;
    if ((status = TransformMcuRow(McuRowBlocks(r))) != CoreOk) return status;
  }
  return CoreOk;
}

template <typename Visit>
JpegCoreStatus CJPEGEncoder::ForEachAcScanBlock(int32_t component, Visit visit) {
  const CJPEGColorComponent& c = components_[component];
  int32_t base = 0;
  for (int32_t j = 0; j < component; ++j) base += components_[j].blocksPerMcu;
  for (int32_t g = 0; g < mcuRows_; ++g) {
    for (int32_t m = 0; m < c.v && (static_cast<int64_t>(g) * c.v + m) * 8 < height_; ++m) {
      for (int32_t x = 0; x < mcusPerRow_; ++x) {
        for (int32_t b = 0; b < c.h && (static_cast<int64_t>(x) * c.h + b) * 8 < width_; ++b) {
          const int64_t index = (static_cast<int64_t>(g) * mcusPerRow_ + x) * blocksPerMcu_ + base +
                                m * c.h + b;
          const JpegCoreStatus status =
              visit(component, coefficients_ + static_cast<ptrdiff_t>(index * prim::kBlockSize));
          if (status != CoreOk) return status;
        }
      }
    }
  }
  return CoreOk;
}

template <typename McuStart, typename Visit>
JpegCoreStatus CJPEGEncoder::ForEachDcScanBlock(McuStart mcuStart, Visit visit) {
  const int16_t* block = coefficients_;
  const int64_t mcus = static_cast<int64_t>(mcuRows_) * mcusPerRow_;
  for (int64_t i = 0; i < mcus; ++i) {
    JpegCoreStatus status = mcuStart();
    if (status != CoreOk) return status;
    for (int32_t k = 0; k < componentCount_; ++k) {
      for (int32_t b = 0; b < components_[k].blocksPerMcu; ++b) {
        if ((status = visit(k, block)) != CoreOk) return status;
        block += prim::kBlockSize;
      }
    }
  }
  return CoreOk;
}

JpegCoreStatus CJPEGEncoder::OptimizeProgressiveScanTables(int32_t n, const int32_t* componentIndices,
                                                           int32_t ss, int32_t se, int32_t ah,
                                                           int32_t al) {
  uint32_t dcCounts[2][256];
  uint32_t acCounts[2][256];
  std::memset(dcCounts, 0, sizeof dcCounts);
  std::memset(acCounts, 0, sizeof acCounts);
  for (CJPEGColorComponent& c : components_) c.lastDc = 0;
  int32_t restartsToGo = restartInterval_;
  prim::HuffmanEncodeState* state = huffmanState_.State();
  if (prim::ResetHuffmanEncodeState(state) != prim::StatusOk) return CorePrimitiveFailed;

  auto install = [&](CJPEGEncoderHuffmanTable& table, int32_t id, int32_t tableClass,
                     const uint32_t* counts) -> JpegCoreStatus {
    uint8_t bits[16];
    uint8_t values[256] = {};
    if (prim::BuildOptimalHuffmanTable(counts, bits, values) != prim::StatusOk) {
      return CorePrimitiveFailed;
    }
    JpegCoreStatus status = table.Init(id, tableClass, bits, values);
    if (status != CoreOk) return status;
    return WriteHuffmanTableSegment(table);
  };

  if (IsAcScan(ss, se)) {
    const auto count = ah != 0 ? prim::CountAcRefineStatistics : prim::CountAcFirstStatistics;
    const int32_t component = componentIndices[0];
    if (component < 0 || component >= componentCount_) return CoreBadParameter;
    uint32_t* counts = acCounts[components_[component].acTableId];
    const JpegCoreStatus status = ForEachAcScanBlock(component, [&](int32_t, const int16_t* block) {
      if (restartInterval_ != 0 && restartsToGo == 0) {
        if (count(nullptr, counts, ss, se, al, state, 1) < 0) return CorePrimitiveFailed;
        if (prim::ResetHuffmanEncodeState(state) != prim::StatusOk) return CorePrimitiveFailed;
        for (CJPEGColorComponent& c : components_) c.lastDc = 0;
        restartsToGo = restartInterval_;
      }
      if (count(block, counts, ss, se, al, state, 0) < 0) return CorePrimitiveFailed;
      --restartsToGo;
      return CoreOk;
    });
    if (status != CoreOk) return status;
    if (count(nullptr, counts, ss, se, al, state, 1) < 0) return CorePrimitiveFailed;
    const int32_t id = components_[component].acTableId;
    return install(acTables_[id], id, 1, acCounts[id]);
  }
  // A DC refinement scan sends raw bits: no table.
  if (ah != 0) return CoreOk;
  JpegCoreStatus status = ForEachDcScanBlock(
      [&] {
        if (restartInterval_ != 0 && restartsToGo == 0) {
          if (prim::ResetHuffmanEncodeState(state) != prim::StatusOk) return CorePrimitiveFailed;
          for (CJPEGColorComponent& c : components_) c.lastDc = 0;
          restartsToGo = restartInterval_;
        }
        --restartsToGo;
        return CoreOk;
      },
      [&](int32_t k, const int16_t* block) {
        CJPEGColorComponent& c = components_[k];
        if (prim::CountDcFirstStatistics(block, dcCounts[c.dcTableId], &c.lastDc, al) < 0) {
          return CorePrimitiveFailed;
        }
        return CoreOk;
      });
  if (status != CoreOk) return status;
  for (int32_t k = 0; k < n && k < componentCount_; ++k) {
    const int32_t id = components_[k].dcTableId;
    if ((status = install(dcTables_[id], id, 0, dcCounts[id])) != CoreOk) return status;
  }
  return CoreOk;
}

JpegCoreStatus CJPEGEncoder::WriteProgressiveRestart(bool dcScan, bool refine,
                                                     const uint32_t* acSpec) {
  JpegCoreStatus status = bitStream_.FlushBuffer(0);
  if (status != CoreOk) return status;
  prim::HuffmanEncodeState* state = huffmanState_.State();
  int32_t position = bitStream_.Position();
  prim::PrimitiveStatus flushed;
  if (dcScan) {
    flushed = refine ? prim::EncodeDcRefineScanBlock(nullptr, bitStream_.Buffer(), bitStream_.Size(),
                                                     &position, 0, state, 1)
                     : prim::EncodeDcFirstScanBlock(nullptr, bitStream_.Buffer(), bitStream_.Size(),
                                                    &position, nullptr, 0, nullptr, state, 1);
  } else {
    const auto coder = refine ? prim::EncodeAcRefineScanBlock : prim::EncodeAcFirstScanBlock;
    flushed = coder(nullptr, bitStream_.Buffer(), bitStream_.Size(), &position, 0, 0, 0, acSpec,
                    state, 1);
  }
  bitStream_.SetPosition(position);
  if (flushed < 0) return CorePrimitiveFailed;
  return CoreOk;
}

JpegCoreStatus CJPEGEncoder::EncodeProgressiveScan(int32_t n, const int32_t* componentIndices,
                                                   int32_t ss, int32_t se, int32_t ah,
                                                   int32_t al) {
  for (CJPEGColorComponent& c : components_) c.lastDc = 0;
  restartsToGo_ = restartInterval_;
  nextRestartNumber_ = 0;
  prim::HuffmanEncodeState* state = huffmanState_.State();
  if (prim::ResetHuffmanEncodeState(state) != prim::StatusOk) return CorePrimitiveFailed;
  const bool ac = IsAcScan(ss, se);
  const bool refine = ah != 0;
  {
    MarkerWriter out(bitStream_);
    out.Word(kMarkerSos);
    out.Word(2 * n + 6);
    out.Byte(n);
    for (int32_t i = 0; i < n; ++i) {
      const CJPEGColorComponent& c = components_[componentIndices[i]];
      out.Byte(componentIndices[i]);
      out.Byte((c.dcTableId << 4) | c.acTableId);
    }
    out.Byte(ss);
    out.Byte(se);
    out.Byte(((ah & 15) << 4) | (al & 15));
    if (out.Status() != CoreOk) return out.Status();
  }
  const uint32_t* acSpec = ac ? acTables_[components_[componentIndices[0]].acTableId].Spec() : nullptr;

  auto restart = [&]() -> JpegCoreStatus {
    if (restartInterval_ == 0 || restartsToGo_ != 0) return CoreOk;
    JpegCoreStatus status = WriteProgressiveRestart(!ac, refine, acSpec);
    if (status != CoreOk) return status;
    if (prim::ResetHuffmanEncodeState(state) != prim::StatusOk) return CorePrimitiveFailed;
    if ((status = bitStream_.WriteWord(kMarkerRst0 + nextRestartNumber_)) != CoreOk) return status;
    nextRestartNumber_ = (nextRestartNumber_ + 1) & 7;
    for (CJPEGColorComponent& c : components_) c.lastDc = 0;
    restartsToGo_ = restartInterval_;
    return CoreOk;
  };
  // One coder call at the bit stream's position, which it leaves where it stopped.
  auto code = [&](auto call) -> JpegCoreStatus {
    JpegCoreStatus status = bitStream_.FlushBuffer(kProgressiveBlockMinFree);
    if (status != CoreOk) return status;
    int32_t position = bitStream_.Position();
    const prim::PrimitiveStatus coded = call(bitStream_.Buffer(), bitStream_.Size(), &position);
    bitStream_.SetPosition(position);
    return coded < 0 ? CorePrimitiveFailed : CoreOk;
  };

  JpegCoreStatus status;
  if (ac) {
    const auto coder = refine ? prim::EncodeAcRefineScanBlock : prim::EncodeAcFirstScanBlock;
    status = ForEachAcScanBlock(componentIndices[0], [&](int32_t, const int16_t* block) {
      JpegCoreStatus s = restart();
      if (s != CoreOk) return s;
      s = code([&](uint8_t* dst, int32_t len, int32_t* pos) {
        return coder(block, dst, len, pos, ss, se, al, acSpec, state, 0);
      });
      --restartsToGo_;
      return s;
    });
  } else {
    status = ForEachDcScanBlock(
        [&] {
          const JpegCoreStatus s = restart();
          --restartsToGo_;
          return s;
        },
        [&](int32_t k, const int16_t* block) {
          CJPEGColorComponent& c = components_[k];
          const uint32_t* dcSpec = dcTables_[c.dcTableId].Spec();
          return code([&](uint8_t* dst, int32_t len, int32_t* pos) {
            return refine ? prim::EncodeDcRefineScanBlock(block, dst, len, pos, al, state, 0)
                          : prim::EncodeDcFirstScanBlock(block, dst, len, pos, &c.lastDc, al,
                                                         dcSpec, state, 0);
          });
        });
  }
  if (status != CoreOk) return status;
  if ((status = bitStream_.FlushBuffer(kProgressiveBlockMinFree)) != CoreOk) return status;
  return WriteProgressiveRestart(!ac, refine, acSpec) == CoreOk ? CoreOk : CorePrimitiveFailed;
}

JpegCoreStatus CJPEGEncoder::EncodeProgressiveScans() {
  if (scanScript_.empty() || mcuRowsPerCoefficientPass_ != mcuRows_ || coefficients_ == nullptr) {
    return CoreBadParameter;
  }
  JpegCoreStatus status = TransformImage();
  if (status != CoreOk) return status;
  for (const ScanDescriptor& scan : scanScript_) {
    if ((status = OptimizeProgressiveScanTables(scan.componentCount, scan.componentIndices,
                                                scan.ss, scan.se, scan.ah, scan.al)) != CoreOk) {
      return status;
    }
    if ((status = EncodeProgressiveScan(scan.componentCount, scan.componentIndices, scan.ss,
                                        scan.se, scan.ah, scan.al)) != CoreOk) {
      return status;
    }
  }
  return CoreOk;
}

}  // namespace vorn::jpeg
