// The SSE2 builds of the copy, clear, widen and 16-bit split primitives: ordinary stores for
// moves that fit the cache, non-temporal 16-byte stores and a store fence for large ones.
#include <emmintrin.h>

#include <cstring>

#include "jpeg/primitives/movement/movement.h"
#include "jpeg/primitives/movement/movement_checks.h"
#include "jpeg/primitives/movement/movement_streaming.h"

namespace vorn::jpeg::prim {
namespace {

// Copies n bytes with streaming stores: one unaligned head store, then 64-byte blocks to the
// 16-byte-aligned destination, then the rest.
void StreamCopy(const uint8_t* src, uint8_t* dst, size_t n) {
  if (n < 16) {
    std::memcpy(dst, src, n);
    return;
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_loadu_si128(reinterpret_cast<const __m128i*>(src)));
  const size_t head = HeadTo16(dst);
  src += head, dst += head, n -= head;
  for (; n >= 64; n -= 64, src += 64, dst += 64) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 48));
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst), a);
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 16), b);
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 32), c);
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst + 48), d);
  }
  for (; n >= 16; n -= 16, src += 16, dst += 16) {
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst), _mm_loadu_si128(reinterpret_cast<const __m128i*>(src)));
  }
  std::memcpy(dst, src, n);
}

void StreamZero(uint8_t* dst, size_t n) {
  const size_t head = HeadTo16(dst) < n ? HeadTo16(dst) : n;
  std::memset(dst, 0, head);
  dst += head, n -= head;
  const __m128i zero = _mm_setzero_si128();
  for (; n >= 16; n -= 16, dst += 16) _mm_stream_si128(reinterpret_cast<__m128i*>(dst), zero);
  std::memset(dst, 0, n);
}

// The bytes after the head that aligns dst to 16.
int64_t AfterHead(const void* dst, int64_t bytes) {
  const int64_t head = static_cast<int64_t>(HeadTo16(dst));
  return bytes > head ? bytes - head : 0;
}

