#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>

#include "display/modes/edid.h"
#include "display/modes/modes.h"
#include "sim/chip/edid_blob.h"
#include "tests/display/modes/mode_view.h"
#include "tests/fixtures/edid_builder.h"

namespace vorn::display::testing {
namespace {

using vorn::testing::CeaBlock;
using vorn::testing::DtdOf;
using vorn::testing::EdidBlock;
using vorn::testing::EdidBuilder;

class EdidTest : public ModeViewTest {
 protected:
  // A table with modes on both sides of the default limits.
  ViewContext* WideView(ViewOptions o = {}) {
    return View({Timing(800, 600, 60), Timing(1024, 768, 60), Timing(1280, 720, 60),
                 Timing(1920, 1080, 50), Timing(1920, 1080, 60), Timing(1920, 1080, 75),
                 Timing(1920, 1200, 60), Timing(2560, 1440, 60), Timing(3840, 2160, 30)},
                o);
  }
  static void Process(ViewContext* v, std::vector<uint8_t>& edid) {
    EXPECT_EQ(ProcessEdid(v, edid.data(), static_cast<uint32_t>(edid.size())), STATUS_SUCCESS);
  }
  static uint32_t CachedCount(const ViewContext* v) {
    uint32_t n = 0;
    for (const TimingCacheEntry& e : v->Modes.TimingCache) n += e.Valid;
    return n;
  }
};

const std::vector<ModeSize> kDefaultOffer = {{800, 600, 60},   {1024, 768, 60},
                                             {1280, 720, 60},  {1920, 1080, 50},
                                             {1920, 1080, 60}, {1920, 1080, 75}};

// An EDID whose own timings match nothing falls back to the default offer, so the cases that
// show a timing adds nothing carry this one as well: 1024 x 768 at 60 (established byte 36 bit 3).
constexpr uint8_t kAnchorByte36 = 0x08;
const ModeSize kAnchor{1024, 768, 60};
std::vector<ModeSize> WithAnchor(std::vector<ModeSize> modes) {
  modes.push_back(kAnchor);
  std::sort(modes.begin(), modes.end(), [](const ModeSize& a, const ModeSize& b) {
    return std::tie(a.w, a.h, a.r) < std::tie(b.w, b.h, b.r);
  });
  return modes;
}

TEST_F(EdidTest, UnusableEdidGivesTheDefaultOffer) {
  ViewContext* v = WideView();
  ASSERT_NE(v, nullptr);
  std::vector<uint8_t> good = EdidBuilder().Established(0x01, 0).Build();
  std::vector<uint8_t> short_edid(good.begin(), good.begin() + 127);
  std::vector<uint8_t> headerless = good;
  headerless[7] = 0x01;
  Process(v, good);  // offers 800 x 600 only, so each case below starts from a marked list
  ASSERT_EQ(Offered(v), (std::vector<ModeSize>{{800, 600, 60}}));
  EXPECT_EQ(ProcessEdid(v, nullptr, 0), STATUS_SUCCESS);
  EXPECT_EQ(Offered(v), kDefaultOffer);
  Process(v, good);
  Process(v, short_edid);
  EXPECT_EQ(Offered(v), kDefaultOffer);
  Process(v, good);
  Process(v, headerless);
  EXPECT_EQ(Offered(v), kDefaultOffer);
  EXPECT_EQ(v->Modes.OfferedCount, kDefaultOffer.size());
}

TEST_F(EdidTest, DefaultOfferBelowFullHdTakesTheBestMode) {
  ViewContext* v = View({Timing(1400, 1050, 60), Timing(1024, 768, 60), Timing(1600, 900, 60)});
  ASSERT_NE(v, nullptr);
  ProcessEdid(v, nullptr, 0);
  // Limits 1600 wide and 1600 x 900 pixels: 1400 x 1050 has more pixels.
  EXPECT_EQ(Offered(v), (std::vector<ModeSize>{{1024, 768, 60}, {1600, 900, 60}}));
}

TEST_F(EdidTest, EstablishedAndStandardTimingsOfferMatchingModesAndSlowerOnes) {
  ViewContext* v = WideView();
  ASSERT_NE(v, nullptr);
  struct Case {
    const char* what;
    EdidBuilder edid;
    std::vector<ModeSize> offered;
  };
  Case cases[] = {
      {"800x600 at 56 only", EdidBuilder().Established(0x02, kAnchorByte36), {kAnchor}},
      {"800x600 at 60 and 1024x768 at 60", EdidBuilder().Established(0x01, 0x08),
       {{800, 600, 60}, {1024, 768, 60}}},
      {"1920x1080 at 60 enables 50 too", EdidBuilder().Standard(0, 1920, 3, 60),
       {{1920, 1080, 50}, {1920, 1080, 60}}},
      {"1920x1200 16:10 at 60", EdidBuilder().Standard(3, 1920, 0, 60), {{1920, 1200, 60}}},
      {"a size the device lacks",
       EdidBuilder().Established(0, kAnchorByte36).Standard(0, 1600, 3, 60), {kAnchor}},
      {"standard timings in a 0xFA descriptor", EdidBuilder().Descriptor(
           2, 0xFA, {0xD1, 0xC0, 0x01, 0x01, 0x61, 0x40, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01}),
       {{1024, 768, 60}, {1920, 1080, 50}, {1920, 1080, 60}}},
  };
  for (Case& c : cases) {
    std::vector<uint8_t> edid = c.edid.Build();
    Process(v, edid);
    EXPECT_EQ(Offered(v), c.offered) << c.what;
  }
}

TEST_F(EdidTest, DetailedTimingsRoundTheirRefreshAndFillTheCache) {
  ViewContext* v = WideView();
  ASSERT_NE(v, nullptr);
  for (uint32_t khz : {148500u, 148350u}) {
    vorn::testing::DetailedTiming t = vorn::testing::Dtd1080p60();
    t.clock_khz = khz;
    std::vector<uint8_t> edid = EdidBuilder().Detailed(0, t).Name(1, "Vorn Left").Build();
    Process(v, edid);
    EXPECT_EQ(Offered(v), (std::vector<ModeSize>{{1920, 1080, 50}, {1920, 1080, 60}})) << khz;
    const TimingCacheEntry* e = FindCachedTiming(v, 1920, 1080, 60);
    ASSERT_NE(e, nullptr) << khz;
    EXPECT_EQ(CachedCount(v), 1u);
    EXPECT_EQ(e->Record.PixelClockKhz, khz);
    EXPECT_EQ(e->Record.HorizontalTotal, 2200);
    EXPECT_EQ(e->Record.VerticalTotal, 1125);
    EXPECT_EQ(e->Record.HSyncStart, 1920 + 88 + 1);
    EXPECT_EQ(e->Record.HSyncWidthMinus1, 44 - 1);
    EXPECT_EQ(e->Record.VSyncStart, 1080 + 4 + 1);
    EXPECT_EQ(e->Record.VSyncWidthMinus1, 5 - 1);
    EXPECT_EQ(e->Record.HSyncPositive, 1);
    EXPECT_EQ(e->Record.VSyncPositive, 1);
    EXPECT_EQ(e->Record.PllDenominator, 1000);
    EXPECT_STREQ(v->Modes.MonitorName, "Vorn Left");
  }
}

TEST_F(EdidTest, InterlacedOrEmptyDetailedTimingsAreIgnored) {
  ViewContext* v = WideView();
  ASSERT_NE(v, nullptr);
  vorn::testing::DetailedTiming interlaced = vorn::testing::Dtd1080p60();
  interlaced.flags |= 0x80;
  vorn::testing::DetailedTiming empty = {148500, 0, 0, 0, 0, 0, 0, 0, 0};
  std::vector<uint8_t> edid = EdidBuilder()
                                  .Established(0, kAnchorByte36)
                                  .Detailed(0, interlaced)
                                  .Detailed(1, empty)
                                  .Build();
  Process(v, edid);
  EXPECT_EQ(Offered(v), std::vector<ModeSize>{kAnchor});
  EXPECT_EQ(CachedCount(v), 0u);
}

// A monitor is never left with nothing to set: a timing faster than the refresh byte holds
// keeps its exact clock and totals with the refresh clamped, and an EDID of which nothing
// matches the device gives the offer of a monitor without one.
TEST_F(EdidTest, EveryMonitorGetsSomethingToShow) {
  ViewContext* v = WideView();
  ASSERT_NE(v, nullptr);
  const uint32_t before = v->Modes.ModeCount;
  // 1920 x 1080 at 280 Hz (reduced blanking, 647.05 MHz): the device's 1080p modes, which are
  // all slower; past 300 MHz nothing is appended.
  std::vector<uint8_t> fast = EdidBuilder().Detailed(0, DtdOf(647050, 1920, 1080, 160, 31)).Build();
  Process(v, fast);
  EXPECT_EQ(Offered(v), (std::vector<ModeSize>{{1920, 1080, 50}, {1920, 1080, 60}, {1920, 1080, 75}}));
  EXPECT_EQ(v->Modes.ModeCount, before);
  EXPECT_EQ(BuildTargetModes(v), STATUS_SUCCESS);

  // 800 x 600 at 300 Hz (960 x 628 at 180.86 MHz) is within the clock limit: appended at the
  // largest refresh the record holds, with the monitor's own clock.
  std::vector<uint8_t> fast_small = EdidBuilder().Detailed(0, DtdOf(180860, 800, 600, 160, 28)).Build();
  Process(v, fast_small);
  EXPECT_EQ(Offered(v), (std::vector<ModeSize>{{800, 600, 60}, {800, 600, 255}}));
  const TimingCacheEntry* e = FindCachedTiming(v, 800, 600, 255);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->Record.RefreshHz, 255);
  EXPECT_EQ(e->Record.PixelClockKhz, 180860u);
  EXPECT_EQ(e->Record.HorizontalTotal, 960);
  EXPECT_EQ(e->Record.VerticalTotal, 628);
  ASSERT_EQ(RebuildModes(v), STATUS_SUCCESS);

