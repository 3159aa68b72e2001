// The station's interrupt pipe against the chip model: packets held per channel and handed to
// waiters first in first out, the station's own share of each packet (credits, jack state,
// panel save, user events), short reads, the states in which waits are refused, disabling,
// and the chaos mode's inline and short completions.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/kernel/interfaces.h"
#include "protocol/guids.h"

#include "tests/station/pipe_machine.h"

namespace vorn::station::testing {
namespace {

namespace pnp = kernel::pnp;
using chip::InterruptQueue;

class InterruptPipeTest : public PipeMachineTest {
 protected:
  void Push(const InterruptQueue::Packet& p) { chip_.interrupts().Push(p); }
};

TEST_F(InterruptPipeTest, KeepsTheNewestEightPacketsAndServesLaterWaitersInOrderOnTheTick) {
  Start();
  for (ULONG seq = 1; seq <= 10; ++seq) chip_.RaiseFrameAck(seq);
  ASSERT_TRUE(InterruptReadsReach(10));
  InterruptPipeCounters c = InterruptCounters();
  EXPECT_EQ(c.Held[0], kMaxHeldInterruptPackets);
  EXPECT_EQ(c.DroppedPackets, 2u);

  // No packet follows: the tick alone pairs them, oldest waiter with oldest packet.
  for (int i = 0; i < 9; ++i) ASSERT_EQ(display_waits_.Post(Interrupt(), 0), STATUS_SUCCESS);
  ASSERT_TRUE(Eventually([&] { return display_waits_.Count() == 8; }));
  std::vector<WaitRecorder::Done> done = display_waits_.Completed();
  for (size_t i = 0; i < done.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(AckOf(done[i].packet), i + 3) << "packets 1 and 2 gave way";
    EXPECT_EQ(done[i].bytes, 64u);
    EXPECT_EQ(done[i].reserved, 0u);
    EXPECT_EQ(done[i].status, STATUS_SUCCESS);
    EXPECT_EQ(done[i].usbd_status, 0u);
    if (i) {
      EXPECT_EQ(done[i].request_id, done[i - 1].request_id + 1);
    }
  }
  EXPECT_EQ(InterruptCounters().Held[0], 0);
  EXPECT_EQ(InterruptCounters().Waiting[0], 1);

  chip_.RaiseFrameAck(11);
  ASSERT_TRUE(Eventually([&] { return display_waits_.Count() == 9; }));
  EXPECT_EQ(AckOf(display_waits_.Completed()[8].packet), 11u);
  for (const auto& d : display_waits_.Completed()) EXPECT_EQ(d.calls, 1);
}

TEST_F(InterruptPipeTest, StatusWordGivesCreditsAndJackStateAndIsKeptOnNoChannel) {
  Start();
  struct Case {
    ULONG status_word;
    UCHAR jack;
    bool credit;
  };
  const Case cases[] = {
      {0x80000000u, 0x00, true},
      {0x41000000u, 0x41, false},
      {0x78000000u, 0x40, false},  // bits 24-30 masked by 0x47
      {0xC7000000u, 0x47, true},
  };
  ULONG reads = 0;
  int credits = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.status_word);
    Push(chip::StatusPacket(k.status_word));
    ASSERT_TRUE(InterruptReadsReach(++reads));
    credits += k.credit;
    EXPECT_EQ(ReadFlag(station_->JackState), k.jack);
    // The first credit starts a header read that waits in the chip; the others stay.
    ASSERT_TRUE(Eventually([&] {
      return chip_.bulk_in().WaitingReads() == 1 && BulkInCounters().Credits == credits - 1;
    }));
  }
  InterruptPipeCounters c = InterruptCounters();
  for (ULONG ch = 0; ch < kChannelCount; ++ch) EXPECT_EQ(c.Held[ch], 0) << ch;
}

