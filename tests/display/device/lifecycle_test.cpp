// Start, PowerEvent and Close as the host calls them, and the synchronous bulk write.
#include "display/device/bulk_write.h"
#include "protocol/bus_message.h"
#include "protocol/vendor_request.h"
#include "tests/display/display_fixture.h"

namespace vorn::display::testing {
namespace {

using chip::MakeProfile;

// A display message of |length| bytes in all: a header, then a payload pattern.
std::vector<uint8_t> Message(uint32_t length) {
  std::vector<uint8_t> m(length);
  for (uint32_t i = 0; i < length; ++i) m[i] = static_cast<uint8_t>(i * 13);
  protocol::BusMessageHeader h;
  h.Type = 0;
  h.TotalLength = length - 32;
  h.Slice.SliceLength = length - 32;
  protocol::EncodeBusMessageHeader(h, m);
  return m;
}

TEST_F(DisplayTest, BulkWriteCutsChunksOfFFC00) {
  struct Case {
    uint32_t length;
    size_t chunks;
  } cases[] = {{2 * kBulkChunkSize, 2}, {2 * kBulkChunkSize + 1, 3}, {100, 1}, {0, 0}};
  for (const Case& c : cases) {
    chip::Chip& chip = AddChip(MakeProfile({1, 64, true}));
    chip.bulk_out().SetSink(nullptr);  // the payload is a pattern, not a frame
    host::Adapter& a = AddAdapter(chip);
    ASSERT_TRUE(a.Open());
    std::vector<uint8_t> m = c.length ? Message(c.length) : std::vector<uint8_t>{};
    EXPECT_EQ(BulkWrite(a.handle(), a.handle()->BulkOutput, m.data(), c.length), STATUS_SUCCESS);
    std::vector<uint32_t> lengths;
    for (const auto& e : chip.log().Snapshot())
      if (e.endpoint == 0x02) lengths.push_back(e.length);
    ASSERT_EQ(lengths.size(), c.chunks) << c.length;
    for (size_t i = 0; i + 1 < lengths.size(); ++i) EXPECT_EQ(lengths[i], kBulkChunkSize);
    if (c.chunks == 0) continue;
    ASSERT_EQ(chip.bulk_out().Completed(), 1u);
    EXPECT_TRUE(std::equal(m.begin() + 32, m.end(), chip.bulk_out().Recent()[0].payload.begin()));
    EXPECT_EQ(chip.violations().Count(), 0u);
  }
}

TEST_F(DisplayTest, BulkWriteStopsAtTheFirstFailure) {
  struct Case {
    chip::ScriptKind kind;
    NTSTATUS status;
    uint32_t resets;
  } cases[] = {
      {chip::ScriptKind::kTimeOut, STATUS_IO_TIMEOUT, 1},
      {chip::ScriptKind::kStall, STATUS_UNSUCCESSFUL, 0},
  };
  for (const Case& c : cases) {
    chip::Chip& chip = AddChip(MakeProfile({1, 64, true}));
    host::Adapter& a = AddAdapter(chip);
    ASSERT_TRUE(a.Open());
    const size_t objects = a.wdf().LiveObjectCount();
    chip.script().OnEndpoint(0x02, {chip::ScriptKind::kNormal, 1});
    chip.script().OnEndpoint(0x02, {c.kind, 1});
    std::vector<uint8_t> m = Message(3 * kBulkChunkSize);
    NTSTATUS status = BulkWrite(a.handle(), a.handle()->BulkOutput, m.data(), 3 * kBulkChunkSize);
    EXPECT_FALSE(NT_SUCCESS(status));
    if (c.status != STATUS_UNSUCCESSFUL) {
      EXPECT_EQ(status, c.status);
    }
    EXPECT_EQ(chip.log().CountEndpoint(0x02), 2u);  // the third chunk is never sent
    EXPECT_EQ(chip.ResetBulkStreamCount(), c.resets);
    auto log = chip.log().Snapshot();
    if (c.resets) {
      EXPECT_EQ(log.back().setup.bRequest, protocol::ReqResetBulkStream);
    }
    EXPECT_EQ(a.wdf().LiveObjectCount(), objects);  // requests and memory deleted
  }
}

TEST_F(DisplayTest, BulkWriteWithoutAPipeSendsNothing) {
  chip::Chip& chip = AddChip(MakeProfile({1, 64, true}));
  host::Adapter& a = AddAdapter(chip);
  ASSERT_TRUE(a.Open());
  uint8_t byte = 0;
  EXPECT_EQ(BulkWrite(a.handle(), nullptr, &byte, 1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(chip.log().CountEndpoint(0x02), 0u);
}

TEST_F(DisplayTest, StartAcquiresTheViewsWithMonitors) {
  struct Case {
    const char* what;
    int views;
    std::array<bool, 2> monitors;
    std::optional<uint8_t> detect;
    host::InterfaceVersion version;
    size_t acquired;
  } cases[] = {
      {"two views", 2, {true, true}, std::nullopt, host::kVersion15, 2},
      {"one monitor missing", 2, {true, false}, std::nullopt, host::kVersion15, 1},
      {"detection off", 2, {false, false}, 0, host::kVersion20, 2},
      {"one view", 1, {true, false}, std::nullopt, host::kVersion14, 1},
  };
  for (const Case& c : cases) {
    chip::ChipProfile p = MakeProfile({c.views, 64, true});
    p.monitors[0].connected = c.monitors[0];
    p.monitors[1].connected = c.monitors[1];
    host::Adapter& a = AddAdapter(AddChip(p), c.version);
    if (c.detect) a.wdf().SetRegistryBinary(u"DetectMonitor", {*c.detect});
    ASSERT_TRUE(a.Open()) << c.what;
    EXPECT_EQ(a.Displays().size(), 0u);
    EXPECT_EQ(a.Start(), STATUS_SUCCESS) << c.what;
    auto displays = a.Displays();
    ASSERT_EQ(displays.size(), c.acquired) << c.what;
    for (const host::DisplayRecord& d : displays) {
      EXPECT_EQ(d.block.ViewCount, static_cast<ULONG>(c.views)) << c.what;
      EXPECT_EQ(d.block.Context, reinterpret_cast<const ViewContext*>(d.live)) << c.what;
      EXPECT_EQ(d.block.WdfDevice, a.wdf().WdfDevice());
      EXPECT_EQ(d.block.MaxCursorWidth, 64);
      EXPECT_EQ(d.block.OutputType, kOutputTypeHdmi);
      EXPECT_EQ(d.block.SetGamma != nullptr, a.block().GammaSupported == 1) << c.what;
      const ViewContext* view = d.block.Context;
      EXPECT_EQ(view->hDisplayContext, d.context);
      EXPECT_EQ(d.live->TargetID, d.block.TargetID);
    }
    if (c.views == 2 && c.acquired == 2) {
      EXPECT_EQ(displays[0].block.ViewIndex, 0u);
      EXPECT_EQ(displays[1].block.ViewIndex, 1u);
    }
    EXPECT_EQ(a.Close(), STATUS_SUCCESS);
    EXPECT_EQ(a.HeldDisplays(), c.acquired);  // dropped at close, never released
  }
}

TEST_F(DisplayTest, SingleViewOnOutputOneIsViewIndexZero) {
  chip::ChipProfile p = MakeProfile({2, 64, true});
  p.view_descriptor[0] = 0;
  host::Adapter& a = Opened(p);
  ASSERT_EQ(a.Start(), STATUS_SUCCESS);
  auto displays = a.Displays();
  ASSERT_EQ(displays.size(), 1u);
  EXPECT_EQ(displays[0].block.ViewCount, 1u);
  EXPECT_EQ(displays[0].block.ViewIndex, 0u);
  EXPECT_EQ(displays[0].block.Context, &a.handle()->Views[1]);
}

TEST_F(DisplayTest, PowerEventsStopAndRestartIdempotently) {
  chip::Chip& chip = AddChip(MakeProfile({2, 64, true}));
  host::Adapter& a = AddAdapter(chip);
  ASSERT_TRUE(a.Open());
  ASSERT_EQ(a.Start(), STATUS_SUCCESS);
  const SorvikDevice* d = a.handle();
  EXPECT_TRUE(d->SendThread.Running);
  EXPECT_TRUE(d->HotplugThread.Running);
  EXPECT_TRUE(d->InterruptReaderStarted);
  const Resources running = Stable();

  for (ULONG ignored : {1u, 2u, 5u}) EXPECT_EQ(a.PowerEvent(ignored), STATUS_SUCCESS);
  EXPECT_EQ(Settled(running), running);

  EXPECT_EQ(a.PowerEvent(kPowerEventStop), STATUS_SUCCESS);
  // The send and hot-plug threads are gone, their handles closed.
  EXPECT_TRUE(Eventually([&] { return Resources::Now().threads + 2 <= running.threads; }));
  const Resources stopped = Stable();
  EXPECT_EQ(stopped.handles + 2, running.handles);
  EXPECT_EQ(a.PowerEvent(kPowerEventStop), STATUS_SUCCESS);
  EXPECT_EQ(Settled(stopped), stopped);
  EXPECT_FALSE(d->SendThread.Running);
  EXPECT_FALSE(d->HotplugThread.Running);
  EXPECT_FALSE(d->InterruptReaderStarted);
  EXPECT_EQ(chip.interrupts().WaitingReads(), 0u);
  EXPECT_EQ(a.HeldDisplays(), 2u);  // the host keeps its contexts

  const uint32_t starts = chip.StartDisplayCount();
  EXPECT_EQ(a.PowerEvent(kPowerEventRestart), STATUS_SUCCESS);
  EXPECT_TRUE(d->SendThread.Running);
  EXPECT_TRUE(d->HotplugThread.Running);
  EXPECT_TRUE(d->InterruptReaderStarted);
  EXPECT_EQ(chip.StartDisplayCount(), starts + 1);
  EXPECT_EQ(Settled(running), running);
  EXPECT_EQ(chip.violations().Count(), 0u);
}

TEST_F(DisplayTest, CloseLeavesNoThreadHeapHandleOrObject) {
  for (bool started : {false, true}) {
    for (bool stopped : {false, true}) {
      chip::Chip& chip = AddChip(MakeProfile({2, 64, true}));
      host::Adapter& a = AddAdapter(chip);
      const Resources before = Stable();
      ASSERT_TRUE(a.Open());
      if (started) {
        EXPECT_EQ(a.Start(), STATUS_SUCCESS);
      }
      if (stopped) {
        EXPECT_EQ(a.PowerEvent(kPowerEventStop), STATUS_SUCCESS);
      }
      EXPECT_EQ(a.Close(), STATUS_SUCCESS);
      EXPECT_EQ(Settled(before), before) << "started " << started << " stopped " << stopped;
      EXPECT_EQ(a.wdf().LiveObjectCount(), 0u);
      EXPECT_EQ(chip.interrupts().WaitingReads(), 0u);
    }
  }
}

TEST_F(DisplayTest, InterruptReaderTakesAcknowledgementsOfDisplayPackets) {
  chip::Chip& chip = AddChip(MakeProfile({1, 64, true}));
  host::Adapter& a = AddAdapter(chip);
  ASSERT_TRUE(a.Open());
  auto packet = [](uint8_t flags, uint8_t events, uint32_t sequence) {
    chip::InterruptQueue::Packet p{};
    p[0] = flags;
    p[19] = events;
    protocol::StoreLe32(&p[12], sequence);
    return p;
  };
  auto wait_acked = [&](uint32_t sequence, int tries = 2000) {
    Eventually([&] { return a.handle()->LastAckedSequence == sequence; }, tries);
    return a.handle()->LastAckedSequence.load();
  };
  chip.interrupts().Push(packet(0x04, 0x05, 12));  // acknowledgement wins over monitor status
  EXPECT_EQ(wait_acked(12), 12u);
  // Neither a packet without the display flag nor a monitor event is an acknowledgement.
  chip.interrupts().Push(packet(0x00, 0x04, 11));
  chip.interrupts().Push(packet(0x04, 0x03, 10));
  Eventually([&] { return chip.interrupts().Delivered() >= 3; });
  EXPECT_EQ(wait_acked(11, 50), 12u);
  chip.interrupts().Push(packet(0x04, 0x04, 13));
  EXPECT_EQ(wait_acked(13), 13u);
  EXPECT_EQ(a.Close(), STATUS_SUCCESS);
}

TEST_F(DisplayTest, CloseOfNullIsInvalidParameter) {
  host::Adapter& a = Opened(MakeProfile({1, 64, true}));
  EXPECT_EQ(a.block().Close(nullptr), STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace vorn::display::testing
