// An opened adapter over the chip model, started through the host so each view went through
// the real hand-shake, with helpers to read what the chip saw.
#pragma once

#include <vector>

#include "display/device/device.h"
#include "protocol/vendor_request.h"
#include "sim/chip/chip_profile.h"
#include "tests/display/display_fixture.h"

namespace vorn::display::testing {

class ViewsTest : public DisplayTest {
 protected:
  host::Adapter& Started(chip::ChipProfile profile, host::InterfaceVersion v = host::kVersion15) {
    chip_ = &AddChip(std::move(profile));
    adapter_ = &AddAdapter(*chip_, v);
    EXPECT_TRUE(adapter_->Open());
    EXPECT_EQ(adapter_->Start(), STATUS_SUCCESS);
    return *adapter_;
  }
  ViewContext* View(int i = 0) { return &adapter_->handle()->Views[i]; }

  // The vendor requests of |code| since the log was last cleared: {wValue, wIndex}.
  std::vector<std::pair<uint16_t, uint16_t>> Requests(uint8_t code) const {
    std::vector<std::pair<uint16_t, uint16_t>> out;
    for (const chip::LoggedRequest& r : chip_->log().VendorRequests())
      if (r.setup.bRequest == code) out.push_back({r.setup.wValue, r.setup.wIndex});
    return out;
  }
  std::vector<uint8_t> Codes() const { return chip_->log().VendorCodes(); }

  chip::Chip* chip_ = nullptr;
  host::Adapter* adapter_ = nullptr;
};

}  // namespace vorn::display::testing