TEST_F(InterruptPipeTest, SystemPacketsGoToChannelFiveExceptTheEndOfAPanelSave) {
  Start();
  EXPECT_FALSE(KeReadStateEvent(&station_->PanelBusyEvent));  // not busy before a save
  KeSetEvent(&station_->PanelBusyEvent, 0, FALSE);
  chip_.RaisePanelSaveDone();
  ASSERT_TRUE(InterruptReadsReach(1));
  EXPECT_FALSE(KeReadStateEvent(&station_->PanelBusyEvent));
  EXPECT_EQ(InterruptCounters().Held[5], 0);

  // The ROM module's own burn-result wait is the first on channel 5: take it away, so the
  // test's waits are matched alone.
  EXPECT_EQ(InterruptCounters().Waiting[5], 1);
  Interrupt().FlushChannel(Interrupt().Object, 5);
  ASSERT_EQ(system_waits_.Post(Interrupt(), 5), STATUS_SUCCESS);
  chip_.RaiseRomResult(1, 0x12345);
  ASSERT_TRUE(Eventually([&] { return system_waits_.Count() == 1; }));
  const std::array<UCHAR, 64> packet = system_waits_.Completed()[0].packet;
  EXPECT_EQ(packet[offsetof(protocol::INT_IN_PACKET, RomReplyKind)], protocol::kRomReplyBurnResult);
  EXPECT_EQ(protocol::LoadLe32(&packet[offsetof(protocol::INT_IN_PACKET, RomValue)]), 0x12345u);

  // A packet that is both display and system message is held on both channels.
  InterruptQueue::Packet both = chip::FrameAckPacket(77);
  both[0] |= protocol::kPacketFlagSystem;
  Push(both);
  ASSERT_TRUE(InterruptReadsReach(3));
  EXPECT_EQ(InterruptCounters().Held[0], 1);
  EXPECT_EQ(InterruptCounters().Held[5], 1);
  ASSERT_EQ(display_waits_.Post(Interrupt(), 0), STATUS_SUCCESS);
  ASSERT_EQ(system_waits_.Post(Interrupt(), 5), STATUS_SUCCESS);
  ASSERT_TRUE(Eventually([&] { return display_waits_.Count() == 1 && system_waits_.Count() == 2; }));
  EXPECT_EQ(AckOf(display_waits_.Completed()[0].packet), 77u);
  EXPECT_EQ(AckOf(system_waits_.Completed()[1].packet), 77u);
}

TEST_F(InterruptPipeTest, EventBitsMarkUserEventsOnlyInNsMode) {
  Start();
  // The events an NS-mode client registered; the worker sets them once the pipe marks them.
  KEVENT events[2];
  for (ULONG i = 0; i < 2; ++i) {
    KeInitializeEvent(&events[i], NotificationEvent, FALSE);
    KeWaitForSingleObject(&station_->EventSlotMutex, Executive, KernelMode, FALSE, nullptr);
    station_->UserEvents[i].Event = &events[i];
    KeReleaseMutex(&station_->EventSlotMutex, FALSE);
  }
  chip_.RaiseNsEvent(0x03);
  ASSERT_TRUE(InterruptReadsReach(1));
  EXPECT_EQ(ReadFlag(station_->UserEvents[0].Pending), 0);
  EXPECT_EQ(ReadFlag(station_->UserEvents[1].Pending), 0);

  // NS mode as the worker would have entered it, once the worker has read the mode.
  ASSERT_TRUE(Eventually(
      [&] { return !kernel::interfaces::Enabled(protocol::kMainControlInterfaceGuid).empty(); }));
  WriteFlag(station_->NsMode, 1);
  chip_.RaiseNsEvent(0x02);
  ASSERT_TRUE(InterruptReadsReach(2));
  ASSERT_TRUE(Eventually([&] { return KeReadStateEvent(&events[1]) != 0; }));
  EXPECT_EQ(KeReadStateEvent(&events[0]), 0);
  chip_.RaiseNsEvent(0x01);
  ASSERT_TRUE(InterruptReadsReach(3));
  ASSERT_TRUE(Eventually([&] { return KeReadStateEvent(&events[0]) != 0; }));
  EXPECT_EQ(ReadFlag(station_->UserEvents[0].Pending), 0) << "the worker took the mark";
  WriteFlag(station_->NsMode, 0);
  KeWaitForSingleObject(&station_->EventSlotMutex, Executive, KernelMode, FALSE, nullptr);
  for (ULONG i = 0; i < 2; ++i) station_->UserEvents[i].Event = nullptr;
  KeReleaseMutex(&station_->EventSlotMutex, FALSE);
  // Display packets all the same: held for channel 0.
  EXPECT_EQ(InterruptCounters().Held[0], 3);
}

TEST_F(InterruptPipeTest, AShortReadIsNoPacketAndLeavesNoStaleBytes) {
  Start();
  ASSERT_EQ(display_waits_.Post(Interrupt(), 0), STATUS_SUCCESS);
  chip_.RaiseFrameAck(5);
  ASSERT_TRUE(Eventually([&] { return display_waits_.Count() == 1; }));
  // 19 bytes of a monitor packet: with the acknowledgement's bytes behind them they would
  // read as a second acknowledgement of frame 5.
  chip_.interrupts().PushShort(chip::MonitorChangePacket(0), 19);
  ASSERT_TRUE(InterruptReadsReach(2));
  EXPECT_EQ(InterruptCounters().ShortReads, 1u);
  EXPECT_EQ(InterruptCounters().Held[0], 0);
  ASSERT_EQ(display_waits_.Post(Interrupt(), 0), STATUS_SUCCESS);
  chip_.RaiseFrameAck(6);
  ASSERT_TRUE(Eventually([&] { return display_waits_.Count() == 2; }));
  EXPECT_EQ(AckOf(display_waits_.Completed()[1].packet), 6u);
}

