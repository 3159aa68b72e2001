// Frames built with the message builders, written to the chip model over the bulk pipe, and
// read back as the monitor shows them; JPEG payloads released by the chip's acknowledgements.
#include <random>

#include "display/device/bulk_write.h"
#include "display/frames/device_memory.h"
#include "display/frames/frame_ack.h"
#include "display/frames/frame_packet.h"
#include "tests/display/display_fixture.h"

namespace vorn::display::testing {
namespace {

using chip::MakeProfile;
constexpr uint32_t F4 = 4, F6 = 6, F9 = 9, F13 = 13;
constexpr uint32_t kW = 1366, kH = 768;

std::vector<uint8_t> Noise(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

class FramePathTest : public DisplayTest {
 protected:
  void SetUp() override {
    chip_ = &AddChip(MakeProfile({2, 64, true}));
    adapter_ = &AddAdapter(*chip_);
    ASSERT_TRUE(adapter_->Open());
    ASSERT_EQ(adapter_->Start(), STATUS_SUCCESS);
    device_ = adapter_->handle();
    for (int v = 0; v < 2; ++v) chip_->frames().SetMode(v, kW, kH);
  }
  void TearDown() override {
    EXPECT_EQ(chip_->violations().Messages(), std::vector<std::string>{});
    EXPECT_EQ(adapter_->Close(), STATUS_SUCCESS);
  }

  // Sends |msg| as a full frame of |view| in a free slot; the planes it got.
  FramePlanes SendFull(uint32_t view, uint32_t format, std::vector<uint8_t>& msg) {
    uint32_t slot = 0;
    FrameMessage m{};
    m.View = view;
    m.Format = format;
    m.Width = kW;
    m.Height = kH;
    EXPECT_EQ(PickFreeSlot(&device_->Memory, view, &m.Slot, &slot), STATUS_SUCCESS);
    m.SlotCapacity = SlotCapacity(&device_->Memory.Regions[view], slot);
    m.Length = static_cast<uint32_t>(msg.size());
    m.Sequence = ++device_->FrameSequence;
    FramePlanes placed{};
    EXPECT_EQ(FillFullFrame(msg.data(), m, &placed), STATUS_SUCCESS);
    Send(msg);
    MarkSlotBusy(&device_->Memory, view, slot, kSlotTagFull);
    return placed;
  }
  void Send(const std::vector<uint8_t>& msg) {
    EXPECT_EQ(BulkWrite(device_, device_->BulkOutput, msg.data(), static_cast<uint32_t>(msg.size())),
              STATUS_SUCCESS);
  }
  // A JPEG message of an |n|-byte stream in the ring; false when the ring refuses it.
  NTSTATUS SendJpegPatch(const FramePlanes& last, uint32_t n) {
    std::vector<uint8_t> msg(JpegMessageLength(n));
    FrameMessage m{};
    m.Format = F13;
    m.X = 16;
    m.Y = 16;
    m.Width = m.Height = 16;
    m.Length = static_cast<uint32_t>(msg.size());
    NTSTATUS s = AllocRingSpace(&device_->Memory, m.Length - 32, &m.RingAddress);
    if (!NT_SUCCESS(s)) return s;
    m.Sequence = ++device_->FrameSequence;
    EXPECT_EQ(FillJpegPatch(msg.data(), m, last), STATUS_SUCCESS);
    Send(msg);
    RecordInFlight(&device_->Memory, m.RingAddress, m.Length - 32, m.Sequence);
    return STATUS_SUCCESS;
  }

  // Payloads in flight, read under the ring's lock as the send thread would.
  uint32_t InFlight() {
    LockUntimed(device_, device_->AckRing.Lock);
    const uint32_t n = InFlightCount(&device_->AckRing);
    Unlock(device_, device_->AckRing.Lock);
    return n;
  }

  chip::Chip* chip_ = nullptr;
  host::Adapter* adapter_ = nullptr;
  SorvikDevice* device_ = nullptr;
};

TEST_F(FramePathTest, RgbFrameAndPatchShowExactlyTheirPixels) {
  std::vector<uint8_t> bgra = Noise(size_t{kW} * kH * 4, 1);
  for (size_t i = 3; i < bgra.size(); i += 4) bgra[i] = 0xFF;
  std::vector<uint8_t> msg(RawMessageLength(F9, kW, kH));
  const uint32_t stride = Rgb24Stride(kW);
  for (uint32_t y = 0; y < kH; ++y)
    for (uint32_t x = 0; x < kW; ++x)
      std::memcpy(&msg[80 + y * stride + 3 * x], &bgra[(y * kW + x) * 4], 3);
  const FramePlanes planes = SendFull(0, F9, msg);
  auto shown = chip_->frames().Shown(0);
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->width, kW);
  EXPECT_EQ(shown->height, kH);
  EXPECT_TRUE(shown->bgra == bgra);

  // A 96 x 30 patch at (48, 60): 30 source rows, the last 10 land below the first 20.
  const uint32_t px = 48, py = 60, pw = 96, ph = 30;
  std::vector<uint8_t> patch(32 + 3 * pw * ph);
  uint32_t length = 0;
  ASSERT_EQ(FillTwoPlane(patch.data(), F9, px, py, pw, ph, planes, &length), STATUS_SUCCESS);
  ASSERT_EQ(length, patch.size());
  const std::vector<uint8_t> fresh = Noise(3 * pw * ph, 2);
  std::memcpy(&patch[32], fresh.data(), fresh.size());
  for (uint32_t y = 0; y < ph; ++y)
    for (uint32_t x = 0; x < pw; ++x)
      std::memcpy(&bgra[((py + y) * kW + px + x) * 4], &fresh[(y * pw + x) * 3], 3);
  Send(patch);
  shown = chip_->frames().Shown(0);
  ASSERT_TRUE(shown);
  EXPECT_TRUE(shown->bgra == bgra);
}

TEST_F(FramePathTest, YuvFramesStandInDeviceMemoryAsTheirPlanes) {
  // Format 6 on view 1: every plane byte reads back where the descriptor put it.
  std::vector<uint8_t> msg(RawMessageLength(F6, kW, kH));
  const std::vector<uint8_t> planes6 = Noise(msg.size() - 80, 3);
  std::memcpy(&msg[80], planes6.data(), planes6.size());
  const FramePlanes six = SendFull(1, F6, msg);
  EXPECT_EQ(chip_->frames().Read(six.Plane[0], static_cast<uint32_t>(planes6.size())), planes6);
  auto last = chip_->frames().LastFull(1);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->layout, F6);
  EXPECT_EQ(last->planes[1], six.Plane[1]);

