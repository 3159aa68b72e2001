// The encode and send threads on a real device: the host sets a mode and presents a desktop,
// and the chip model ends up showing that desktop; black frames when output starts; a stop
// while a frame is still on its way.
#include <functional>
#include <random>

#include "display/device/device_threads.h"
#include "display/encode/encode_thread.h"
#include "tests/display/display_fixture.h"

namespace vorn::display::testing {
namespace {

using chip::MakeProfile;

class EncodeThreadTest : public DisplayTest {
 protected:
  // One view, FormatMode |format_mode| set after the open, started, the mode set.
  void Begin(uint8_t format_mode, uint32_t w = 1920, uint32_t h = 1080) {
    chip_ = &AddChip(MakeProfile({1, 64, true}));
    adapter_ = &AddAdapter(*chip_);
    ASSERT_TRUE(adapter_->Open());
    device_ = adapter_->handle();
    device_->FormatMode = format_mode;
    if (before_start_) before_start_(device_);
    ASSERT_EQ(adapter_->Start(), STATUS_SUCCESS);
    display_ = adapter_->HeldDisplay(0);
    ASSERT_NE(display_, nullptr);
    view_ = &device_->Views[0];
    w_ = w;
    h_ = h;
    std::vector<TargetMode> modes;
    ASSERT_EQ(adapter_->GetModes(display_, &modes), STATUS_SUCCESS);
    ULONG refresh = 0;
    for (const TargetMode& m : modes)
      if (m.Width == w && m.Height == h) refresh = m.RefreshHz;
    std::string offered;
    for (const TargetMode& m : modes)
      offered += " " + std::to_string(m.Width) + "x" + std::to_string(m.Height);
    ASSERT_NE(refresh, 0u) << "no " << w << " x " << h << " mode among" << offered;
    refresh_ = refresh;
    ASSERT_EQ(adapter_->SetMode(display_, w, h, refresh_), STATUS_SUCCESS);
    ASSERT_TRUE(view_->ThreadsRunning.load());
    desktop_.assign(size_t{w} * h * 4, 0);
  }
  void TearDown() override {
    if (!adapter_) return;
    EXPECT_EQ(chip_->violations().Messages(), std::vector<std::string>{});
    EXPECT_EQ(adapter_->Close(), STATUS_SUCCESS);
  }

  void Paint(uint32_t seed, uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1) {
    std::mt19937 rng(seed);
    for (uint32_t y = y0; y < y1; ++y)
      for (uint32_t x = x0; x < x1; ++x) {
        uint8_t* p = &desktop_[(size_t{y} * w_ + x) * 4];
        p[0] = static_cast<uint8_t>(rng());
        p[1] = static_cast<uint8_t>(rng());
        p[2] = static_cast<uint8_t>(rng());
        p[3] = 0xFF;
      }
  }
  NTSTATUS Present(uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1) {
    return adapter_->Present(display_, desktop_.data(), w_ * 4, {{x0, y0, x1, y1}});
  }
  // The monitor shows |want| (B, G, R compared), polled while the threads work.
  bool Shows(const std::vector<uint8_t>& want) {
    return Eventually([&] {
      auto shown = chip_->frames().Shown(0);
      if (!shown || shown->width != w_ || shown->height != h_) return false;
      for (size_t i = 0; i < want.size(); i += 4)
        if (shown->bgra[i] != want[i] || shown->bgra[i + 1] != want[i + 1] ||
            shown->bgra[i + 2] != want[i + 2])
          return false;
      return true;
    });
  }
  bool ShowsDesktop() { return Shows(desktop_); }
  // JPEG full frames of view 0 that have reached the chip.
  uint64_t JpegFullFrames() const {
    const auto counts = chip_->traffic().Counts();
    const auto it = counts.find(chip::TrafficKey{0, 3, 13});
    return it == counts.end() ? 0 : it->second.messages;
  }
  std::vector<uint8_t> Black() const { return std::vector<uint8_t>(desktop_.size(), 0); }