PrimitiveStatus CopyBuffer(const void* src, void* dst, size_t bytes) {
  if (CopyBytesStreams(AfterHead(dst, static_cast<int64_t>(bytes)))) {
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

// Stores four 16-bit samples, as one non-temporal 32-bit store per pair when streaming.
template <bool Stream>
void StorePair(int16_t* out, int16_t a, int16_t b) {
  if constexpr (Stream) {
    const uint32_t pair = static_cast<uint16_t>(a) | (static_cast<uint32_t>(static_cast<uint16_t>(b)) << 16);
    _mm_stream_si32(reinterpret_cast<int*>(out), static_cast<int>(pair));
  } else {
    out[0] = a;
    out[1] = b;
  }
}

// One channel of one row of a 16-bit split; with streaming, pairs go to 4-byte-aligned
// addresses as non-temporal stores and a misaligned first sample is stored on its own.
template <int32_t Channels, bool Stream>
void SplitRow16(const int16_t* in, int32_t c, int16_t* out, int32_t width) {
  int32_t x = 0;
  if (Stream && (reinterpret_cast<uintptr_t>(out) & 3) != 0) {
    out[0] = in[c];
    x = 1;
  }
  for (; x + 1 < width; x += 2) StorePair<Stream>(out + x, in[Channels * x + c], in[Channels * (x + 1) + c]);
  if (x < width) out[x] = in[Channels * x + c];
}

template <int32_t Channels>
PrimitiveStatus Split16(const int16_t* src, int32_t srcStep, int16_t* const* dst, int32_t dstStep,
                        int32_t width, int32_t height) {
  if (PrimitiveStatus s = CheckSplit(src, dst, Channels, width, height); s != StatusOk) return s;
  const int64_t weighted = int64_t{4} * Channels * width * height;
  const bool stream = LargeImageStreams(weighted);
  for (int32_t r = 0; r < height; ++r) {
    const int16_t* in = Row(src, srcStep, r);
    for (int32_t c = 0; c < Channels; ++c) {
      int16_t* out = Row(dst[c], dstStep, r);
      // A plane that is not even 2-byte aligned cannot take aligned pairs; store it plainly.
      if (stream && (reinterpret_cast<uintptr_t>(out) & 1) == 0) {
        SplitRow16<Channels, true>(in, c, out, width);
      } else {
        SplitRow16<Channels, false>(in, c, out, width);
      }
    }
  }
  if (stream) _mm_sfence();
  return StatusOk;
}

}  // namespace

PrimitiveStatus CopyBytesSse2(const void* src, void* dst, int32_t len) {
  if (PrimitiveStatus s = CheckBuffer(src, dst, len); s != StatusOk) return s;
  return CopyBuffer(src, dst, static_cast<size_t>(len));
}

PrimitiveStatus CopyWords16Sse2(const int16_t* src, int16_t* dst, int32_t len) {
  if (PrimitiveStatus s = CheckBuffer(src, dst, len); s != StatusOk) return s;
  return CopyBuffer(src, dst, static_cast<size_t>(len) * 2);
}

PrimitiveStatus ZeroBytesSse2(void* dst, int32_t len) {
  if (PrimitiveStatus s = CheckBuffer(dst, dst, len); s != StatusOk) return s;
  const size_t bytes = static_cast<size_t>(len);
  if (ZeroBytesStreams(AfterHead(dst, len))) {
    StreamZero(static_cast<uint8_t*>(dst), bytes);
    _mm_sfence();
  } else {
    std::memset(dst, 0, bytes);
  }
  return StatusOk;
}

PrimitiveStatus CopyImage8Sse2(const uint8_t* src, int32_t srcStep, uint8_t* dst,
                               int32_t dstStep, int32_t width, int32_t height) {
  return CopyImage(src, srcStep, dst, dstStep, width, height);
}

PrimitiveStatus CopyImage16Sse2(const int16_t* src, int32_t srcStep, int16_t* dst,
                                int32_t dstStep, int32_t width, int32_t height) {
  return CopyImage(src, srcStep, dst, dstStep, width, height);
}

PrimitiveStatus WidenImage8To16Sse2(const uint8_t* src, int32_t srcStep, int16_t* dst,
                                    int32_t dstStep, int32_t width, int32_t height) {
  if (PrimitiveStatus s = CheckImage(src, dst, width, height); s != StatusOk) return s;
  if (srcStep <= 0 || dstStep <= 0) return StatusBadStep;
  const bool stream = LargeImageStreams(int64_t{3} * width * height);
  const __m128i zero = _mm_setzero_si128();
  for (int32_t r = 0; r < height; ++r) {
    const uint8_t* in = Row(src, srcStep, r);
    int16_t* out = Row(dst, dstStep, r);
    int32_t x = 0;
    // Streaming stores need a 16-byte-aligned destination: widen single samples up to it.
    const bool aligned = stream && (reinterpret_cast<uintptr_t>(out) & 1) == 0;
    if (aligned) {
      for (; x < width && (reinterpret_cast<uintptr_t>(out + x) & 15) != 0; ++x) out[x] = in[x];
    }
    for (; x + 16 <= width; x += 16) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x));
      const __m128i lo = _mm_unpacklo_epi8(bytes, zero), hi = _mm_unpackhi_epi8(bytes, zero);
      if (aligned) {
        _mm_stream_si128(reinterpret_cast<__m128i*>(out + x), lo);
        _mm_stream_si128(reinterpret_cast<__m128i*>(out + x + 8), hi);
      } else {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x + 8), hi);
      }
    }
    for (; x < width; ++x) out[x] = in[x];
  }
  if (stream) _mm_sfence();
  return StatusOk;
}

PrimitiveStatus SplitImage3Channels16Sse2(const int16_t* src, int32_t srcStep,
                                          int16_t* const dst[3], int32_t dstStep, int32_t width,
                                          int32_t height) {
  return Split16<3>(src, srcStep, dst, dstStep, width, height);
}

PrimitiveStatus SplitImage4Channels16Sse2(const int16_t* src, int32_t srcStep,
                                          int16_t* const dst[4], int32_t dstStep, int32_t width,
                                          int32_t height) {
  return Split16<4>(src, srcStep, dst, dstStep, width, height);
}

}  // namespace vorn::jpeg::prim