  struct Case {
    const char* what;
    std::vector<uint8_t> edid;
  };
  Case nothing[] = {
      {"a timing below half a hertz", EdidBuilder().Detailed(0, DtdOf(10, 1920, 1080)).Build()},
      {"800x600 at 56 only", EdidBuilder().Established(0x02, 0).Build()},
      {"a size the device lacks, past the clock limit",
       EdidBuilder().Detailed(0, DtdOf(600000, 3200, 1800)).Standard(0, 1600, 3, 60).Build()},
      {"interlaced only", [] {
         vorn::testing::DetailedTiming t = vorn::testing::Dtd1080p60();
         t.flags |= 0x80;
         return EdidBuilder().Detailed(0, t).Build();
       }()},
  };
  for (Case& c : nothing) {
    Process(v, fast);  // a list the EDID marked, so the fallback is seen to start afresh
    Process(v, c.edid);
    EXPECT_EQ(Offered(v), kDefaultOffer) << c.what;
    EXPECT_EQ(v->Modes.OfferedCount, kDefaultOffer.size()) << c.what;
    EXPECT_EQ(v->Modes.ModeMaxWidth, 1920u) << c.what;
    EXPECT_EQ(v->Modes.ModeCount, before) << c.what;
    EXPECT_EQ(CachedCount(v), 0u) << c.what;
  }
}

TEST_F(EdidTest, EachMonitorHasOnlyItsOwnName) {
  ViewContext* v = WideView();
  ASSERT_NE(v, nullptr);
  std::vector<uint8_t> named =
      EdidBuilder().Detailed(0, vorn::testing::Dtd1080p60()).Name(1, "Vorn Left").Build();
  std::vector<uint8_t> unnamed = EdidBuilder().Detailed(0, vorn::testing::Dtd1080p60()).Build();
  Process(v, named);
  ASSERT_STREQ(v->Modes.MonitorName, "Vorn Left");
  Process(v, unnamed);
  EXPECT_STREQ(v->Modes.MonitorName, "");
  Process(v, named);
  EXPECT_EQ(ProcessEdid(v, nullptr, 0), STATUS_SUCCESS);
  EXPECT_STREQ(v->Modes.MonitorName, "");
  // A name in an extension counts when the base block has none, also after a named monitor.
  EdidBlock ext{};
  ext[0] = 2;
  ext[1] = 3;
  ext[2] = 4;
  ext[4 + 3] = 0xFC;
  std::memcpy(ext.data() + 4 + 5, "Right\n       ", 13);
  vorn::testing::FixChecksum(ext.data());
  std::vector<uint8_t> ext_named = EdidBuilder().Established(0, kAnchorByte36).Extension(ext).Build();
  Process(v, named);
  Process(v, ext_named);
  EXPECT_STREQ(v->Modes.MonitorName, "Right");
}

TEST_F(EdidTest, MonitorTimingsTheDeviceLacksAreAppendedUpTo300MHz) {
  ViewContext* v = WideView();
  ASSERT_NE(v, nullptr);
  const uint32_t before = v->Modes.ModeCount;
  // 2560 x 1600: totals 2720 x 1838 at 300 MHz make 60 Hz.
  std::vector<uint8_t> at_limit = EdidBuilder().Detailed(0, DtdOf(300000, 2560, 1600, 160, 238)).Build();
  Process(v, at_limit);
  ASSERT_EQ(Offered(v), (std::vector<ModeSize>{{2560, 1600, 60}}));
  EXPECT_EQ(v->Modes.ModeCount, before + 1);
  const ModeEntry* e = nullptr;
  for (uint32_t i = 0; i < v->Modes.ModeCount; ++i)
    if (v->Modes.Modes[i].Width == 2560 && v->Modes.Modes[i].Height == 1600) e = &v->Modes.Modes[i];
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->Source, kEdidModeSource);
  EXPECT_EQ(e->BitsPerPixel, 32);
  EXPECT_EQ(e->PixelRateHz, 300000000u);
  EXPECT_EQ(e->HorizontalTotal, 2720u);
  EXPECT_EQ(e->VerticalTotal, 1838u);
  // Sorted in among the device's modes.
  EXPECT_EQ(All(v)[v->Modes.ModeCount - 2], (ModeSize{2560, 1600, 60}));

