// The cursor on its thread against the chip model: hiding off screen and negative
// coordinates, rotated positions, the re-upload a refresh request asks for, the shape lock's
// time-out on both sides, a pointer that moves fast while frames flow, and the monitor showing
// the pointer where the host put it.
#include "display/device/vendor_requests.h"
#include "sim/host/desktop.h"
#include "tests/display/cursor/cursor_fixture.h"

namespace vorn::display::testing {
namespace {

// 16 x 16 of white with its hot spot in the middle.
host::PointerShape Square() {
  host::PointerShape s = host::ColorShape(16, 16, [](uint32_t, uint32_t) { return 0x00FFFFFFu; });
  s.hot_x = 8;
  s.hot_y = 8;
  return s;
}

TEST_F(CursorTest, OffScreenHidesAndNegativeCoordinatesGoAsTheirWireForm) {
  Begin();
  ASSERT_EQ(Pointer().SetShape(Square(), 30, 40), STATUS_SUCCESS);
  ASSERT_TRUE(ChipCursorAt(30, 40));
  struct Step {
    const char* what;
    int32_t x, y;
    bool visible;
    uint16_t wire_x, wire_y;  // of the last position sent
  };
  const Step steps[] = {
      {"x -5 with hot spot 8 stays on screen", -5, 40, true, 0xFFFA, 40},
      {"x -9 leaves the screen", -9, 40, false, 0xFFFA, 40},
      {"back on screen", 100, -3, true, 100, 0xFFFC},
      {"past the right edge", 1921, 10, false, 100, 0xFFFC},
      {"at the right edge", 1920, 1080, true, 1920, 1080},
      {"above the top", 10, -9, false, 1920, 1080},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    ASSERT_EQ(Pointer().MoveTo(s.x, s.y), STATUS_SUCCESS);
    ASSERT_TRUE(Eventually([&] {
      const chip::ViewSettings v = chip_->View(0);
      return v.cursor_visible == s.visible && v.cursor_x == s.wire_x && v.cursor_y == s.wire_y;
    }));
    if (s.visible) {
      EXPECT_EQ(CursorRequests().back(),
                (CursorWire{protocol::ReqCursorPosition0, s.wire_x, s.wire_y, 0}));
    } else {
      EXPECT_EQ(CursorRequests().back(), (CursorWire{protocol::ReqCursorShow0, 0, 0, 0}));
    }
  }
}

TEST_F(CursorTest, PositionsTurnWithTheView) {
  Begin();
  // A 64-pixel image at (100, 200) of a 1920 x 1080 mode.
  ASSERT_EQ(Pointer().SetShape(host::ArrowPointer(), 100, 200), STATUS_SUCCESS);
  ASSERT_TRUE(ChipCursorAt(100, 200));
  struct Case {
    uint8_t rotation;
    int32_t x, y;
  };
  const Case cases[] = {{1, 816, 100}, {2, 1756, 816}, {3, 200, 1756}, {0, 100, 200}};
  for (const Case& c : cases) {
    SetCursorMode(Hwc(), 1920, 1080, c.rotation);
    ASSERT_EQ(Pointer().MoveTo(100, 200), STATUS_SUCCESS);
    EXPECT_TRUE(ChipCursorAt(c.x, c.y)) << "rotation " << +c.rotation;
  }
}

TEST_F(CursorTest, ARefreshRequestUploadsTheShapeAgainAndSendsThePosition) {
  Begin();
  ASSERT_EQ(Pointer().SetShape(host::ArrowPointer(), 50, 60), STATUS_SUCCESS);
  ASSERT_TRUE(ChipCursorAt(50, 60));
  ASSERT_TRUE(Eventually([&] { return Count(protocol::ReqCursorPosition0) == 1; }));
  chip_->log().Clear();
  // The device lost what it held.
  chip_->View(0);
  chip_->RaiseRefresh();
  ASSERT_TRUE(Eventually([&] { return Count(protocol::ReqCursorPosition0) == 1; }));
  EXPECT_EQ(Count(protocol::ReqCursorShape0), 33u);
  EXPECT_EQ(CursorRequests().back(), (CursorWire{protocol::ReqCursorPosition0, 50, 60, 0}));
  EXPECT_EQ(Hwc()->Slots[Hwc()->CurrentSlot.load()].State, 1);
}

TEST_F(CursorTest, AShapeLockTimeOutDropsTheHostsUpdateAndSkipsTheThreadsPass) {
  Begin();
  ASSERT_EQ(Pointer().SetShape(host::ArrowPointer(), 50, 60), STATUS_SUCCESS);
  ASSERT_TRUE(ChipCursorAt(50, 60));
  ASSERT_TRUE(Eventually([&] { return Count(protocol::ReqCursorPosition0) == 1; }));
  chip_->log().Clear();
  const std::vector<uint8_t> arrow(Hwc()->Image.Image, Hwc()->Image.Image + kCursorImageCapacity);

  // The fast clock makes the 2 s waits short.
  real_time_.reset();
  LockUntimed(device_, Hwc()->ShapeLock);
  // The host's update: the shape and the move wait 2 s each, then are dropped.
  ASSERT_EQ(Pointer().SetShape(host::HandPointer(), 300, 300), STATUS_SUCCESS);
  EXPECT_EQ(View()->PendingCursorFlags, 0u);
  EXPECT_EQ(Hwc()->HostX, 50);
  // The thread's pass: a refresh request wakes it, its wait times out and the pass is skipped.
  const uint32_t skipped = Hwc()->SkippedPasses.load();
  chip_->RaiseRefresh();
  ASSERT_TRUE(Eventually([&] { return Hwc()->SkippedPasses.load() == skipped + 1; }));
  Unlock(device_, Hwc()->ShapeLock);
  real_time_.emplace(1);

  EXPECT_EQ(std::vector<uint8_t>(Hwc()->Image.Image, Hwc()->Image.Image + kCursorImageCapacity),
            arrow);
  // The next move goes; nothing of the dropped work went before it.
  ASSERT_EQ(Pointer().MoveTo(70, 80), STATUS_SUCCESS);
  ASSERT_TRUE(ChipCursorAt(70, 80));
  EXPECT_EQ(CursorRequests(), (std::vector<CursorWire>{{protocol::ReqCursorPosition0, 70, 80, 0}}));
}

TEST_F(CursorTest, AFastPointerSendsTheLatestPositionOnlyAndNeverWaitsForTheDevice) {
  Begin(1, 0, 1024, 768);
  ASSERT_EQ(Pointer().SetShape(host::ArrowPointer(), 0, 0), STATUS_SUCCESS);
  ASSERT_TRUE(ChipCursorAt(0, 0));
  host::Desktop desktop(w_, h_);
  desktop.Fill(desktop.bounds(), 0x204060);
  ASSERT_EQ(adapter_->Present(displays_[0], desktop.data(), desktop.pitch(), desktop.TakeDirty()),
            STATUS_SUCCESS);
  ASSERT_TRUE(Eventually([&] { return chip_->frames().FullFrames(0) >= 1; }));
  chip_->log().Clear();
  const uint64_t messages = chip_->frames().Messages();

  // The fixture runs in real time, so the cursor thread's wait for the device lock outlasts
  // the moves.
  // Another request holds the device: the cursor thread's position has to wait for it, and
  // the host's moves must not.
  ASSERT_EQ(AcquireDeviceLock(device_), STATUS_SUCCESS);
  int32_t x = 0, y = 0;
  for (int i = 1; i <= 10000; ++i) {
    x = (i * 7) % 1000;
    y = (i * 3) % 700;
    ASSERT_EQ(Pointer().MoveTo(x, y), STATUS_SUCCESS);
    if (i % 500 == 0) {
      desktop.Fill({static_cast<ULONG>(i / 50), 100, static_cast<ULONG>(i / 50 + 40), 140},
                   0xC0C0C0);
      ASSERT_EQ(
          adapter_->Present(displays_[0], desktop.data(), desktop.pitch(), desktop.TakeDirty()),
          STATUS_SUCCESS);
    }
  }
  ReleaseDeviceLock(device_);
  ASSERT_TRUE(ChipCursorAt(x, y)) << "the cursor ends where the host left it";
  EXPECT_TRUE(Eventually([&] { return chip_->frames().Messages() > messages; })) << "frames flowed";
  // At most the one position that waited for the lock, and the latest.
  const size_t positions = Count(protocol::ReqCursorPosition0);
  EXPECT_GE(positions, 1u);
  EXPECT_LE(positions, 2u);
}

// The monitor shows the pointer over the desktop at the host's position, each kind of image
// combined with the screen its own way.
TEST_F(CursorTest, TheMonitorShowsThePointerWhereTheHostPutIt) {
  Begin(1, 0, 1024, 768);
  host::Desktop desktop(w_, h_);
  desktop.Fill(desktop.bounds(), 0x4080C0);
  ASSERT_EQ(adapter_->Present(displays_[0], desktop.data(), desktop.pitch(), desktop.TakeDirty()),
            STATUS_SUCCESS);
  // The desktop alone, as the monitor shows it once the frame arrived.
  std::optional<chip::Picture> alone;
  ASSERT_TRUE(Eventually([&] {
    alone = chip_->frames().Shown(0);
    return alone && alone->bgra.size() == desktop.pixels().size() &&
           std::equal(alone->bgra.begin(), alone->bgra.end(), desktop.pixels().begin(),
                      [](uint8_t a, uint8_t b) { return a == b || b == 0xFF; });
  }));
  enum Kind { kScreen, kInverted, kColour, kBlended };
  struct Probe {
    int32_t dx, dy;
    Kind kind;
    uint32_t rgb = 0;  // kColour
  };
  struct Case {
    const char* name;
    host::PointerShape shape;
    int32_t x, y;
    std::vector<Probe> probes;
  };
  const Case cases[] = {
      {"monochrome arrow",
       host::ArrowPointer(),
       300,
       200,
       {{0, 0, kColour, 0x000000}, {1, 2, kColour, 0xFFFFFF}, {5, 0, kScreen}, {40, 40, kScreen}}},
      {"masked hand",
       host::HandPointer(),
       500,
       400,
       {{12, 5, kColour, 0xE0B090}, {0, 0, kScreen}, {24, 24, kInverted}}},
      {"alpha ring",
       host::RingPointer(48),
       700,
       300,
       {{4, 24, kBlended}, {0, 0, kScreen}, {24, 24, kScreen}}},
  };
  auto rgb_at = [](const std::optional<chip::Picture>& pic, int32_t px, int32_t py) -> uint32_t {
    if (!pic || px < 0 || py < 0 || uint32_t(px) >= pic->width || uint32_t(py) >= pic->height)
      return 0xFF000000u;  // no such pixel: no colour matches it
    const uint8_t* p = &pic->bgra[(size_t(py) * pic->width + px) * 4];
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16;
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Pointer().SetShape(c.shape, c.x, c.y), STATUS_SUCCESS);
    for (const Probe& p : c.probes) {
      const int32_t px = c.x + p.dx, py = c.y + p.dy;
      uint32_t shows = 0, wanted = 0;
      EXPECT_TRUE(Eventually([&] {
        const uint32_t screen = rgb_at(alone, px, py);
        shows = rgb_at(chip_->Screen(0), px, py);
        switch (p.kind) {
          case kScreen:
            wanted = screen;
            break;
          case kInverted:
            wanted = screen ^ 0xFFFFFF;
            break;
          case kColour:
            wanted = p.rgb;
            break;
          case kBlended:
            wanted = screen;
            return shows != screen && shows != 0xFF000000u;
        }
        return shows == wanted;
      })) << "("
          << p.dx << ", " << p.dy << ") shows 0x" << std::hex << shows << ", wanted 0x" << wanted
          << (p.kind == kBlended ? " blended" : "");
    }
  }
  // Hidden, the screen is the desktop alone.
  ASSERT_EQ(Pointer().Hide(), STATUS_SUCCESS);
  EXPECT_TRUE(Eventually([&] {
    const auto p = chip_->Screen(0);
    return p && p->bgra == alone->bgra;
  }));
}

}  // namespace
}  // namespace vorn::display::testing

