// The portable builds of the progressive block coders and their statistics twins.
#include <cstring>

#include "jpeg/primitives/huffman/progressive.h"

namespace vorn::jpeg::prim {
namespace {

constexpr int32_t kMaxAl = 13;
constexpr int32_t kAcSymbolZrl = 0xF0;
constexpr uint32_t kBitsOf64 = 64;

uint32_t Magnitude(int32_t v) { return static_cast<uint32_t>(v < 0 ? -v : v); }

// floor(log2 run) for 1 <= run <= 32767.
int32_t RunCategory(int32_t run) { return CategoryOf(static_cast<uint32_t>(run)) - 1; }

uint64_t Mask(int32_t n) { return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1; }

// The AC coders' bit writer.
class AcWriter {
 public:
  AcWriter(uint8_t* dst, int32_t dstLen, int32_t* pos, HuffmanEncodeState* state)
      : dst_(dst), dstLen_(dstLen), pos_(pos), state_(state) {}

  // All whole bytes of the pending bits, oldest first, a 0x00 after each 0xFF.
  PrimitiveStatus WriteWholeBytes() {
    while (state_->pendingBits >= 8) {
      const uint8_t byte =
          static_cast<uint8_t>(state_->accumulator >> (state_->pendingBits - 8));
      if (*pos_ >= dstLen_) return StatusOutputFull;
      dst_[(*pos_)++] = byte;
      state_->pendingBits -= 8;
      if (byte == 0xFF) {
        if (*pos_ >= dstLen_) return StatusOutputFull;
        dst_[(*pos_)++] = 0x00;
      }
    }
    return StatusOk;
  }

  PrimitiveStatus Put(uint32_t value, int32_t n) {
    if (n == 0) return StatusOk;
    if (static_cast<uint32_t>(n) > kBitsOf64 - static_cast<uint32_t>(state_->pendingBits)) {
      const PrimitiveStatus status = WriteWholeBytes();
      if (status != StatusOk) return status;
    }
    state_->accumulator = (state_->accumulator << n) | (value & Mask(n));
    state_->pendingBits += n;
    return StatusOk;
  }

  PrimitiveStatus Symbol(const uint32_t* spec, int32_t symbol) {
    const uint32_t entry = spec[symbol];
    const int32_t length = static_cast<int32_t>(entry >> 16);
    if (length == 0) return StatusBadHuffmanTable;
    return Put(entry & 0xFFFF, length);
  }

  // The pending end-of-band run, then (refinement) the buffered correction bits.
  PrimitiveStatus EobRun(const uint32_t* spec) {
    PrimitiveStatus status = StatusOk;
    const int32_t run = state_->endOfBandRun;
    if (run > 0) {
      const int32_t k = RunCategory(run);
      if (k > 14) return StatusCategoryTooLarge;
      if ((status = Symbol(spec, k << 4)) != StatusOk) return status;
      if ((status = Put(static_cast<uint32_t>(run), k)) != StatusOk) return status;
      state_->endOfBandRun = 0;
    }
    for (int32_t i = 0; i < state_->correctionBitCount; ++i) {
      if ((status = Put(state_->correctionBits[i], 1)) != StatusOk) return status;
    }
    state_->correctionBitCount = 0;
    return StatusOk;
  }