  ASSERT_EQ(RebuildModes(v), STATUS_SUCCESS);
  std::vector<uint8_t> above = EdidBuilder()
                                   .Established(0, kAnchorByte36)
                                   .Detailed(0, DtdOf(300010, 2560, 1600, 160, 238))
                                   .Build();
  Process(v, above);
  EXPECT_EQ(Offered(v), std::vector<ModeSize>{kAnchor});
  EXPECT_EQ(v->Modes.ModeCount, before);
  // Beyond the table's maxima (3840 x 2160) nothing is appended either.
  std::vector<uint8_t> too_tall = EdidBuilder().Detailed(0, DtdOf(297000, 2160, 3840)).Build();
  Process(v, too_tall);
  EXPECT_EQ(v->Modes.ModeCount, before);
}

TEST_F(EdidTest, PlatformDecidesThePllReference) {
  for (uint32_t platform : {0u, 1u, 2u}) {
    ViewContext* v = WideView({.platform = platform});
    ASSERT_NE(v, nullptr);
    std::vector<uint8_t> edid = EdidBuilder()
                                    .Detailed(0, vorn::testing::Dtd1080p60())
                                    .Detailed(1, DtdOf(99790, 1600, 900))
                                    .Build();
    const uint32_t before = v->Modes.ModeCount;
    Process(v, edid);
    // The device's mode is offered whatever the platform; the monitor's timings need the PLL.
    EXPECT_EQ(Offered(v).size(), platform == 2 ? 2u : 3u) << platform;
    const TimingCacheEntry* e = FindCachedTiming(v, 1920, 1080, 60);
    if (platform == 2) {
      EXPECT_EQ(e, nullptr);
      EXPECT_EQ(CachedCount(v), 0u);
      EXPECT_EQ(v->Modes.ModeCount, before);
      continue;
    }
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->Record.PllMultiplier, platform == 0 ? 24 : 29);
    EXPECT_EQ(e->Record.PllFraction, platform == 0 ? 750 : 699);
    EXPECT_EQ(v->Modes.ModeCount, before + 1);
  }
}