TEST_F(InterruptPipeTest, WaitsAreRefusedForBadArgumentsAndOutsideTheStartedState) {
  Start();
  const PipeOps& p = Interrupt();
  UCHAR buffer[64];
  ULONG id = 0;
  auto wait = [&](ULONG channel, PVOID b, ULONG length) {
    return p.WaitInterruptMessage(p.Object, channel, b, length, &id, nullptr, nullptr, nullptr);
  };
  EXPECT_EQ(wait(0, buffer, 32), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(wait(0, nullptr, 64), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(wait(10, buffer, 64), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(p.WaitInterruptMessage(nullptr, 0, buffer, 64, &id, nullptr, nullptr, nullptr),
            STATUS_INVALID_PARAMETER);
  p.FlushChannel(p.Object, 10);  // out of range: nothing

  ASSERT_EQ(pnp::QueryStop(node_), STATUS_SUCCESS);
  EXPECT_EQ(wait(0, buffer, 64), STATUS_INVALID_DEVICE_STATE);
  ASSERT_EQ(pnp::CancelStop(node_), STATUS_SUCCESS);
  EXPECT_EQ(display_waits_.Post(Interrupt(), 0), STATUS_SUCCESS);

  // Stopped, the station has no pipes; started again, new ones serve.
  ASSERT_EQ(pnp::Stop(node_), STATUS_SUCCESS);
  pnp::WaitIdle();
  EXPECT_EQ(station_->FdoState, kFdoStopped);
  EXPECT_EQ(station_->Pipes[kInterruptPipe].Object, nullptr);
  ASSERT_EQ(display_waits_.Count(), 1u);
  EXPECT_EQ(display_waits_.Completed()[0].status, STATUS_CANCELLED) << "the stop flushed it";
  ASSERT_EQ(pnp::Start(node_), STATUS_SUCCESS);
  pnp::WaitIdle();
  ASSERT_TRUE(StationServesRequests(station_));
  EXPECT_EQ(display_waits_.Post(Interrupt(), 0), STATUS_SUCCESS);
  chip_.RaiseFrameAck(9);
  ASSERT_TRUE(Eventually([&] { return display_waits_.Count() == 2; }));
  EXPECT_EQ(AckOf(display_waits_.Completed()[1].packet), 9u);

  chip_.Unplug();
  ASSERT_TRUE(Eventually([&] { return ReadFlag(station_->DeviceGone) != 0; }));
  EXPECT_EQ(wait(0, buffer, 64), STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(InterruptPipeTest, AFailedReadEndsTheChainAndTheTickStartsItAgainUntilTheDeviceIsGone) {
  Start();
  ASSERT_EQ(display_waits_.Post(Interrupt(), 0), STATUS_SUCCESS);
  ASSERT_EQ(display_waits_.Post(Interrupt(), 0), STATUS_SUCCESS);
  // The read waiting now takes packet 1; the three after it stall.
  chip_.script().OnEndpoint(chip::kEndpointInterrupt, {chip::ScriptKind::kStall, 3});
  chip_.RaiseFrameAck(1);
  ASSERT_TRUE(Eventually([&] { return display_waits_.Count() == 1; }));
  chip_.RaiseFrameAck(2);  // waits in the chip for the first read that does not stall
  ASSERT_TRUE(Eventually([&] { return display_waits_.Count() == 2; }));
  EXPECT_EQ(AckOf(display_waits_.Completed()[1].packet), 2u);
  EXPECT_FALSE(chip_.script().NextForEndpoint(chip::kEndpointInterrupt)) << "all three stalled";
  EXPECT_FALSE(ReadFlag(station_->DeviceGone)) << "a stall is no gone device";
  ASSERT_TRUE(InterruptReadsReach(2));
  EXPECT_EQ(InterruptCounters().Packets, 2u) << "a failed read is not parsed";
  EXPECT_EQ(InterruptCounters().ShortReads, 0u);

  ASSERT_TRUE(Eventually(
      [&] { return !kernel::interfaces::Enabled(protocol::kMainControlInterfaceGuid).empty(); }));
  chip_.script().OnEndpoint(chip::kEndpointInterrupt, {chip::ScriptKind::kGone, 1});
  chip_.RaiseFrameAck(3);
  ASSERT_TRUE(Eventually([&] { return ReadFlag(station_->DeviceGone) != 0; }));
  // Only the interrupt read found it: the worker takes the control interface away.
  EXPECT_TRUE(Eventually(
      [&] { return kernel::interfaces::Enabled(protocol::kMainControlInterfaceGuid).empty(); }));
  UCHAR buffer[64];
  EXPECT_EQ(Interrupt().WaitInterruptMessage(Interrupt().Object, 0, buffer, 64, nullptr, nullptr,
                                             nullptr, nullptr),
            STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(chip_.interrupts().WaitingReads(), 0u);
}

// A pipe on a station that has not started yet, made by hand: no read, no wait.
TEST_F(StationTest, InterruptWaitBeforeTheStationStartsIsAnInvalidDeviceState) {
  StationExtension station{};
  station.FdoState = kFdoNotStarted;
  PipeOps ops{};
  USBD_PIPE_INFORMATION info{};
  ASSERT_EQ(CreateInterruptPipe(&station, &ops, sizeof ops - 1, &info), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(CreateInterruptPipe(&station, &ops, sizeof ops, &info), STATUS_SUCCESS);
  UCHAR buffer[64];
  ULONG id = 0;
  EXPECT_EQ(ops.WaitInterruptMessage(ops.Object, 0, buffer, 64, &id, nullptr, nullptr, nullptr),
            STATUS_INVALID_DEVICE_STATE);
  ops.Destroy(ops.Object);
}

TEST_F(InterruptPipeTest, DisablingCompletesEveryWaiterOnceAndDropsKeptPackets) {
  Start();
  chip_.RaiseRomResult(2, 0);
  ASSERT_TRUE(InterruptReadsReach(1));
  for (int i = 0; i < 3; ++i) ASSERT_EQ(display_waits_.Post(Interrupt(), 0), STATUS_SUCCESS);
  const PipeOps& p = Interrupt();
  p.Enable(p.Object, 0);
  ASSERT_EQ(display_waits_.Count(), 3u);
  for (const auto& d : display_waits_.Completed()) {
    EXPECT_EQ(d.status, STATUS_CANCELLED);
    EXPECT_EQ(d.bytes, 0u);
    EXPECT_EQ(d.usbd_status, 0xC0010000u);
    EXPECT_EQ(d.calls, 1);
  }
  EXPECT_EQ(InterruptCounters().Held[5], 0) << "kept packets are discarded";
  EXPECT_EQ(chip_.interrupts().WaitingReads(), 0u) << "the read was cancelled";

  p.Enable(p.Object, 1);
  ASSERT_EQ(display_waits_.Post(Interrupt(), 0), STATUS_SUCCESS);
  chip_.RaiseFrameAck(3);
  ASSERT_TRUE(Eventually([&] { return display_waits_.Count() == 4; }));
  EXPECT_EQ(display_waits_.Completed()[3].status, STATUS_SUCCESS);
  EXPECT_EQ(AckOf(display_waits_.Completed()[3].packet), 3u);
}

// Inline, delayed and short completions in a seeded mix, with waiters that wait again from
// their callback as the display child does: every whole packet reaches a waiter once and in
// order, no short read is taken for a packet, and nothing deadlocks.
TEST_F(InterruptPipeTest, ChaosCompletionsLoseNoWholePacketAndKeepTheOrder) {
  usb::BusOptions options;
  options.chaos = true;
  options.chaos_seed = 25;
  options.chaos_inline_percent = 50;
  options.chaos_short_percent = 10;
  options.chaos_cancel_percent = 5;
  options.chaos_max_delay_us = 0;  // the read reaches the chip on the caller's thread
  Start(options);
  const PipeOps pipe = Interrupt();
  display_waits_.on_done = [this, pipe](const WaitRecorder::Done& d) {
    if (d.status == STATUS_SUCCESS) display_waits_.Post(pipe, 0);
  };
  for (int i = 0; i < 4; ++i) ASSERT_EQ(display_waits_.Post(pipe, 0), STATUS_SUCCESS);

  constexpr ULONG kPackets = 400;
  for (ULONG seq = 1; seq <= kPackets; ++seq) {
    chip_.RaiseFrameAck(seq);
    if (seq % 4 == 0) {
      ASSERT_TRUE(InterruptReadsReach(seq));  // at most a few in flight
    }
  }
  ASSERT_TRUE(InterruptReadsReach(kPackets));
  const InterruptPipeCounters c = InterruptCounters();
  ASSERT_TRUE(Eventually([&] { return display_waits_.Count() == c.Packets - c.DroppedPackets; }));
  std::vector<WaitRecorder::Done> done = display_waits_.Completed();
  for (size_t i = 1; i < done.size(); ++i) ASSERT_LT(AckOf(done[i - 1].packet), AckOf(done[i].packet));
  for (const auto& d : done) {
    EXPECT_EQ(d.bytes, 64u);
    EXPECT_EQ(d.calls, 1);
  }
  EXPECT_EQ(c.Packets + c.ShortReads, kPackets);
  EXPECT_GT(bus_->Counters().chaos_inline, 0u);
}

}  // namespace
}  // namespace vorn::station::testing