  chip::Chip* chip_ = nullptr;
  host::Adapter* adapter_ = nullptr;
  SorvikDevice* device_ = nullptr;
  DisplayInterface* display_ = nullptr;
  ViewContext* view_ = nullptr;
  uint32_t w_ = 0, h_ = 0;
  ULONG refresh_ = 0;
  std::vector<uint8_t> desktop_;
  std::function<void(SorvikDevice*)> before_start_;
};

TEST_F(EncodeThreadTest, RgbDesktopReachesTheMonitorExactly) {
  Begin(2);
  // The mode starts black: the initial blank frame, sent three times.
  EXPECT_TRUE(Shows(Black()));
  EXPECT_TRUE(Eventually([&] { return chip_->frames().Messages() >= 3; }));

  Paint(1, 0, 0, w_, h_);
  EXPECT_EQ(Present(0, 0, w_, h_), STATUS_SUCCESS);
  EXPECT_TRUE(ShowsDesktop());
  auto full = chip_->frames().LastFull(0);
  ASSERT_TRUE(full);
  EXPECT_EQ(full->format, 9u);

  // Small updates go as two-plane patches into that frame, anywhere on the screen.
  Paint(2, 100, 200, 101, 201);
  Paint(3, 1900, 1070, 1920, 1080);
  EXPECT_EQ(Present(100, 200, 101, 201), STATUS_SUCCESS);
  EXPECT_EQ(Present(1900, 1070, 1920, 1080), STATUS_SUCCESS);
  EXPECT_TRUE(ShowsDesktop());
  EXPECT_EQ(chip_->frames().LastFull(0)->sequence, full->sequence) << "patches, not frames";
}

TEST_F(EncodeThreadTest, OutputOffAndOnStartsWithABlackFrame) {
  Begin(2, 1024, 768);
  Paint(4, 0, 0, w_, h_);
  EXPECT_EQ(Present(0, 0, w_, h_), STATUS_SUCCESS);
  ASSERT_TRUE(ShowsDesktop());
  EXPECT_TRUE(chip_->View(0).output_on);

  RequestViewOutput(view_, false);
  EXPECT_TRUE(Eventually([&] { return !chip_->View(0).output_on; }));
  // Updates while the output is off are not sent; the monitor keeps what it had.
  const std::vector<uint8_t> old = desktop_;
  Paint(5, 0, 0, w_, h_);
  EXPECT_EQ(Present(0, 0, w_, h_), STATUS_SUCCESS);

  const uint64_t before = chip_->frames().Messages();
  RequestViewOutput(view_, true);
  EXPECT_TRUE(Eventually([&] { return chip_->View(0).output_on; }));
  // A black frame, then the whole screen as it stands now.
  EXPECT_TRUE(ShowsDesktop());
  EXPECT_GE(chip_->frames().Messages(), before + 2);
}

TEST_F(EncodeThreadTest, StopWhileAFrameIsOnItsWay) {
  Begin(2, 1024, 768);
  ASSERT_TRUE(Shows(Black()));
  ASSERT_TRUE(Eventually([&] { return chip_->frames().Messages() >= 3; }));
  {
    // Slow enough that the held write outlives the look at it.
    clock::ScopedSpeed slow(50);
    chip_->script().OnEndpoint(0x02, {chip::ScriptKind::kTimeOut, 1});
    Paint(6, 0, 0, w_, h_);
    EXPECT_EQ(Present(0, 0, w_, h_), STATUS_SUCCESS);
    EXPECT_TRUE(Eventually([&] { return chip_->HeldTransfers() > 0; }));
    // The host clears the mode: the encode thread ends although its packet is not consumed.
    EXPECT_EQ(adapter_->SetMode(display_, 0, 0, 0), STATUS_SUCCESS);
    EXPECT_FALSE(view_->ThreadsRunning.load());
    EXPECT_EQ(view_->EncodeThread, nullptr);
  }
  // The timed-out write failed and reset the pipe; the next mode set starts afresh.
  EXPECT_TRUE(Eventually([&] { return chip_->EndpointResets(0x02) > 0; }));
  ASSERT_EQ(adapter_->SetMode(display_, w_, h_, refresh_), STATUS_SUCCESS);
  EXPECT_EQ(Present(0, 0, w_, h_), STATUS_SUCCESS);
  EXPECT_TRUE(ShowsDesktop());
}

TEST_F(EncodeThreadTest, IdleRefreshIsOneRgbFullFrameInEveryFlipMode) {
  uint32_t flip = 0;
  before_start_ = [&](SorvikDevice* d) {
    d->ThreeStagingFrames = 1;
    d->FlipMode = flip;
  };
  for (uint32_t f : {0u, 2u, 3u}) {
    SCOPED_TRACE(f);
    flip = f;
    if (adapter_) {
      EXPECT_EQ(chip_->violations().Messages(), std::vector<std::string>{});
      EXPECT_EQ(adapter_->Close(), STATUS_SUCCESS);
    }
    Begin(0, 1024, 768);
    Paint(7, 0, 0, w_, h_);
    EXPECT_EQ(Present(0, 0, w_, h_), STATUS_SUCCESS);
    // The update, then after the quiet time the whole screen once more in 24-bit RGB.
    EXPECT_TRUE(ShowsDesktop());
    ASSERT_TRUE(Eventually([&] {
      auto full = chip_->frames().LastFull(0);
      return full && full->format == 9;
    }));
    EXPECT_TRUE(ShowsDesktop());
    // The next update brings the view back to JPEG with a full frame. The idle refresh
    // follows it within a millisecond or two, so the frame is counted, not looked for.
    const uint64_t jpeg_fulls = JpegFullFrames();
    Paint(8, 100, 100, 140, 140);
    EXPECT_EQ(Present(100, 100, 140, 140), STATUS_SUCCESS);
    EXPECT_TRUE(Eventually([&] { return JpegFullFrames() > jpeg_fulls; }));
  }
}

}  // namespace
}  // namespace vorn::display::testing