TEST_F(EdidTest, AtMostEightMonitorTimingsAreKept) {
  ViewContext* v = WideView();
  ASSERT_NE(v, nullptr);
  const uint32_t before = v->Modes.ModeCount;
  CeaBlock a, b;
  for (uint16_t i = 0; i < 5; ++i) a.Detailed(DtdOf(99790, static_cast<uint16_t>(1000 + 8 * i), 900));
  for (uint16_t i = 5; i < 10; ++i) b.Detailed(DtdOf(99790, static_cast<uint16_t>(1000 + 8 * i), 900));
  std::vector<uint8_t> edid = EdidBuilder().Extension(a.Build()).Extension(b.Build()).Build();
  Process(v, edid);
  EXPECT_EQ(CachedCount(v), 8u);
  EXPECT_EQ(v->Modes.ModeCount, before + 8);
  EXPECT_EQ(v->Modes.OfferedCount, 8u);
  for (uint32_t i = 1; i < v->Modes.ModeCount; ++i)
    EXPECT_LE(v->Modes.Modes[i - 1].Width, v->Modes.Modes[i].Width);
}

TEST_F(EdidTest, VideoDataBlocksOfferTheirFormats) {
  ViewContext* v = WideView();
  ASSERT_NE(v, nullptr);
  struct Case {
    std::initializer_list<uint8_t> codes;
    std::vector<ModeSize> offered;
  };
  const Case cases[] = {
      {{16}, {{1920, 1080, 50}, {1920, 1080, 60}}},
      {{0x80 | 16}, {{1920, 1080, 50}, {1920, 1080, 60}}},  // native flag in bit 7
      {{5, 20, 39}, {}},                                     // interlaced
      {{0, 108, 127}, {}},                                   // empty codes
      {{4, 95}, {{1280, 720, 60}, {3840, 2160, 30}}},
      {{31}, {{1920, 1080, 50}}},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> edid = EdidBuilder()
                                    .Established(0, kAnchorByte36)
                                    .Extension(CeaBlock().Video(c.codes).Build())
                                    .Build();
    Process(v, edid);
    EXPECT_EQ(Offered(v), WithAnchor(c.offered)) << *c.codes.begin();
  }
}

