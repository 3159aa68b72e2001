// The colour dispatch tables. The display-path conversions have SSE2 and AVX2 builds; the
// slots in between share the nearest lower build, and the other conversions run their plain
// build in every slot.
#include "jpeg/primitives/color/color.h"
#include "jpeg/primitives/color/color_builds.h"

namespace vorn::jpeg::prim {

using namespace color;

constexpr DispatchTable<BgraToYCbCr420PlanesFn> kBgraToYCbCr420PlanesTable =
    ShareLower<BgraToYCbCr420PlanesFn>({{BgraToYCbCr420PlanesS2, BgraToYCbCr420PlanesSse2, nullptr,
                                         nullptr, nullptr, nullptr, BgraToYCbCr420PlanesAvx2}});
constexpr DispatchTable<FourByteToYCbCrPlanesFn> kBgraToYCbCrPlanesTable =
    ShareLower<FourByteToYCbCrPlanesFn>({{BgraToYCbCrPlanesS2, BgraToYCbCrPlanesSse2, nullptr,
                                          nullptr, nullptr, nullptr, BgraToYCbCrPlanesAvx2}});
constexpr DispatchTable<BgraToYCbCrRows2x2Fn> kBgraToYCbCrRows2x2Table =
    ShareLower<BgraToYCbCrRows2x2Fn>({{BgraToYCbCrRows2x2S2, BgraToYCbCrRows2x2Sse2, nullptr,
                                       nullptr, nullptr, nullptr, BgraToYCbCrRows2x2Avx2}});
constexpr DispatchTable<FourByteToYCbCrPlanesFn> kRgbaToYCbCrPlanesTable =
    ShareLower<FourByteToYCbCrPlanesFn>({{RgbaToYCbCrPlanesS2}});
constexpr DispatchTable<ThreeByteToYCbCrPlanesFn> kBgrToYCbCrPlanesTable =
    ShareLower<ThreeByteToYCbCrPlanesFn>({{BgrToYCbCrPlanesS2}});
constexpr DispatchTable<ThreeByteToYCbCrPlanesFn> kRgbToYCbCrPlanesTable =
    ShareLower<ThreeByteToYCbCrPlanesFn>({{RgbToYCbCrPlanesS2}});
constexpr DispatchTable<PlanarRgbToYCbCrFn> kPlanarRgbToYCbCrTable =
    ShareLower<PlanarRgbToYCbCrFn>({{PlanarRgbToYCbCrS2}});
constexpr DispatchTable<RgbToGrayFn> kRgbToGrayTable = ShareLower<RgbToGrayFn>({{RgbToGrayS2}});
constexpr DispatchTable<CmykToYcckPlanesFn> kCmykToYcckPlanesTable =
    ShareLower<CmykToYcckPlanesFn>({{CmykToYcckPlanesS2}});

PrimitiveStatus BgraToYCbCr420Planes(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                     const int32_t dstStep[3], int32_t width, int32_t height) {
  return kBgraToYCbCr420PlanesTable.Current()(src, srcStep, dst, dstStep, width, height);
}

PrimitiveStatus BgraToYCbCrRows2x2(const uint8_t* row0, const uint8_t* row1, int32_t width,
                                   int32_t paddedWidth, uint8_t* y0, uint8_t* y1, uint8_t* cb,
                                   uint8_t* cr) {
  return kBgraToYCbCrRows2x2Table.Current()(row0, row1, width, paddedWidth, y0, y1, cb, cr);
}

PrimitiveStatus RgbaToYCbCrPlanes(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                  int32_t dstStep, int32_t width, int32_t height) {
  return kRgbaToYCbCrPlanesTable.Current()(src, srcStep, dst, dstStep, width, height);
}

PrimitiveStatus BgraToYCbCrPlanes(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                  int32_t dstStep, int32_t width, int32_t height) {
  return kBgraToYCbCrPlanesTable.Current()(src, srcStep, dst, dstStep, width, height);
}

PrimitiveStatus BgrToYCbCrPlanes(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                 int32_t dstStep, int32_t width, int32_t height) {
  return kBgrToYCbCrPlanesTable.Current()(src, srcStep, dst, dstStep, width, height);
}

PrimitiveStatus RgbToYCbCrPlanes(const uint8_t* src, int32_t srcStep, uint8_t* const dst[3],
                                 int32_t dstStep, int32_t width, int32_t height) {
  return kRgbToYCbCrPlanesTable.Current()(src, srcStep, dst, dstStep, width, height);
}

PrimitiveStatus PlanarRgbToYCbCr(const uint8_t* const src[3], int32_t srcStep,
                                 uint8_t* const dst[3], int32_t dstStep, int32_t width,
                                 int32_t height) {
  return kPlanarRgbToYCbCrTable.Current()(src, srcStep, dst, dstStep, width, height);
}

PrimitiveStatus RgbToGray(const uint8_t* src, int32_t srcStep, uint8_t* dst, int32_t dstStep,
                          int32_t width, int32_t height) {
  return kRgbToGrayTable.Current()(src, srcStep, dst, dstStep, width, height);
}

PrimitiveStatus CmykToYcckPlanes(const uint8_t* src, int32_t srcStep, uint8_t* const dst[4],
                                 int32_t dstStep, int32_t width, int32_t height) {
  return kCmykToYcckPlanesTable.Current()(src, srcStep, dst, dstStep, width, height);
}

}  // namespace vorn::jpeg::prim
