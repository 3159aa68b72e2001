// A started adapter on the chip model with a mode set on view 0 (and view 1 on a two-view
// chip), a pointer the host moves, and helpers to read the cursor requests the chip took.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "display/cursor/cursor.h"
#include "protocol/vendor_request.h"
#include "sim/chip/chip_profile.h"
#include "sim/host/pointer.h"
#include "tests/display/display_fixture.h"

namespace vorn::display::testing {

// One cursor request as the chip logged it.
struct CursorWire {
  uint8_t code;
  uint16_t value, index, length;
  bool operator==(const CursorWire&) const = default;
};
inline void PrintTo(const CursorWire& w, std::ostream* os) {
  *os << "{0x" << std::hex << int{w.code} << " v " << std::dec << w.value << " i " << w.index
      << " len " << w.length << "}";
}

inline bool IsCursorCode(uint8_t code) {
  return code == protocol::ReqCursorPosition0 || code == protocol::ReqCursorPosition1 ||
         code == protocol::ReqCursorShow0 || code == protocol::ReqCursorShow1 ||
         code == protocol::ReqCursorShape0 || code == protocol::ReqCursorShape1;
}

class CursorTest : public DisplayTest {
 protected:
  // Opens and starts an adapter over a chip of |views| views, the device at |rotation|, and
  // sets |w| x |h| on every held display.
  void Begin(int views = 1, uint8_t rotation = 0, uint32_t w = 1920, uint32_t h = 1080) {
    chip_ = &AddChip(chip::MakeProfile({views, 64, true}));
    adapter_ = &AddAdapter(*chip_);
    ASSERT_TRUE(adapter_->Open());
    device_ = adapter_->handle();
    device_->Rotation = rotation;
    ASSERT_EQ(adapter_->Start(), STATUS_SUCCESS);
    w_ = w;
    h_ = h;
    for (int i = 0; i < views; ++i) {
      DisplayInterface* display = adapter_->HeldDisplay(i);
      ASSERT_NE(display, nullptr);
      std::vector<TargetMode> modes;
      ASSERT_EQ(adapter_->GetModes(display, &modes), STATUS_SUCCESS);
      ULONG refresh = 0;
      for (const TargetMode& m : modes)
        if (m.Width == w && m.Height == h) refresh = m.RefreshHz;
      ASSERT_NE(refresh, 0u) << "no " << w << " x " << h << " mode";
      ASSERT_EQ(adapter_->SetMode(display, w, h, refresh), STATUS_SUCCESS);
      refresh_ = refresh;
      displays_.push_back(display);
      pointers_.emplace_back(*adapter_, display);
    }
    chip_->log().Clear();
    // From here on in real time: the device lock's 5 s and the shape lock's 2 s must not run
    // out because the machine is slow (a failed request is not retried).
    real_time_.emplace(1);
  }
  void TearDown() override {
    real_time_.reset();
    if (!adapter_) return;
    EXPECT_EQ(chip_->violations().Messages(), std::vector<std::string>{});
    EXPECT_EQ(adapter_->Close(), STATUS_SUCCESS);
  }

  ViewContext* View(int i = 0) { return static_cast<ViewContext*>(displays_[i]->Context); }
  HwcContext* Hwc(int i = 0) { return View(i)->Hwc; }
  host::Pointer& Pointer(int i = 0) { return pointers_[i]; }

  // The cursor requests since the log was last cleared, in order.
  std::vector<CursorWire> CursorRequests() const {
    std::vector<CursorWire> out;
    for (const chip::LoggedRequest& r : chip_->log().VendorRequests())
      if (IsCursorCode(r.setup.bRequest))
        out.push_back({r.setup.bRequest, r.setup.wValue, r.setup.wIndex, r.setup.wLength});
    return out;
  }
  size_t Count(uint8_t code) const {
    size_t n = 0;
    for (const CursorWire& w : CursorRequests()) n += w.code == code;
    return n;
  }
  // Waits (real time) until the cursor thread of view |i| finished |n| passes in all.
  bool PassesReach(uint32_t n, int i = 0) {
    return Eventually([&] { return Hwc(i)->Passes.load() >= n; });
  }
  // Waits until the chip's cursor of |view| stands at the device position (x, y), shown.
  bool ChipCursorAt(int32_t x, int32_t y, int view = 0) {
    return Eventually([&] {
      const chip::ViewSettings v = chip_->View(view);
      return v.cursor_visible && protocol::CursorCoordinateFromWire(v.cursor_x) == x &&
             protocol::CursorCoordinateFromWire(v.cursor_y) == y;
    });
  }

  std::optional<clock::ScopedSpeed> real_time_;
  chip::Chip* chip_ = nullptr;
  host::Adapter* adapter_ = nullptr;
  SorvikDevice* device_ = nullptr;
  std::vector<DisplayInterface*> displays_;
  std::vector<host::Pointer> pointers_;
  uint32_t w_ = 0, h_ = 0;
  ULONG refresh_ = 0;
};

}  // namespace vorn::display::testing
