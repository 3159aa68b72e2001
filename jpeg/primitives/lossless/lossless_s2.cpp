// The portable builds of the lossless primitives: the sample-by-sample definitions.
#include "jpeg/primitives/lossless/lossless.h"

namespace vorn::jpeg::prim {
namespace {

int16_t Wrap(int32_t v) { return static_cast<int16_t>(static_cast<uint16_t>(v & 0xFFFF)); }

int32_t Signed(uint16_t v) { return static_cast<int16_t>(v); }

// The prediction of predictor p from the neighbours; only its low 16 bits count.
int32_t Predict(int32_t p, uint16_t ra, uint16_t rb, uint16_t rc) {
  switch (p) {
    case 1:
      return ra;
    case 2:
      return rb;
    case 3:
      return rc;
    case 4:
      return ra + rb - rc;
    case 5:
      return Signed(ra) + ((Signed(rb) - Signed(rc)) >> 1);
    case 6:
      return Signed(rb) + ((Signed(ra) - Signed(rc)) >> 1);
    default:
      return (Signed(ra) + Signed(rb)) >> 1;
  }
}

// The common checks of the two coders, before the flush: dst, dstLen, pos, state.
PrimitiveStatus CheckOutput(const uint8_t* dst, int32_t dstLen, const int32_t* pos,
                            const HuffmanEncodeState* state) {
  if (dst == nullptr) return StatusNullPointer;
  if (dstLen <= 0) return StatusBadSize;
  if (pos == nullptr || state == nullptr) return StatusNullPointer;
  return StatusOk;
}

PrimitiveStatus CheckPosition(int32_t dstLen, int32_t pos, const HuffmanEncodeState* state) {
  if (pos < 0 || pos > dstLen) return StatusBadArgument;
  if (state->pendingBits < 0 || state->pendingBits > 7) return StatusBadArgument;
  return StatusOk;
}

PrimitiveStatus Flush(uint8_t* dst, int32_t dstLen, int32_t* pos, HuffmanEncodeState* state) {
  const PrimitiveStatus status = HuffmanPutBits(0x7F, 7, dst, dstLen, pos, state);
  HuffmanStateReset(state);
  return status;
}

// One difference, the position and state already checked.
PrimitiveStatus CodeDifference(int16_t d, uint8_t* dst, int32_t dstLen, int32_t* pos,
                               const uint32_t* spec, HuffmanEncodeState* state) {
  const int32_t category = LosslessCategory(d);
  const uint32_t entry = spec[category];
  const int32_t length = static_cast<int32_t>(entry >> 16);
  if (length == 0 || length > kMaxHuffmanCodeLength) return StatusBadHuffmanTable;
  if (dstLen - *pos >= kLosslessFastMinFree) {
    return EncodeHuffmanDiff(&d, dst, pos, spec, state) == 0 ? StatusOk : StatusBadHuffmanTable;
  }
  PrimitiveStatus status = HuffmanPutBits(entry & 0xFFFF, length, dst, dstLen, pos, state);
  if (status != StatusOk) return status;
  const int32_t extra = category & 15;
  if (extra == 0) return StatusOk;
  const int32_t v = d;
  return HuffmanPutBits(static_cast<uint32_t>(v >= 0 ? v : v - 1), extra, dst, dstLen, pos,
                        state);
}

}  // namespace

PrimitiveStatus LosslessDiffRowS2(const uint16_t* cur, const uint16_t* prev, int16_t* dst,
                                  int32_t count, int32_t predictor) {
  if (cur == nullptr || prev == nullptr || dst == nullptr) return StatusNullPointer;
  if (count < 1) return StatusBadSize;
  if (predictor < 1 || predictor > 7) return StatusBadArgument;
  // Position 0 has no left neighbour: it is predicted from the row above. The neighbours of
  // the next position are kept in locals before dst[i] is written, so dst may be cur or prev.
  uint16_t left = cur[0];
  uint16_t upperLeft = prev[0];
  dst[0] = Wrap(cur[0] - prev[0]);
  for (int32_t i = 1; i < count; ++i) {
    const uint16_t x = cur[i];
    const uint16_t upper = prev[i];
    dst[i] = Wrap(x - Predict(predictor, left, upper, upperLeft));
    left = x;
    upperLeft = upper;
  }
  return StatusOk;
}

PrimitiveStatus LosslessDiffFirstRowS2(const uint16_t* cur, int16_t* dst, int32_t count,
                                       int32_t precision, int32_t pointTransform) {
  if (cur == nullptr || dst == nullptr) return StatusNullPointer;
  if (count <= 0) return StatusBadSize;
  if (precision < 2 || precision > 16 || pointTransform < 0 || pointTransform >= precision) {
    return StatusBadArgument;
  }
  uint16_t left = cur[0];
  dst[0] = Wrap(cur[0] - (1 << (precision - pointTransform - 1)));
  for (int32_t i = 1; i < count; ++i) {
    const uint16_t x = cur[i];
    dst[i] = Wrap(x - left);
    left = x;
  }
  return StatusOk;
}

PrimitiveStatus ShiftRightWords16InPlaceS2(int32_t shift, int16_t* data, int32_t count) {
  if (data == nullptr) return StatusNullPointer;
  if (count <= 0) return StatusBadSize;
  if (shift < 0) return StatusBadShift;
  if (shift == 0) return StatusOk;
  const int32_t s = shift > 15 ? 15 : shift;  // 15 already leaves only the sign of 16 bits
  for (int32_t i = 0; i < count; ++i) data[i] = static_cast<int16_t>(data[i] >> s);
  return StatusOk;
}

PrimitiveStatus EncodeLosslessValueS2(const int16_t* diff, uint8_t* dst, int32_t dstLen,
                                      int32_t* pos, const uint32_t* dcSpec,
                                      HuffmanEncodeState* state, int32_t flush) {
  PrimitiveStatus status = CheckOutput(dst, dstLen, pos, state);
  if (status != StatusOk) return status;
  if (flush != 0) {
    if ((status = CheckPosition(dstLen, *pos, state)) != StatusOk) return status;
    return Flush(dst, dstLen, pos, state);
  }
  if (diff == nullptr || dcSpec == nullptr) return StatusNullPointer;
  if ((status = CheckPosition(dstLen, *pos, state)) != StatusOk) return status;
  return CodeDifference(*diff, dst, dstLen, pos, dcSpec, state);
}

PrimitiveStatus EncodeLosslessRowS2(const int16_t* const rows[4], int32_t count, int32_t n,
                                    uint8_t* dst, int32_t dstLen, int32_t* pos,
                                    const uint32_t* const specs[4], HuffmanEncodeState* state,
                                    int32_t flush) {
  PrimitiveStatus status = CheckOutput(dst, dstLen, pos, state);
  if (status != StatusOk) return status;
  if (flush != 0) {
    if ((status = CheckPosition(dstLen, *pos, state)) != StatusOk) return status;
    return Flush(dst, dstLen, pos, state);
  }
  if (rows == nullptr) return StatusNullPointer;
  if (count <= 0 || n <= 0) return StatusBadSize;
  if (specs == nullptr) return StatusNullPointer;
  const int32_t components = n < 4 ? n : 4;
  for (int32_t k = 0; k < components; ++k) {
    if (rows[k] == nullptr || specs[k] == nullptr) return StatusNullPointer;
  }
  if ((status = CheckPosition(dstLen, *pos, state)) != StatusOk) return status;
  for (int32_t i = 0; i < count; ++i) {
    for (int32_t k = 0; k < components; ++k) {
      status = CodeDifference(rows[k][i], dst, dstLen, pos, specs[k], state);
      if (status != StatusOk) return status;
    }
  }
  return StatusOk;
}

PrimitiveStatus CountLosslessStatisticsS2(const int16_t* diff, uint32_t* counts) {
  if (diff == nullptr || counts == nullptr) return StatusNullPointer;
  ++counts[LosslessCategory(*diff)];
  return StatusOk;
}

}  // namespace vorn::jpeg::prim
