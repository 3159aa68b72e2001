// Processor features, the choice of the processor slot, and the cache-size query.
//
// Every query that executes CPUID or XGETBV goes through a CpuProbe. The host probe runs the
// real instructions; tests pass a probe that answers from recorded register tables, so each
// processor class can be tried on any machine. The overloads without a probe use the host
// and keep the process-wide caches and globals; those with a probe compute afresh and touch
// no global.
#pragma once

#include <atomic>
#include <cstdint>

#include "jpeg/primitives/frame/status.h"

namespace vorn::jpeg::prim {

// The bits of the 64-bit feature mask (the high word is always 0).
enum CpuFeatureBit : uint64_t {
  CpuMmx = 0x1,
  CpuSse = 0x2,
  CpuSse2 = 0x4,
  CpuSse3 = 0x8,
  CpuSsse3 = 0x10,
  CpuMovbe = 0x20,
  CpuSse41 = 0x40,
  CpuSse42 = 0x80,
  CpuAvx = 0x100,
  CpuAvxEnabled = 0x200,  // AVX with the OS saving the YMM state
  CpuAes = 0x400,
  CpuPclmulqdq = 0x800,
  CpuFamilyBExtension = 0x1000,
  CpuRdrand = 0x2000,
  CpuF16c = 0x4000,
  CpuAvx2 = 0x8000,  // AVX2 together with BMI1, BMI2 and FMA
};

// EAX, EBX, ECX, EDX of one CPUID leaf (the 4-word record).
struct CpuidRecord {
  uint32_t eax;
  uint32_t ebx;
  uint32_t ecx;
  uint32_t edx;
};
static_assert(sizeof(CpuidRecord) == 16);

struct CpuProbe {
  void* context;
  // Whether the CPUID instruction exists.
  bool (*cpuidAvailable)(void* context);
  void (*cpuid)(void* context, uint32_t leaf, uint32_t subleaf, CpuidRecord* out);
  // Called only when CPUID leaf 1 reports OSXSAVE.
  uint64_t (*xgetbv)(void* context, uint32_t index);
};

const CpuProbe& HostCpuProbe();

// The feature masks the slots may use, and the enabled mask before any selection.
extern std::atomic<uint64_t> EnabledFeatureMask;  // initially 3
extern std::atomic<int32_t> AtomBuildFlag;        // 1 only in slot 3; nothing reads it

int32_t CpuidAvailable(const CpuProbe& probe = HostCpuProbe());
uint32_t CpuidMaxLeaf(const CpuProbe& probe = HostCpuProbe());
int32_t IsGenuineIntel(const CpuProbe& probe = HostCpuProbe());
int32_t OsSupportsAvx(const CpuProbe& probe = HostCpuProbe());
void CpuidQuery(CpuidRecord* record, uint32_t leaf, uint32_t subleaf,
                const CpuProbe& probe = HostCpuProbe());

// 1 with mask[0] the low word and mask[1] the high word; 0 when CPUID is missing. The host
// overload computes once per process.
int32_t DetectCpuFeatures(uint32_t mask[2]);
int32_t DetectCpuFeatures(const CpuProbe& probe, uint32_t mask[2]);

// 36 without CPUID, -8 when |mask| is null, else 0 with the mask. A record, when given, gets
// CPUID leaf 1; or, when *mask held the eight bytes "getinfoa" on entry, the leaf and subleaf
// the caller put in its eax and ecx.
PrimitiveStatus QueryCpuFeatureMask(uint64_t* mask, CpuidRecord* record = nullptr);
PrimitiveStatus QueryCpuFeatureMask(const CpuProbe& probe, uint64_t* mask,
                                    CpuidRecord* record = nullptr);

int32_t SetEnabledFeatureMask(uint32_t low, uint32_t high);
void StoreEnabledFeatureMask(uint32_t low, uint32_t high);
// 1 when every given bit is in EnabledFeatureMask.
int32_t FeaturesEnabled(uint32_t low, uint32_t high);

struct BuildSelection {
  int32_t processorIndex;
  uint64_t enabledMask;
  int32_t atomBuildFlag;
};

// Chooses the slot for the probe's processor: 0, 36 (no CPUID or no SSE2) or 20 (not
// "GenuineIntel"; the slot its features select all the same).
PrimitiveStatus SelectProcessorBuild(const CpuProbe& probe, BuildSelection* selection);
// The same for the host, published in ProcessorIndex, EnabledFeatureMask and AtomBuildFlag.
PrimitiveStatus SelectProcessorBuild();
// Runs SelectProcessorBuild at every device start; always 0.
int32_t InitPrimitives();

int32_t ReturnOne(int32_t);
// The primitives run single-threaded.
int32_t PrimitiveThreadCount();

// One row of the leaf-2 descriptor table: only the low byte of |descriptor| is compared.
struct CacheDescriptorSize {
  uint32_t descriptor;
  uint32_t bytes;
};
static_assert(sizeof(CacheDescriptorSize) == 8);

// The L2 and L3 descriptors, largest first, ended by a zero row.
constexpr int32_t kCacheDescriptorRows = 55;
extern const CacheDescriptorSize CacheDescriptorSizes[kCacheDescriptorRows + 1];

// Bytes of the first row of |table| whose descriptor leaf 2 reports, or -1.
int32_t CacheSizeFromDescriptors(const CacheDescriptorSize* table,
                                 const CpuProbe& probe = HostCpuProbe());

// The largest data or unified cache: 0 with its size, 36 (no CPUID, leaf 2 missing, another
// vendor) or 37 (unknown) with 0, -8 for a null pointer. The host overload computes once.
PrimitiveStatus QueryLargestCacheSize(int32_t* bytes);
PrimitiveStatus QueryLargestCacheSize(const CpuProbe& probe, int32_t* bytes);

}  // namespace vorn::jpeg::prim
