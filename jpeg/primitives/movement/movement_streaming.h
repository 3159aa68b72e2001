// When the data-movement primitives use non-temporal (streaming) stores. Large moves stream
// so that they do not push the working set of the encoder out of the cache; the thresholds
// compare the move with the size of the largest cache.
#pragma once

#include <atomic>
#include <cstdint>

#include "jpeg/primitives/frame/cpu.h"

namespace vorn::jpeg::prim {

// The processor the streaming decisions ask: the host, unless a test installed another.
const CpuProbe& StreamingProbe();

// Tests only: make the primitives' streaming decisions for |probe| while the object lives.
class ScopedStreamingProbe {
 public:
  explicit ScopedStreamingProbe(const CpuProbe& probe);
  ~ScopedStreamingProbe();
  ScopedStreamingProbe(const ScopedStreamingProbe&) = delete;
  ScopedStreamingProbe& operator=(const ScopedStreamingProbe&) = delete;

 private:
  const CpuProbe* saved_;
};

// One cache descriptor of CPUID leaf 2 and its size code: bytes = (code >> 4) <<
// ((code & 15) + 18).
struct CacheDescriptorCode {
  uint8_t descriptor;
  uint8_t code;
};
static_assert(sizeof(CacheDescriptorCode) == 2);

constexpr uint32_t CacheCodeBytes(uint8_t code) {
  return static_cast<uint32_t>(code >> 4) << ((code & 15) + 18);
}

// The descriptors of 512 KiB and more, largest first, ended by a zero descriptor.
constexpr int32_t kCacheDescriptorCodeRows = 43;
extern const CacheDescriptorCode CacheDescriptorCodes[kCacheDescriptorCodeRows + 1];

// The byte kernels' cache lookup: the size of the first listed descriptor that leaf 2
// reports, or -1 (no CPUID, leaf 2 missing, another vendor than "GenuineIntel", leaf 2 AL
// other than 1, or no listed descriptor).
int32_t StreamingCacheSize(const CpuProbe& probe = StreamingProbe());

constexpr int64_t kCopyStreamMinimum = 0x20000;   // CopyBytes, CopyWords16
constexpr int64_t kZeroStreamMinimum = 0x80000;   // ZeroBytes, ZeroWords16W7
constexpr int64_t kImageCopyStreamMinimum = 0x100000;  // CopyImage8, CopyImage16
constexpr int64_t kLargeImageStreamMinimum = 0x80000;  // WidenImage8To16, 16-bit splits

// |bytes| counts what follows the head that aligns the destination to 16.
bool CopyBytesStreams(int64_t bytes, const CpuProbe& probe = StreamingProbe());
bool ZeroBytesStreams(int64_t bytes, const CpuProbe& probe = StreamingProbe());
// |bytes| is the whole image (width x height, twice that for 16-bit samples).
bool CopyImageStreams(int64_t bytes);
// |weightedBytes| is 3 x width x height (widen), 12 x or 16 x width x height (16-bit splits).
bool LargeImageStreams(int64_t weightedBytes, const CpuProbe& probe = StreamingProbe());

}  // namespace vorn::jpeg::prim
