// The AVX2 build of DownsampleRows2x2: thirty-two outputs per step, pair sums by an unsigned
// multiply-add with ones.
#include <immintrin.h>

#include "jpeg/primitives/sampling/downsample.h"
#include "jpeg/primitives/sampling/downsample_kernels.h"

namespace vorn::jpeg::prim {
namespace {

__m256i Load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

}  // namespace

PrimitiveStatus DownsampleRows2x2Avx2(const uint8_t* upper, const uint8_t* lower, int32_t width,
                                      uint8_t* dst) {
  if (upper == nullptr || lower == nullptr || dst == nullptr) return StatusNullPointer;
  if (width <= 0) return StatusBadSize;
  const int32_t outputs = Rows2x2Outputs(width);
  if (width < kRows2x2KernelWidth) {
    Downsample2x2Short(upper, lower, dst, width);
    return StatusOk;
  }
  const __m256i ones = _mm256_set1_epi8(1);
  const __m256i bias = _mm256_set1_epi32(0x00020001);  // 1, 2, 1, 2, ... in 16-bit lanes
  int32_t j = 0;
  for (; j + 32 <= outputs; j += 32) {
    const uint8_t* a = upper + 2 * j;
    const uint8_t* b = lower + 2 * j;
    const __m256i lo = _mm256_add_epi16(
        _mm256_add_epi16(_mm256_maddubs_epi16(Load(a), ones), _mm256_maddubs_epi16(Load(b), ones)), bias);
    const __m256i hi = _mm256_add_epi16(
        _mm256_add_epi16(_mm256_maddubs_epi16(Load(a + 32), ones), _mm256_maddubs_epi16(Load(b + 32), ones)),
        bias);
    // The pack interleaves 128-bit lanes (lo0 hi0 lo1 hi1); the permute restores the order.
    const __m256i packed = _mm256_packus_epi16(_mm256_srli_epi16(lo, 2), _mm256_srli_epi16(hi, 2));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + j), _mm256_permute4x64_epi64(packed, 0xD8));
  }
  Downsample2x2Range(upper, lower, dst, j, outputs);
  return StatusOk;
}

}  // namespace vorn::jpeg::prim
