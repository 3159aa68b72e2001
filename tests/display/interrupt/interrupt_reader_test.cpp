// The interrupt reader against the chip model's interrupt endpoint: which packet does what,
// broken completions, the failure rule with its back-off, and stopping while packets flow.
#include "display/interrupt/interrupt_reader.h"

#include <atomic>
#include <thread>

#include "display/frames/frame_ack.h"
#include "display/device/vendor_requests.h"
#include "platform/win32/synch.h"
#include "protocol/interrupt_packet.h"
#include "sim/chip/interrupt_events.h"
#include "tests/display/display_fixture.h"

namespace vorn::display::testing {
namespace {

using chip::DisplayEventPacket;
using chip::MakeProfile;
using chip::ScriptAction;
using chip::ScriptKind;

constexpr uint32_t kPayloadAddress = 0x100000;

class InterruptReaderTest : public DisplayTest {
 protected:
  SorvikDevice* OpenDevice(chip::ChipProfile p = MakeProfile({2, 64, true})) {
    chip_ = &AddChip(std::move(p));
    adapter_ = &AddAdapter(*chip_);
    EXPECT_TRUE(adapter_->Open());
    d_ = adapter_->handle();
    return d_;
  }

  // Records a payload in flight with |sequence|, as the send path does.
  void AddPayload(uint32_t sequence) {
    LockUntimed(d_, d_->AckRing.Lock);
    EXPECT_TRUE(AddInFlight(&d_->AckRing, sequence, kPayloadAddress, 0x1000));
    Unlock(d_, d_->AckRing.Lock);
  }
  uint32_t InFlight() {
    LockUntimed(d_, d_->AckRing.Lock);
    const uint32_t n = InFlightCount(&d_->AckRing);
    Unlock(d_, d_->AckRing.Lock);
    return n;
  }
  void ClearPayloads() {
    LockUntimed(d_, d_->AckRing.Lock);
    ClearFrameAckRing(&d_->AckRing);
    Unlock(d_, d_->AckRing.Lock);
  }

  // Every packet queued before has been dispatched once this returns: the reader hands
  // packets over in order on one thread, and this one acknowledges |marker|.
  void Drain(uint32_t marker) {
    chip_->RaiseFrameAck(marker);
    EXPECT_TRUE(Eventually([&] { return d_->LastAckedSequence.load() == marker; }));
  }

