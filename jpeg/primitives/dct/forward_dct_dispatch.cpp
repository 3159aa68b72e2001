// Dispatch of the forward DCT primitives: the plain build without SSE2, the SSE2 builds up to
// the AVX slot, the AVX2 build of the integer path in the newest slot.
#include "jpeg/primitives/dct/forward_dct.h"

namespace vorn::jpeg::prim {

constinit const DispatchTable<ForwardDctQuant8x8Fn> kForwardDctQuant8x8Table =
    ShareLower<ForwardDctQuant8x8Fn>({{ForwardDctQuant8x8S2, ForwardDctQuant8x8Sse2, nullptr,
                                       nullptr, nullptr, nullptr, ForwardDctQuant8x8Avx2}});

constinit const DispatchTable<ForwardDctQuant8x8PairFn> kForwardDctQuant8x8PairTable =
    ShareLower<ForwardDctQuant8x8PairFn>({{ForwardDctQuant8x8PairS2, ForwardDctQuant8x8PairSse2,
                                           nullptr, nullptr, nullptr, nullptr,
                                           ForwardDctQuant8x8PairAvx2}});
constinit const DispatchTable<ForwardDctQuant8x8From16Fn> kForwardDctQuant8x8From16Table =
    ShareLower<ForwardDctQuant8x8From16Fn>({{ForwardDctQuant8x8From16S2,
                                             ForwardDctQuant8x8From16Sse2, nullptr, nullptr,
                                             nullptr, nullptr, nullptr}});

PrimitiveStatus ForwardDctQuant8x8(const uint8_t* src, int32_t srcStep, int16_t* dst,
                                   const uint16_t* table) {
  return kForwardDctQuant8x8Table.Current()(src, srcStep, dst, table);
}

PrimitiveStatus ForwardDctQuant8x8From16(const int16_t* src, int32_t srcStep, int16_t* dst,
                                         const float* table) {
  return kForwardDctQuant8x8From16Table.Current()(src, srcStep, dst, table);
}

PrimitiveStatus ForwardDctQuant8x8Pair(const uint8_t* src, int32_t srcStep, int16_t* dst0,
                                       int16_t* dst1, const uint16_t* table) {
  return kForwardDctQuant8x8PairTable.Current()(src, srcStep, dst0, dst1, table);
}

}  // namespace vorn::jpeg::prim
