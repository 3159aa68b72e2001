#include <gtest/gtest.h>

#include <latch>
#include <thread>

#include "display/views/present.h"
#include "tests/display/views/views_fixture.h"

namespace vorn::display::testing {
namespace {

constexpr uint32_t kW = 64, kH = 32, kBpp = 4;
constexpr uint32_t kFramePitch = kW * kBpp;
constexpr uint32_t kSurfacePitch = 300;  // wider than a row, as hosts' surfaces often are

// A view set to a small 64 x 32 mode by hand, over the system frame the start allocated for
// its largest mode; the surface carries a distinct byte pattern.
class PresentTest : public ViewsTest {
 protected:
  void SetUp() override {
    Started(chip::MakeProfile({.views = 1}));
    view_ = View();
    ASSERT_NE(view_->SystemFrame, nullptr);
    ASSERT_GE(view_->SystemFrameSize, 1920u * 1080 * 4);
    view_->Modes.Width = kW;
    view_->Modes.Height = kH;
    view_->Modes.BitsPerPixel = 32;
    view_->Modes.SystemFramePitch = kFramePitch;
    surface_.resize(kSurfacePitch * kH);
    for (size_t i = 0; i < surface_.size(); ++i) surface_[i] = static_cast<uint8_t>(i * 7 + 1);
    display_ = adapter_->HeldDisplay();
    ASSERT_NE(display_, nullptr);
  }

  uint8_t Frame(uint32_t x, uint32_t y, uint32_t byte) const {
    return view_->SystemFrame[y * kFramePitch + x * kBpp + byte];
  }
  uint8_t Surface(uint32_t x, uint32_t y, uint32_t byte) const {
    return surface_[y * kSurfacePitch + x * kBpp + byte];
  }
  // Pixels of the mode inside [l, r) x [t, b) equal the surface; every other byte of the frame
  // is still zero.
  void ExpectCopied(uint32_t l, uint32_t t, uint32_t r, uint32_t b) const {
    for (uint32_t y = 0; y < kH; ++y)
      for (uint32_t x = 0; x < kW; ++x)
        for (uint32_t k = 0; k < kBpp; ++k) {
          const bool inside = x >= l && x < r && y >= t && y < b;
          ASSERT_EQ(Frame(x, y, k), inside ? Surface(x, y, k) : 0) << x << "," << y;
        }
    for (uint32_t i = kFramePitch * kH; i < view_->SystemFrameSize; i += 4093)
      ASSERT_EQ(view_->SystemFrame[i], 0) << i;
  }
  void ClearFrame() { std::fill_n(view_->SystemFrame, view_->SystemFrameSize, 0); }

