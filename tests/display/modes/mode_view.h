// An opened one-view adapter whose chip lists a timing table chosen by the test, with the
// view's mode list read from it: the real neighbour for the mode list, EDID processing and
// the mode set.
#pragma once

#include <vector>

#include "display/modes/edid.h"
#include "display/modes/modes.h"
#include "sim/chip/chip_profile.h"
#include "sim/chip/timing_table.h"
#include "tests/display/display_fixture.h"

namespace vorn::display::testing {

// A timing with plausible blanking; the clock follows from the totals unless given.
inline chip::DisplayTiming Timing(uint16_t w, uint16_t h, uint8_t r, uint32_t clock_khz = 0) {
  const uint16_t ht = static_cast<uint16_t>(w + 160), vt = static_cast<uint16_t>(h + 45);
  if (!clock_khz) clock_khz = static_cast<uint32_t>(uint64_t{ht} * vt * r / 1000);
  return {clock_khz, r, w, 48, 32, ht, h, 3, 5, vt, true, false};
}

struct ModeSize {
  uint32_t w, h, r;
  bool operator==(const ModeSize&) const = default;
};
inline void PrintTo(const ModeSize& m, std::ostream* os) {
  *os << m.w << "x" << m.h << "@" << m.r;
}

struct ViewOptions {
  bool usb3 = true;
  uint8_t rotation = 0;
  uint32_t platform = 0;
};

class ModeViewTest : public DisplayTest {
 protected:
  // Opens the adapter, sets rotation and platform and reads the view's modes.
  ViewContext* View(const std::vector<chip::DisplayTiming>& table, ViewOptions o = {}) {
    chip::ChipProfile p = chip::MakeProfile({.views = 1, .usb3 = o.usb3});
    p.timing_tables[0].clear();
    for (const chip::DisplayTiming& t : table) {
      std::vector<uint8_t> r = chip::EncodeChipTiming(t);
      p.timing_tables[0].insert(p.timing_tables[0].end(), r.begin(), r.end());
    }
    p.view_descriptor[0] = chip::MakeViewDescriptor(p.view_descriptor[0] & 0xF,
                                                    static_cast<uint32_t>(table.size()));
    adapter_ = &Opened(p);
    chip_ = chips_.back().get();
    SorvikDevice* device = adapter_->handle();
    if (!device) return nullptr;
    device->Rotation = o.rotation;
    device->HwPlatform = o.platform;
    ViewContext* view = &device->Views[0];
    EXPECT_EQ(RebuildModes(view), STATUS_SUCCESS);
    return view;
  }

  static std::vector<ModeSize> Offered(const ViewContext* view) {
    std::vector<ModeSize> out;
    for (uint32_t i = 0; i < view->Modes.ModeCount; ++i) {
      const ModeEntry& e = view->Modes.Modes[i];
      if (e.Offered && e.Valid) out.push_back({e.Width, e.Height, e.Refresh});
    }
    return out;
  }
  static std::vector<ModeSize> All(const ViewContext* view) {
    std::vector<ModeSize> out;
    for (uint32_t i = 0; i < view->Modes.ModeCount; ++i) {
      const ModeEntry& e = view->Modes.Modes[i];
      out.push_back({e.Width, e.Height, e.Refresh});
    }
    return out;
  }

  host::Adapter* adapter_ = nullptr;
  chip::Chip* chip_ = nullptr;
};

}  // namespace vorn::display::testing
