#include "jpeg/primitives/frame/cpu.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "jpeg/primitives/frame/dispatch.h"
#include "jpeg/primitives/frame/version.h"
#include "tests/jpeg/primitives/frame/fake_cpu.h"

namespace vorn::jpeg::prim {
namespace {

using test::FakeCpu;

// Register bits as the processor manuals give them.
constexpr uint32_t B(int n) { return 1u << n; }
constexpr uint32_t kEdxBase = B(23) | B(25) | B(26);  // MMX, SSE, SSE2
constexpr uint32_t kSse3 = B(0), kPclmul = B(1), kSsse3 = B(9), kFma = B(12), kSse41 = B(19),
                   kSse42 = B(20), kMovbe = B(22), kAes = B(25), kOsxsave = B(27), kAvx = B(28),
                   kF16c = B(29), kRdrand = B(30);
constexpr uint32_t kBmi1 = B(3), kAvx2 = B(5), kBmi2 = B(8);
constexpr uint32_t kSse4 = kSse3 | kSsse3 | kMovbe | kSse41 | kSse42;
constexpr uint32_t kAvxGen = kSse4 | kPclmul | kAes | kOsxsave | kAvx;
constexpr uint32_t kAvx2Gen = kAvxGen | kFma | kF16c | kRdrand;
constexpr uint32_t kLeaf7Full = kBmi1 | kAvx2 | kBmi2;

// Vendor, highest leaf, leaf 1 (ECX, EDX) and leaf 7 EBX of a test processor.
void RecordCpu(FakeCpu& cpu, bool intel, uint32_t maxLeaf, uint32_t edx1, uint32_t ecx1,
               uint32_t ebx7) {
  cpu.SetVendor(intel ? "GenuineIntel" : "AnotherMaker", maxLeaf);
  cpu.Set(1, 0, {0x000306C3, 0, ecx1, edx1});
  cpu.Set(7, 0, {0, ebx7, 0, 0});
}

struct SelectionCase {
  const char* name;
  bool cpuid;
  bool intel;
  uint32_t maxLeaf;
  uint32_t edx1;
  uint32_t ecx1;
  uint32_t ebx7;
  uint64_t xcr0;
  int32_t index;
  uint64_t enabled;
  int32_t atom;
  PrimitiveStatus status;
};

const SelectionCase kSelectionCases[] = {
    {"NoCpuid", false, true, 0, 0, 0, 0, 7, BuildS2NoSse2, 0x3, 0, StatusNotIntelProcessor},
    {"NoSse2", true, true, 1, B(23) | B(25), 0, 0, 7, BuildS2NoSse2, 0x3, 0, StatusCpuNotSupported},
    {"Sse2Only", true, true, 1, kEdxBase, kSse3, 0, 7, BuildS2, 0x7, 0, StatusOk},
    {"Ssse3", true, true, 1, kEdxBase, kSse3 | kSsse3, 0, 7, BuildS3, 0x1F, 0, StatusOk},
    {"Ssse3Movbe", true, true, 1, kEdxBase, kSse3 | kSsse3 | kMovbe, 0, 7, BuildAm, 0x3F, 1,
     StatusOk},
    {"Sse41", true, true, 1, kEdxBase, kSse4, 0, 7, BuildS4, 0xDF, 0, StatusOk},
    {"AvxWithOs", true, true, 0xD, kEdxBase, kAvxGen, 0, 7, BuildV1, 0xFDF, 0, StatusOk},
    {"AvxOsNoYmmState", true, true, 0xD, kEdxBase, kAvxGen, 0, 0x3, BuildS4, 0xCDF, 0, StatusOk},
    {"AvxWithoutOsxsave", true, true, 0xD, kEdxBase, kAvxGen & ~kOsxsave, 0, 7, BuildS4, 0xCDF, 0,
     StatusOk},
    {"Avx2NoBmi1", true, true, 0xD, kEdxBase, kAvx2Gen, kAvx2 | kBmi2, 7, BuildV1, 0x6FDF, 0,
     StatusOk},
    {"Avx2NoBmi2", true, true, 0xD, kEdxBase, kAvx2Gen, kAvx2 | kBmi1, 7, BuildV1, 0x6FDF, 0,
     StatusOk},
    {"Avx2NoFma", true, true, 0xD, kEdxBase, kAvx2Gen & ~kFma, kLeaf7Full, 7, BuildV1, 0x6FDF, 0,
     StatusOk},
    {"Avx2Full", true, true, 0xD, kEdxBase, kAvx2Gen, kLeaf7Full, 7, BuildV2, 0xEFFF, 0, StatusOk},
    // Leaf 7 lies above the highest leaf: its stale contents must not count.
    {"Avx2BitsAboveMaxLeaf", true, true, 6, kEdxBase, kAvx2Gen, kLeaf7Full, 7, BuildV1, 0x6FDF, 0,
     StatusOk},
    {"OtherVendorAvx2", true, false, 0xD, kEdxBase, kAvx2Gen, kLeaf7Full, 7, BuildV2, 0xEFFF, 0,
     StatusNotIntelProcessor},
    {"OtherVendorSse2", true, false, 1, kEdxBase, 0, 0, 7, BuildS2, 0x7, 0,
     StatusNotIntelProcessor},
};

TEST(ProcessorSelection, SlotZeroUntilTheFirstInit) {
  // Each case runs in its own process, so nothing has selected a build yet.
  EXPECT_EQ(ProcessorIndex.load(), BuildS2NoSse2);
  EXPECT_EQ(EnabledFeatureMask.load(), 0x3u);
  EXPECT_STREQ(GetPrimitivesVersion()->target, "s2");
}

TEST(ProcessorSelection, EveryProcessorClass) {
  for (const SelectionCase& c : kSelectionCases) {
    SCOPED_TRACE(c.name);
    FakeCpu cpu;
    cpu.hasCpuid = c.cpuid;
    cpu.xcr0 = c.xcr0;
    RecordCpu(cpu, c.intel, c.maxLeaf, c.edx1, c.ecx1, c.ebx7);
    BuildSelection s{-1, 0, -1};
    EXPECT_EQ(SelectProcessorBuild(cpu.Probe(), &s), c.status);
    EXPECT_EQ(s.processorIndex, c.index);
    EXPECT_EQ(s.enabledMask, c.enabled);
    EXPECT_EQ(s.atomBuildFlag, c.atom);
    EXPECT_EQ(cpu.xgetbvFaults, 0);
    EXPECT_EQ(ProcessorIndex.load(), BuildS2NoSse2) << "the probe overload publishes nothing";
  }
}

TEST(ProcessorSelection, FeatureMaskBitByBit) {
  FakeCpu cpu;
  RecordCpu(cpu, true, 0xD, kEdxBase, kAvx2Gen, kLeaf7Full);
  uint32_t mask[2] = {0xDEAD, 0xBEEF};
  ASSERT_EQ(DetectCpuFeatures(cpu.Probe(), mask), 1);
  EXPECT_EQ(mask[0], 0xEFFFu);
  EXPECT_EQ(mask[1], 0u);

  // The family-0xB extension comes from leaf 0x20000001, only for that family.
  cpu.Set(1, 0, {0x00000B10, 0, 0, kEdxBase});
  cpu.Set(0x20000000, 0, {0x20000001, 0, 0, 0});
  cpu.Set(0x20000001, 0, {0, 0, 0, B(1)});
  ASSERT_EQ(DetectCpuFeatures(cpu.Probe(), mask), 1);
  EXPECT_EQ(mask[0], 0x1007u);
  cpu.Set(0x20000000, 0, {0, 0, 0, 0});  // the leaf is not there
  ASSERT_EQ(DetectCpuFeatures(cpu.Probe(), mask), 1);
  EXPECT_EQ(mask[0], 0x7u);
  cpu.Set(0x20000000, 0, {0x20000001, 0, 0, 0});
  cpu.Set(1, 0, {0x00000A10, 0, 0, kEdxBase});
  ASSERT_EQ(DetectCpuFeatures(cpu.Probe(), mask), 1);
  EXPECT_EQ(mask[0], 0x7u);

  FakeCpu none;
  none.hasCpuid = false;
  EXPECT_EQ(DetectCpuFeatures(none.Probe(), mask), 0);
}

TEST(ProcessorSelection, QueryCpuFeatureMask) {
  FakeCpu cpu;
  RecordCpu(cpu, true, 0xD, kEdxBase, kAvx2Gen, kLeaf7Full);
  cpu.Set(4, 1, {0x11, 0x22, 0x33, 0x44});
  const CpuProbe probe = cpu.Probe();

  uint64_t mask = 0;
  EXPECT_EQ(QueryCpuFeatureMask(probe, &mask), StatusOk);
  EXPECT_EQ(mask, 0xEFFFu);

  CpuidRecord record{4, 0, 1, 0};
  EXPECT_EQ(QueryCpuFeatureMask(probe, &mask, &record), StatusOk);
  EXPECT_EQ(record.eax, 0x000306C3u) << "leaf 1 without the tag";
  EXPECT_EQ(record.ecx, kAvx2Gen);

  std::memcpy(&mask, "getinfoa", 8);
  record = {4, 0, 1, 0};
  EXPECT_EQ(QueryCpuFeatureMask(probe, &mask, &record), StatusOk);
  EXPECT_EQ(record.eax, 0x11u);
  EXPECT_EQ(record.edx, 0x44u);
  EXPECT_EQ(mask, 0xEFFFu);

  EXPECT_EQ(QueryCpuFeatureMask(probe, nullptr, &record), StatusNullPointer);
  FakeCpu none;
  none.hasCpuid = false;
  EXPECT_EQ(QueryCpuFeatureMask(none.Probe(), nullptr), StatusCpuNotSupported);
  mask = 5;
  EXPECT_EQ(QueryCpuFeatureMask(none.Probe(), &mask), StatusCpuNotSupported);
  EXPECT_EQ(mask, 5u);
}

TEST(ProcessorSelection, EnabledMaskQueries) {
  EXPECT_EQ(SetEnabledFeatureMask(0x80 | 0x4, 0), 0);
  EXPECT_EQ(FeaturesEnabled(0x80, 0), 1);
  EXPECT_EQ(FeaturesEnabled(0x84, 0), 1);
  EXPECT_EQ(FeaturesEnabled(0x81, 0), 0);
  EXPECT_EQ(FeaturesEnabled(0, 1), 0);
  StoreEnabledFeatureMask(0x3, 0);
  EXPECT_EQ(FeaturesEnabled(0x80, 0), 0);
  EXPECT_EQ(PrimitiveThreadCount(), 1);
  EXPECT_EQ(ReturnOne(70), 1);
}

TEST(ProcessorSelection, HostSelectionIsPublishedAndRunnable) {
  BuildSelection expected{};
  const PrimitiveStatus status = SelectProcessorBuild(HostCpuProbe(), &expected);
  EXPECT_EQ(InitPrimitives(), 0);
  EXPECT_EQ(ProcessorIndex.load(), expected.processorIndex);
  EXPECT_EQ(EnabledFeatureMask.load(), expected.enabledMask);
  EXPECT_EQ(AtomBuildFlag.load(), expected.atomBuildFlag);
  EXPECT_EQ(SelectProcessorBuild(), status) << "every start writes the same";
  EXPECT_TRUE(BuildRunsHere(expected.processorIndex));
  EXPECT_TRUE(BuildRunsHere(BuildS2NoSse2));
  EXPECT_TRUE(BuildRunsHere(kPortableEntry));
  EXPECT_FALSE(BuildRunsHere(kDispatchEntries));
  EXPECT_FALSE(BuildRunsHere(-1));

  uint32_t cached[2], fresh[2];
  ASSERT_EQ(DetectCpuFeatures(cached), DetectCpuFeatures(HostCpuProbe(), fresh));
  EXPECT_EQ(cached[0], fresh[0]);
  EXPECT_EQ(cached[1], 0u);
}

// Device starts select again while another adapter's encode thread dispatches.
TEST(ProcessorSelection, InitWhileDispatching) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> dispatchers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 3; ++t) {
    dispatchers.emplace_back([&] {
      while (!stop.load()) {
        const PrimitivesVersion* v = GetPrimitivesVersion();
        if (v == nullptr || v->major != 7) ++wrong;
        uint32_t mask[2];
        DetectCpuFeatures(mask);
        int32_t bytes;
        QueryLargestCacheSize(&bytes);
      }
    });
  }
  for (int i = 0; i < 200; ++i) EXPECT_EQ(InitPrimitives(), 0);
  stop.store(true);
  for (auto& t : dispatchers) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

// Leaf-4 record: ways, partitions, line size and sets, each stored less one.
CpuidRecord CacheLeaf(uint32_t type, uint32_t ways, uint32_t partitions, uint32_t line,
                      uint32_t sets) {
  return {type, ((ways - 1) << 22) | ((partitions - 1) << 12) | (line - 1), sets - 1, 0};
}

TEST(CacheSize, FromLeaf4) {
  FakeCpu cpu;
  RecordCpu(cpu, true, 0xD, kEdxBase, kSse4, 0);
  cpu.Set(4, 0, CacheLeaf(1, 8, 1, 64, 64));      // 32 KiB data
  cpu.Set(4, 1, CacheLeaf(2, 16, 1, 64, 4096));   // 4 MiB instruction: not counted
  cpu.Set(4, 2, CacheLeaf(3, 16, 1, 64, 1024));   // 1 MiB unified
  cpu.Set(4, 3, CacheLeaf(3, 12, 1, 64, 40960));  // 30 MiB unified
  cpu.Set(4, 4, {0, 0, 0, 0});
  cpu.Set(4, 5, CacheLeaf(3, 16, 4, 64, 65536));  // after the end: not counted
  int32_t bytes = -1;
  EXPECT_EQ(QueryLargestCacheSize(cpu.Probe(), &bytes), StatusOk);
  EXPECT_EQ(bytes, 12 * 64 * 40960);

  cpu.Set(4, 0, {0, 0, 0, 0});
  EXPECT_EQ(QueryLargestCacheSize(cpu.Probe(), &bytes), StatusCacheSizeUnknown);
  EXPECT_EQ(bytes, 0);

  // Absurd register values are held at the largest int32 instead of wrapping.
  cpu.Set(4, 0, {3, 0xFFFFFFFFu, 0xFFFFFFFFu, 0});
  cpu.Set(4, 1, {0, 0, 0, 0});
  EXPECT_EQ(QueryLargestCacheSize(cpu.Probe(), &bytes), StatusOk);
  EXPECT_EQ(bytes, 0x7FFFFFFF);
}

TEST(CacheSize, FromLeaf2Descriptors) {
  struct Case {
    const char* name;
    CpuidRecord leaf2;
    PrimitiveStatus status;
    int32_t bytes;
  };
  const Case cases[] = {
      // 0x43 (512 KiB) and 0x49 (4 MiB) in EAX; the table's order picks 4 MiB. EBX has bit
      // 31 set, so its 0xEC (24 MiB) does not count.
      {"TableOrder", {0x00494301, 0x80EC0000, 0, 0x0000002C}, StatusOk, 4 << 20},
      {"EdxOnly", {0x00000001, 0, 0, 0x007A0000}, StatusOk, 256 << 10},
      {"AlIsNotOne", {0x00494302, 0, 0, 0}, StatusCacheSizeUnknown, 0},
      {"NoL2OrL3", {0x00000001, 0x2C, 0x30, 0}, StatusCacheSizeUnknown, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeCpu cpu;
    RecordCpu(cpu, true, 2, kEdxBase, 0, 0);
    cpu.Set(2, 0, c.leaf2);
    int32_t bytes = -1;
    EXPECT_EQ(QueryLargestCacheSize(cpu.Probe(), &bytes), c.status);
    EXPECT_EQ(bytes, c.bytes);
  }

  // Only the low byte of a row's descriptor is compared; the table ends at a zero row.
  FakeCpu cpu;
  RecordCpu(cpu, true, 3, kEdxBase, 0, 0);
  cpu.Set(2, 0, {0x00430001, 0, 0, 0});
  const CacheDescriptorSize table[] = {{0x1243, 777}, {0, 0}, {0x43, 999}};
  EXPECT_EQ(CacheSizeFromDescriptors(table, cpu.Probe()), 777);
  const CacheDescriptorSize ended[] = {{0, 0}, {0x43, 999}};
  EXPECT_EQ(CacheSizeFromDescriptors(ended, cpu.Probe()), -1);
  EXPECT_EQ(CacheDescriptorSizes[kCacheDescriptorRows].descriptor, 0u);
  EXPECT_EQ(CacheDescriptorSizes[0].bytes, 24u << 20);
  EXPECT_EQ(CacheDescriptorSizes[kCacheDescriptorRows - 1].descriptor, 0x41u);
}

TEST(CacheSize, ProcessorsWithoutTheQuery) {
  struct Case {
    const char* name;
    bool cpuid;
    bool intel;
    uint32_t maxLeaf;
  };
  const Case cases[] = {
      {"NoCpuid", false, true, 4}, {"MaxLeafOne", true, true, 1}, {"OtherVendor", true, false, 4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeCpu cpu;
    cpu.hasCpuid = c.cpuid;
    RecordCpu(cpu, c.intel, c.maxLeaf, kEdxBase, 0, 0);
    cpu.Set(4, 0, CacheLeaf(3, 16, 1, 64, 1024));
    int32_t bytes = -1;
    EXPECT_EQ(QueryLargestCacheSize(cpu.Probe(), &bytes), StatusCpuNotSupported);
    EXPECT_EQ(bytes, 0);
  }
  FakeCpu cpu;
  RecordCpu(cpu, true, 4, kEdxBase, 0, 0);
  EXPECT_EQ(QueryLargestCacheSize(cpu.Probe(), nullptr), StatusNullPointer);
}

TEST(CacheSize, HostQueryIsComputedOnce) {
  EXPECT_EQ(QueryLargestCacheSize(nullptr), StatusNullPointer);
  int32_t first = -1, second = -1, fresh = -1;
  const PrimitiveStatus status = QueryLargestCacheSize(&first);
  EXPECT_EQ(QueryLargestCacheSize(&second), status);
  EXPECT_EQ(first, second);
  EXPECT_EQ(QueryLargestCacheSize(HostCpuProbe(), &fresh), status);
  EXPECT_EQ(first, fresh);
  if (status == StatusOk) {
    EXPECT_GT(first, 0);
  } else {
    EXPECT_TRUE(status == StatusCpuNotSupported || status == StatusCacheSizeUnknown);
    EXPECT_EQ(first, 0);
  }
}

}  // namespace
}  // namespace vorn::jpeg::prim
