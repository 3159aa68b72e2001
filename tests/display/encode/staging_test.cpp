// The staging ring's reservations: the packet the send thread has not taken yet is never
// offered again, whatever the passes between its hand-off and its consumption did.
#include <gtest/gtest.h>

#include <vector>

#include "display/encode/staging.h"
#include "display/views/view_buffers.h"
#include "platform/win32/synch.h"
#include "tests/display/display_fixture.h"

namespace vorn::display::testing {
namespace {

class StagingTest : public DisplayTest {
 protected:
  void SetUp() override {
    host::Adapter& a = Opened(chip::MakeProfile({1, 64, true}));
    ASSERT_TRUE(a.IsOpen());
    // Opened but never started: no thread of the view touches its staging ring.
    view_ = &a.handle()->Views[0];
    ASSERT_NE(view_->SystemMem, nullptr);
    mem_ = view_->SystemMem;
    saved_ = mem_->Staging;
    saved_size_ = mem_->StagingSize;
    mem_->Staging = ring_.data();
    mem_->StagingSize = static_cast<uint32_t>(ring_.size());
    mem_->WritePos = 0;
    mem_->InFlight = 0;
    SetEvent(mem_->ConsumedEvent);
  }
  void TearDown() override {
    if (mem_) {
      mem_->Staging = saved_;
      mem_->StagingSize = saved_size_;
      mem_->WritePos = mem_->InFlight = 0;
      SetEvent(mem_->ConsumedEvent);
    }
    DisplayTest::TearDown();
  }

  // Reserves |need| bytes and hands off a packet of |length| at the position offered.
  void Pass(uint32_t need, uint32_t length) {
    StagingSpace space{};
    ASSERT_EQ(ReserveStaging(view_, need, &space), StagingResult::Ready);
    FrameHandoff h{};
    h.Length = length;
    HandOff(view_, h);
  }

  std::vector<uint8_t> ring_ = std::vector<uint8_t>(1000);
  ViewContext* view_ = nullptr;
  SystemMemObj* mem_ = nullptr;
  uint8_t* saved_ = nullptr;
  uint32_t saved_size_ = 0;
};

TEST_F(StagingTest, AFailedPassAfterAWrapNeverOffersThePacketInFlight) {
  Pass(500, 500);
  SetEvent(mem_->ConsumedEvent);  // the send thread took the first packet
  Pass(300, 300);                 // [500, 800) in flight, not yet taken
  ASSERT_EQ(mem_->InFlight, 500u);

  // Too little room behind it: the pass wraps to the start, offered up to the packet...
  StagingSpace space{};
  ASSERT_EQ(ReserveStaging(view_, 300, &space), StagingResult::Ready);
  EXPECT_EQ(space.Packet, ring_.data());
  EXPECT_EQ(space.Space, 500u);
  // ...its encode fails, nothing is handed off; the next pass still ends at the packet.
  ASSERT_EQ(ReserveStaging(view_, 300, &space), StagingResult::Ready);
  EXPECT_EQ(space.Packet, ring_.data());
  EXPECT_EQ(space.Space, 500u) << "the packet in flight is offered again";

  // Once the send thread took it, the whole ring is free.
  SetEvent(mem_->ConsumedEvent);
  ASSERT_EQ(ReserveStaging(view_, 300, &space), StagingResult::Ready);
  EXPECT_EQ(space.Packet, ring_.data());
  EXPECT_EQ(space.Space, 1000u);
}

}  // namespace
}  // namespace vorn::display::testing