  // A two-plane write of 30 x 8 at (10, 21) changes exactly its rows in both planes.
  std::vector<uint8_t> patch(32 + 30 * 8 + 30 * 4);
  uint32_t length = 0;
  ASSERT_EQ(FillTwoPlane(patch.data(), F6, 10, 21, 30, 8, six, &length), STATUS_SUCCESS);
  const std::vector<uint8_t> fresh = Noise(patch.size() - 32, 4);
  std::memcpy(&patch[32], fresh.data(), fresh.size());
  Send(patch);
  std::vector<uint8_t> expect = planes6;
  for (uint32_t r = 0; r < 8; ++r)
    std::memcpy(&expect[(21 + r) * six.Stride[0] + 10], &fresh[r * 30], 30);
  const uint32_t chroma = six.Plane[1] - six.Plane[0];
  for (uint32_t r = 0; r < 4; ++r)
    std::memcpy(&expect[chroma + (10 + r) * six.Stride[1] + 10], &fresh[240 + r * 30], 30);
  EXPECT_EQ(chip_->frames().Read(six.Plane[0], static_cast<uint32_t>(expect.size())), expect);

  // Format 4 on view 0: grey luma with neutral chroma shows as exactly that grey.
  std::vector<uint8_t> msg4(RawMessageLength(F4, kW, kH), 128);
  const std::vector<uint8_t> luma = Noise(size_t{kW} * kH, 5);
  const uint32_t a = Align16(kW);
  for (uint32_t y = 0; y < kH; ++y) std::memcpy(&msg4[80 + y * a], &luma[y * kW], kW);
  const FramePlanes four = SendFull(0, F4, msg4);
  EXPECT_EQ(four.Stride[0], a);
  auto shown = chip_->frames().Shown(0);
  ASSERT_TRUE(shown);
  for (uint32_t i = 0; i < kW * kH; ++i) {
    ASSERT_EQ(shown->bgra[4 * i], luma[i]) << i;
    ASSERT_EQ(shown->bgra[4 * i + 1], luma[i]) << i;
    ASSERT_EQ(shown->bgra[4 * i + 2], luma[i]) << i;
  }
}

TEST_F(FramePathTest, RectangleShowsOverItsFullFrameUntilTheNextOne) {
  // Grey levels with neutral chroma convert exactly, so the picture can be compared.
  std::vector<uint8_t> msg(RawMessageLength(F6, kW, kH), 128);
  std::memset(&msg[80], 40, size_t{Align16(kW)} * kH);
  SendFull(0, F6, msg);

  const uint32_t rx = 100, ry = 50, rw = 40, rh = 20;
  std::vector<uint8_t> rect(RawMessageLength(F6, rw, rh), 128);
  std::memset(&rect[80], 200, size_t{Align16(rw)} * rh);
  FrameMessage m{};
  m.Format = F6;
  m.X = rx;
  m.Y = ry;
  m.Width = rw;
  m.Height = rh;
  uint32_t slot = 0;
  ASSERT_EQ(PickFreeSlot(&device_->Memory, 0, &m.Slot, &slot), STATUS_SUCCESS);
  m.SlotCapacity = SlotCapacity(&device_->Memory.Regions[0], slot);
  m.Length = static_cast<uint32_t>(rect.size());
  m.Sequence = ++device_->FrameSequence;
  ASSERT_EQ(FillRect(rect.data(), m), STATUS_SUCCESS);
  Send(rect);
  MarkSlotBusy(&device_->Memory, 0, slot, kSlotTagRect);

  auto shown = chip_->frames().Shown(0);
  ASSERT_TRUE(shown);
  auto at = [&](uint32_t x, uint32_t y) { return shown->bgra[(size_t{y} * kW + x) * 4]; };
  EXPECT_EQ(at(rx, ry), 200);
  EXPECT_EQ(at(rx + rw - 1, ry + rh - 1), 200);
  EXPECT_EQ(at(rx + rw, ry), 40);
  EXPECT_EQ(at(rx, ry - 1), 40);
  // Both slots of the view are busy, one per tag; the next full frame takes the third and
  // replaces the rectangle.
  SendFull(0, F6, msg);
  shown = chip_->frames().Shown(0);
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->bgra[(size_t{ry} * kW + rx) * 4], 40);
  EXPECT_FALSE(chip_->frames().LastRect(0));
}