namespace vorn::display::testing {
namespace {

// A view whose encode or cursor thread cannot be created is not left half started: the other
// thread is stopped again, so the next mode set starts both and none is left running unseen.
TEST_F(CursorTest, AViewThreadThatCannotStartLeavesNeitherRunning) {
  Begin();
  struct Case {
    const char* which;
    uint32_t skip;  // thread creations let through first: the encode thread comes first
  };
  const Case cases[] = {{"encode thread", 0}, {"cursor thread", 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.which);
    win32::FailCalls(win32::Fault::kCreateThread, c.skip, 1);
    ASSERT_EQ(adapter_->SetMode(displays_[0], w_, h_, refresh_), STATUS_SUCCESS);
    win32::ClearFaults();
    EXPECT_FALSE(View()->ThreadsRunning.load());
    EXPECT_EQ(View()->EncodeThread, nullptr);
    EXPECT_EQ(View()->CursorThread, nullptr);

    ASSERT_EQ(adapter_->SetMode(displays_[0], w_, h_, refresh_), STATUS_SUCCESS);
    EXPECT_TRUE(View()->ThreadsRunning.load());
    EXPECT_NE(View()->EncodeThread, nullptr);
    EXPECT_NE(View()->CursorThread, nullptr);
    const int32_t x = c.skip == 0 ? 10 : 20;
    ASSERT_EQ(Pointer().SetShape(host::ArrowPointer(), x, 30), STATUS_SUCCESS);
    EXPECT_TRUE(ChipCursorAt(x, 30));
  }
}

}  // namespace
}  // namespace vorn::display::testing
