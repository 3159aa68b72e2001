// The AVX2 builds of the copy primitives: as the SSE2 builds, with 32-byte streaming stores.
#include <immintrin.h>

#include <cstring>

#include "jpeg/primitives/movement/movement.h"
#include "jpeg/primitives/movement/movement_checks.h"
#include "jpeg/primitives/movement/movement_streaming.h"

namespace vorn::jpeg::prim {
namespace {

void StreamCopy(const uint8_t* src, uint8_t* dst, size_t n) {
  if (n < 32) {
    std::memcpy(dst, src, n);
    return;
  }
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src)));
  const size_t head = (0 - reinterpret_cast<uintptr_t>(dst)) & 31;
  src += head, dst += head, n -= head;
  for (; n >= 128; n -= 128, src += 128, dst += 128) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 32));
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 64));
    const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 96));
    _mm256_stream_si256(reinterpret_cast<__m256i*>(dst), a);
    _mm256_stream_si256(reinterpret_cast<__m256i*>(dst + 32), b);
    _mm256_stream_si256(reinterpret_cast<__m256i*>(dst + 64), c);
    _mm256_stream_si256(reinterpret_cast<__m256i*>(dst + 96), d);
  }
  for (; n >= 32; n -= 32, src += 32, dst += 32) {
    _mm256_stream_si256(reinterpret_cast<__m256i*>(dst), _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src)));
  }
  std::memcpy(dst, src, n);
}

PrimitiveStatus CopyBuffer(const void* src, void* dst, size_t bytes) {
  const int64_t head = static_cast<int64_t>(HeadTo16(dst));
  const int64_t after = static_cast<int64_t>(bytes) > head ? static_cast<int64_t>(bytes) - head : 0;
  if (CopyBytesStreams(after)) {
    StreamCopy(static_cast<const uint8_t*>(src), static_cast<uint8_t*>(dst), bytes);
    _mm_sfence();
  } else {
    std::memcpy(dst, src, bytes);
  }
  return StatusOk;
}

template <typename T>
PrimitiveStatus CopyImage(const T* src, int32_t srcStep, T* dst, int32_t dstStep, int32_t width,
                          int32_t height) {
  if (PrimitiveStatus s = CheckImage(src, dst, width, height); s != StatusOk) return s;
  const size_t rowBytes = static_cast<size_t>(width) * sizeof(T);
  const size_t total = rowBytes * static_cast<size_t>(height);
  const bool stream = CopyImageStreams(static_cast<int64_t>(total));
  auto copy = [stream](const void* from, void* to, size_t n) {
    if (stream) {
      StreamCopy(static_cast<const uint8_t*>(from), static_cast<uint8_t*>(to), n);
    } else {
      std::memcpy(to, from, n);
    }
  };
  if (static_cast<size_t>(srcStep) == rowBytes && srcStep == dstStep) {
    copy(src, dst, total);
  } else {
    for (int32_t r = 0; r < height; ++r) copy(Row(src, srcStep, r), Row(dst, dstStep, r), rowBytes);
  }
  if (stream) _mm_sfence();
  return StatusOk;
}

}  // namespace

PrimitiveStatus CopyBytesAvx2(const void* src, void* dst, int32_t len) {
  if (PrimitiveStatus s = CheckBuffer(src, dst, len); s != StatusOk) return s;
  return CopyBuffer(src, dst, static_cast<size_t>(len));
}

PrimitiveStatus CopyWords16Avx2(const int16_t* src, int16_t* dst, int32_t len) {
  if (PrimitiveStatus s = CheckBuffer(src, dst, len); s != StatusOk) return s;
  return CopyBuffer(src, dst, static_cast<size_t>(len) * 2);
}

PrimitiveStatus CopyImage8Avx2(const uint8_t* src, int32_t srcStep, uint8_t* dst,
                               int32_t dstStep, int32_t width, int32_t height) {
  return CopyImage(src, srcStep, dst, dstStep, width, height);
}

PrimitiveStatus CopyImage16Avx2(const int16_t* src, int32_t srcStep, int16_t* dst,
                                int32_t dstStep, int32_t width, int32_t height) {
  return CopyImage(src, srcStep, dst, dstStep, width, height);
}

}  // namespace vorn::jpeg::prim