TEST_F(EdidTest, HdmiBlockOffersAndAppends4kTimings) {
  ViewContext* v = View({Timing(1920, 1080, 60), Timing(3840, 2160, 30)});
  ASSERT_NE(v, nullptr);
  const uint32_t before = v->Modes.ModeCount;
  std::vector<uint8_t> edid = EdidBuilder().Extension(CeaBlock().Hdmi4k({1, 2, 0, 9, 4}).Build()).Build();
  Process(v, edid);
  // Code 1 is the device's; code 2 (25 Hz) is appended; code 4 is 4096 wide, past the maxima.
  EXPECT_EQ(Offered(v), (std::vector<ModeSize>{{3840, 2160, 25}, {3840, 2160, 30}}));
  EXPECT_EQ(v->Modes.ModeCount, before + 1);
  const TimingCacheEntry* e = FindCachedTiming(v, 3840, 2160, 30);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->Record.PixelClockKhz, 297000u);
  EXPECT_EQ(e->Record.HorizontalTotal, 4400);
  EXPECT_EQ(e->Record.HSyncStart, 3840 + 176 + 1);
  EXPECT_EQ(e->Record.HSyncWidthMinus1, 87);
  EXPECT_EQ(e->Record.VerticalTotal, 2250);
  EXPECT_EQ(e->Record.VSyncStart, 2160 + 8 + 1);
  EXPECT_EQ(e->Record.HSyncPositive, 1);
  EXPECT_EQ(e->Record.VSyncPositive, 1);
}

TEST_F(EdidTest, ExtensionsBeyondTheDataAreDroppedWithTheChecksumKept) {
  ViewContext* v = WideView();
  ASSERT_NE(v, nullptr);
  std::vector<uint8_t> edid =
      EdidBuilder().Established(0x01, 0).Extension(CeaBlock().Video({16}).Build()).Build();
  edid[126] = 3;
  vorn::testing::FixChecksum(edid.data());
  const uint8_t checksum = edid[127];
  Process(v, edid);
  EXPECT_EQ(edid[126], 0);
  EXPECT_EQ(edid[127], static_cast<uint8_t>(checksum + 3));
  uint8_t sum = 0;
  for (int i = 0; i < 128; ++i) sum = static_cast<uint8_t>(sum + edid[i]);
  EXPECT_EQ(sum, 0);
  EXPECT_EQ(Offered(v), (std::vector<ModeSize>{{800, 600, 60}}));  // the extension was not read
}

TEST_F(EdidTest, BadExtensionsAreSkippedOneByOne) {
  ViewContext* v = WideView();
  ASSERT_NE(v, nullptr);
  EdidBlock bad_sum = CeaBlock().Video({4}).Build();
  bad_sum[127] ^= 1;
  EdidBlock other_tag = CeaBlock().Video({1}).Build();
  other_tag[0] = 0x70;
  vorn::testing::FixChecksum(other_tag.data());
  EdidBlock old_revision = CeaBlock().Revision(1).Video({95}).Build();
  EdidBlock good = CeaBlock().Video({16}).Build();
  std::vector<uint8_t> edid = EdidBuilder()
                                  .Extension(bad_sum)
                                  .Extension(other_tag)
                                  .Extension(old_revision)
                                  .Extension(good)
                                  .Build();
  Process(v, edid);
  EXPECT_EQ(Offered(v),
            (std::vector<ModeSize>{{1920, 1080, 50}, {1920, 1080, 60}, {3840, 2160, 30}}));
}

