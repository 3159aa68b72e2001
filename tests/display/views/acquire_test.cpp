#include <gtest/gtest.h>

#include <cstring>

#include "display/views/host_display.h"
#include "display/modes/edid.h"
#include "display/modes/modes.h"
#include "sim/chip/edid_blob.h"
#include "tests/display/views/views_fixture.h"
#include "tests/fixtures/edid_builder.h"

namespace vorn::display::testing {
namespace {

using AcquireTest = ViewsTest;

TEST_F(AcquireTest, EachViewIsHandedOverWithItsEdidAndCallbacks) {
  chip::ChipProfile p = chip::MakeProfile({.views = 2});
  chip::Chip& chip = AddChip(p);
  chip_ = &chip;
  adapter_ = &AddAdapter(chip);
  adapter_->SetTargetId(0x70);
  ASSERT_TRUE(adapter_->Open());
  ASSERT_EQ(adapter_->Start(), STATUS_SUCCESS);

  const auto displays = adapter_->Displays();
  ASSERT_EQ(displays.size(), 2u);
  for (uint32_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    ViewContext* view = View(i);
    const DisplayInterface& b = displays[i].block;
    EXPECT_EQ(displays[i].live, &view->Display);
    EXPECT_EQ(b.Context, view);
    EXPECT_EQ(b.WdfDevice, adapter_->handle()->WdfDevice);
    EXPECT_EQ(b.ViewCount, 2u);
    EXPECT_EQ(b.ViewIndex, i);
    EXPECT_EQ(b.MaxCursorWidth, 64);
    EXPECT_EQ(b.MaxCursorHeight, 64);
    EXPECT_NE(b.SetMode, nullptr);
    EXPECT_NE(b.Present, nullptr);
    EXPECT_NE(b.GetModes, nullptr);
    EXPECT_NE(b.SetGamma, nullptr);
    // The host wrote the id into the block inside the call; the plug-in left it there.
    EXPECT_EQ(b.TargetID, 0x70u + i);
    EXPECT_EQ(view->Display.TargetID, 0x70u + i);
    EXPECT_EQ(view->hDisplayContext, displays[i].context);
    const std::vector<uint8_t>& edid = p.monitors[i].edid;
    ASSERT_EQ(b.EdidSize, edid.size());
    ASSERT_NE(b.EdidBuffer, nullptr);
    EXPECT_EQ(std::memcmp(b.EdidBuffer, edid.data(), edid.size()), 0);

    std::vector<TargetMode> modes;
    ASSERT_EQ(adapter_->GetModes(adapter_->HeldDisplay(i), &modes), STATUS_SUCCESS);
    EXPECT_EQ(modes.size(), view->Modes.TargetCount);
    EXPECT_FALSE(modes.empty());
  }
}

TEST_F(AcquireTest, ASingleViewDeviceOnItsSecondOutputNamesItViewZeroOfOne) {
  chip::ChipProfile p = chip::MakeProfile({.views = 2});
  p.view_descriptor[0] = 0;
  p.monitors[0] = {};
  Started(p);
  ASSERT_EQ(adapter_->handle()->ViewCount, 1);
  const auto displays = adapter_->Displays();
  ASSERT_EQ(displays.size(), 1u);
  EXPECT_EQ(displays[0].block.Context, View(1));
  EXPECT_EQ(displays[0].block.ViewCount, 1u);
  EXPECT_EQ(displays[0].block.ViewIndex, 0u);
}

TEST_F(AcquireTest, WithoutAnEdidTheViewOffersTheDefaultModes) {
  chip::ChipProfile p = chip::MakeProfile({.views = 1});
  p.monitors[0].edid.clear();
  Started(p);
  const auto displays = adapter_->Displays();
  ASSERT_EQ(displays.size(), 1u);
  EXPECT_EQ(displays[0].block.EdidSize, 0u);
  EXPECT_EQ(displays[0].block.EdidBuffer, nullptr);
  EXPECT_GT(View()->Modes.TargetCount, 0u);
  uint32_t w = 0, h = 0;
  PickBestMode(View(), &w, &h);
  EXPECT_EQ(w, 1920u);
  EXPECT_EQ(h, 1080u);
}

// The previous monitor's EDID must not survive a monitor that gives none: neither for the
// host nor in the timing cache.
TEST_F(AcquireTest, AFailedFetchOrAHeaderlessBlockLeavesNoEdidBehind) {
  struct Case {
    const char* name;
    bool headerless;  // else the read fails
  };
  for (const Case& c : {Case{"block 0 without header", true}, Case{"failed read", false}}) {
    SCOPED_TRACE(c.name);
    chip::ChipProfile p = chip::MakeProfile({.views = 1});
    p.device_values[chip::kDeviceValueHwPlatform] = 0;  // a PLL reference, so timings are cached
    p.monitors[0].edid = vorn::testing::EdidBuilder()
                             .Detailed(0, vorn::testing::DtdOf(148500, 1920, 1080, 280, 45))
                             .Build();
    Started(p);
    ViewContext* view = View();
    ASSERT_EQ(view->EdidSize, 128u);
    bool cached = false;
    for (const TimingCacheEntry& e : view->Modes.TimingCache) cached |= e.Valid != 0;
    ASSERT_TRUE(cached);

    if (c.headerless) {
      std::vector<uint8_t> block(128, 0);
      block[0] = 0x12;  // not the header; the checksum still holds
      vorn::testing::FixChecksum(block.data());
      chip_->SetMonitorEdid(0, block);
    } else {
      chip_->script().OnRequest(protocol::ReqReadEdid, {chip::ScriptKind::kStall, 1});
    }
    uint8_t out[256];
    std::memset(out, 0xAA, sizeof out);
    uint32_t size = sizeof out;
    EXPECT_EQ(FetchEdid(view, out, &size, true), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(view->EdidSize, 0u);
    EXPECT_EQ(size, sizeof out);  // untouched size, zeroed destination
    EXPECT_EQ(out[0], 0);
    for (const TimingCacheEntry& e : view->Modes.TimingCache) EXPECT_EQ(e.Valid, 0);

    if (!c.headerless) chip_->script().OnRequest(protocol::ReqReadEdid, {chip::ScriptKind::kStall, 1});
    ASSERT_EQ(AcquireHostDisplay(view), STATUS_SUCCESS);
    const auto displays = adapter_->Displays();
    EXPECT_EQ(displays.back().block.EdidSize, 0u);
    EXPECT_EQ(displays.back().block.EdidBuffer, nullptr);
    EXPECT_GT(view->Modes.TargetCount, 0u);  // the default offer
  }
}

TEST_F(AcquireTest, DetectionDecidesWhetherAViewWithoutMonitorIsHandedOver) {
  struct Case {
    uint8_t detect;
    size_t displays;
  };
  for (const Case& c : {Case{1, 0}, Case{0, 1}}) {
    SCOPED_TRACE(c.detect);
    chip::ChipProfile p = chip::MakeProfile({.views = 1});
    p.monitors[0].connected = false;
    chip_ = &AddChip(p);
    adapter_ = &AddAdapter(*chip_);
    adapter_->wdf().SetRegistryBinary(u"DetectMonitor", {c.detect});
    ASSERT_TRUE(adapter_->Open());
    ASSERT_EQ(View()->DetectEnabled, c.detect);
    EXPECT_EQ(adapter_->Start(), STATUS_SUCCESS);
    EXPECT_EQ(adapter_->Displays().size(), c.displays);
    EXPECT_EQ(View()->hDisplayContext != 0, c.displays == 1);
    EXPECT_EQ(View()->Connected, 0);
  }
}

TEST_F(AcquireTest, ARefusingHostLeavesTheViewWithoutContext) {
  chip_ = &AddChip(chip::MakeProfile({.views = 1}));
  adapter_ = &AddAdapter(*chip_);
  adapter_->SetRefuseDisplays(true);
  ASSERT_TRUE(adapter_->Open());
  EXPECT_EQ(adapter_->Start(), STATUS_SUCCESS);
  EXPECT_EQ(adapter_->Displays().size(), 1u);
  EXPECT_EQ(View()->hDisplayContext, 0u);
  EXPECT_EQ(ReleaseHostDisplay(View()), STATUS_SUCCESS);
  EXPECT_EQ(adapter_->HeldDisplays(), 0u);
}

TEST_F(AcquireTest, ReleaseHandsTheContextBackOnce) {
  Started(chip::MakeProfile({.views = 1}));
  ASSERT_EQ(adapter_->HeldDisplays(), 1u);
  EXPECT_EQ(ReleaseHostDisplay(View()), STATUS_SUCCESS);
  EXPECT_EQ(View()->hDisplayContext, 0u);
  EXPECT_EQ(adapter_->HeldDisplays(), 0u);
  EXPECT_TRUE(adapter_->Displays()[0].released);
  EXPECT_EQ(ReleaseHostDisplay(View()), STATUS_SUCCESS);
}

TEST_F(AcquireTest, ASixBlockEdidIsReadTwiceIntoAGrownBuffer) {
  vorn::testing::EdidBuilder builder;
  builder.Detailed(0, vorn::testing::DtdOf(148500, 1920, 1080, 280, 45));
  for (int i = 0; i < 5; ++i) builder.Extension(vorn::testing::CeaBlock().Video({16}).Build());
  chip::ChipProfile p = chip::MakeProfile({.views = 1});
  p.monitors[0].edid = builder.Build();
  ASSERT_EQ(p.monitors[0].edid.size(), 768u);
  Started(p);

  std::vector<uint16_t> offsets;
  for (const auto& [value, index] : Requests(protocol::ReqReadEdid)) offsets.push_back(value);
  const std::vector<uint16_t> once = {0, 128, 256, 384, 512, 640};
  std::vector<uint16_t> twice = once;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(offsets, twice);
  ViewContext* view = View();
  EXPECT_EQ(view->EdidSize, 768u);
  EXPECT_EQ(view->EdidCapacity, 768u);
  const auto displays = adapter_->Displays();
  EXPECT_EQ(displays[0].block.EdidSize, 768u);
  EXPECT_EQ(std::memcmp(displays[0].block.EdidBuffer, p.monitors[0].edid.data(), 768), 0);

  // The grown buffer holds it from now on: one read.
  chip_->log().Clear();
  ASSERT_EQ(AcquireHostDisplay(view), STATUS_SUCCESS);
  EXPECT_EQ(Requests(protocol::ReqReadEdid).size(), 6u);
}

}  // namespace
}  // namespace vorn::display::testing
