// Dispatch of the data-movement primitives: the plain builds without SSE2, the SSE2 builds
// from slot 1, the AVX2 copies in the newest slot.
#include "jpeg/primitives/movement/movement.h"
#include "jpeg/primitives/movement/movement_checks.h"

namespace vorn::jpeg::prim {

#define VORN_PLAIN_ONLY(name) \
  ShareLower<name##Fn>({{name##S2, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}})
#define VORN_SSE2(name) \
  ShareLower<name##Fn>({{name##S2, name##Sse2, nullptr, nullptr, nullptr, nullptr, nullptr}})
#define VORN_SSE2_AVX2(name) \
  ShareLower<name##Fn>({{name##S2, name##Sse2, nullptr, nullptr, nullptr, nullptr, name##Avx2}})

constinit const DispatchTable<CopyBytesFn> kCopyBytesTable = VORN_SSE2_AVX2(CopyBytes);
constinit const DispatchTable<CopyWords16Fn> kCopyWords16Table = VORN_SSE2_AVX2(CopyWords16);
constinit const DispatchTable<ZeroBytesFn> kZeroBytesTable = VORN_SSE2(ZeroBytes);
constinit const DispatchTable<CopyImage8Fn> kCopyImage8Table = VORN_SSE2_AVX2(CopyImage8);
constinit const DispatchTable<CopyImage16Fn> kCopyImage16Table = VORN_SSE2_AVX2(CopyImage16);
constinit const DispatchTable<WidenImage8To16Fn> kWidenImage8To16Table = VORN_SSE2(WidenImage8To16);
constinit const DispatchTable<SplitImage3Channels8Fn> kSplitImage3Channels8Table =
    VORN_PLAIN_ONLY(SplitImage3Channels8);
constinit const DispatchTable<SplitImage3Channels16Fn> kSplitImage3Channels16Table =
    VORN_SSE2(SplitImage3Channels16);
constinit const DispatchTable<SplitImage4Channels8Fn> kSplitImage4Channels8Table =
    VORN_PLAIN_ONLY(SplitImage4Channels8);
constinit const DispatchTable<SplitImage4Channels16Fn> kSplitImage4Channels16Table =
    VORN_SSE2(SplitImage4Channels16);
constinit const DispatchTable<ZigzagToNatural8x8Fn> kZigzagToNatural8x8Table =
    VORN_PLAIN_ONLY(ZigzagToNatural8x8);
constinit const DispatchTable<Packed422ToPlanesFn> kPacked422ToPlanesTable =
    VORN_PLAIN_ONLY(Packed422ToPlanes);

#undef VORN_PLAIN_ONLY
#undef VORN_SSE2
#undef VORN_SSE2_AVX2

PrimitiveStatus CopyBytes(const void* src, void* dst, int32_t len) {
  return kCopyBytesTable.Current()(src, dst, len);
}

PrimitiveStatus CopyWords16(const int16_t* src, int16_t* dst, int32_t len) {
  return kCopyWords16Table.Current()(src, dst, len);
}

PrimitiveStatus ZeroBytes(void* dst, int32_t len) { return kZeroBytesTable.Current()(dst, len); }

PrimitiveStatus ZeroWords16W7(int16_t* dst, int32_t len) {
  if (PrimitiveStatus s = CheckBuffer(dst, dst, len); s != StatusOk) return s;
  // 2 x len bytes, in pieces that fit ZeroBytes' 32-bit length.
  constexpr int32_t kPiece = 1 << 30;
  auto* bytes = reinterpret_cast<uint8_t*>(dst);
  int64_t left = int64_t{len} * 2;
  for (; left > 0; left -= kPiece, bytes += kPiece) {
    ZeroBytes(bytes, left < kPiece ? static_cast<int32_t>(left) : kPiece);
  }
  return StatusOk;
}

PrimitiveStatus CopyImage8(const uint8_t* src, int32_t srcStep, uint8_t* dst, int32_t dstStep,
                           int32_t width, int32_t height) {
  return kCopyImage8Table.Current()(src, srcStep, dst, dstStep, width, height);
}

PrimitiveStatus CopyImage16(const int16_t* src, int32_t srcStep, int16_t* dst, int32_t dstStep,
                            int32_t width, int32_t height) {
  return kCopyImage16Table.Current()(src, srcStep, dst, dstStep, width, height);
}

PrimitiveStatus WidenImage8To16(const uint8_t* src, int32_t srcStep, int16_t* dst,
                                int32_t dstStep, int32_t width, int32_t height) {
  return kWidenImage8To16Table.Current()(src, srcStep, dst, dstStep, width, height);
}

PrimitiveStatus SplitImage3Channels8(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                     int32_t dstStep, int32_t width, int32_t height) {
  return kSplitImage3Channels8Table.Current()(src, srcStep, dst, dstStep, width, height);
}

PrimitiveStatus SplitImage3Channels16(const int16_t* src, int32_t srcStep, int16_t* const dst[3],
                                      int32_t dstStep, int32_t width, int32_t height) {
  return kSplitImage3Channels16Table.Current()(src, srcStep, dst, dstStep, width, height);
}

PrimitiveStatus SplitImage4Channels8(const uint8_t* src, int32_t srcStep, uint8_t* const dst[4],
                                     int32_t dstStep, int32_t width, int32_t height) {
  return kSplitImage4Channels8Table.Current()(src, srcStep, dst, dstStep, width, height);
}

PrimitiveStatus SplitImage4Channels16(const int16_t* src, int32_t srcStep, int16_t* const dst[4],
                                      int32_t dstStep, int32_t width, int32_t height) {
  return kSplitImage4Channels16Table.Current()(src, srcStep, dst, dstStep, width, height);
}

PrimitiveStatus ZigzagToNatural8x8(const int16_t* src, int16_t* dst) {
  return kZigzagToNatural8x8Table.Current()(src, dst);
}

PrimitiveStatus Packed422ToPlanes(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                  const int32_t dstStep[3], int32_t width, int32_t height) {
  return kPacked422ToPlanesTable.Current()(src, srcStep, dst, dstStep, width, height);
}

}  // namespace vorn::jpeg::prim
