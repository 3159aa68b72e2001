#include "jpeg/primitives/movement/movement_streaming.h"

namespace vorn::jpeg::prim {
namespace {

constexpr uint8_t Code(uint32_t mib) {
  // 3 x 2^k MiB and 9 x 2^k MiB sizes have a multiplier of 3 or 9; the rest are powers of two.
  uint32_t multiplier = mib, shift = 20;
  while (multiplier % 2 == 0) multiplier /= 2, ++shift;
  return static_cast<uint8_t>((multiplier << 4) | (shift - 18));
}
constexpr uint8_t kHalfMiB = 0x11;

std::atomic<const CpuProbe*> gStreamingProbe{nullptr};

}  // namespace

const CpuProbe& StreamingProbe() {
  const CpuProbe* probe = gStreamingProbe.load(std::memory_order_acquire);
  return probe != nullptr ? *probe : HostCpuProbe();
}

ScopedStreamingProbe::ScopedStreamingProbe(const CpuProbe& probe)
    : saved_(gStreamingProbe.exchange(&probe, std::memory_order_acq_rel)) {}

ScopedStreamingProbe::~ScopedStreamingProbe() {
  gStreamingProbe.store(saved_, std::memory_order_release);
}

const CacheDescriptorCode CacheDescriptorCodes[kCacheDescriptorCodeRows + 1] = {
    {0xEC, Code(24)}, {0xEB, Code(18)}, {0x4D, Code(16)}, {0xEA, Code(12)}, {0x4C, Code(12)},
    {0xE4, Code(8)},  {0xDE, Code(8)},  {0x4B, Code(8)},  {0x47, Code(8)},  {0x4E, Code(6)},
    {0x4A, Code(6)},  {0xE3, Code(4)},  {0xDD, Code(4)},  {0xD8, Code(4)},  {0x49, Code(4)},
    {0x29, Code(4)},  {0x46, Code(4)},  {0x48, Code(3)},  {0xE2, Code(2)},  {0xDC, Code(2)},
    {0xD7, Code(2)},  {0xD2, Code(2)},  {0x25, Code(2)},  {0x7D, Code(2)},  {0x85, Code(2)},
    {0x45, Code(2)},  {0xD6, Code(1)},  {0xD1, Code(1)},  {0x23, Code(1)},  {0x87, Code(1)},
    {0x7C, Code(1)},  {0x78, Code(1)},  {0x84, Code(1)},  {0x44, Code(1)},  {0xD0, kHalfMiB},
    {0x22, kHalfMiB}, {0x7B, kHalfMiB}, {0x80, kHalfMiB}, {0x86, kHalfMiB}, {0x3E, kHalfMiB},
    {0x7F, kHalfMiB}, {0x83, kHalfMiB}, {0x43, kHalfMiB}, {0, 0},
};
static_assert(CacheCodeBytes(Code(24)) == 24u << 20);
static_assert(CacheCodeBytes(Code(18)) == 18u << 20);
static_assert(CacheCodeBytes(Code(3)) == 3u << 20);
static_assert(CacheCodeBytes(Code(1)) == 1u << 20);
static_assert(CacheCodeBytes(kHalfMiB) == 512u << 10);

int32_t StreamingCacheSize(const CpuProbe& probe) {
  if (!CpuidAvailable(probe) || CpuidMaxLeaf(probe) < 2 || !IsGenuineIntel(probe)) return -1;
  CpuidRecord leaf2{};
  CpuidQuery(&leaf2, 2, 0, probe);
  if ((leaf2.eax & 0xFF) != 1) return -1;
  uint8_t bytes[15];
  int32_t count = 0;
  for (int i = 1; i < 4; ++i) bytes[count++] = static_cast<uint8_t>(leaf2.eax >> (8 * i));
  for (uint32_t reg : {leaf2.ebx, leaf2.ecx, leaf2.edx}) {
    if (reg & 0x80000000u) continue;  // no descriptors in this register
    for (int i = 0; i < 4; ++i) bytes[count++] = static_cast<uint8_t>(reg >> (8 * i));
  }
  for (const CacheDescriptorCode* row = CacheDescriptorCodes; row->descriptor != 0; ++row) {
    for (int32_t i = 0; i < count; ++i) {
      if (bytes[i] == row->descriptor) return static_cast<int32_t>(CacheCodeBytes(row->code));
    }
  }
  return -1;
}

bool CopyBytesStreams(int64_t bytes, const CpuProbe& probe) {
  if (bytes <= kCopyStreamMinimum) return false;
  const int32_t cache = StreamingCacheSize(probe);
  return cache > 0 && bytes >= cache / 2;
}

bool ZeroBytesStreams(int64_t bytes, const CpuProbe& probe) {
  if (bytes <= kZeroStreamMinimum) return false;
  const int32_t cache = StreamingCacheSize(probe);
  return cache > 0 && bytes >= cache;
}

bool CopyImageStreams(int64_t bytes) { return bytes > kImageCopyStreamMinimum; }

bool LargeImageStreams(int64_t weightedBytes, const CpuProbe& probe) {
  if (weightedBytes <= kLargeImageStreamMinimum) return false;
  int32_t cache = 0;
  // The host's answer is computed once per process; another probe's every time.
  if (&probe == &HostCpuProbe()) {
    if (QueryLargestCacheSize(&cache) != StatusOk) return false;
  } else if (QueryLargestCacheSize(probe, &cache) != StatusOk) {
    return false;
  }
  return weightedBytes >= cache;
}

}  // namespace vorn::jpeg::prim
