#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "display/frames/device_memory.h"
#include "display/modes/modes.h"
#include "display/device/device_threads.h"
#include "protocol/timing.h"
#include "sim/chip/edid_blob.h"
#include "tests/display/modes/mode_view.h"
#include "tests/fixtures/edid_builder.h"

namespace vorn::display::testing {
namespace {

using ModesTest = ModeViewTest;

protocol::TimingRecord SentTiming(const chip::Chip& chip) {
  protocol::TimingRecord r;
  const auto bytes = chip.View(0).timing;
  EXPECT_TRUE(protocol::DecodeTimingRecord({bytes.data(), bytes.size()}, &r));
  return r;
}

TEST_F(ModesTest, ListIsSortedDeduplicatedAndHeldInSendingForm) {
  ViewContext* v = View({Timing(1920, 1080, 60, 148500), Timing(800, 600, 60),
                         Timing(1920, 1080, 50), Timing(1280, 720, 60),
                         Timing(1920, 1080, 60, 148350), Timing(0, 720, 60),
                         Timing(1024, 768, 0)});
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(All(v), (std::vector<ModeSize>{
                        {800, 600, 60}, {1280, 720, 60}, {1920, 1080, 50}, {1920, 1080, 60}}));
  const ModeEntry& last = v->Modes.Modes[3];
  EXPECT_EQ(last.Source, 4u);  // the later of the two 1920 x 1080 records
  EXPECT_EQ(last.BitsPerPixel, 32);
  EXPECT_EQ(last.PixelRateHz, 148500000u);  // the entry keeps the first record's rate
  EXPECT_EQ(last.HorizontalTotal, 2080u);

  const protocol::TimingRecord& r = v->Modes.DeviceTimings[0];
  EXPECT_EQ(r.HSyncStart, 1920 + 48 + 1);
  EXPECT_EQ(r.HSyncWidthMinus1, 32 - 1);
  EXPECT_EQ(r.VSyncStart, 1080 + 3 + 1);
  EXPECT_EQ(r.VSyncWidthMinus1, 5 - 1);
  EXPECT_EQ(v->Modes.TableMaxWidth, 1920);
  EXPECT_EQ(v->Modes.TableMaxHeight, 1080);
  EXPECT_EQ(v->Modes.ModeMaxFrameBytes, ModeFrameBytes(1920, 1080));
}

TEST_F(ModesTest, Usb2DropsWideRecordsAndClampsTheMaxima) {
  struct Case {
    bool usb3;
    uint8_t rotation;
    std::vector<ModeSize> modes;
    uint16_t max_w, max_h;
  };
  const Case cases[] = {
      {false, 0, {{1920, 1080, 60}}, 2048, 1200},
      {true, 0, {{1920, 1080, 60}, {2560, 1440, 60}}, 2560, 1440},
      // Rotated, the 2560 side is the host-side height: kept over USB 2.
      {false, 1, {{1080, 1920, 60}, {1440, 2560, 60}}, 1440, 2560},
  };
  for (const Case& c : cases) {
    ViewContext* v = View({Timing(2560, 1440, 60), Timing(1920, 1080, 60)},
                          {.usb3 = c.usb3, .rotation = c.rotation});
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(All(v), c.modes) << c.usb3 << " " << int{c.rotation};
    EXPECT_EQ(v->Modes.TableMaxWidth, c.max_w);
    EXPECT_EQ(v->Modes.TableMaxHeight, c.max_h);
  }
}

TEST_F(ModesTest, RotatedRecordIsOfferedHostSideAndSentUnchanged) {
  for (uint8_t rotation : {1, 3}) {
    ViewContext* v = View({Timing(1080, 1920, 60, 148500)}, {.rotation = rotation});
    ASSERT_NE(v, nullptr);
    ASSERT_EQ(All(v), (std::vector<ModeSize>{{1920, 1080, 60}}));
    EXPECT_EQ(v->Modes.Modes[0].HorizontalTotal, 1920u + 45);
    EXPECT_EQ(v->Modes.Modes[0].VerticalTotal, 1080u + 160);
    EXPECT_EQ(v->Modes.TableMaxWidth, 1920);
    EXPECT_EQ(v->Modes.TableMaxHeight, 1080);

    ASSERT_TRUE(SelectModeAndStart(v, 1920, 1080, 60, 32));
    EXPECT_EQ(v->Modes.Rotation, rotation);
    EXPECT_EQ(v->Modes.Width, 1920u);
    EXPECT_EQ(v->Modes.DeviceWidth, 1080u);
    EXPECT_EQ(v->Modes.DeviceHeight, 1920u);
    const protocol::TimingRecord sent = SentTiming(*chip_);
    EXPECT_EQ(sent.Width, 1080);
    EXPECT_EQ(sent.Height, 1920);
    EXPECT_EQ(sent.HSyncStart, 1080 + 48 + 1);
    EXPECT_TRUE(chip_->View(0).output_on);
    EXPECT_EQ(v->Modes.OutputWanted, 1);
  }
}

TEST_F(ModesTest, EmptyTableFailsTheRebuild) {
  chip::ChipProfile p = chip::MakeProfile({.views = 1});
  p.timing_tables[0].clear();
  host::Adapter& a = Opened(p);
  ASSERT_NE(a.handle(), nullptr);
  ViewContext* v = &a.handle()->Views[0];
  v->DeviceTimingCount = 0;
  EXPECT_EQ(ReadDeviceTimings(v), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RebuildModes(v), STATUS_UNSUCCESSFUL);
  // A table the chip cannot deliver fails too.
  v->DeviceTimingCount = 4;
  EXPECT_EQ(RebuildModes(v), STATUS_UNSUCCESSFUL);
}

TEST(PllTest, ParametersOfKnownClocks) {
  struct Case {
    uint32_t khz, ref;
    bool ok;
    uint8_t multiplier;
    uint16_t fraction;
    uint8_t code;
  };
  const Case cases[] = {
      {148500, 48, true, 24, 750, 1},   // divider 8, VCO 1188
      {148500, 40, true, 29, 699, 1},   // 29.7 truncated in double precision
      {25000, 48, true, 16, 666, 0},    // divider 32, VCO 800
      {400000, 48, true, 33, 333, 3},   // divider 4
      {297000, 40, true, 29, 699, 3},
      {400001, 48, false, 0, 0, 0},
      {24999, 48, false, 0, 0, 0},
      {148500, 0, false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    PllParameters p{};
    ASSERT_EQ(ComputePllParameters(c.khz, c.ref, &p), c.ok) << c.khz << " at " << c.ref;
    if (!c.ok) continue;
    EXPECT_EQ(p.Multiplier, c.multiplier) << c.khz << " at " << c.ref;
    EXPECT_EQ(p.Fraction, c.fraction) << c.khz << " at " << c.ref;
    EXPECT_EQ(p.DividerCode, c.code) << c.khz << " at " << c.ref;
    EXPECT_EQ(p.Denominator, 1000);
  }
  EXPECT_EQ(PllReferenceMhz(0), 48u);
  EXPECT_EQ(PllReferenceMhz(1), 40u);
  EXPECT_EQ(PllReferenceMhz(2), 0u);
}

TEST_F(ModesTest, RequestsPickTheFittingModeAndCentre) {
  ViewContext* v = View({Timing(1280, 720, 60), Timing(1920, 1080, 60), Timing(2560, 1440, 60),
                         Timing(2560, 1440, 30), Timing(1366, 768, 50)});
  ASSERT_NE(v, nullptr);
  struct Case {
    uint32_t w, h, r;
    bool ok;
    ModeSize mode;
    uint32_t x, y;
  };
  const Case cases[] = {
      {1366, 768, 60, true, {1920, 1080, 60}, 288, 160},  // 277 and 156 rounded up
      {1920, 1080, 60, true, {1920, 1080, 60}, 0, 0},
      {1366, 768, 50, true, {1366, 768, 50}, 0, 0},
      {1920, 1080, 75, true, {2560, 1440, 60}, 320, 192},  // no 75 Hz mode: the largest
      {1900, 1080, 60, true, {1920, 1080, 60}, 0, 0},      // 32 would run past the mode
      {2000, 1100, 30, true, {2560, 1440, 30}, 288, 176},
      {2561, 1440, 60, false, {}, 0, 0},
      {1920, 1441, 60, false, {}, 0, 0},
  };
  for (const Case& c : cases) {
    const bool ok = SelectModeAndStart(v, c.w, c.h, c.r, 32);
    ASSERT_EQ(ok, c.ok) << c.w << "x" << c.h << "@" << c.r;
    if (!ok) continue;
    EXPECT_EQ((ModeSize{v->Modes.Width, v->Modes.Height, SentTiming(*chip_).RefreshHz}), c.mode);
    EXPECT_EQ(v->Modes.OffsetX, c.x) << c.w;
    EXPECT_EQ(v->Modes.OffsetY, c.y) << c.h;
    EXPECT_LE(v->Modes.OffsetX + c.w, v->Modes.Width);
    EXPECT_LE(v->Modes.OffsetY + c.h, v->Modes.Height);
    EXPECT_EQ(v->PreferYuv, v->Modes.Width > 2048 ? 1 : 0);
  }
  EXPECT_FALSE(SelectModeAndStart(v, 1920, 1080, 60, 16));  // no 16-bit modes
}

TEST_F(ModesTest, ModeSetSendsTheMonitorsTimingWhenCached) {
  ViewContext* v = View({Timing(1920, 1080, 60, 148500), Timing(1280, 720, 60)});
  ASSERT_NE(v, nullptr);
  std::vector<uint8_t> edid = vorn::testing::EdidBuilder()
                                  .Detailed(0, vorn::testing::Dtd1080p60())
                                  .Standard(0, 1280, 3, 60)
                                  .Build();
  ProcessEdid(v, edid.data(), static_cast<uint32_t>(edid.size()));

  ASSERT_TRUE(SelectModeAndStart(v, 1920, 1080, 60, 32));
  protocol::TimingRecord sent = SentTiming(*chip_);
  EXPECT_EQ(sent.HSyncStart, 1920 + 88 + 1);  // the monitor's porch, not the table's 48
  EXPECT_EQ(sent.HorizontalTotal, 2200);
  EXPECT_EQ(sent.PllMultiplier, 24);

  ASSERT_TRUE(SelectModeAndStart(v, 1280, 720, 60, 32));
  sent = SentTiming(*chip_);
  EXPECT_EQ(sent.HSyncStart, 1280 + 48 + 1);  // the device record
  EXPECT_EQ(sent.HorizontalTotal, 1440);
}

TEST_F(ModesTest, EdidModesAreSetWhenTheBuffersHoldThem) {
  // The buffers hold the largest width by the largest height, 2560 x 1440, though no device
  // mode is that large.
  ViewContext* v = View({Timing(2560, 1080, 60), Timing(1920, 1440, 60)});
  ASSERT_NE(v, nullptr);
  ASSERT_EQ(v->Modes.BufferFrameBytes, ModeFrameBytes(2560, 1440));
  ASSERT_GE(v->SystemMem->SourceBufSize, v->Modes.BufferFrameBytes);
  ASSERT_GE(v->SystemFrameSize, v->Modes.BufferFrameBytes);
  std::vector<uint8_t> edid = vorn::testing::EdidBuilder()
                                  .Detailed(0, vorn::testing::DtdOf(241500, 2560, 1440))
                                  .Detailed(1, vorn::testing::DtdOf(99790, 1600, 900))
                                  .Build();
  ProcessEdid(v, edid.data(), static_cast<uint32_t>(edid.size()));
  const std::vector<ModeSize> offered = Offered(v);
  ASSERT_EQ(offered, (std::vector<ModeSize>{{1600, 900, 60}, {2560, 1440, 60}}));

  // An appended mode carries 32 bits per pixel, so the request finds it; it has no device
  // record, so its cached timing goes out.
  for (const ModeSize& m : offered) {
    SCOPED_TRACE(::testing::PrintToString(m));
    ASSERT_TRUE(SelectModeAndStart(v, m.w, m.h, m.r, 32));
    EXPECT_EQ(v->Modes.Width, m.w);
    EXPECT_EQ(SentTiming(*chip_).Width, m.w);
    EXPECT_EQ(SentTiming(*chip_).Height, m.h);
  }
}

// Real monitors on device tables whose maxima reach past the frame the view's buffers hold
// (records the list skips still count towards the maxima): a monitor timing that would not
// fit the buffers is not offered, and every mode that is offered can be set.
TEST_F(ModesTest, EveryOfferedModeOfARealMonitorCanBeSet) {
  struct Case {
    const char* name;
    std::vector<chip::DisplayTiming> table;
    bool usb3;
    ModeSize appended;  // the MSI monitor's 2560 x 1440 timing, which the tables lack
    bool offered;       // whether it is offered
  };
  const Case cases[] = {
      {"TallAndWideRecords",
       {Timing(2560, 1080, 60), Timing(1920, 1440, 60), Timing(1920, 1080, 60),
        Timing(1280, 720, 60), Timing(1024, 768, 60)},
       true, {2560, 1440, 60}, true},
      // The 1440-line record has no refresh: the list drops it, the maxima keep it.
      {"SkippedTallRecord",
       {Timing(2560, 1080, 60), Timing(1920, 1440, 0), Timing(1920, 1080, 60),
        Timing(1280, 720, 60), Timing(1024, 768, 60)},
       true, {2560, 1440, 60}, false},
      // Over USB 2 the maxima of a table with wider records read 2048 x 1200, above every
      // record the list keeps.
      {"Usb2Maxima",
       {Timing(2560, 1440, 60), Timing(1920, 1080, 60), Timing(1280, 720, 60),
        Timing(1024, 768, 60)},
       false, {2560, 1440, 60}, false},
  };
  const char* files[] = {"msi-mag321curv-dp.edid", "acer-p1276.edid",
                         "goldstar-ite6604-hdmi.edid", "sun-gh19ps-dvi.edid"};
  for (const Case& c : cases) {
    for (const char* file : files) {
      SCOPED_TRACE(std::string(c.name) + " " + file);
      std::vector<uint8_t> edid =
          chip::LoadEdidFile(std::string(VORN_TEST_DATA_DIR) + "/edid/" + file);
      ASSERT_GE(edid.size(), 128u);
      ViewContext* v = View(c.table, {.usb3 = c.usb3});
      ASSERT_NE(v, nullptr);
      ProcessEdid(v, edid.data(), static_cast<uint32_t>(edid.size()));
      const std::vector<ModeSize> offered = Offered(v);
      ASSERT_FALSE(offered.empty());
      if (std::string(file) == "msi-mag321curv-dp.edid") {
        const bool found =
            std::find(offered.begin(), offered.end(), c.appended) != offered.end();
        EXPECT_EQ(found, c.offered) << ::testing::PrintToString(c.appended);
      }
      for (const ModeSize& m : offered) {
        SCOPED_TRACE(::testing::PrintToString(m));
        EXPECT_LE(ModeFrameBytes(m.w, m.h), v->Modes.BufferFrameBytes);
        ASSERT_TRUE(SelectModeAndStart(v, m.w, m.h, m.r, 32));
        EXPECT_EQ(v->Modes.Width, m.w);
        EXPECT_EQ(v->Modes.Height, m.h);
      }
      StopViewThreads(v);
    }
  }
}

TEST_F(ModesTest, TargetModesCarryTheOfferedEntries) {
  ViewContext* v = View({Timing(1920, 1080, 60, 148500), Timing(1280, 720, 60, 74250)});
  ASSERT_NE(v, nullptr);
  v->Modes.Modes[0].Offered = 0;  // 1280 x 720
  ASSERT_EQ(BuildTargetModes(v), STATUS_SUCCESS);
  ASSERT_EQ(v->Modes.TargetCount, 1u);
  const TargetMode& t = v->Modes.Targets[0];
  EXPECT_EQ(t.Width, 1920u);
  EXPECT_EQ(t.Height, 1080u);
  EXPECT_EQ(t.PixelRateHz, 148500000u);
  EXPECT_EQ(t.HorizontalTotal, 2080u);
  EXPECT_EQ(t.VerticalTotal, 1125u);
  EXPECT_EQ(t.RefreshHz, 60);
  EXPECT_EQ(t.BitsPerPixel, 32);
  EXPECT_EQ(t.Valid, 1);

  v->Modes.Modes[1].Offered = 0;
  EXPECT_EQ(BuildTargetModes(v), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(v->Modes.TargetCount, 0u);
  EXPECT_EQ(v->Modes.Targets, nullptr);
}

TEST_F(ModesTest, StartReadsEveryViewsModesAndWideModesGetTheWideLayout) {
  for (bool wide : {false, true}) {
    chip::ChipProfile p = chip::MakeProfile({.views = 2});
    if (wide) {
      std::vector<uint8_t> r = chip::EncodeChipTiming(Timing(2560, 1440, 60));
      p.timing_tables[1].insert(p.timing_tables[1].end(), r.begin(), r.end());
      p.view_descriptor[1] = chip::MakeViewDescriptor(p.view_descriptor[1] & 0xF, 7);
      // The acquire marks the modes from the monitor's EDID: this one shows 2560 x 1440.
      p.monitors[1].edid =
          vorn::testing::EdidBuilder().Detailed(0, vorn::testing::DtdOf(241500, 2560, 1440)).Build();
    }
    host::Adapter& a = Opened(p);
    ASSERT_EQ(a.Start(), STATUS_SUCCESS) << wide;
    const SorvikDevice* d = a.handle();
    EXPECT_EQ(d->Views[0].Modes.ModeMaxWidth, 1920u);
    EXPECT_EQ(d->Views[1].Modes.ModeMaxWidth, wide ? 2560u : 1920u);
    EXPECT_EQ(d->Memory.Regions[1].Start == kWideRegion1Start, wide);
  }
}

TEST_F(ModesTest, StartFailsWhenATableCannotBeRead) {
  for (int views : {1, 2}) {
    chip::ChipProfile p = chip::MakeProfile({.views = views});
    p.timing_tables[views - 1].clear();
    host::Adapter& a = Opened(p);
    EXPECT_EQ(a.Start(), STATUS_UNSUCCESSFUL) << views;
    EXPECT_EQ(a.HeldDisplays(), 0u) << views;
  }
}

TEST_F(ModesTest, HostSetsAndListsModesThroughTheView) {
  // A monitor without an EDID gets the default offer, the whole standard table.
  chip::ChipProfile p = chip::MakeProfile({.views = 1});
  p.monitors[0].edid.clear();
  host::Adapter& a = Opened(p);
  ASSERT_EQ(a.Start(), STATUS_SUCCESS);
  const auto displays = a.Displays();
  ASSERT_EQ(displays.size(), 1u);
  const DisplayInterface& block = displays[0].block;
  ViewContext* view = static_cast<ViewContext*>(block.Context);

  TargetMode* modes = reinterpret_cast<TargetMode*>(1);
  ULONG count = 7;
  ASSERT_EQ(BuildTargetModes(view), STATUS_SUCCESS);
  EXPECT_EQ(block.GetModes(view, &modes, &count), STATUS_SUCCESS);
  EXPECT_EQ(modes, view->Modes.Targets);
  EXPECT_EQ(count, 6u);  // the standard table
  EXPECT_EQ(modes[count - 1].Width, 1920u);

  HostMode mode{1280, 720, 60, 32};
  EXPECT_EQ(block.SetMode(view, &mode), STATUS_SUCCESS);
  EXPECT_EQ(SentTiming(*chips_.back()).Width, 1280);
  mode = {4000, 3000, 60, 32};
  EXPECT_EQ(block.SetMode(view, &mode), STATUS_UNSUCCESSFUL);
  mode = {0, 0, 0, 0};
  EXPECT_EQ(block.SetMode(view, &mode), STATUS_SUCCESS);
  EXPECT_EQ(SentTiming(*chips_.back()).Width, 1280);
}

}  // namespace
}  // namespace vorn::display::testing
