// Device memory layouts for the memory sizes and view counts an adapter can have, the slots
// of a region, and ring allocation against the payloads in flight.
#include "display/frames/device_memory.h"
#include "display/frames/frame_ack.h"
#include "display/frames/frame_packet.h"
#include "tests/display/display_fixture.h"

namespace vorn::display::testing {
namespace {

using chip::MakeProfile;
constexpr uint32_t kMiB = 1u << 20;

struct Range {
  uint32_t start, end;
  bool operator==(const Range&) const = default;
};
void PrintTo(const Range& r, std::ostream* os) {
  *os << std::hex << "[0x" << r.start << ", 0x" << r.end << ")";
}
Range Of(const MemRegion& r) { return {r.Start, r.End}; }

TEST_F(DisplayTest, LayoutFollowsTheMemorySize) {
  for (uint8_t mib : {20, 64, 100}) {
    host::Adapter& a = Opened(MakeProfile({1, mib, true}));
    const SorvikDevice* d = a.handle();
    const DeviceMemory& m = d->Memory;
    const uint32_t size = uint32_t{mib} * kMiB;
    EXPECT_EQ(d->FrameMemorySize, size);
    EXPECT_EQ((Range{m.RingStart, m.RingEnd}), (Range{size - 10 * kMiB, size - 2048})) << +mib;
    EXPECT_EQ((Range{m.ViewStart, m.ViewEnd}), (Range{0, size - 10 * kMiB - 1024})) << +mib;
    EXPECT_EQ(m.NextAlloc, m.RingStart);
    EXPECT_EQ(m.LastAllocStart, m.RingEnd);
    ASSERT_EQ(a.Start(), STATUS_SUCCESS);
    for (const MemRegion& r : m.Regions) EXPECT_EQ(Of(r), (Range{0, m.ViewEnd})) << +mib;
    EXPECT_EQ(a.Close(), STATUS_SUCCESS);
  }
}

TEST_F(DisplayTest, TwoViewsSplitTheViewArea) {
  host::Adapter& a = Opened(MakeProfile({2, 64, true}));
  ASSERT_EQ(a.Start(), STATUS_SUCCESS);
  const DeviceMemory& m = a.handle()->Memory;
  EXPECT_EQ(Of(m.Regions[0]), (Range{0, 27 * kMiB - 1536}));
  EXPECT_EQ(Of(m.Regions[1]), (Range{27 * kMiB - 512, 54 * kMiB - 1024}));
  const uint32_t third = (27 * kMiB - 1536) / 3;
  EXPECT_EQ(m.Regions[0].Slots[1].Address, Align32(third));
  EXPECT_EQ(m.Regions[0].Slots[2].Address, Align32(Align32(third) + third));
  EXPECT_EQ(SlotCapacity(&m.Regions[0], 2), m.Regions[0].End - m.Regions[0].Slots[2].Address);
  EXPECT_EQ(a.Close(), STATUS_SUCCESS);
}

TEST_F(DisplayTest, WideLayoutMovesTheRingAndStaysOutOfIt) {
  struct Case {
    uint8_t mib;
    uint8_t formatMode;
    Range ring, region0, region1;
  } cases[] = {
      {64, 0, {56 * kMiB, 64 * kMiB - 2048}, {0, 0x2500000}, {0x2500400, 56 * kMiB - 1024}},
      {46, 1, {38 * kMiB, 46 * kMiB - 2048}, {0, 0x2500000}, {0x2500400, 38 * kMiB - 1024}},
      // 40 MiB: the fixed split would reach into the ring; the view area is halved instead.
      {40, 0, {32 * kMiB, 40 * kMiB - 2048}, {0, 16 * kMiB - 1536}, {16 * kMiB - 512, 32 * kMiB - 1024}},
      // 24-bit RGB has no ring to move.
      {64, 2, {64 * kMiB, 64 * kMiB}, {0, 0x2500000}, {0x2500400, 64 * kMiB - 1024}},
  };
  for (const Case& c : cases) {
    host::Adapter& a = Opened(MakeProfile({2, c.mib, true}));
    SorvikDevice* d = a.handle();
    d->FormatMode = c.formatMode;
    ASSERT_EQ(LayoutDeviceMemory(d), STATUS_SUCCESS);
    DeviceMemory& m = d->Memory;
    EXPECT_EQ(LayoutWideViews(d, &m), STATUS_SUCCESS);
    EXPECT_EQ((Range{m.RingStart, m.RingEnd}), c.ring) << +c.mib;
    EXPECT_EQ(Of(m.Regions[0]), c.region0) << +c.mib;
    EXPECT_EQ(Of(m.Regions[1]), c.region1) << +c.mib;
    EXPECT_EQ(m.NextAlloc, m.RingStart);
    EXPECT_EQ(m.LastAllocStart, m.RingEnd);
    for (const MemRegion& r : m.Regions) {
      EXPECT_LE(r.End, m.ViewEnd);
      EXPECT_LE(m.ViewEnd, m.RingStart);
      EXPECT_GT(SlotCapacity(&r, 2), 0u);
    }
  }
}

TEST_F(DisplayTest, SlotsArePickedFromTheLastOneAndOnePerTagStaysBusy) {
  host::Adapter& a = Opened(MakeProfile({1, 64, true}));
  ASSERT_EQ(a.Start(), STATUS_SUCCESS);
  DeviceMemory& m = a.handle()->Memory;
  MemRegion& r = m.Regions[0];
  uint32_t address = 0, slot = 9;
  ASSERT_EQ(PickFreeSlot(&m, 0, &address, &slot), STATUS_SUCCESS);
  EXPECT_EQ(slot, 0u);
  MarkSlotBusy(&m, 0, 0, kSlotTagFull);
  ASSERT_EQ(PickFreeSlot(&m, 0, &address, &slot), STATUS_SUCCESS);
  EXPECT_EQ(slot, 1u);
  EXPECT_EQ(address, r.Slots[1].Address);
  MarkSlotBusy(&m, 0, 1, kSlotTagRect);
  ASSERT_EQ(PickFreeSlot(&m, 0, &address, &slot), STATUS_SUCCESS);
  EXPECT_EQ(slot, 2u);
  MarkSlotBusy(&m, 0, 2, kSlotTagFull);  // the new full frame frees slot 0
  EXPECT_EQ(r.Slots[0].Busy, 0u);
  EXPECT_EQ(r.LastSlot, 2);
  // Last slot 1 and only slot 1 free: slot 1.
  r.Slots[0].Busy = 1;
  r.Slots[1].Busy = 0;
  r.LastSlot = 1;
  ASSERT_EQ(PickFreeSlot(&m, 0, &address, &slot), STATUS_SUCCESS);
  EXPECT_EQ(slot, 1u);
  r.Slots[1].Busy = 1;
  EXPECT_EQ(PickFreeSlot(&m, 0, &address, &slot), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(PickFreeSlot(&m, 2, &address, &slot), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(a.Close(), STATUS_SUCCESS);
}

TEST_F(DisplayTest, RingAllocationWaitsForAcknowledgements) {
  host::Adapter& a = Opened(MakeProfile({1, 64, true}));
  SorvikDevice* d = a.handle();
  d->NoAckTracking = 0;
  DeviceMemory& m = d->Memory;
  const uint32_t ring = m.RingStart;
  uint32_t address = 1;
  // Nine payloads in flight: the tenth fails even with room in the ring.
  for (uint32_t s = 1; s <= 9; ++s) {
    ASSERT_EQ(AllocRingSpace(&m, 1000, &address), STATUS_SUCCESS) << s;
    EXPECT_EQ(address, ring + (s - 1) * 1024);
    RecordInFlight(&m, address, 1000, s);
  }
  const uint32_t next = m.NextAlloc;
  EXPECT_EQ(AllocRingSpace(&m, 1000, &address), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(address, 0u);
  EXPECT_EQ(m.NextAlloc, next);  // a failure does not move the ring
  EXPECT_TRUE(AckFramesLocked(d, 9));
  EXPECT_EQ(InFlightCount(&d->AckRing), 0u);

  // A payload that fits neither before the end nor at the start before the latest one.
  ASSERT_EQ(AllocRingSpace(&m, 1000, &address), STATUS_SUCCESS);
  EXPECT_EQ(AllocRingSpace(&m, m.RingEnd - m.RingStart + 1, &address), STATUS_UNSUCCESSFUL);
  // Wrapping onto the unacknowledged payload at the ring start.
  const uint32_t top = m.RingEnd - 4096;
  RecordInFlight(&m, ring, 4096, 10);
  RecordInFlight(&m, top, 4096, 11);
  ASSERT_EQ(AllocRingSpace(&m, 8192, &address), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(AckFramesLocked(d, 10));
  ASSERT_EQ(AllocRingSpace(&m, 8192, &address), STATUS_SUCCESS);
  EXPECT_EQ(address, ring);

  // 24-bit RGB: no ring at all.
  d->FormatMode = 2;
  ASSERT_EQ(LayoutDeviceMemory(d), STATUS_SUCCESS);
  EXPECT_EQ(AllocRingSpace(&d->Memory, 2048, &address), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(address, 0u);
}

TEST_F(DisplayTest, IpModeHasItsFixedLayoutAndTracksNoPayloads) {
  host::Adapter& a = Opened(MakeProfile({1, 64, true}));
  SorvikDevice* d = a.handle();
  ASSERT_EQ(LayoutDeviceMemoryIp(d), STATUS_SUCCESS);
  const DeviceMemory& m = d->Memory;
  EXPECT_EQ(d->FrameMemorySize, 0x6400000u);
  EXPECT_EQ((Range{m.RingStart, m.RingEnd}), (Range{48 * kMiB, 100 * kMiB - 2048}));
  EXPECT_EQ(Of(m.Regions[0]), (Range{0, 48 * kMiB - 1024}));
  EXPECT_EQ(Of(m.Regions[1]), (Range{0, 0}));
  EXPECT_EQ(SlotCapacity(&m.Regions[1], 0), 0u);
  d->IpMode = 1;
  uint32_t address = 0;
  ASSERT_EQ(AllocRingSpace(&d->Memory, 4096, &address), STATUS_SUCCESS);
  RecordInFlight(&d->Memory, address, 4096, 1);
  EXPECT_EQ(InFlightCount(&d->AckRing), 0u);
  EXPECT_EQ(m.NextAlloc, 48 * kMiB + 4096);
  d->IpMode = 0;
}

}  // namespace
}  // namespace vorn::display::testing
