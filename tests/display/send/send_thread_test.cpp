// The send thread on a real device, fed hand-offs the way an encode thread makes them: bad
// kinds refresh the view, a failed header write books nothing, a ring overrun resynchronises
// both views with the first-pass flag on exactly the next pass, and the bandwidth limit holds
// a pass to its length.
#include <cstdlib>
#include <cstring>

#include "display/device/device_threads.h"
#include "display/frames/device_memory.h"
#include "display/frames/frame_ack.h"
#include "display/send/send_thread.h"
#include "jpeg/codec/encode_frame_jpeg.h"
#include "platform/win32/synch.h"
#include "tests/display/display_fixture.h"

namespace vorn::display::testing {
namespace {

using chip::MakeProfile;

TEST(PacingTest, SleepMakesUpTheRestOfThePass) {
  constexpr uint64_t f = 10'000'000;  // ticks a second
  struct Case {
    uint8_t limit;
    uint64_t elapsed_ms;
    uint32_t length;
    uint32_t want;
  };
  const Case cases[] = {
      {10, 0, 1'000'000, 100},  {10, 30, 1'000'000, 70}, {10, 100, 1'000'000, 0},
      {10, 150, 1'000'000, 0},  {1, 0, 1'000'000, 1000}, {10, 0, 9'999, 0},
      {0, 0, 1'000'000, 0},     {255, 0, 1'000'000, 0},  {254, 0, 254'000'000, 1000},
  };
  for (const Case& c : cases)
    EXPECT_EQ(PacingSleepMs(c.limit, c.elapsed_ms * f / 1000, f, c.length), c.want)
        << int{c.limit} << " " << c.elapsed_ms << " " << c.length;
}

class SendThreadTest : public DisplayTest {
 protected:
  void SetUp() override {
    chip_ = &AddChip(MakeProfile({2, 64, true}));
    adapter_ = &AddAdapter(*chip_);
    ASSERT_TRUE(adapter_->Open());
    ASSERT_EQ(adapter_->Start(), STATUS_SUCCESS);
    device_ = adapter_->handle();
    for (ViewContext& v : device_->Views) ASSERT_NE(v.SystemMem->Staging, nullptr);
  }
  void TearDown() override {
    chip_->frames().ReleaseAcks();
    EXPECT_EQ(chip_->violations().Messages(), std::vector<std::string>{});
    EXPECT_EQ(adapter_->Close(), STATUS_SUCCESS);
  }

  // Lays |message| at the start of the view's staging ring and hands it off as an encode
  // thread does; returns once the send thread has released it.
  void HandOff(uint32_t view, FrameHandoff h, const std::vector<uint8_t>& message) {
    SystemMemObj* mem = device_->Views[view].SystemMem;
    ASSERT_EQ(WaitForSingleObject(mem->ConsumedEvent, INFINITE), WAIT_OBJECT_0);
    ASSERT_LE(message.size(), mem->StagingSize);
    std::memcpy(mem->Staging, message.data(), message.size());
    h.Offset = 0;
    h.Length = static_cast<uint32_t>(message.size());
    ResetEvent(mem->ConsumedEvent);
    LockUntimed(device_, mem->HandoffLock);
    mem->Handoff = h;
    Unlock(device_, mem->HandoffLock);
    SetEvent(mem->ReadyEvent);
    ASSERT_EQ(WaitForSingleObject(mem->ConsumedEvent, INFINITE), WAIT_OBJECT_0);
  }

  // A JPEG full frame of |w| x |h| pixels of grey |level|, as the region encoder lays it out.
  static std::vector<uint8_t> JpegFrame(uint32_t w, uint32_t h, uint8_t level = 0) {
    std::vector<uint8_t> pixels(size_t{w} * h * 3, level);
    std::vector<uint8_t> out(80 + pixels.size() + 4096, 0);
    jpeg::JpegEncodeRequest r;
    r.width = w;
    r.height = h;
    r.pixelFormat = jpeg::PixelFormatBgr24;
    r.pixels = pixels.data();
    r.stride = static_cast<int32_t>(w * 3);
    r.quality = 90;
    r.output = out.data() + 80;
    r.outputCapacity = static_cast<int32_t>(out.size() - 80 - 2048);
    EXPECT_EQ(jpeg::EncodeFrameJpeg(&r), jpeg::JpegEncodeOk);
    out.resize(JpegMessageLength(static_cast<uint32_t>(r.outputLength)));
    return out;
  }
  static FrameHandoff Full(uint32_t view, uint32_t format, int32_t w, int32_t h) {
    FrameHandoff f{};
    f.PacketKind = 3 + view;
    f.right = w;
    f.bottom = h;
    f.SurfaceFormat = format;
    return f;
  }
  uint8_t FullRefresh(uint32_t view) {
    ViewContext& v = device_->Views[view];
    LockUntimed(device_, v.DirtyLock);
    const uint8_t r = v.FullRefresh;
    v.FullRefresh = 0;
    Unlock(device_, v.DirtyLock);
    return r;
  }
  uint32_t InFlight() {
    LockUntimed(device_, device_->AckRing.Lock);
    const uint32_t n = InFlightCount(&device_->AckRing);
    Unlock(device_, device_->AckRing.Lock);
    return n;
  }
  // DescriptorFlags of the last message the chip completed.
  uint8_t LastFlags() {
    const auto recent = chip_->bulk_out().Recent();
    EXPECT_FALSE(recent.empty());
    return recent.empty() ? 0xFF : recent.back().payload[79 - 32];
  }

  chip::Chip* chip_ = nullptr;
  host::Adapter* adapter_ = nullptr;
  SorvikDevice* device_ = nullptr;
};

TEST_F(SendThreadTest, AKindOfTheOtherViewRefreshesThatView) {
  const uint64_t before = chip_->frames().Messages();
  // View 1's kinds are 4, 2 and 7; a 3 is view 0's full frame.
  HandOff(1, Full(0, 9, 64, 64), std::vector<uint8_t>(RawMessageLength(9, 64, 64)));
  EXPECT_EQ(FullRefresh(1), 1);
  EXPECT_EQ(FullRefresh(0), 0);
  EXPECT_EQ(WaitForSingleObject(device_->Views[1].DirtyEvent, 0), WAIT_OBJECT_0);
  // A packet reaching past the staging ring is refused the same way.
  FrameHandoff h = Full(0, 9, 64, 64);
  {
    SystemMemObj* mem = device_->Views[0].SystemMem;
    ASSERT_EQ(WaitForSingleObject(mem->ConsumedEvent, INFINITE), WAIT_OBJECT_0);
    h.Offset = mem->StagingSize - 100;
    h.Length = static_cast<uint32_t>(RawMessageLength(9, 64, 64));
    ResetEvent(mem->ConsumedEvent);
    LockUntimed(device_, mem->HandoffLock);
    mem->Handoff = h;
    Unlock(device_, mem->HandoffLock);
    SetEvent(mem->ReadyEvent);
    ASSERT_EQ(WaitForSingleObject(mem->ConsumedEvent, INFINITE), WAIT_OBJECT_0);
  }
  EXPECT_EQ(FullRefresh(0), 1);
  EXPECT_EQ(chip_->frames().Messages(), before);
}

TEST_F(SendThreadTest, AFailedHeaderWriteBooksNothing) {
  const std::vector<uint8_t> frame = JpegFrame(64, 64);
  HandOff(0, Full(0, 13, 64, 64), frame);
  ASSERT_EQ(FullRefresh(0), 0);
  // The chip acknowledges on its own time: wait for it, so that nothing changes the
  // bookkeeping below but the failed writes.
  ASSERT_TRUE(Eventually([&] { return InFlight() == 0; }));
  const MemRegion region = device_->Memory.Regions[0];
  const uint32_t next = device_->Memory.NextAlloc, last = device_->Memory.LastAllocStart;
  const uint32_t sequence = device_->FrameSequence, in_flight = InFlight();
  const FramePlanes full = device_->Views[0].LastFull;
  const uint32_t resets = chip_->EndpointResets(0x02);

  for (chip::ScriptKind kind : {chip::ScriptKind::kStall, chip::ScriptKind::kFail}) {
    chip_->script().OnEndpoint(0x02, {kind, 1});
    HandOff(0, Full(0, 13, 64, 64), frame);
    EXPECT_EQ(FullRefresh(0), 1);
    const MemRegion now = device_->Memory.Regions[0];
    for (int s = 0; s < 3; ++s) {
      EXPECT_EQ(now.Slots[s].Busy, region.Slots[s].Busy) << s;
      EXPECT_EQ(now.Slots[s].Tag, region.Slots[s].Tag) << s;
    }
    EXPECT_EQ(now.LastSlot, region.LastSlot);
    EXPECT_EQ(device_->Memory.NextAlloc, next);
    EXPECT_EQ(device_->Memory.LastAllocStart, last);
    EXPECT_EQ(InFlight(), in_flight);
    EXPECT_EQ(device_->FrameSequence, sequence) << "the number goes back";
    EXPECT_EQ(device_->Views[0].LastFull.Plane[0], full.Plane[0]);
  }
  EXPECT_EQ(chip_->EndpointResets(0x02), resets + 2);

  // The next frame goes out with the next number, into the slot the failed ones would have had.
  uint32_t address = 0, slot = 0;
  ASSERT_EQ(PickFreeSlot(&device_->Memory, 0, &address, &slot), STATUS_SUCCESS);
  HandOff(0, Full(0, 13, 64, 64), frame);
  EXPECT_EQ(FullRefresh(0), 0);
  EXPECT_EQ(device_->FrameSequence, sequence + 1);
  EXPECT_EQ(device_->Memory.Regions[0].LastSlot, slot);
  EXPECT_EQ(device_->Views[0].LastFull.Plane[0], address + 48);
}

TEST_F(SendThreadTest, APayloadWriteFailingAfterItsHeaderKeepsItsNumberAndRingPlace) {
  const std::vector<uint8_t> frame = JpegFrame(64, 64);
  chip_->frames().HoldAcks(true);
  const uint32_t sequence = device_->FrameSequence, in_flight = InFlight();
  // The header goes out, the payload write fails.
  chip_->script().OnEndpoint(0x02, {chip::ScriptKind::kNormal, 1});
  chip_->script().OnEndpoint(0x02, {chip::ScriptKind::kFail, 1});
  HandOff(0, Full(0, 13, 64, 64), frame);
  EXPECT_EQ(FullRefresh(0), 1);
  EXPECT_EQ(device_->FrameSequence, sequence + 1) << "the device may acknowledge the number";
  ASSERT_EQ(InFlight(), in_flight + 1) << "the payload's ring place stays booked";
  const FrameAckEntry& booked =
      device_->AckRing.Entries[(device_->AckRing.Write + kFrameAckEntries - 1) % kFrameAckEntries];
  EXPECT_EQ(booked.Sequence, sequence + 1);

  // The next payload goes elsewhere in the ring and with the next number.
  HandOff(0, Full(0, 13, 64, 64), frame);
  EXPECT_EQ(FullRefresh(0), 0);
  EXPECT_EQ(device_->FrameSequence, sequence + 2);
  ASSERT_EQ(InFlight(), in_flight + 2);
  const FrameAckEntry& next =
      device_->AckRing.Entries[(device_->AckRing.Write + kFrameAckEntries - 1) % kFrameAckEntries];
  EXPECT_FALSE(next.Address < booked.Address + booked.Length &&
               booked.Address < next.Address + next.Length);
  chip_->frames().HoldAcks(false);
}

TEST_F(SendThreadTest, APacketLeftAtAPowerStopIsNeverSentAfterTheRestart) {
  // The send thread stops before taking the view's packet, as when the stop comes right
  // after the hand-off.
  StopSendThread(device_);
  SystemMemObj* mem = device_->Views[0].SystemMem;
  const std::vector<uint8_t> frame = JpegFrame(64, 64);
  std::memcpy(mem->Staging, frame.data(), frame.size());
  FrameHandoff h = Full(0, 13, 64, 64);
  h.Offset = 0;
  h.Length = static_cast<uint32_t>(frame.size());
  ResetEvent(mem->ConsumedEvent);
  mem->Handoff = h;
  SetEvent(mem->ReadyEvent);

  ASSERT_EQ(adapter_->PowerEvent(3), STATUS_SUCCESS);
  EXPECT_EQ(WaitForSingleObject(mem->ReadyEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(WaitForSingleObject(mem->ConsumedEvent, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(FullRefresh(0), 1) << "the dropped packet's picture comes again as a whole";
  ASSERT_EQ(adapter_->PowerEvent(4), STATUS_SUCCESS);
}

class ResyncTest : public SendThreadTest {
 protected:
  void Run(uint8_t format_mode, uint8_t want_flags) {
    device_->FormatMode = format_mode;
    chip_->frames().HoldAcks(true);
    const std::vector<uint8_t> frame = JpegFrame(64, 64);
    for (int i = 0; i < 9; ++i) {
      HandOff(0, Full(0, 13, 64, 64), frame);
      ASSERT_EQ(FullRefresh(0), 0) << i;
      EXPECT_EQ(LastFlags(), 0) << i;
    }
    EXPECT_EQ(InFlight(), 9u);
    // Nine payloads unacknowledged: the tenth overruns the ring.
    const uint64_t before = chip_->frames().Messages();
    HandOff(0, Full(0, 13, 64, 64), frame);
    EXPECT_EQ(chip_->frames().Messages(), before);
    EXPECT_EQ(InFlight(), 0u) << "every payload in flight forgotten";
    EXPECT_EQ(FullRefresh(0), 1);
    EXPECT_EQ(FullRefresh(1), 1);
    // The next pass carries the flag (in JPEG mode), later ones not.
    HandOff(0, Full(0, 13, 64, 64), frame);
    EXPECT_EQ(LastFlags(), want_flags);
    HandOff(0, Full(0, 13, 64, 64), frame);
    EXPECT_EQ(LastFlags(), 0);
    EXPECT_EQ(FullRefresh(0), 0);
  }
};

TEST_F(ResyncTest, JpegModeFlagsTheNextPassOnly) { Run(0, 0x80); }
TEST_F(ResyncTest, YuvModeNeverFlags) { Run(1, 0); }

// The monitor of |view| shows grey |level| all over (JPEG rounding allowed).
bool ShowsGrey(chip::Chip& chip, int view, uint8_t level) {
  return Eventually([&] {
    const auto shown = chip.frames().Shown(view);
    if (!shown || shown->width != 64 || shown->height != 64) return false;
    for (size_t i = 0; i < shown->bgra.size(); i += 4)
      for (int c = 0; c < 3; ++c)
        if (std::abs(int{shown->bgra[i + c]} - int{level}) > 3) return false;
    return true;
  });
}

// View 0's packet fails while view 1's waits behind it in the same pass of the send loop.
// An overrun ends the pass: view 1's packet goes out once, in the next pass, with the resync
// flag, and both views refresh. A failed write refreshes view 0 only and the pass goes on to
// view 1 without the flag. Either way each monitor ends up showing its own picture.
class TwoViewResyncTest : public SendThreadTest {
 protected:
  void Run(bool overrun) {
    const std::vector<uint8_t> dark = JpegFrame(64, 64, 0x20), light = JpegFrame(64, 64, 0xC0);
    if (overrun) {
      chip_->frames().HoldAcks(true);
      for (int i = 0; i < 9; ++i) HandOff(0, Full(0, 13, 64, 64), dark);
      ASSERT_EQ(InFlight(), 9u);
    } else {
      chip_->script().OnEndpoint(0x02, {chip::ScriptKind::kFail, 1});
    }
    ASSERT_EQ(FullRefresh(0), 0);
    ASSERT_EQ(FullRefresh(1), 0);
    const uint64_t view0 = chip_->frames().FullFrames(0), view1 = chip_->frames().FullFrames(1);

    // Both packets wait when the send thread next looks.
    StopSendThread(device_);
    const auto lay = [&](uint32_t index, const std::vector<uint8_t>& frame) {
      SystemMemObj* mem = device_->Views[index].SystemMem;
      ASSERT_EQ(WaitForSingleObject(mem->ConsumedEvent, 0), WAIT_OBJECT_0);
      std::memcpy(mem->Staging, frame.data(), frame.size());
      FrameHandoff h = Full(index, 13, 64, 64);
      h.Offset = 0;
      h.Length = static_cast<uint32_t>(frame.size());
      ResetEvent(mem->ConsumedEvent);
      mem->Handoff = h;
      SetEvent(mem->ReadyEvent);
    };
    lay(0, dark);
    lay(1, light);
    ASSERT_EQ(StartSendThread(device_), STATUS_SUCCESS);

    SystemMemObj* mem1 = device_->Views[1].SystemMem;
    // Waited for in real time: a wait on the stand-in's fast clock lasts only milliseconds.
    SystemMemObj* mem0 = device_->Views[0].SystemMem;
    ASSERT_TRUE(Eventually([&] { return WaitForSingleObject(mem0->ConsumedEvent, 0) == WAIT_OBJECT_0; }));
    ASSERT_TRUE(Eventually([&] { return WaitForSingleObject(mem1->ConsumedEvent, 0) == WAIT_OBJECT_0; }));
    EXPECT_EQ(chip_->frames().FullFrames(0), view0) << "the failed packet is not sent";
    ASSERT_TRUE(Eventually([&] { return chip_->frames().FullFrames(1) > view1; }));
    EXPECT_EQ(chip_->frames().FullFrames(1), view1 + 1) << "view 1's packet went out once";
    EXPECT_EQ(WaitForSingleObject(mem1->ReadyEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(LastFlags(), overrun ? 0x80 : 0);
    EXPECT_EQ(FullRefresh(0), 1);
    EXPECT_EQ(FullRefresh(1), overrun ? 1 : 0);

    // The refreshes that follow carry no flag, and each monitor shows its own picture.
    chip_->frames().ReleaseAcks();
    chip_->frames().HoldAcks(false);
    HandOff(0, Full(0, 13, 64, 64), dark);
    EXPECT_EQ(LastFlags(), 0);
    HandOff(1, Full(1, 13, 64, 64), light);
    EXPECT_EQ(LastFlags(), 0);
    EXPECT_EQ(FullRefresh(0), 0);
    EXPECT_EQ(FullRefresh(1), 0);
    EXPECT_EQ(chip_->frames().FullFrames(0), view0 + 1);
    EXPECT_EQ(chip_->frames().FullFrames(1), view1 + 2);
    EXPECT_TRUE(ShowsGrey(*chip_, 0, 0x20));
    EXPECT_TRUE(ShowsGrey(*chip_, 1, 0xC0));
  }
};

TEST_F(TwoViewResyncTest, AnOverrunKeepsTheOtherViewsPacketForTheNextPass) { Run(true); }
TEST_F(TwoViewResyncTest, AFailedWriteGoesOnToTheOtherViewsPacket) { Run(false); }

TEST_F(SendThreadTest, BandwidthLimitHoldsThePass) {
  // A 320 x 1041 RGB frame is 999,440 bytes: at 10,000,000 bytes a second the pass lasts at
  // least 99 ms, so the next hand-off is not taken before then.
  const std::vector<uint8_t> frame(RawMessageLength(9, 320, 1041));
  ASSERT_EQ(frame.size(), 999'440u);
  device_->BandwidthLimit = 10;
  clock::ScopedSpeed real(1);
  const int64_t start = clock::NowNs();
  HandOff(0, Full(0, 9, 320, 1041), frame);
  HandOff(0, Full(0, 9, 320, 1041), frame);
  // The second hand-off was released only after its own pass, which the first pass's sleep
  // held back.
  EXPECT_GE(clock::NowNs() - start, int64_t{99'000'000});
}

}  // namespace
}  // namespace vorn::display::testing
