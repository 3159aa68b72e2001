// The host keeps calling GetModes and SetMode on its views while the hot-plug thread takes
// view 1 away and hands it over again with another monitor, rebuilding that view's modes from
// the new EDID each time. Run under the thread sanitizer in CI; here it checks that every
// hand-over carries its monitor's EDID and modes and that the chip saw nothing out of order.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sim/chip/edid_blob.h"
#include "sim/chip/monitor_plug.h"
#include "tests/display/display_fixture.h"

namespace vorn::display::testing {
namespace {

class HotplugHostRaceTest : public DisplayTest {};

// The host's records of |view| of |adapter|, in the order of the acquires.
std::vector<host::DisplayRecord> Records(const host::Adapter& adapter, int view) {
  std::vector<host::DisplayRecord> out;
  for (const host::DisplayRecord& r : adapter.Displays())
    if (r.live == &adapter.handle()->Views[view].Display) out.push_back(r);
  return out;
}

TEST_F(HotplugHostRaceTest, HostCallsWhileTheThreadRebuildsTheModes) {
  // Slower than the fixture's clock, so that a swap takes long enough for the host's calls
  // to fall on every step of it.
  clock::ScopedSpeed speed(100);
  chip::Chip& chip = AddChip(chip::MakeProfile({.views = 2}));
  const Resources before = Resources::Now();
  host::Adapter& a = AddAdapter(chip);
  ASSERT_TRUE(a.Open());
  ASSERT_EQ(a.Start(), STATUS_SUCCESS);
  ASSERT_EQ(a.HeldDisplays(), 2u);

  std::atomic<bool> done{false};
  std::atomic<uint32_t> calls[2] = {0, 0};
  // One host thread per view: GetModes, then SetMode with the next offered mode. View 1 is
  // called only while the host holds it, as a host does; its hold may end during a call.
  auto host_thread = [&](int view) {
    uint32_t k = 0;
    while (!done.load()) {
      const auto records = Records(a, view);
      if (records.empty() || records.back().released || !records.back().context) {
        std::this_thread::yield();
        continue;
      }
      DisplayInterface* display = const_cast<DisplayInterface*>(records.back().live);
      std::vector<TargetMode> modes;
      if (NT_SUCCESS(a.GetModes(display, &modes)) && !modes.empty()) {
        const TargetMode& m = modes[k++ % modes.size()];
        a.SetMode(display, m.Width, m.Height, m.RefreshHz);
      }
      ++calls[view];
    }
  };
  std::thread host0(host_thread, 0), host1(host_thread, 1);

  constexpr int kSwaps = 6;
  std::vector<std::vector<uint8_t>> edids;
  for (int k = 0; k < kSwaps; ++k) {
    SCOPED_TRACE(k);
    ASSERT_TRUE(Eventually([&] { return calls[1].load() > 0 && calls[0].load() > 0; }));
    const size_t acquired = Records(a, 1).size();
    chip::UnplugMonitor(chip, 1);
    ASSERT_TRUE(Eventually([&] { return Records(a, 1).back().released; }));
    calls[1] = 0;
    chip::EdidTiming timing;
    timing.width = static_cast<uint16_t>(1280 + 64 * k);
    timing.height = 720;
    timing.pixel_clock_khz = 74250;
    edids.push_back(chip::MakeEdid("Monitor " + std::to_string(k), timing));
    chip::PlugMonitor(chip, 1, edids.back());
    ASSERT_TRUE(Eventually([&] {
      const auto r = Records(a, 1);
      return r.size() == acquired + 1 && !r.back().released;
    }));
  }
  ASSERT_TRUE(Eventually([&] { return calls[1].load() > 0; }));
  done = true;
  host0.join();
  host1.join();
  ASSERT_EQ(a.PowerEvent(kPowerEventStop), STATUS_SUCCESS);

  const auto records = Records(a, 1);
  ASSERT_EQ(records.size(), 1u + kSwaps);
  for (int k = 0; k < kSwaps; ++k) {
    SCOPED_TRACE(k);
    EXPECT_TRUE(records[k].released);
    const host::DisplayRecord& r = records[k + 1];
    EXPECT_EQ(r.edid, edids[k]);
  }
  EXPECT_FALSE(records.back().released);
  std::vector<TargetMode> modes;
  ASSERT_EQ(a.GetModes(&a.handle()->Views[1].Display, &modes), STATUS_SUCCESS);
  EXPECT_FALSE(modes.empty());
  EXPECT_FALSE(Records(a, 0).back().released);
  EXPECT_EQ(chip.violations().Count(), 0u);
  for (const std::string& m : chip.violations().Messages()) ADD_FAILURE() << m;
  // No thread, handle or heap is left behind by a release that met a mode set.
  ASSERT_EQ(a.Close(), STATUS_SUCCESS);
  EXPECT_EQ(Settled(before), before);
}

}  // namespace
}  // namespace vorn::display::testing