TEST_F(FramePathTest, AcknowledgementsReleaseRingPayloads) {
  ASSERT_EQ(device_->NoAckTracking, 0);
  std::vector<uint8_t> msg(RawMessageLength(F6, kW, kH));
  const FramePlanes six = SendFull(0, F6, msg);
  ASSERT_EQ(SendJpegPatch(six, 100), STATUS_SUCCESS);
  EXPECT_TRUE(Eventually([&] { return InFlight() == 0; }));
  EXPECT_EQ(device_->LastAckedSequence.load(), device_->FrameSequence);

  // Held acknowledgements: nine payloads fill the ring, the tenth is refused until the chip
  // sends them.
  chip_->frames().HoldAcks(true);
  for (int i = 0; i < 9; ++i) ASSERT_EQ(SendJpegPatch(six, 945), STATUS_SUCCESS) << i;
  EXPECT_EQ(SendJpegPatch(six, 945), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(chip_->frames().PendingAcks(), 9u);
  chip_->frames().HoldAcks(false);
  chip_->frames().ReleaseAcks();
  EXPECT_TRUE(Eventually([&] { return InFlight() == 0; }));
  EXPECT_EQ(SendJpegPatch(six, 945), STATUS_SUCCESS);

  // Lost acknowledgements: a later one releases the earlier payloads too.
  chip_->frames().DropAcks(3);
  for (int i = 0; i < 4; ++i) ASSERT_EQ(SendJpegPatch(six, 2000), STATUS_SUCCESS) << i;
  EXPECT_TRUE(Eventually([&] { return InFlight() == 0; }));
}

}  // namespace
}  // namespace vorn::display::testing