  static bool Signalled(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

  chip::Chip* chip_ = nullptr;
  host::Adapter* adapter_ = nullptr;
  SorvikDevice* d_ = nullptr;
};

TEST_F(InterruptReaderTest, FirstMatchingEventWins) {
  struct Case {
    const char* what;
    uint8_t flags, events;
    bool ack, monitor, refresh;
  } cases[] = {
      {"not a display packet", 0x00, 0x04, false, false, false},
      {"acknowledgement", 0x04, 0x04, true, false, false},
      {"acknowledgement before monitor", 0x04, 0x05, true, false, false},
      {"monitor 0", 0x04, 0x01, false, true, false},
      {"monitor 1", 0x04, 0x02, false, true, false},
      {"monitor before refresh", 0x04, 0x12, false, true, false},
      {"refresh", 0x04, 0x10, false, false, true},
      {"other bits", 0x04, 0x28, false, false, false},
      {"station flags only", 0xA0, 0x17, false, false, false},
  };
  SorvikDevice* d = OpenDevice();
  d->Views[1].Hwc->CurrentSlot = 2;  // view 1 shows a cursor shape, view 0 none
  uint32_t sequence = 1000;
  for (const Case& c : cases) {
    sequence += 10;
    AddPayload(sequence);
    protocol::INT_IN_PACKET k;
    k.PacketFlags = c.flags;
    k.EventBits = c.events;
    k.AckSequence = sequence;
    chip::InterruptQueue::Packet p{};
    protocol::EncodeIntInPacket(k, p);
    chip_->interrupts().Push(p);
    Drain(sequence - 5);  // releases nothing recorded at |sequence|

    EXPECT_EQ(InFlight(), c.ack ? 0u : 1u) << c.what << ": payload released";
    EXPECT_EQ(Signalled(d->MonitorStatusEvent), c.monitor) << c.what;
    for (ViewContext& v : d->Views) {
      EXPECT_EQ(v.FullRefresh, c.refresh ? 1 : 0) << c.what << " view " << v.Index;
      EXPECT_EQ(Signalled(v.DirtyEvent), c.refresh) << c.what << " view " << v.Index;
      ResetEvent(v.DirtyEvent);
      v.FullRefresh = 0;
    }
    EXPECT_EQ(d->Views[0].PendingCursorFlags, 0u) << c.what;
    EXPECT_EQ(Signalled(d->Views[0].CursorEvent), false) << c.what;
    EXPECT_EQ(d->Views[1].PendingCursorFlags, c.refresh ? 0x19u : 0u) << c.what;
    EXPECT_EQ(Signalled(d->Views[1].CursorEvent), c.refresh) << c.what;
    d->Views[1].PendingCursorFlags = 0;
    ClearPayloads();
  }
}

TEST_F(InterruptReaderTest, RefreshReachesOnlyPresentViews) {
  chip::ChipProfile p = MakeProfile({2, 64, true});
  p.view_descriptor[0] = 0;
  p.monitors[0].connected = false;
  SorvikDevice* d = OpenDevice(p);
  ASSERT_FALSE(d->Views[0].Present);
  ASSERT_TRUE(d->Views[1].Present);
  d->Views[0].Hwc->CurrentSlot = 0;
  chip_->RaiseRefresh();
  Drain(7);
  EXPECT_EQ(d->Views[0].FullRefresh, 0);
  EXPECT_EQ(d->Views[0].PendingCursorFlags, 0u);
  EXPECT_EQ(d->Views[1].FullRefresh, 1);
  EXPECT_EQ(d->Views[1].PendingCursorFlags, 0u) << "no shape, no cursor event";
  EXPECT_FALSE(Signalled(d->Views[1].CursorEvent));
}

TEST_F(InterruptReaderTest, ShortAndEmptyCompletionsAreNotPackets) {
  SorvikDevice* d = OpenDevice();
  AddPayload(500);
  for (uint32_t length : {0u, 1u, 13u, 16u, 20u, 63u}) {
    chip_->interrupts().PushShort(chip::FrameAckPacket(500), length);
    chip_->interrupts().PushShort(chip::MonitorChangePacket(0), length);
  }
  Drain(400);
  EXPECT_EQ(InFlight(), 1u);
  EXPECT_FALSE(Signalled(d->MonitorStatusEvent));
  chip_->RaiseMonitorChange(1, false);
  Drain(500);
  EXPECT_EQ(InFlight(), 0u);
  EXPECT_TRUE(Signalled(d->MonitorStatusEvent));
  uint8_t connected = 1;
  EXPECT_EQ(QueryMonitorStatus(d, 1, &connected), STATUS_SUCCESS);
  EXPECT_EQ(connected, 0) << "the chip reports the monitor it announced";
}

TEST_F(InterruptReaderTest, FailedReadsAreRetriedEvenWhenTheDeviceIsGone) {
  SorvikDevice* d = OpenDevice();
  ASSERT_TRUE(Eventually([&] { return chip_->interrupts().WaitingReads() > 0; }));
  // The reads in flight fail; after the reset the first two reads posted fail again (an error
  // and a stall, one round): the reader resets the pipe each round and reads on.
  chip_->script().OnEndpoint(0x83, {ScriptKind::kFail, 1});
  chip_->script().OnEndpoint(0x83, {ScriptKind::kStall, 1});
  chip_->interrupts().Flush(usb::TransferStatus::kError);
  EXPECT_TRUE(Eventually([&] { return chip_->EndpointResets(0x83) >= 2; }));
  Drain(21);
  EXPECT_EQ(chip_->EndpointResets(0x83), 2u);

  // Gone: only a station that is not started ends the reader; a device that is gone is
  // retried, at the back-off's pace, until the plug-in stops the reader.
  chip_->Unplug();
  EXPECT_TRUE(Eventually([&] { return chip_->EndpointResets(0x83) >= 4; }));
  EXPECT_TRUE(d->InterruptReaderStarted) << "only a stop clears the flag";
  EXPECT_EQ(adapter_->Close(), STATUS_SUCCESS);
}

TEST_F(InterruptReaderTest, RetriesBackOff) {
  OpenDevice();
  ASSERT_TRUE(Eventually([&] { return chip_->interrupts().WaitingReads() > 0; }));
  chip_->script().OnEndpoint(0x83, {ScriptKind::kFail, ScriptAction::kForever});
  // Real time for the pauses themselves: 10, 20 and 40 ms before the fourth reset, against
  // the 3 x 10 ms of a fixed pause.
  clock::ScopedSpeed real(1);
  const auto start = std::chrono::steady_clock::now();
  chip_->interrupts().Flush(usb::TransferStatus::kError);
  ASSERT_TRUE(Eventually([&] { return chip_->EndpointResets(0x83) >= 4; }));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(10 + 20 + 40));
  chip_->script().Clear();
}

TEST_F(InterruptReaderTest, StopWhilePacketsFlowLeavesNoRoutineRunning) {
  SorvikDevice* d = OpenDevice();
  ASSERT_TRUE(Eventually([&] { return chip_->interrupts().WaitingReads() > 0; }));
  std::atomic<bool> stop{false};
  std::atomic<uint32_t> pushed{0};
  std::thread pusher([&] {
    for (uint32_t s = 1; !stop && s < 200000; ++s) {
      chip_->interrupts().Push(s % 3 == 0 ? chip::RefreshPacket() : chip::FrameAckPacket(s));
      pushed = s;
      if (chip_->interrupts().QueuedPackets() > 64) std::this_thread::yield();
    }
  });
  ASSERT_TRUE(Eventually([&] { return chip_->interrupts().Delivered() > 50; }));
  StopInterruptReader(d);
  EXPECT_FALSE(d->InterruptReaderStarted);
  const uint32_t acked = d->LastAckedSequence;
  const uint64_t delivered = chip_->interrupts().Delivered();
  const uint32_t before = pushed;
  ASSERT_TRUE(Eventually([&] { return pushed > before + 100; }));
  EXPECT_EQ(d->LastAckedSequence.load(), acked);
  EXPECT_EQ(chip_->interrupts().Delivered(), delivered);
  stop = true;
  pusher.join();
  // Started again, it reads what queued meanwhile.
  StartInterruptReader(d);
  EXPECT_TRUE(Eventually([&] { return d->LastAckedSequence.load() != acked; }));
  EXPECT_EQ(adapter_->Close(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace vorn::display::testing
