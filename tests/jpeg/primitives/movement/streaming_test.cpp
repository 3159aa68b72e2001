#include "jpeg/primitives/movement/movement_streaming.h"

#include <gtest/gtest.h>

#include "tests/jpeg/primitives/frame/fake_cpu.h"

namespace vorn::jpeg::prim {
namespace {

test::FakeCpu Processor(const char (&vendor)[13], CpuidRecord leaf2) {
  test::FakeCpu cpu;
  cpu.SetVendor(vendor, 4);
  cpu.Set(1, 0, {0x906EA, 0, 0, 0x04000000});
  cpu.Set(2, 0, leaf2);
  return cpu;
}

TEST(Streaming, CodesHoldTheLargeDescriptorsInOrder) {
  // The codes list is the head of the frame's descriptor table: every row of 512 KiB and more.
  int32_t rows = 0;
  for (; CacheDescriptorCodes[rows].descriptor != 0; ++rows) {
    EXPECT_EQ(CacheDescriptorCodes[rows].descriptor, CacheDescriptorSizes[rows].descriptor & 0xFF) << rows;
    EXPECT_EQ(CacheCodeBytes(CacheDescriptorCodes[rows].code), CacheDescriptorSizes[rows].bytes) << rows;
  }
  EXPECT_EQ(rows, kCacheDescriptorCodeRows);
  EXPECT_LT(CacheDescriptorSizes[rows].bytes, 512u << 10);
}

TEST(Streaming, CacheLookupReadsLeaf2) {
  struct Case {
    const char* what;
    const char (&vendor)[13];
    CpuidRecord leaf2;
    int32_t expected;
  };
  const Case cases[] = {
      {"descriptor in EDX", "GenuineIntel", {0x01, 0, 0, 0x00000049}, 4 << 20},
      {"first listed wins, not first reported", "GenuineIntel", {0x43000001, 0, 0, 0x4D}, 16 << 20},
      {"EAX byte 0 is the count, not a descriptor", "GenuineIntel", {0x00000001, 0x43, 0, 0}, 512 << 10},
      {"register with bit 31 holds none", "GenuineIntel", {0x01, 0x80000049, 0, 0}, -1},
      {"AL other than 1", "GenuineIntel", {0x02, 0x49, 0, 0}, -1},
      {"only small caches", "GenuineIntel", {0x01, 0x3D, 0x42, 0}, -1},
      {"another vendor", "AuthenticAMD", {0x01, 0x49, 0, 0}, -1},
  };
  for (const Case& c : cases) {
    test::FakeCpu cpu = Processor(c.vendor, c.leaf2);
    EXPECT_EQ(StreamingCacheSize(cpu.Probe()), c.expected) << c.what;
  }
  test::FakeCpu none = Processor("GenuineIntel", {0x01, 0x49, 0, 0});
  none.hasCpuid = false;
  EXPECT_EQ(StreamingCacheSize(none.Probe()), -1);
  test::FakeCpu old = Processor("GenuineIntel", {0x01, 0x49, 0, 0});
  old.SetVendor("GenuineIntel", 1);  // leaf 2 beyond the maximum
  EXPECT_EQ(StreamingCacheSize(old.Probe()), -1);
}

TEST(Streaming, ThresholdsOfEachRule) {
  test::FakeCpu cpu = Processor("GenuineIntel", {0x01, 0, 0, 0x43});  // 512 KiB
  const CpuProbe probe = cpu.Probe();
  // Copies: above 128 KiB and at least half the cache.
  EXPECT_FALSE(CopyBytesStreams(0x3FFFF, probe));
  EXPECT_TRUE(CopyBytesStreams(0x40000, probe));
  // Clears: above 512 KiB and at least the cache.
  EXPECT_FALSE(ZeroBytesStreams(0x80000, probe));
  EXPECT_TRUE(ZeroBytesStreams(0x80001, probe));

  test::FakeCpu small = Processor("GenuineIntel", {0x01, 0, 0, 0x3D});  // 384 KiB: not listed
  EXPECT_FALSE(CopyBytesStreams(0x7FFFFFFF, small.Probe()));

  test::FakeCpu big = Processor("GenuineIntel", {0x01, 0, 0, 0x4D});  // 16 MiB
  EXPECT_FALSE(CopyBytesStreams(0x20001, big.Probe()));
  EXPECT_FALSE(CopyBytesStreams((8 << 20) - 1, big.Probe()));
  EXPECT_TRUE(CopyBytesStreams(8 << 20, big.Probe()));
  EXPECT_FALSE(CopyBytesStreams(0x20000, test::FakeCpu(Processor("GenuineIntel", {0x01, 0, 0, 0x43})).Probe()));

  // Image copies: above 1 MiB, without asking the processor.
  EXPECT_FALSE(CopyImageStreams(0x100000));
  EXPECT_TRUE(CopyImageStreams(0x100001));

  // Widening and 16-bit splits: above 512 KiB and at least the largest cache of leaf 4.
  cpu.Set(4, 0, {0x3 | (3 << 5), (15u << 22) | 63u, 2047, 0});  // 2 MiB
  EXPECT_FALSE(LargeImageStreams(0x80000, probe));
  EXPECT_FALSE(LargeImageStreams((2 << 20) - 1, probe));
  EXPECT_TRUE(LargeImageStreams(2 << 20, probe));
  cpu.Set(4, 0, {0, 0, 0, 0});  // no cache reported: never
  EXPECT_FALSE(LargeImageStreams(int64_t{1} << 40, probe));
}

}  // namespace
}  // namespace vorn::jpeg::prim
