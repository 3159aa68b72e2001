#include "jpeg/primitives/frame/version.h"

#include <gtest/gtest.h>

#include <string>

#include "jpeg/primitives/frame/cpu.h"
#include "jpeg/primitives/frame/dispatch.h"

namespace vorn::jpeg::prim {
namespace {

TEST(PrimitivesVersion, OneRecordPerSlot) {
  struct Case {
    int32_t slot;
    const char* target;
    const char* name;
  };
  const Case cases[] = {
      {BuildS2NoSse2, "s2", "jprim SSE2 (s2)"}, {BuildS2, "s2", "jprim SSE2 (s2)"},
      {BuildS3, "s3", "jprim SSSE3 (s3)"},      {BuildAm, "am", "jprim Atom (am)"},
      {BuildS4, "s4", "jprim SSE4.1/4.2 (s4)"}, {BuildV1, "v1", "jprim AVX (v1)"},
      {BuildV2, "v2", "jprim AVX2 (v2)"},
  };
  StoreEnabledFeatureMask(0x3, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.slot);
    ScopedProcessorIndex force(c.slot);
    const PrimitivesVersion* v = GetPrimitivesVersion();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v, kGetPrimitivesVersionTable.slot[c.slot]());
    EXPECT_STREQ(v->target, c.target);
    EXPECT_STREQ(v->name, c.name);
    EXPECT_EQ(v->major, 7);
    EXPECT_EQ(v->minor, 1);
    EXPECT_EQ(v->update, 1);
    EXPECT_EQ(v->revision, 37466);
    EXPECT_STREQ(v->version, "7.1.1 (r37466)");
    EXPECT_STREQ(v->buildDate, "Sep 25 2012");
  }
  EXPECT_EQ(GetPrimitivesVersionS2(), kGetPrimitivesVersionTable.slot[BuildS2NoSse2]());
  EXPECT_EQ(GetPrimitivesVersionS2(), kGetPrimitivesVersionTable.Portable()());
}

TEST(PrimitivesVersion, S4RecordNamesSse42WhenEnabled) {
  ScopedProcessorIndex force(BuildS4);
  StoreEnabledFeatureMask(0xDF, 0);
  EXPECT_STREQ(GetPrimitivesVersion()->name, "jprim SSE4.1/4.2 (s4)+");
  StoreEnabledFeatureMask(0x5F, 0);
  EXPECT_STREQ(GetPrimitivesVersion()->name, "jprim SSE4.1/4.2 (s4)");
  StoreEnabledFeatureMask(0x3, 0);
}

int Twice(int v) { return 2 * v; }
int Thrice(int v) { return 3 * v; }

int Once(int v) { return v; }

TEST(DispatchTable, ShareLowerFillsFromTheNearestLowerSlot) {
  using Fn = int (*)(int);
  // Without an SSE2 build the portable one fills slots 0 and 1.
  constexpr DispatchTable<Fn> table = ShareLower<Fn>({{Twice, nullptr, nullptr, Thrice}});
  const Fn expected[kDispatchEntries] = {Twice, Twice, Twice, Thrice, Thrice, Thrice, Thrice, Twice};
  for (int32_t slot = 0; slot < kDispatchEntries; ++slot) {
    EXPECT_EQ(table.slot[slot], expected[slot]) << slot;
    ScopedProcessorIndex force(slot);
    EXPECT_EQ(table.Current()(5), expected[slot](5));
  }
  // An index outside the table goes to slot 0.
  ScopedProcessorIndex bogus(9);
  EXPECT_EQ(table.Current(), Twice);
}

TEST(DispatchTable, SlotsZeroAndOneHoldTheSse2Build) {
  using Fn = int (*)(int);
  // Entries: portable Once, SSE2 Twice, slot 6 Thrice.
  constexpr DispatchTable<Fn> table =
      ShareLower<Fn>({{Once, Twice, nullptr, nullptr, nullptr, nullptr, Thrice}});
  const Fn expected[kDispatchEntries] = {Twice, Twice, Twice, Twice, Twice, Twice, Thrice, Once};
  for (int32_t slot = 0; slot < kDispatchEntries; ++slot) EXPECT_EQ(table.slot[slot], expected[slot]) << slot;
  EXPECT_EQ(table.Portable(), Once);
  // Slot 0, the slot before any selection, runs the SSE2 build wherever SSE2 exists.
  ScopedProcessorIndex slot0(BuildS2NoSse2);
  EXPECT_EQ(table.Current(), BuildRunsHere(BuildS2) ? Twice : Once);
}

}  // namespace
}  // namespace vorn::jpeg::prim