 private:
  uint8_t* dst_;
  int32_t dstLen_;
  int32_t* pos_;
  HuffmanEncodeState* state_;
};

bool BandInRange(int32_t ss, int32_t se, int32_t al) {
  return ss >= 1 && ss <= 63 && se >= ss && se <= 63 && static_cast<uint32_t>(al) <= kMaxAl;
}

// A refinement band classified: magnitudes after the point transform, signs, and E, the last
// position that becomes non-zero in this scan (Ss - 1 when none does).
struct RefineBand {
  uint32_t a[64];
  uint8_t positive[64];
  int32_t last;
};

void Classify(const int16_t* block, int32_t ss, int32_t se, int32_t al, RefineBand* band) {
  band->last = ss - 1;
  for (int32_t k = ss; k <= se; ++k) {
    const int32_t v = block[ZigzagOrder[k]];
    band->a[k] = Magnitude(v) >> al;
    band->positive[k] = v >= 0 ? 1 : 0;
    if (band->a[k] == 1) band->last = k;
  }
}

PrimitiveStatus AcFirstEncode(const int16_t* block, int32_t ss, int32_t se, int32_t al,
                              const uint32_t* spec, AcWriter& out, HuffmanEncodeState* state) {
  PrimitiveStatus status;
  int32_t r = 0;
  for (int32_t k = ss; k <= se; ++k) {
    const int32_t v = block[ZigzagOrder[k]];
    const uint32_t t = Magnitude(v) >> al;
    if (t == 0) {
      ++r;
      continue;
    }
    if (state->endOfBandRun != 0 && (status = out.EobRun(spec)) != StatusOk) return status;
    for (; r > 15; r -= 16) {
      if ((status = out.Symbol(spec, kAcSymbolZrl)) != StatusOk) return status;
    }
    const int32_t n = CategoryOf(t);
    if (n > 11) return StatusCategoryTooLarge;
    if ((status = out.Symbol(spec, (r << 4) | n)) != StatusOk) return status;
    if ((status = out.Put(v > 0 ? t : ~t, n)) != StatusOk) return status;
    r = 0;
  }
  if (r > 0 && ++state->endOfBandRun == kMaxEobRun) return out.EobRun(spec);
  return StatusOk;
}

PrimitiveStatus AcRefineEncode(const int16_t* block, int32_t ss, int32_t se, int32_t al,
                               const uint32_t* spec, AcWriter& out, HuffmanEncodeState* state) {
  RefineBand band;
  Classify(block, ss, se, al, &band);
  uint8_t blockBits[64];
  int32_t br = 0;
  int32_t r = 0;
  PrimitiveStatus status;
  auto blockBitsOut = [&]() -> PrimitiveStatus {
    for (int32_t i = 0; i < br; ++i) {
      const PrimitiveStatus s = out.Put(blockBits[i], 1);
      if (s != StatusOk) return s;
    }
    br = 0;
    return StatusOk;
  };
  for (int32_t k = ss; k <= se; ++k) {
    const uint32_t a = band.a[k];
    if (a == 0) {
      ++r;
      continue;
    }
    while (r > 15 && k <= band.last) {
      if ((status = out.EobRun(spec)) != StatusOk) return status;
      if ((status = out.Symbol(spec, kAcSymbolZrl)) != StatusOk) return status;
      r -= 16;
      if ((status = blockBitsOut()) != StatusOk) return status;
    }
    if (a > 1) {
      blockBits[br++] = static_cast<uint8_t>(a & 1);
      continue;
    }
    if ((status = out.EobRun(spec)) != StatusOk) return status;
    if ((status = out.Symbol(spec, (r << 4) + 1)) != StatusOk) return status;
    if ((status = out.Put(band.positive[k], 1)) != StatusOk) return status;
    if ((status = blockBitsOut()) != StatusOk) return status;
    r = 0;
  }
  if (r > 0 || br > 0) {
    ++state->endOfBandRun;
    std::memcpy(state->correctionBits + state->correctionBitCount, blockBits, br);
    state->correctionBitCount += br;
    if (state->endOfBandRun == kMaxEobRun ||
        state->correctionBitCount > kMaxBufferedCorrectionBits) {
      return out.EobRun(spec);
    }
  }
  return StatusOk;
}

// The symbol of the pending run, counted; EOBRUN and the correction-bit count cleared.
PrimitiveStatus CountRun(uint32_t* counts, HuffmanEncodeState* state) {
  const int32_t run = state->endOfBandRun;
  if (run > 0) {
    const int32_t k = RunCategory(run);
    if (k > 14) return StatusCategoryTooLarge;
    ++counts[k << 4];
  }
  state->endOfBandRun = 0;
  state->correctionBitCount = 0;
  return StatusOk;
}

PrimitiveStatus FlushStatistics(uint32_t* counts, HuffmanEncodeState* state) {
  const PrimitiveStatus status = CountRun(counts, state);
  HuffmanStateReset(state);
  return status;
}

}  // namespace

PrimitiveStatus ProgressiveFlushEobRun(uint8_t* dst, int32_t dstLen, int32_t* pos,
                                       const uint32_t* acSpec, HuffmanEncodeState* state) {
  AcWriter out(dst, dstLen, pos, state);
  // The reset happens whatever the outcome: bits not written are dropped.
  PrimitiveStatus status = out.EobRun(acSpec);
  const int32_t fill = (8 - state->pendingBits % 8) % 8;
  const PrimitiveStatus filled = out.Put(0xFF, fill);
  if (status == StatusOk) status = filled;
  const PrimitiveStatus written = out.WriteWholeBytes();
  if (status == StatusOk) status = written;
  HuffmanStateReset(state);
  return status;
}

PrimitiveStatus EncodeDcFirstScanBlockS2(const int16_t* block, uint8_t* dst, int32_t dstLen,
                                         int32_t* pos, int16_t* lastDC, int32_t al,
                                         const uint32_t* dcSpec, HuffmanEncodeState* state,
                                         int32_t flush) {
  if (dst == nullptr) return StatusNullPointer;
  if (dstLen <= 0) return StatusBadSize;
  if (pos == nullptr || state == nullptr) return StatusNullPointer;
  if (flush) {
    const PrimitiveStatus status = HuffmanPutBits(0x7F, 7, dst, dstLen, pos, state);
    HuffmanStateReset(state);
    return status;
  }
  if (block == nullptr || lastDC == nullptr) return StatusNullPointer;
  if (static_cast<uint32_t>(al) > kMaxAl) return StatusBadArgument;
  if (dcSpec == nullptr) return StatusNullPointer;
  const int32_t v = block[0] >> al;
  const int32_t d = v - *lastDC;
  *lastDC = static_cast<int16_t>(v);
  const int32_t c = CategoryOf(Magnitude(d));
  if (c > 11) return StatusCategoryTooLarge;
  const uint32_t entry = dcSpec[c];
  PrimitiveStatus status =
      HuffmanPutBits(entry & 0xFFFF, static_cast<int32_t>(entry >> 16), dst, dstLen, pos, state);
  if (status != StatusOk || c == 0) return status;
  return HuffmanPutBits(static_cast<uint32_t>(d >= 0 ? d : d - 1), c, dst, dstLen, pos, state);
}

PrimitiveStatus EncodeDcRefineScanBlockS2(const int16_t* block, uint8_t* dst, int32_t dstLen,
                                          int32_t* pos, int32_t al, HuffmanEncodeState* state,
                                          int32_t flush) {
  if (dst == nullptr) return StatusNullPointer;
  if (dstLen <= 0) return StatusBadSize;
  if (pos == nullptr || state == nullptr) return StatusNullPointer;
  if (flush) {
    const PrimitiveStatus status = HuffmanPutBits(0x7F, 7, dst, dstLen, pos, state);
    HuffmanStateReset(state);
    return status;
  }
  if (block == nullptr) return StatusNullPointer;
  if (static_cast<uint32_t>(al) > kMaxAl) return StatusBadArgument;
  return HuffmanPutBits(static_cast<uint32_t>(block[0] >> al) & 1, 1, dst, dstLen, pos, state);
}

namespace {

template <PrimitiveStatus (*Encode)(const int16_t*, int32_t, int32_t, int32_t, const uint32_t*,
                                    AcWriter&, HuffmanEncodeState*)>
PrimitiveStatus AcScanBlock(const int16_t* block, uint8_t* dst, int32_t dstLen, int32_t* pos,
                            int32_t ss, int32_t se, int32_t al, const uint32_t* acSpec,
                            HuffmanEncodeState* state, int32_t flush) {
  if (dst == nullptr) return StatusNullPointer;
  if (dstLen < 1) return StatusBadSize;
  if (pos == nullptr || acSpec == nullptr || state == nullptr) return StatusNullPointer;
  if (flush) return ProgressiveFlushEobRun(dst, dstLen, pos, acSpec, state);
  if (block == nullptr) return StatusNullPointer;
  if (!BandInRange(ss, se, al)) return StatusBadArgument;
  AcWriter out(dst, dstLen, pos, state);
  return Encode(block, ss, se, al, acSpec, out, state);
}

}  // namespace

PrimitiveStatus EncodeAcFirstScanBlockS2(const int16_t* block, uint8_t* dst, int32_t dstLen,
                                         int32_t* pos, int32_t ss, int32_t se, int32_t al,
                                         const uint32_t* acSpec, HuffmanEncodeState* state,
                                         int32_t flush) {
  return AcScanBlock<AcFirstEncode>(block, dst, dstLen, pos, ss, se, al, acSpec, state, flush);
}

PrimitiveStatus EncodeAcRefineScanBlockS2(const int16_t* block, uint8_t* dst, int32_t dstLen,
                                          int32_t* pos, int32_t ss, int32_t se, int32_t al,
                                          const uint32_t* acSpec, HuffmanEncodeState* state,
                                          int32_t flush) {
  return AcScanBlock<AcRefineEncode>(block, dst, dstLen, pos, ss, se, al, acSpec, state, flush);
}

PrimitiveStatus CountDcFirstStatisticsS2(const int16_t* block, uint32_t* counts, int16_t* lastDC,
                                         int32_t al) {
  if (block == nullptr || counts == nullptr || lastDC == nullptr) return StatusNullPointer;
  if (static_cast<uint32_t>(al) > kMaxAl) return StatusBadArgument;
  const int32_t v = block[0] >> al;
  const int32_t c = CategoryOf(Magnitude(v - *lastDC));
  *lastDC = static_cast<int16_t>(v);
  if (c > 11) return StatusCategoryTooLarge;
  ++counts[c];
  return StatusOk;
}

PrimitiveStatus CountAcFirstStatisticsS2(const int16_t* block, uint32_t* counts, int32_t ss,
                                         int32_t se, int32_t al, HuffmanEncodeState* state,
                                         int32_t flush) {
  if (counts == nullptr || state == nullptr) return StatusNullPointer;
  if (flush) return FlushStatistics(counts, state);
  if (block == nullptr) return StatusNullPointer;
  if (!BandInRange(ss, se, al)) return StatusBadArgument;
  int32_t r = 0;
  for (int32_t k = ss; k <= se; ++k) {
    const uint32_t t = Magnitude(block[ZigzagOrder[k]]) >> al;
    if (t == 0) {
      ++r;
      continue;
    }
    if (state->endOfBandRun != 0) {
      const PrimitiveStatus status = CountRun(counts, state);
      if (status != StatusOk) return status;
    }
    for (; r > 15; r -= 16) ++counts[kAcSymbolZrl];
    const int32_t n = CategoryOf(t);
    if (n > 10) return StatusCategoryTooLarge;
    ++counts[(r << 4) | n];
    r = 0;
  }
  if (r > 0 && ++state->endOfBandRun == kMaxEobRun) return CountRun(counts, state);
  return StatusOk;
}

PrimitiveStatus CountAcRefineStatisticsS2(const int16_t* block, uint32_t* counts, int32_t ss,
                                          int32_t se, int32_t al, HuffmanEncodeState* state,
                                          int32_t flush) {
  if (counts == nullptr || state == nullptr) return StatusNullPointer;
  if (flush) return FlushStatistics(counts, state);
  if (block == nullptr) return StatusNullPointer;
  if (!BandInRange(ss, se, al)) return StatusBadArgument;
  RefineBand band;
  Classify(block, ss, se, al, &band);
  int32_t r = 0, br = 0;
  PrimitiveStatus status;
  for (int32_t k = ss; k <= se; ++k) {
    const uint32_t a = band.a[k];
    if (a == 0) {
      ++r;
      continue;
    }
    while (r > 15 && k <= band.last) {
      if ((status = CountRun(counts, state)) != StatusOk) return status;
      ++counts[kAcSymbolZrl];
      r -= 16;
      br = 0;
    }
    if (a > 1) {
      ++br;
      continue;
    }
    if ((status = CountRun(counts, state)) != StatusOk) return status;
    ++counts[(r << 4) + 1];
    r = 0;
    br = 0;
  }
  if (r > 0 || br > 0) {
    ++state->endOfBandRun;
    state->correctionBitCount += br;
    if (state->endOfBandRun == kMaxEobRun ||
        state->correctionBitCount > kMaxBufferedCorrectionBits) {
      return CountRun(counts, state);
    }
  }
  return StatusOk;
}

constinit const DispatchTable<EncodeDcFirstScanBlockFn> kEncodeDcFirstScanBlockTable =
    ShareLower<EncodeDcFirstScanBlockFn>({{EncodeDcFirstScanBlockS2}});
constinit const DispatchTable<EncodeDcRefineScanBlockFn> kEncodeDcRefineScanBlockTable =
    ShareLower<EncodeDcRefineScanBlockFn>({{EncodeDcRefineScanBlockS2}});
constinit const DispatchTable<EncodeAcScanBlockFn> kEncodeAcFirstScanBlockTable =
    ShareLower<EncodeAcScanBlockFn>({{EncodeAcFirstScanBlockS2}});
constinit const DispatchTable<EncodeAcScanBlockFn> kEncodeAcRefineScanBlockTable =
    ShareLower<EncodeAcScanBlockFn>({{EncodeAcRefineScanBlockS2}});
constinit const DispatchTable<CountDcFirstStatisticsFn> kCountDcFirstStatisticsTable =
    ShareLower<CountDcFirstStatisticsFn>({{CountDcFirstStatisticsS2}});
constinit const DispatchTable<CountAcStatisticsFn> kCountAcFirstStatisticsTable =
    ShareLower<CountAcStatisticsFn>({{CountAcFirstStatisticsS2}});
constinit const DispatchTable<CountAcStatisticsFn> kCountAcRefineStatisticsTable =
    ShareLower<CountAcStatisticsFn>({{CountAcRefineStatisticsS2}});

PrimitiveStatus EncodeDcFirstScanBlock(const int16_t* block, uint8_t* dst, int32_t dstLen,
                                       int32_t* pos, int16_t* lastDC, int32_t al,
                                       const uint32_t* dcSpec, HuffmanEncodeState* state,
                                       int32_t flush) {
  return kEncodeDcFirstScanBlockTable.Current()(block, dst, dstLen, pos, lastDC, al, dcSpec, state,
                                                flush);
}

PrimitiveStatus EncodeDcRefineScanBlock(const int16_t* block, uint8_t* dst, int32_t dstLen,
                                        int32_t* pos, int32_t al, HuffmanEncodeState* state,
                                        int32_t flush) {
  return kEncodeDcRefineScanBlockTable.Current()(block, dst, dstLen, pos, al, state, flush);
}

PrimitiveStatus EncodeAcFirstScanBlock(const int16_t* block, uint8_t* dst, int32_t dstLen,
                                       int32_t* pos, int32_t ss, int32_t se, int32_t al,
                                       const uint32_t* acSpec, HuffmanEncodeState* state,
                                       int32_t flush) {
  return kEncodeAcFirstScanBlockTable.Current()(block, dst, dstLen, pos, ss, se, al, acSpec, state,
                                                flush);
}

PrimitiveStatus EncodeAcRefineScanBlock(const int16_t* block, uint8_t* dst, int32_t dstLen,
                                        int32_t* pos, int32_t ss, int32_t se, int32_t al,
                                        const uint32_t* acSpec, HuffmanEncodeState* state,
                                        int32_t flush) {
  return kEncodeAcRefineScanBlockTable.Current()(block, dst, dstLen, pos, ss, se, al, acSpec,
                                                 state, flush);
}

PrimitiveStatus CountDcFirstStatistics(const int16_t* block, uint32_t* counts, int16_t* lastDC,
                                       int32_t al) {
  return kCountDcFirstStatisticsTable.Current()(block, counts, lastDC, al);
}

PrimitiveStatus CountAcFirstStatistics(const int16_t* block, uint32_t* counts, int32_t ss,
                                       int32_t se, int32_t al, HuffmanEncodeState* state,
                                       int32_t flush) {
  return kCountAcFirstStatisticsTable.Current()(block, counts, ss, se, al, state, flush);
}

PrimitiveStatus CountAcRefineStatistics(const int16_t* block, uint32_t* counts, int32_t ss,
                                        int32_t se, int32_t al, HuffmanEncodeState* state,
                                        int32_t flush) {
  return kCountAcRefineStatisticsTable.Current()(block, counts, ss, se, al, state, flush);
}

}  // namespace vorn::jpeg::prim
