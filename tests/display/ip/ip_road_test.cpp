// A started command-packet adapter on the chip model: frames go to the monitor as single bulk
// transfers with nothing asked of the device on the control pipe, the cursor travels as
// command packets on endpoint 0x04 (a 128-pixel shape in two pieces) and the monitor shows it,
// and the adapter stops, restarts and closes cleanly.
#include <optional>

#include "display/cursor/cursor.h"
#include "display/device/vendor_requests.h"
#include "protocol/bus_message.h"
#include "protocol/vendor_request.h"
#include "sim/chip/cursor_overlay.h"
#include "sim/chip/jpeg_decode.h"
#include "sim/host/desktop.h"
#include "sim/host/pointer.h"
#include "tests/display/ip/ip_fixture.h"

namespace vorn::display::testing {
namespace {

constexpr uint32_t kWidth = 1024, kHeight = 768;
// JPEG at quality 95 keeps a flat colour within a few steps.
constexpr int kFlatTolerance = 8;

struct Packet {
  uint16_t code, value, index, length;
  bool operator==(const Packet&) const = default;
};
void PrintTo(const Packet& p, std::ostream* os) {
  *os << std::hex << "{0x" << p.code << " v " << std::dec << p.value << " i " << p.index
      << " len " << p.length << "}";
}

uint32_t RgbAt(const std::optional<chip::Picture>& pic, uint32_t x, uint32_t y) {
  if (!pic || x >= pic->width || y >= pic->height) return 0xFF000000u;
  const uint8_t* p = &pic->bgra[(size_t{y} * pic->width + x) * 4];
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16;
}

bool Near(uint32_t a, uint32_t b) {
  if ((a | b) & 0xFF000000u) return false;
  for (int shift = 0; shift < 24; shift += 8) {
    const int d = static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF);
    if (d > kFlatTolerance || d < -kFlatTolerance) return false;
  }
  return true;
}

class IpRoadTest : public IpTest {
 protected:
  void SetUp() override {
    if (!chip::JpegDecoderAvailable()) GTEST_SKIP() << "the chip model has no JPEG decoder";
    before_ = Stable();
    chip_ = &AddChip(chip::MakeIpProfile());
    adapter_ = &AddAdapter(*chip_);
    ASSERT_TRUE(adapter_->Open());
    device_ = adapter_->handle();
    ASSERT_EQ(adapter_->Start(), STATUS_SUCCESS);
    display_ = adapter_->HeldDisplay();
    ASSERT_NE(display_, nullptr);
    ASSERT_EQ(adapter_->SetMode(display_, kWidth, kHeight, 60), STATUS_SUCCESS);
    pointer_.emplace(*adapter_, display_);
    chip_->log().Clear();
    // In real time from here: the plug-in's own time-outs must not run out on a slow machine.
    real_time_.emplace(1);
  }
  void TearDown() override {
    real_time_.reset();
    if (!adapter_) return;
    EXPECT_EQ(chip_->violations().Messages(), std::vector<std::string>{});
    EXPECT_EQ(chip_->ip_commands().Refused(), 0u);
    if (adapter_->IsOpen()) {
      EXPECT_EQ(adapter_->Close(), STATUS_SUCCESS);
    }
  }

  // Presents the whole desktop and waits until the monitor shows it: |colour| at every probe.
  bool ShowsDesktop(host::Desktop& desktop) {
    EXPECT_EQ(adapter_->Present(display_, desktop.data(), desktop.pitch(), desktop.TakeDirty()),
              STATUS_SUCCESS);
    return Eventually([&] {
      const std::optional<chip::Picture> shown = chip_->frames().Shown(0);
      if (!shown || shown->width != kWidth || shown->height != kHeight) return false;
      for (uint32_t y = 8; y < kHeight; y += 97)
        for (uint32_t x = 8; x < kWidth; x += 101)
          if (!Near(RgbAt(shown, x, y), desktop.At(x, y))) return false;
      return true;
    });
  }

  std::vector<Packet> Packets() const {
    std::vector<Packet> out;
    for (const std::vector<uint8_t>& p : chip_->CommandPackets()) {
      if (p.size() < 16) {
        ADD_FAILURE() << "a command packet of " << p.size() << " bytes";
        continue;
      }
      out.push_back({protocol::LoadLe16(&p[0]), protocol::LoadLe16(&p[2]),
                     protocol::LoadLe16(&p[4]), protocol::LoadLe16(&p[6])});
    }
    return out;
  }
  // Waits until the command packets end with |tail|.
  bool PacketsEndWith(const std::vector<Packet>& tail) {
    return Eventually([&] {
      const std::vector<Packet> all = Packets();
      return all.size() >= tail.size() && std::equal(tail.begin(), tail.end(),
                                                      all.end() - tail.size());
    });
  }
  ViewContext* View0() { return &device_->Views[0]; }
  size_t ControlCursorRequests() const {
    size_t n = 0;
    for (const chip::LoggedRequest& r : chip_->log().VendorRequests())
      n += r.setup.bRequest == protocol::ReqCursorPosition0 ||
           r.setup.bRequest == protocol::ReqCursorShow0 ||
           r.setup.bRequest == protocol::ReqCursorShape0;
    return n;
  }

