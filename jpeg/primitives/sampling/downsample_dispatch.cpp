// Dispatch of the down-sampling primitives.
#include "jpeg/primitives/sampling/downsample.h"

namespace vorn::jpeg::prim {

constinit const DispatchTable<DownsampleRows2x2Fn> kDownsampleRows2x2Table =
    ShareLower<DownsampleRows2x2Fn>({{DownsampleRows2x2S2, DownsampleRows2x2Sse2, nullptr, nullptr,
                                      nullptr, nullptr, DownsampleRows2x2Avx2}});
constinit const DispatchTable<DownsampleRow2x1Fn> kDownsampleRow2x1Table =
    ShareLower<DownsampleRow2x1Fn>(
        {{DownsampleRow2x1S2, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}});

PrimitiveStatus DownsampleRows2x2(const uint8_t* upper, const uint8_t* lower, int32_t width,
                                  uint8_t* dst) {
  return kDownsampleRows2x2Table.Current()(upper, lower, width, dst);
}

PrimitiveStatus DownsampleRow2x1(const uint8_t* src, int32_t width, uint8_t* dst) {
  return kDownsampleRow2x1Table.Current()(src, width, dst);
}

}  // namespace vorn::jpeg::prim
