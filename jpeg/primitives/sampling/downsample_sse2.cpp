// The SSE2 build of DownsampleRows2x2: sixteen outputs per step from 16-bit pair sums, the
// alternating bias as a constant vector (every step starts at an even output).
#include <emmintrin.h>

#include "jpeg/primitives/sampling/downsample.h"
#include "jpeg/primitives/sampling/downsample_kernels.h"

namespace vorn::jpeg::prim {
namespace {

// a[0] + a[1], a[2] + a[3], ... of 16 bytes, in 16-bit lanes.
__m128i PairSums(__m128i bytes) {
  const __m128i low = _mm_set1_epi16(0x00FF);
  return _mm_add_epi16(_mm_and_si128(bytes, low), _mm_srli_epi16(bytes, 8));
}

__m128i Load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

}  // namespace

PrimitiveStatus DownsampleRows2x2Sse2(const uint8_t* upper, const uint8_t* lower, int32_t width,
                                      uint8_t* dst) {
  if (upper == nullptr || lower == nullptr || dst == nullptr) return StatusNullPointer;
  if (width <= 0) return StatusBadSize;
  const int32_t outputs = Rows2x2Outputs(width);
  if (width < kRows2x2KernelWidth) {
    Downsample2x2Short(upper, lower, dst, width);
    return StatusOk;
  }
  const __m128i bias = _mm_set_epi16(2, 1, 2, 1, 2, 1, 2, 1);
  int32_t j = 0;
  for (; j + 16 <= outputs; j += 16) {
    const uint8_t* a = upper + 2 * j;
    const uint8_t* b = lower + 2 * j;
    const __m128i lo = _mm_add_epi16(_mm_add_epi16(PairSums(Load(a)), PairSums(Load(b))), bias);
    const __m128i hi =
        _mm_add_epi16(_mm_add_epi16(PairSums(Load(a + 16)), PairSums(Load(b + 16))), bias);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + j),
                     _mm_packus_epi16(_mm_srli_epi16(lo, 2), _mm_srli_epi16(hi, 2)));
  }
  Downsample2x2Range(upper, lower, dst, j, outputs);
  return StatusOk;
}

}  // namespace vorn::jpeg::prim