  ViewContext* view_ = nullptr;
  DisplayInterface* display_ = nullptr;
  std::vector<uint8_t> surface_;
};

TEST_F(PresentTest, EachRectangleIsCopiedWhereItLies) {
  EXPECT_EQ(adapter_->Present(display_, surface_.data(), kSurfacePitch, {{2, 3, 10, 9}}),
            STATUS_SUCCESS);
  ExpectCopied(2, 3, 10, 9);
  ClearFrame();
  EXPECT_EQ(adapter_->Present(display_, surface_.data(), kSurfacePitch, {{0, 0, kW, kH}}),
            STATUS_SUCCESS);
  ExpectCopied(0, 0, kW, kH);
  ClearFrame();
  EXPECT_EQ(adapter_->Present(display_, surface_.data(), kSurfacePitch, {}), STATUS_SUCCESS);
  ExpectCopied(0, 0, 0, 0);
}

// Rectangles from the host are clipped before anything is read or written: the frame holds
// only the part inside the mode, and nothing lands past it (the sanitizer builds also watch
// the surface, whose reads must stay inside it).
TEST_F(PresentTest, HostileRectanglesAreClippedBeforeTheCopy) {
  struct Case {
    const char* name;
    HostRect rect;
    uint32_t l, t, r, b;  // what is copied
  };
  const ULONG neg10 = static_cast<ULONG>(-10);
  const Case cases[] = {
      {"outside", {100, 100, 200, 200}, 0, 0, 0, 0},
      {"past the right edge", {60, 0, 1000, 4}, 60, 0, kW, 4},
      {"past the bottom", {0, 30, 4, 5000}, 0, 30, 4, kH},
      {"inverted", {20, 20, 10, 10}, 0, 0, 0, 0},
      {"negative edges", {neg10, neg10, 5, 5}, 0, 0, 5, 5},
      {"all negative", {neg10, neg10, static_cast<ULONG>(-1), static_cast<ULONG>(-1)}, 0, 0, 0, 0},
      {"huge", {0, 0, 0x7FFFFFFF, 0x7FFFFFFF}, 0, 0, kW, kH},
      {"huge unsigned", {0, 0, 0xFFFFFFF0, 0xFFFFFFF0}, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClearFrame();
    EXPECT_EQ(adapter_->Present(display_, surface_.data(), kSurfacePitch, {c.rect}), STATUS_SUCCESS);
    ExpectCopied(c.l, c.t, c.r, c.b);
  }
}

TEST_F(PresentTest, AModeLargerThanTheFrameIsNotCopied) {
  view_->Modes.Width = 100000;
  view_->Modes.Height = 100000;
  view_->Modes.SystemFramePitch = 100000 * 4;
  CopyRectFromHost(view_, surface_.data(), kSurfacePitch, 0, 3000, 10, 3010);
  view_->Modes.Width = kW;
  view_->Modes.Height = kH;
  view_->Modes.SystemFramePitch = kFramePitch;
  ExpectCopied(0, 0, 0, 0);
  // Nor is one whose pitch is not yet set.
  view_->Modes.SystemFramePitch = 0;
  CopyRectFromHost(view_, surface_.data(), kSurfacePitch, 0, 0, 10, 10);
  view_->Modes.SystemFramePitch = kFramePitch;
  ExpectCopied(0, 0, 0, 0);
}

TEST_F(PresentTest, PresentQueuesTheClippedRectangleWhileThreadsRun) {
  view_->ThreadsRunning = 1;
  ClearDirtyRects(view_);
  const ULONG neg = static_cast<ULONG>(-4);
  EXPECT_EQ(adapter_->Present(display_, surface_.data(), kSurfacePitch,
                              {{neg, neg, 8, 8}, {8, 0, 16, 8}, {100, 100, 120, 120}}),
            STATUS_SUCCESS);
  const DirtyRect d = PopRect(view_);
  EXPECT_EQ(d.left, 0);
  EXPECT_EQ(d.top, 0);
  EXPECT_EQ(d.right, 16);
  EXPECT_EQ(d.bottom, 8);
  EXPECT_TRUE(RectIsZero(PopRect(view_)));
  view_->ThreadsRunning = 0;
}

// Another thread holds the frame lock past the 10 s wait (the fixture's clock runs a thousand
// times fast): the copy is made all the same, and the lock stays the holder's.
TEST_F(PresentTest, ACopyWhoseLockTimesOutStillCopies) {
  std::latch held(1), done(1);
  bool holder_locked = false;
  std::thread holder([&] {
    holder_locked = LockViewFrame(view_);
    held.count_down();
    done.wait();
    if (holder_locked) UnlockViewFrame(view_);
  });
  held.wait();
  ASSERT_TRUE(holder_locked);
  EXPECT_FALSE(LockViewFrame(view_));  // times out
  EXPECT_EQ(adapter_->Present(display_, surface_.data(), kSurfacePitch, {{1, 1, 5, 5}}),
            STATUS_SUCCESS);
  ExpectCopied(1, 1, 5, 5);
  done.count_down();
  holder.join();
  // Free again: the next copy takes and releases it.
  ASSERT_TRUE(LockViewFrame(view_));
  UnlockViewFrame(view_);
}

}  // namespace
}  // namespace vorn::display::testing