// Each block is read from a buffer of exactly its size, so a read past it trips the sanitizer.
TEST_F(EdidTest, HostileCeaBlocksStayInsideTheBlock) {
  ViewContext* v = WideView();
  ASSERT_NE(v, nullptr);
  struct Case {
    const char* what;
    EdidBlock block;
    std::vector<ModeSize> offered;
  };
  std::vector<Case> cases;
  auto with = [](EdidBlock b, std::initializer_list<std::pair<int, uint8_t>> bytes) {
    for (auto [at, value] : bytes) b[at] = value;
    vorn::testing::FixChecksum(b.data());
    return b;
  };
  // A 1080p timing right after the header: parsed only where the offset points at it.
  EdidBlock timing_first{};
  vorn::testing::WriteDetailedTiming(vorn::testing::Dtd1080p60(), timing_first.data() + 4);
  timing_first[0] = 2;
  timing_first[1] = 3;
  cases.push_back({"offset 4: the timing", with(timing_first, {{2, 4}}),
                   {{1920, 1080, 50}, {1920, 1080, 60}}});
  for (uint8_t d : {0, 1, 2, 3})
    cases.push_back({"offset below 4: nothing", with(timing_first, {{2, d}}), {}});
  // The last timing that fits starts at 109 and ends just before the checksum byte.
  EdidBlock timing_last{};
  vorn::testing::WriteDetailedTiming(vorn::testing::Dtd1080p60(), timing_last.data() + 109);
  timing_last[0] = 2;
  timing_last[1] = 3;
  cases.push_back({"offset 109: the timing that ends at the checksum",
                   with(timing_last, {{2, 109}}), {{1920, 1080, 50}, {1920, 1080, 60}}});
  EdidBlock timings_to_the_end = CeaBlock().Video({4}).Build();
  for (int i = 0; i < 6; ++i)
    vorn::testing::WriteDetailedTiming(i < 5 ? DtdOf(99790, 1600, 900)
                                             : vorn::testing::Dtd1080p60(),
                                       timings_to_the_end.data() + 19 + 18 * i);
  cases.push_back({"six timings from 19: the sixth starts at 109",
                   with(timings_to_the_end, {{2, 19}, {4, 0x4E}}),
                   {{1280, 720, 60}, {1600, 900, 60}, {1920, 1080, 50}, {1920, 1080, 60}}});
  cases.push_back({"offset 110: a timing there would reach the checksum",
                   with(timing_last, {{2, 110}}), {}});
  // Offsets past the block: data blocks up to the checksum byte, no timings.
  EdidBlock video = CeaBlock().Video({16}).Build();
  for (uint8_t d : {127, 128, 200, 255})
    cases.push_back({"offset past the block", with(video, {{2, d}}),
                     {{1920, 1080, 50}, {1920, 1080, 60}}});
  // A data block whose length runs past the offset ends the block: its timing is not read.
  cases.push_back({"data block past the offset",
                   with(CeaBlock().Video({16}).Detailed(DtdOf(74250, 1280, 720, 370, 30)).Build(),
                        {{4, 0x45}}),
                   {}});
  // HDMI blocks: too short for the video byte, a count running past the block (the next data
  // block's bytes E1 01 would read as code 1), an index past the block.
  cases.push_back({"HDMI block of identifier only",
                   CeaBlock().DataBlock(3, {0x03, 0x0C, 0x00}).Build(), {}});
  cases.push_back({"HDMI count past the block",
                   CeaBlock()
                       .DataBlock(3, {0x03, 0x0C, 0x00, 0x10, 0x00, 0x00, 0x3C, 0x20, 0x00,
                                      0xE0, 0x00})
                       .DataBlock(7, {0x01})
                       .Build(),
                   {}});
  cases.push_back({"HDMI index past the block",
                   CeaBlock()
                       .DataBlock(3, {0x03, 0x0C, 0x00, 0x10, 0x00, 0x00, 0x3C, 0xE0})
                       .DataBlock(1, {0x01, 0x20, 0x01})
                       .Build(),
                   {}});
  cases.push_back({"HDMI forum identifier, code 1",
                   CeaBlock()
                       .DataBlock(3, {0xD8, 0x5D, 0xC4, 0x10, 0x00, 0x00, 0x3C, 0x20, 0x00,
                                      0x20, 0x01})
                       .Build(),
                   {{3840, 2160, 30}}});
  for (const Case& c : cases) {
    std::vector<uint8_t> edid = EdidBuilder().Established(0, kAnchorByte36).Extension(c.block).Build();
    Process(v, edid);
    EXPECT_EQ(Offered(v), WithAnchor(c.offered)) << c.what << " " << int{c.block[2]};
    ASSERT_EQ(RebuildModes(v), STATUS_SUCCESS);
  }
}

