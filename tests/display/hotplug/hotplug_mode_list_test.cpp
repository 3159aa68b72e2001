// The host reads a view's TargetMode array through the pointer GetModes gave it, and the EDID
// through the pointer in its DisplayInterface, and may go on reading them while the hot-plug
// thread takes the view away and hands it over again with another monitor. Every array the
// host was given stays readable, unchanged, until the adapter closes, and a monitor that comes
// back gets the array it had before; an EDID buffer replaced by a larger one stays readable
// too.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sim/chip/edid_blob.h"
#include "sim/chip/monitor_plug.h"
#include "tests/display/display_fixture.h"
#include "tests/fixtures/edid_builder.h"

namespace vorn::display::testing {
namespace {

class HotplugModeListTest : public DisplayTest {
 protected:
  // The host's records of |view|, in the order of the acquires.
  std::vector<host::DisplayRecord> Records(const host::Adapter& a, int view) const {
    std::vector<host::DisplayRecord> out;
    for (const host::DisplayRecord& r : a.Displays())
      if (r.live == &a.handle()->Views[view].Display) out.push_back(r);
    return out;
  }
  // The array and count the view's GetModes hands out now, as the host sees them.
  static std::pair<const TargetMode*, ULONG> Held(DisplayInterface* display) {
    TargetMode* modes = nullptr;
    ULONG count = 0;
    EXPECT_EQ(display->GetModes(display->Context, &modes, &count), STATUS_SUCCESS);
    return {modes, count};
  }
  // Unplugs view 1's monitor and plugs |edid| in; returns once the host holds the view again.
  void Swap(chip::Chip& chip, host::Adapter& a, const std::vector<uint8_t>& edid) {
    const size_t acquired = Records(a, 1).size();
    chip::UnplugMonitor(chip, 1);
    ASSERT_TRUE(Eventually([&] { return Records(a, 1).back().released; }));
    chip::PlugMonitor(chip, 1, edid);
    ASSERT_TRUE(Eventually([&] {
      const auto r = Records(a, 1);
      return r.size() == acquired + 1 && !r.back().released && r.back().context;
    }));
  }
};

bool Same(const std::vector<TargetMode>& a, const std::vector<TargetMode>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(TargetMode)) == 0;
}

std::vector<uint8_t> MonitorOf(uint16_t width, uint16_t height, uint32_t clock_khz) {
  chip::EdidTiming timing;
  timing.width = width;
  timing.height = height;
  timing.pixel_clock_khz = clock_khz;
  return chip::MakeEdid("Monitor", timing);
}

TEST_F(HotplugModeListTest, ArraysTheHostHoldsOutliveEveryHotplug) {
  chip::ChipProfile profile = chip::MakeProfile({.views = 2});
  const std::vector<uint8_t> first = profile.monitors[1].edid;
  ASSERT_FALSE(first.empty());
  chip::Chip& chip = AddChip(std::move(profile));
  const Resources before = Resources::Now();
  host::Adapter& a = AddAdapter(chip);
  ASSERT_TRUE(a.Open());
  ASSERT_EQ(a.Start(), STATUS_SUCCESS);
  ASSERT_TRUE(Eventually([&] {
    const auto r = Records(a, 1);
    return !r.empty() && r.back().context && !r.back().released;
  }));
  DisplayInterface* display = &a.handle()->Views[1].Display;

  // Each swap's list as the host was handed it: the pointer and what it read at once.
  struct HeldList {
    const TargetMode* modes;
    std::vector<TargetMode> seen;
  };
  std::vector<HeldList> held;
  auto take = [&] {
    const auto [modes, count] = Held(display);
    EXPECT_NE(modes, nullptr);
    held.push_back({modes, std::vector<TargetMode>(modes, modes + count)});
  };
  take();
  // Other monitors, each marking a device mode of its own.
  const std::vector<uint8_t> monitors[] = {MonitorOf(1280, 720, 74250),
                                           MonitorOf(1680, 1050, 146250)};
  for (const std::vector<uint8_t>& edid : monitors) {
    Swap(chip, a, edid);
    take();
    EXPECT_NE(held.back().modes, held[held.size() - 2].modes) << "a new list, a new array";
    EXPECT_FALSE(Same(held.back().seen, held[held.size() - 2].seen));
  }
  // The first monitor again: the host gets the array it was given for it before.
  Swap(chip, a, first);
  take();
  EXPECT_EQ(held.back().modes, held.front().modes);
  EXPECT_TRUE(Same(held.back().seen, held.front().seen));

  // Every array the host kept still holds what it read from it.
  for (size_t k = 0; k < held.size(); ++k) {
    SCOPED_TRACE(k);
    const std::vector<TargetMode> now(held[k].modes, held[k].modes + held[k].seen.size());
    EXPECT_TRUE(Same(now, held[k].seen));
  }
  ASSERT_EQ(a.Close(), STATUS_SUCCESS);
  EXPECT_EQ(Settled(before), before);
}

TEST_F(HotplugModeListTest, EdidBufferTheHostHoldsOutlivesItsGrowth) {
  chip::Chip& chip = AddChip(chip::MakeProfile({.views = 2}));
  const Resources before = Resources::Now();
  host::Adapter& a = AddAdapter(chip);
  ASSERT_TRUE(a.Open());
  ASSERT_EQ(a.Start(), STATUS_SUCCESS);
  ASSERT_TRUE(Eventually([&] {
    const auto r = Records(a, 1);
    return !r.empty() && r.back().context && !r.back().released;
  }));
  const DisplayInterface* display = &a.handle()->Views[1].Display;
  const UCHAR* held = display->EdidBuffer;
  ASSERT_NE(held, nullptr);
  ASSERT_EQ(display->EdidSize, 128u);

  // Six blocks do not fit the buffer the view started with.
  vorn::testing::EdidBuilder builder;
  builder.Detailed(0, vorn::testing::DtdOf(148500, 1920, 1080, 280, 45));
  for (int i = 0; i < 5; ++i) builder.Extension(vorn::testing::CeaBlock().Video({16}).Build());
  const std::vector<uint8_t> longer = builder.Build();
  ASSERT_EQ(longer.size(), 768u);
  Swap(chip, a, longer);
  ASSERT_EQ(display->EdidSize, 768u);
  EXPECT_NE(display->EdidBuffer, held);
  EXPECT_EQ(std::memcmp(display->EdidBuffer, longer.data(), longer.size()), 0);
  // The old buffer is still the host's to read: it holds an EDID, not freed memory.
  static constexpr uint8_t kHeader[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
  EXPECT_EQ(std::memcmp(held, kHeader, sizeof kHeader), 0);
  ASSERT_EQ(a.Close(), STATUS_SUCCESS);
  EXPECT_EQ(Settled(before), before);
}

}  // namespace
}  // namespace vorn::display::testing
