// Dispatch of the lossless primitives: one portable build for every slot.
#include "jpeg/primitives/lossless/lossless.h"

namespace vorn::jpeg::prim {

constinit const DispatchTable<LosslessDiffRowFn> kLosslessDiffRowTable =
    ShareLower<LosslessDiffRowFn>({{LosslessDiffRowS2}});
constinit const DispatchTable<LosslessDiffFirstRowFn> kLosslessDiffFirstRowTable =
    ShareLower<LosslessDiffFirstRowFn>({{LosslessDiffFirstRowS2}});
constinit const DispatchTable<ShiftRightWords16InPlaceFn> kShiftRightWords16InPlaceTable =
    ShareLower<ShiftRightWords16InPlaceFn>({{ShiftRightWords16InPlaceS2}});
constinit const DispatchTable<EncodeLosslessValueFn> kEncodeLosslessValueTable =
    ShareLower<EncodeLosslessValueFn>({{EncodeLosslessValueS2}});
constinit const DispatchTable<EncodeLosslessRowFn> kEncodeLosslessRowTable =
    ShareLower<EncodeLosslessRowFn>({{EncodeLosslessRowS2}});
constinit const DispatchTable<CountLosslessStatisticsFn> kCountLosslessStatisticsTable =
    ShareLower<CountLosslessStatisticsFn>({{CountLosslessStatisticsS2}});

PrimitiveStatus LosslessDiffRow(const uint16_t* cur, const uint16_t* prev, int16_t* dst,
                                int32_t count, int32_t predictor) {
  return kLosslessDiffRowTable.Current()(cur, prev, dst, count, predictor);
}

PrimitiveStatus LosslessDiffFirstRow(const uint16_t* cur, int16_t* dst, int32_t count,
                                     int32_t precision, int32_t pointTransform) {
  return kLosslessDiffFirstRowTable.Current()(cur, dst, count, precision, pointTransform);
}

PrimitiveStatus ShiftRightWords16InPlace(int32_t shift, int16_t* data, int32_t count) {
  return kShiftRightWords16InPlaceTable.Current()(shift, data, count);
}

PrimitiveStatus EncodeLosslessValue(const int16_t* diff, uint8_t* dst, int32_t dstLen,
                                    int32_t* pos, const uint32_t* dcSpec,
                                    HuffmanEncodeState* state, int32_t flush) {
  return kEncodeLosslessValueTable.Current()(diff, dst, dstLen, pos, dcSpec, state, flush);
}

PrimitiveStatus EncodeLosslessRow(const int16_t* const rows[4], int32_t count, int32_t n,
                                  uint8_t* dst, int32_t dstLen, int32_t* pos,
                                  const uint32_t* const specs[4], HuffmanEncodeState* state,
                                  int32_t flush) {
  return kEncodeLosslessRowTable.Current()(rows, count, n, dst, dstLen, pos, specs, state,
                                           flush);
}

PrimitiveStatus CountLosslessStatistics(const int16_t* diff, uint32_t* counts) {
  return kCountLosslessStatisticsTable.Current()(diff, counts);
}

}  // namespace vorn::jpeg::prim