TEST_F(EdidTest, MonitorNameComesFromTheBaseBlockFirst) {
  ViewContext* v = WideView();
  ASSERT_NE(v, nullptr);
  CeaBlock cea;
  std::vector<uint8_t> edid = EdidBuilder().Name(3, "Base").Extension(cea.Build()).Build();
  // A name descriptor among the extension's timings.
  EdidBlock ext{};
  ext[0] = 2;
  ext[1] = 3;
  ext[2] = 4;
  ext[4 + 3] = 0xFC;
  std::memcpy(ext.data() + 4 + 5, "Extension\n   ", 13);
  vorn::testing::FixChecksum(ext.data());
  std::vector<uint8_t> both = EdidBuilder().Name(3, "Base").Extension(ext).Build();
  Process(v, both);
  EXPECT_STREQ(v->Modes.MonitorName, "Base");
  std::vector<uint8_t> only_ext = EdidBuilder().Extension(ext).Build();
  std::memset(v->Modes.MonitorName, 0, sizeof v->Modes.MonitorName);
  Process(v, only_ext);
  EXPECT_STREQ(v->Modes.MonitorName, "Extension");
  (void)edid;
}

TEST_F(EdidTest, RealMonitorsGiveSensibleModeLists) {
  const char* files[] = {"acer-p1276.edid", "goldstar-ite6604-hdmi.edid",
                         "msi-mag321curv-dp.edid", "sun-gh19ps-dvi.edid"};
  for (const char* file : files) {
    std::vector<uint8_t> edid = chip::LoadEdidFile(std::string(VORN_TEST_DATA_DIR) + "/edid/" + file);
    ASSERT_GE(edid.size(), 128u) << file;
    ViewContext* v = View({Timing(640, 480, 60), Timing(800, 600, 60), Timing(1024, 768, 60),
                           Timing(1280, 720, 60), Timing(1280, 1024, 60), Timing(1920, 1080, 60),
                           Timing(1920, 1080, 50), Timing(2560, 1440, 60),
                           Timing(3840, 2160, 30)});
    ASSERT_NE(v, nullptr);
    const std::vector<uint8_t> original = edid;
    Process(v, edid);
    EXPECT_EQ(edid, original) << file << ": complete EDIDs stay as they are";
    const std::vector<ModeSize> offered = Offered(v);
    EXPECT_GE(offered.size(), 2u) << file;
    for (size_t i = 1; i < offered.size(); ++i) {
      EXPECT_TRUE(offered[i - 1].w < offered[i].w ||
                  (offered[i - 1].w == offered[i].w && offered[i - 1].h <= offered[i].h))
          << file;
    }
    // The monitor's preferred timing (the first descriptor) is offered.
    const uint8_t* d = edid.data() + 54;
    const uint32_t w = d[2] | ((d[4] & 0xF0u) << 4), h = d[5] | ((d[7] & 0xF0u) << 4);
    bool preferred = false;
    for (const ModeSize& m : offered) preferred |= m.w == w && m.h == h;
    EXPECT_TRUE(preferred) << file << " " << w << "x" << h;
    for (const ModeSize& m : offered) {
      EXPECT_LE(m.w, 3840u) << file;
      EXPECT_GE(m.r, 23u) << file;
      EXPECT_LE(m.r, 120u) << file;
    }
    ASSERT_EQ(BuildTargetModes(v), STATUS_SUCCESS);
    EXPECT_EQ(v->Modes.TargetCount, offered.size());
  }
}

}  // namespace
}  // namespace vorn::display::testing
