#include "jpeg/primitives/frame/cpu.h"

#include <cstring>

#include "jpeg/primitives/frame/dispatch.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

namespace vorn::jpeg::prim {

// Dispatching threads read these while a device start writes them: they must be real atomics,
// not lock-based ones, also in the 32-bit build.
static_assert(std::atomic<uint64_t>::is_always_lock_free);
static_assert(std::atomic<int32_t>::is_always_lock_free);

std::atomic<uint64_t> EnabledFeatureMask{0x3};
std::atomic<int32_t> AtomBuildFlag{0};

namespace {

constexpr uint32_t Bit(int n) { return uint32_t{1} << n; }

// CPUID leaf 1.
constexpr uint32_t kEdxMmx = Bit(23);
constexpr uint32_t kEdxSse = Bit(25);
constexpr uint32_t kEdxSse2 = Bit(26);
constexpr uint32_t kEcxSse3 = Bit(0);
constexpr uint32_t kEcxPclmulqdq = Bit(1);
constexpr uint32_t kEcxSsse3 = Bit(9);
constexpr uint32_t kEcxFma = Bit(12);
constexpr uint32_t kEcxSse41 = Bit(19);
constexpr uint32_t kEcxSse42 = Bit(20);
constexpr uint32_t kEcxMovbe = Bit(22);
constexpr uint32_t kEcxAes = Bit(25);
constexpr uint32_t kEcxOsxsave = Bit(27);
constexpr uint32_t kEcxAvx = Bit(28);
constexpr uint32_t kEcxF16c = Bit(29);
constexpr uint32_t kEcxRdrand = Bit(30);
// CPUID leaf 7, subleaf 0.
constexpr uint32_t kEbxBmi1 = Bit(3);
constexpr uint32_t kEbxAvx2 = Bit(5);
constexpr uint32_t kEbxBmi2 = Bit(8);
// XCR0: the OS saves the XMM and YMM registers.
constexpr uint64_t kXcr0SseAvx = 0x6;

constexpr uint32_t kLeafVendor = 0;
constexpr uint32_t kLeafFeatures = 1;
constexpr uint32_t kLeafCacheDescriptors = 2;
constexpr uint32_t kLeafCacheParameters = 4;
constexpr uint32_t kLeafExtendedFeatures = 7;
constexpr uint32_t kLeafFamilyBBase = 0x20000000;
constexpr uint32_t kLeafFamilyBFeatures = 0x20000001;
constexpr uint32_t kFamilyMask = 0xF00;
constexpr uint32_t kFamilyB = 0xB00;

// The cached host feature mask: the valid flag above the 16 feature bits.
constexpr uint32_t kFeatureCacheValid = 0x80000000u;
std::atomic<uint32_t> g_featureCache{0};

// The cached cache-size query: valid flag, status in the middle, bytes in the low word.
constexpr uint64_t kCacheQueryValid = uint64_t{1} << 63;
std::atomic<uint64_t> g_cacheQuery{0};

#if defined(__i386__) || defined(__x86_64__)
bool HostCpuidAvailable(void*) {
#if defined(__x86_64__)
  return true;
#else
  // The ID flag (bit 21) of EFLAGS can be toggled only when CPUID exists.
  uint32_t before, after;
  __asm__ volatile(
      "pushfl\n\t"
      "pushfl\n\t"
      "popl %0\n\t"
      "movl %0, %1\n\t"
      "xorl $0x200000, %1\n\t"
      "pushl %1\n\t"
      "popfl\n\t"
      "pushfl\n\t"
      "popl %1\n\t"
      "popfl\n\t"
      : "=&r"(before), "=&r"(after)
      :
      : "cc");
  return ((before ^ after) & 0x200000) != 0;
#endif
}

void HostCpuid(void*, uint32_t leaf, uint32_t subleaf, CpuidRecord* out) {
  uint32_t a, b, c, d;
  __cpuid_count(leaf, subleaf, a, b, c, d);
  *out = {a, b, c, d};
}

uint64_t HostXgetbv(void*, uint32_t index) {
  uint32_t lo, hi;
  __asm__ volatile(".byte 0x0f, 0x01, 0xd0" : "=a"(lo), "=d"(hi) : "c"(index));
  return (static_cast<uint64_t>(hi) << 32) | lo;
}
#else
bool HostCpuidAvailable(void*) { return false; }
void HostCpuid(void*, uint32_t, uint32_t, CpuidRecord* out) { *out = {0, 0, 0, 0}; }
uint64_t HostXgetbv(void*, uint32_t) { return 0; }
#endif

constexpr CpuProbe kHostProbe = {nullptr, HostCpuidAvailable, HostCpuid, HostXgetbv};

CpuidRecord Leaf(const CpuProbe& probe, uint32_t leaf, uint32_t subleaf = 0) {
  CpuidRecord r{};
  probe.cpuid(probe.context, leaf, subleaf, &r);
  return r;
}

uint64_t ComputeFeatureMask(const CpuProbe& probe) {
  const uint32_t maxLeaf = CpuidMaxLeaf(probe);
  if (maxLeaf < kLeafFeatures) return 0;
  const CpuidRecord l1 = Leaf(probe, kLeafFeatures);
  uint64_t m = 0;
  if (l1.edx & kEdxMmx) m |= CpuMmx;
  if (l1.edx & kEdxSse) m |= CpuSse;
  if (l1.edx & kEdxSse2) m |= CpuSse2;
  if (l1.ecx & kEcxSse3) m |= CpuSse3;
  if (l1.ecx & kEcxSsse3) m |= CpuSsse3;
  if (l1.ecx & kEcxMovbe) m |= CpuMovbe;
  if (l1.ecx & kEcxSse41) m |= CpuSse41;
  if (l1.ecx & kEcxSse42) m |= CpuSse42;
  if (l1.ecx & kEcxAvx) m |= CpuAvx;
  if (OsSupportsAvx(probe)) m |= CpuAvxEnabled;
  if (l1.ecx & kEcxAes) m |= CpuAes;
  if (l1.ecx & kEcxPclmulqdq) m |= CpuPclmulqdq;
  if ((l1.eax & kFamilyMask) == kFamilyB &&
      Leaf(probe, kLeafFamilyBBase).eax >= kLeafFamilyBFeatures &&
      (Leaf(probe, kLeafFamilyBFeatures).edx & Bit(1))) {
    m |= CpuFamilyBExtension;
  }
  if (l1.ecx & kEcxRdrand) m |= CpuRdrand;
  if (l1.ecx & kEcxF16c) m |= CpuF16c;
  // Leaf 7 exists only up to the highest leaf the processor reports.
  if ((l1.ecx & kEcxFma) && maxLeaf >= kLeafExtendedFeatures) {
    const uint32_t need = kEbxAvx2 | kEbxBmi1 | kEbxBmi2;
    if ((Leaf(probe, kLeafExtendedFeatures).ebx & need) == need) m |= CpuAvx2;
  }
  return m;
}

// a * b, held at INT32_MAX.
uint64_t MulCapped(uint64_t a, uint64_t b) {
  constexpr uint64_t kCap = 0x7FFFFFFF;
  if (a == 0 || b == 0) return 0;
  if (a > kCap / b) return kCap;
  return a * b;
}

int32_t LargestFromLeaf4(const CpuProbe& probe) {
  constexpr uint32_t kTypeNone = 0;
  constexpr uint32_t kTypeInstruction = 2;
  constexpr uint32_t kMaxSubleaf = 32;
  uint64_t largest = 0;
  for (uint32_t sub = 0; sub < kMaxSubleaf; ++sub) {
    const CpuidRecord r = Leaf(probe, kLeafCacheParameters, sub);
    const uint32_t type = r.eax & 0x1F;
    if (type == kTypeNone) break;
    if (type == kTypeInstruction) continue;
    const uint64_t ways = ((r.ebx >> 22) & 0x3FF) + 1;
    const uint64_t partitions = ((r.ebx >> 12) & 0x3FF) + 1;
    const uint64_t line = (r.ebx & 0xFFF) + 1;
    const uint64_t sets = static_cast<uint64_t>(r.ecx) + 1;
    const uint64_t size = MulCapped(MulCapped(MulCapped(ways, partitions), line), sets);
    if (size > largest) largest = size;
  }
  return static_cast<int32_t>(largest);
}

}  // namespace

const CpuProbe& HostCpuProbe() { return kHostProbe; }

int32_t CpuidAvailable(const CpuProbe& probe) {
  return probe.cpuidAvailable(probe.context) ? 1 : 0;
}

uint32_t CpuidMaxLeaf(const CpuProbe& probe) {
  if (!CpuidAvailable(probe)) return 0;
  return Leaf(probe, kLeafVendor).eax;
}

int32_t IsGenuineIntel(const CpuProbe& probe) {
  if (!CpuidAvailable(probe)) return 0;
  const CpuidRecord r = Leaf(probe, kLeafVendor);
  char vendor[12];
  std::memcpy(vendor, &r.ebx, 4);
  std::memcpy(vendor + 4, &r.edx, 4);
  std::memcpy(vendor + 8, &r.ecx, 4);
  return std::memcmp(vendor, "GenuineIntel", 12) == 0 ? 1 : 0;
}

int32_t OsSupportsAvx(const CpuProbe& probe) {
  if (CpuidMaxLeaf(probe) < kLeafFeatures) return 0;
  const uint32_t ecx = Leaf(probe, kLeafFeatures).ecx;
  // XGETBV faults unless the OS has set OSXSAVE, so it runs only after that check.
  if ((ecx & (kEcxOsxsave | kEcxAvx)) != (kEcxOsxsave | kEcxAvx)) return 0;
  return (probe.xgetbv(probe.context, 0) & kXcr0SseAvx) == kXcr0SseAvx ? 1 : 0;
}

void CpuidQuery(CpuidRecord* record, uint32_t leaf, uint32_t subleaf, const CpuProbe& probe) {
  if (record == nullptr) return;
  if (!CpuidAvailable(probe)) {
    *record = {0, 0, 0, 0};
    return;
  }
  *record = Leaf(probe, leaf, subleaf);
}

int32_t DetectCpuFeatures(const CpuProbe& probe, uint32_t mask[2]) {
  if (!CpuidAvailable(probe)) return 0;
  const uint64_t m = ComputeFeatureMask(probe);
  if (mask != nullptr) {
    mask[0] = static_cast<uint32_t>(m);
    mask[1] = static_cast<uint32_t>(m >> 32);
  }
  return 1;
}

int32_t DetectCpuFeatures(uint32_t mask[2]) {
  uint32_t cached = g_featureCache.load(std::memory_order_relaxed);
  if ((cached & kFeatureCacheValid) == 0) {
    uint32_t fresh[2] = {0, 0};
    if (!DetectCpuFeatures(kHostProbe, fresh)) return 0;
    // The mask has no bits above 0xFFFF; concurrent first calls store the same value.
    cached = fresh[0] | kFeatureCacheValid;
    g_featureCache.store(cached, std::memory_order_relaxed);
  }
  if (mask != nullptr) {
    mask[0] = cached & ~kFeatureCacheValid;
    mask[1] = 0;
  }
  return 1;
}

namespace {

PrimitiveStatus QueryMask(const CpuProbe& probe, bool host, uint64_t* mask, CpuidRecord* record) {
  if (!CpuidAvailable(probe)) return StatusCpuNotSupported;
  if (mask == nullptr) return StatusNullPointer;
  if (record != nullptr) {
    constexpr char kInfoTag[8] = {'g', 'e', 't', 'i', 'n', 'f', 'o', 'a'};
    if (std::memcmp(mask, kInfoTag, sizeof kInfoTag) == 0) {
      CpuidQuery(record, record->eax, record->ecx, probe);
    } else {
      CpuidQuery(record, kLeafFeatures, 0, probe);
    }
  }
  uint32_t words[2] = {0, 0};
  if (host) {
    DetectCpuFeatures(words);
  } else {
    DetectCpuFeatures(probe, words);
  }
  *mask = (static_cast<uint64_t>(words[1]) << 32) | words[0];
  return StatusOk;
}

}  // namespace

PrimitiveStatus QueryCpuFeatureMask(uint64_t* mask, CpuidRecord* record) {
  return QueryMask(kHostProbe, true, mask, record);
}

PrimitiveStatus QueryCpuFeatureMask(const CpuProbe& probe, uint64_t* mask, CpuidRecord* record) {
  return QueryMask(probe, false, mask, record);
}

void StoreEnabledFeatureMask(uint32_t low, uint32_t high) {
  EnabledFeatureMask.store((static_cast<uint64_t>(high) << 32) | low, std::memory_order_relaxed);
}

int32_t SetEnabledFeatureMask(uint32_t low, uint32_t high) {
  StoreEnabledFeatureMask(low, high);
  return 0;
}

int32_t FeaturesEnabled(uint32_t low, uint32_t high) {
  const uint64_t want = (static_cast<uint64_t>(high) << 32) | low;
  return (EnabledFeatureMask.load(std::memory_order_relaxed) & want) == want ? 1 : 0;
}

int32_t ReturnOne(int32_t) { return 1; }

int32_t PrimitiveThreadCount() { return 1; }

namespace {

PrimitiveStatus Select(const CpuProbe& probe, bool host, BuildSelection* out) {
  BuildSelection s = {BuildS2NoSse2, 0x3, 0};
  PrimitiveStatus status = StatusOk;
  CpuidRecord unused{};
  uint64_t m = 0;
  const PrimitiveStatus query =
      host ? QueryCpuFeatureMask(&m, &unused) : QueryCpuFeatureMask(probe, &m, &unused);
  if (query != StatusOk) {
    status = query;
  } else if ((m & CpuAvx) && (m & CpuAvxEnabled) && ReturnOne(70)) {
    if (m & CpuAvx2) {
      s = {BuildV2, m & 0xEFFF, 0};
    } else {
      s = {BuildV1, m & 0x6FDF, 0};
    }
  } else if (m & CpuSse41) {
    s = {BuildS4, m & 0xCDF, 0};
  } else if ((m & CpuSsse3) && !(m & CpuMovbe)) {
    s = {BuildS3, m & 0x1F, 0};
  } else if (m & CpuSsse3) {
    s = {BuildAm, m & 0x3F, 1};
  } else if (m & CpuSse2) {
    s = {BuildS2, m & 0x7, 0};
  } else {
    s = {BuildS2NoSse2, m & 0x3, 0};
    status = StatusCpuNotSupported;
  }
  if (!CpuidAvailable(probe) || !IsGenuineIntel(probe)) status = StatusNotIntelProcessor;
  if (out != nullptr) *out = s;
  return status;
}

}  // namespace

PrimitiveStatus SelectProcessorBuild(const CpuProbe& probe, BuildSelection* selection) {
  return Select(probe, false, selection);
}

PrimitiveStatus SelectProcessorBuild() {
  BuildSelection s{};
  const PrimitiveStatus status = Select(kHostProbe, true, &s);
  // Another adapter's encode thread may be dispatching: every store is atomic, and every
  // device start stores the same values. The slot is published last, with release, so a
  // dispatch that sees it also sees the enabled mask its build may read.
  EnabledFeatureMask.store(s.enabledMask, std::memory_order_relaxed);
  AtomBuildFlag.store(s.atomBuildFlag, std::memory_order_relaxed);
  ProcessorIndex.store(s.processorIndex, std::memory_order_release);
  return status;
}

int32_t InitPrimitives() {
  SelectProcessorBuild();
  return 0;
}

// clang-format off
const CacheDescriptorSize CacheDescriptorSizes[kCacheDescriptorRows + 1] = {
    {0xEC, 24u << 20}, {0xEB, 18u << 20}, {0x4D, 16u << 20},
    {0xEA, 12u << 20}, {0x4C, 12u << 20},
    {0xE4, 8u << 20}, {0xDE, 8u << 20}, {0x4B, 8u << 20}, {0x47, 8u << 20},
    {0x4E, 6u << 20}, {0x4A, 6u << 20},
    {0xE3, 4u << 20}, {0xDD, 4u << 20}, {0xD8, 4u << 20}, {0x49, 4u << 20},
    {0x29, 4u << 20}, {0x46, 4u << 20},
    {0x48, 3u << 20},
    {0xE2, 2u << 20}, {0xDC, 2u << 20}, {0xD7, 2u << 20}, {0xD2, 2u << 20},
    {0x25, 2u << 20}, {0x7D, 2u << 20}, {0x85, 2u << 20}, {0x45, 2u << 20},
    {0xD6, 1u << 20}, {0xD1, 1u << 20}, {0x23, 1u << 20}, {0x87, 1u << 20},
    {0x7C, 1u << 20}, {0x78, 1u << 20}, {0x84, 1u << 20}, {0x44, 1u << 20},
    {0xD0, 512u << 10}, {0x22, 512u << 10}, {0x7B, 512u << 10}, {0x80, 512u << 10},
    {0x86, 512u << 10}, {0x3E, 512u << 10}, {0x7F, 512u << 10}, {0x83, 512u << 10},
    {0x43, 512u << 10},
    {0x3D, 384u << 10},
    {0x21, 256u << 10}, {0x7A, 256u << 10}, {0x82, 256u << 10}, {0x3C, 256u << 10},
    {0x3F, 256u << 10}, {0x42, 256u << 10},
    {0x3A, 192u << 10},
    {0x79, 128u << 10}, {0x39, 128u << 10}, {0x3B, 128u << 10}, {0x41, 128u << 10},
    {0, 0},
};
// clang-format on

int32_t CacheSizeFromDescriptors(const CacheDescriptorSize* table, const CpuProbe& probe) {
  if (table == nullptr || !CpuidAvailable(probe)) return -1;
  const CpuidRecord r = Leaf(probe, kLeafCacheDescriptors);
  // AL is the number of times leaf 2 must be read; only the single-read form is understood.
  if ((r.eax & 0xFF) != 1) return -1;
  uint8_t bytes[15];
  int32_t count = 0;
  auto take = [&](uint32_t reg, int32_t first) {
    for (int32_t i = first; i < 4; ++i) bytes[count++] = static_cast<uint8_t>(reg >> (8 * i));
  };
  constexpr uint32_t kRegisterEmpty = 0x80000000u;
  if ((r.eax & kRegisterEmpty) == 0) take(r.eax, 1);
  if ((r.ebx & kRegisterEmpty) == 0) take(r.ebx, 0);
  if ((r.ecx & kRegisterEmpty) == 0) take(r.ecx, 0);
  if ((r.edx & kRegisterEmpty) == 0) take(r.edx, 0);
  for (const CacheDescriptorSize* row = table; row->descriptor != 0 || row->bytes != 0; ++row) {
    const uint8_t want = static_cast<uint8_t>(row->descriptor);
    for (int32_t i = 0; i < count; ++i) {
      if (bytes[i] == want) return static_cast<int32_t>(row->bytes);
    }
  }
  return -1;
}

namespace {

PrimitiveStatus ComputeLargestCache(const CpuProbe& probe, int32_t* bytes) {
  *bytes = 0;
  if (!CpuidAvailable(probe)) return StatusCpuNotSupported;
  const uint32_t maxLeaf = CpuidMaxLeaf(probe);
  if (maxLeaf < kLeafCacheDescriptors || !IsGenuineIntel(probe)) return StatusCpuNotSupported;
  if (maxLeaf >= kLeafCacheParameters) {
    const int32_t largest = LargestFromLeaf4(probe);
    if (largest == 0) return StatusCacheSizeUnknown;
    *bytes = largest;
    return StatusOk;
  }
  const int32_t size = CacheSizeFromDescriptors(CacheDescriptorSizes, probe);
  if (size < 0) return StatusCacheSizeUnknown;
  *bytes = size;
  return StatusOk;
}

}  // namespace

PrimitiveStatus QueryLargestCacheSize(const CpuProbe& probe, int32_t* bytes) {
  if (bytes == nullptr) return StatusNullPointer;
  return ComputeLargestCache(probe, bytes);
}

PrimitiveStatus QueryLargestCacheSize(int32_t* bytes) {
  if (bytes == nullptr) return StatusNullPointer;
  uint64_t cached = g_cacheQuery.load(std::memory_order_relaxed);
  if ((cached & kCacheQueryValid) == 0) {
    int32_t size = 0;
    const PrimitiveStatus status = ComputeLargestCache(kHostProbe, &size);
    // Concurrent first calls compute and store the same value.
    cached = kCacheQueryValid | (static_cast<uint64_t>(static_cast<uint32_t>(status)) << 32) |
             static_cast<uint32_t>(size);
    g_cacheQuery.store(cached, std::memory_order_relaxed);
  }
  *bytes = static_cast<int32_t>(static_cast<uint32_t>(cached));
  return static_cast<PrimitiveStatus>(static_cast<uint32_t>((cached & ~kCacheQueryValid) >> 32));
}

}  // namespace vorn::jpeg::prim
