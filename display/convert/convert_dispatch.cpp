// The converters' dispatch tables: slot 0 the plain build, slots 1-5 SSE2, slot 6 AVX2.
#include "display/convert/convert_builds.h"

namespace vorn::display {

using namespace convert;
using jpeg::prim::DispatchTable;
using jpeg::prim::ShareLower;

constexpr DispatchTable<BgraToYCbCr420InterleavedFn> kBgraToYCbCr420InterleavedTable =
    ShareLower<BgraToYCbCr420InterleavedFn>(
        {{BgraToYCbCr420InterleavedPlain, BgraToYCbCr420InterleavedSse2, nullptr, nullptr, nullptr,
          nullptr, BgraToYCbCr420InterleavedAvx2}});
constexpr DispatchTable<PixelRowsFn> kBgraToRgb24Table = ShareLower<PixelRowsFn>(
    {{BgraToRgb24Plain, BgraToRgb24Sse2, nullptr, nullptr, nullptr, nullptr, BgraToRgb24Avx2}});
constexpr DispatchTable<PixelRowsFn> kRgb565ToRgb32Table = ShareLower<PixelRowsFn>(
    {{Rgb565ToRgb32Plain, Rgb565ToRgb32Sse2, nullptr, nullptr, nullptr, nullptr,
      Rgb565ToRgb32Avx2}});

void BgraToYCbCr420Interleaved(const ConvertSource& src, const ConvertPlane& y,
                               const ConvertPlane& cbcr) {
  kBgraToYCbCr420InterleavedTable.Current()(src, y, cbcr);
}

void BgraToRgb24(uint8_t* dst, const uint8_t* src, int32_t dstStride, int32_t srcStride,
                 int32_t width, int32_t height) {
  kBgraToRgb24Table.Current()(dst, src, dstStride, srcStride, width, height);
}

void Rgb565ToRgb32(uint8_t* dst, const uint8_t* src, int32_t dstStride, int32_t srcStride,
                   int32_t width, int32_t height) {
  kRgb565ToRgb32Table.Current()(dst, src, dstStride, srcStride, width, height);
}

}  // namespace vorn::display