  Resources before_;
  std::optional<clock::ScopedSpeed> real_time_;
  chip::Chip* chip_ = nullptr;
  host::Adapter* adapter_ = nullptr;
  SorvikDevice* device_ = nullptr;
  DisplayInterface* display_ = nullptr;
  std::optional<host::Pointer> pointer_;
};

TEST_F(IpRoadTest, FramesGoAsSingleTransfersAndReachTheMonitor) {
  host::Desktop desktop(kWidth, kHeight);
  desktop.Fill({0, 0, kWidth / 2, kHeight}, 0x4080C0);
  desktop.Fill({kWidth / 2, 0, kWidth, kHeight}, 0xC04020);
  ASSERT_TRUE(ShowsDesktop(desktop));
  desktop.Fill({100, 100, 300, 200}, 0x20E020);
  ASSERT_TRUE(ShowsDesktop(desktop));

  // Each message went in one transfer, header and all; every one a JPEG full frame.
  size_t transfers = 0;
  for (const chip::LoggedRequest& r : chip_->log().Snapshot()) {
    if (r.endpoint != 0x02) continue;
    ++transfers;
    ASSERT_GE(r.data.size(), 32u);
    EXPECT_EQ(protocol::LoadLe32(&r.data[4]) + 32u, r.length);
  }
  EXPECT_GE(transfers, 2u);
  for (const auto& [key, count] : chip_->traffic().Counts()) {
    EXPECT_EQ(key.type, 0u);
    EXPECT_EQ(key.format, 13u);
  }
  // Output, timing and monitor status are answered by the plug-in itself.
  EXPECT_EQ(chip_->log().VendorCodes(), std::vector<uint8_t>{});
  EXPECT_TRUE(chip_->CommandPackets().empty());
}

TEST_F(IpRoadTest, TheCursorTravelsAsCommandPacketsAndTheMonitorShowsIt) {
  host::Desktop desktop(kWidth, kHeight);
  desktop.Fill(desktop.bounds(), 0x4080C0);
  ASSERT_TRUE(ShowsDesktop(desktop));
  const std::optional<chip::Picture> alone = chip_->frames().Shown(0);

  // A 64-pixel image of 16,392 bytes in one packet, into the highest slot first, then select
  // and position.
  ASSERT_EQ(pointer_->SetShape(host::ArrowPointer(), 300, 200), STATUS_SUCCESS);
  ASSERT_TRUE(PacketsEndWith({{0x10, 4, 0, 16392}, {0x05, 4, 1, 0}, {0x04, 300, 200, 0}}));
  EXPECT_TRUE(Eventually([&] {
    const std::optional<chip::Picture> s = chip_->Screen(0);
    return RgbAt(s, 300, 200) == 0x000000 && RgbAt(s, 301, 202) == 0xFFFFFF &&
           RgbAt(s, 340, 240) == RgbAt(alone, 340, 240);
  }));

  // A 100-pixel shape becomes a 128-pixel image of 65,544 bytes: two pieces, at their offsets,
  // which the chip puts together into the image the plug-in stored.
  const host::PointerShape big =
      host::AlphaShape(100, 100, [](uint32_t x, uint32_t) { return x < 50 ? 0xFFFF0000u : 0u; });
  // The cursor is shown, so its thread may take the new shape before the host's new position:
  // the position may come as a packet of its own after the upload.
  const size_t mark = Packets().size();
  ASSERT_EQ(pointer_->SetShape(big, 500, 300), STATUS_SUCCESS);
  ASSERT_TRUE(PacketsEndWith({{0x04, 500, 300, 0}}));
  const std::vector<Packet> all = Packets();
  const std::vector<Packet> since(all.begin() + static_cast<std::ptrdiff_t>(mark), all.end());
  const std::vector<Packet> upload = {
      {0x10, 3, 0, 0x8000}, {0x10, 3, 0x8000, 65544 - 0x8000}, {0x05, 3, 1, 0}};
  ASSERT_GE(since.size(), 4u);
  EXPECT_TRUE(std::equal(upload.begin(), upload.end(), since.begin()))
      << ::testing::PrintToString(since);
  const CursorSlot& slot = View0()->Hwc->Slots[3];
  ASSERT_EQ(slot.Size + 8, 65544u);
  const chip::ViewSettings v = chip_->View(0);
  ASSERT_EQ(v.cursor_shapes.count(3), 1u);
  EXPECT_EQ(v.cursor_shapes.at(3), std::vector<uint8_t>(slot.Buffer, slot.Buffer + 65544));
  EXPECT_TRUE(Eventually([&] {
    const std::optional<chip::Picture> s = chip_->Screen(0);
    return RgbAt(s, 510, 310) == 0xFF0000 && RgbAt(s, 560, 310) == RgbAt(alone, 560, 310);
  }));

  // Moves and hides are packets too; the monitor then shows the desktop alone.
  ASSERT_EQ(pointer_->MoveTo(600, 400), STATUS_SUCCESS);
  ASSERT_TRUE(PacketsEndWith({{0x04, 600, 400, 0}}));
  ASSERT_EQ(pointer_->Hide(), STATUS_SUCCESS);
  ASSERT_TRUE(PacketsEndWith({{0x05, 3, 0, 0}}));
  EXPECT_TRUE(Eventually([&] {
    const std::optional<chip::Picture> s = chip_->Screen(0);
    return s && s->bgra == alone->bgra;
  }));

  // This mode's store does not look for a shape it holds: the arrow goes again, to slot 2.
  ASSERT_EQ(pointer_->SetShape(host::ArrowPointer(), 300, 200), STATUS_SUCCESS);
  ASSERT_TRUE(PacketsEndWith({{0x10, 2, 0, 16392}, {0x05, 2, 1, 0}, {0x04, 300, 200, 0}}));
  EXPECT_EQ(ControlCursorRequests(), 0u);
}

// A shape record too long for two pieces is refused before anything is sent.
TEST_F(IpRoadTest, AShapeRecordBeyondTwoPiecesIsRefused) {
  std::vector<uint8_t> record(0x8000 + 0x10000, 0x11);
  EXPECT_EQ(SendCursorShape(device_, 0, 1, record.data(), static_cast<uint32_t>(record.size())),
            STATUS_INVALID_PARAMETER);
  record.resize(0x8000 + 0xFFFF);
  EXPECT_EQ(SendCursorShape(device_, 0, 1, record.data(), static_cast<uint32_t>(record.size())),
            STATUS_SUCCESS);
  EXPECT_EQ(Packets(), (std::vector<Packet>{{0x10, 1, 0, 0x8000}, {0x10, 1, 0x8000, 0xFFFF}}));
  EXPECT_EQ(chip_->View(0).cursor_shapes.at(1), record);
}

TEST_F(IpRoadTest, PowerEventsStopAndRestartAndCloseLeavesNothing) {
  host::Desktop desktop(kWidth, kHeight);
  desktop.Fill(desktop.bounds(), 0x2060A0);
  ASSERT_TRUE(ShowsDesktop(desktop));
  ASSERT_EQ(pointer_->SetShape(host::ArrowPointer(), 100, 100), STATUS_SUCCESS);
  ASSERT_TRUE(PacketsEndWith({{0x04, 100, 100, 0}}));

  // Stop: no reader, no thread; twice is harmless. Nothing goes to the device.
  for (int i = 0; i < 2; ++i) EXPECT_EQ(adapter_->PowerEvent(3), STATUS_SUCCESS);
  EXPECT_EQ(device_->SendThread.Running, 0);
  EXPECT_EQ(View0()->ThreadsRunning, 0);
  EXPECT_EQ(device_->InterruptReaderStarted, 0);
  EXPECT_TRUE(Eventually([&] { return chip_->interrupts().WaitingReads() == 0; }));
  EXPECT_EQ(chip_->log().VendorCodes(), std::vector<uint8_t>{});

  // Restart: the reader, the send thread and the display start again; the view's threads wait
  // for the host's next mode, and every shape is uploaded again.
  EXPECT_EQ(adapter_->PowerEvent(4), STATUS_SUCCESS);
  EXPECT_EQ(chip_->log().VendorCodes(), std::vector<uint8_t>{protocol::ReqStartDisplay});
  EXPECT_EQ(device_->SendThread.Running, 1);
  EXPECT_TRUE(Eventually([&] { return chip_->interrupts().WaitingReads() > 0; }));
  EXPECT_EQ(View0()->ThreadsRunning, 0);
  ASSERT_EQ(adapter_->SetMode(display_, kWidth, kHeight, 60), STATUS_SUCCESS);
  desktop.Fill({0, 0, kWidth, kHeight / 2}, 0xE0E040);
  ASSERT_TRUE(ShowsDesktop(desktop));
  // A new shape after the restart goes to the highest slot again, and the chip holds it there.
  ASSERT_EQ(pointer_->SetShape(host::HandPointer(), 120, 90), STATUS_SUCCESS);
  ASSERT_TRUE(PacketsEndWith({{0x04, 120, 90, 0}}));
  EXPECT_TRUE(Eventually([&] {
    const chip::ViewSettings v = chip_->View(0);
    const CursorSlot& slot = View0()->Hwc->Slots[4];
    auto held = v.cursor_shapes.find(4);
    return v.cursor_visible && v.cursor_slot == 4 && held != v.cursor_shapes.end() &&
           slot.Buffer && held->second == std::vector<uint8_t>(slot.Buffer, slot.Buffer + 16392);
  }));
  EXPECT_EQ(View0()->Hwc->CurrentSlot, 4);

  // Close: everything stopped and given back, no read left at the chip.
  real_time_.reset();
  EXPECT_EQ(adapter_->Close(), STATUS_SUCCESS);
  EXPECT_EQ(chip_->HeldTransfers(), 0u);
  EXPECT_EQ(chip_->interrupts().WaitingReads(), 0u);
  EXPECT_EQ(Settled(before_), before_);
}

}  // namespace
}  // namespace vorn::display::testing
