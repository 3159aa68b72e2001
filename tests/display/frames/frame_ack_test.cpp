// The acknowledgement ring: which entries an acknowledged sequence releases, wrap-around of
// the sequence counter, and the overlap rule that keeps the ring from reusing unacknowledged
// payload space.
#include <gtest/gtest.h>

#include <vector>

#include "display/frames/frame_ack.h"

namespace vorn::display {
namespace {

FrameAckRing RingOf(const std::vector<uint32_t>& sequences) {
  FrameAckRing ring{};
  uint32_t address = 0x1000;
  for (uint32_t s : sequences) {
    EXPECT_TRUE(AddInFlight(&ring, s, address, 0x100));
    address += 0x100;
  }
  return ring;
}

std::vector<uint32_t> Left(const FrameAckRing& ring) {
  std::vector<uint32_t> out;
  for (uint32_t i = ring.Read; i != ring.Write; i = (i + 1) % kFrameAckEntries)
    out.push_back(ring.Entries[i].Sequence);
  return out;
}

TEST(FrameAckTest, AcknowledgementReleasesEntriesUpToTenBelowItsSequence) {
  struct Case {
    const char* what;
    std::vector<uint32_t> entries;
    uint32_t ack;
    bool released;
    std::vector<uint32_t> left;
  } cases[] = {
      {"gaps in the acknowledged run", {15, 18, 20, 21}, 20, true, {21}},
      {"exact oldest", {15, 16}, 15, true, {16}},
      {"more than ten ahead releases nothing", {15}, 40, false, {15}},
      {"exactly ten ahead", {15}, 25, true, {}},
      {"eleven ahead", {15}, 26, false, {15}},
      {"within the window up to a later entry", {5, 9, 12, 15}, 14, true, {15}},
      {"oldest outside the window holds the rest", {1, 9, 12}, 14, false, {1, 9, 12}},
      {"far ahead of every entry", {1, 2, 3, 4, 5, 6, 7, 8, 9}, 1000, false,
       {1, 2, 3, 4, 5, 6, 7, 8, 9}},
      {"before the oldest", {15, 16}, 14, false, {15, 16}},
      {"far behind (stale)", {15, 16}, 15u - 0x10000, false, {15, 16}},
      {"across the wrap", {0xFFFFFFFE, 0xFFFFFFFF, 0, 1}, 0, true, {1}},
      {"window across the wrap", {0xFFFFFFF8, 0xFFFFFFFF, 1}, 2, true, {}},
      {"wrapped oldest, ack before the wrap", {0xFFFFFFFF, 0}, 0xFFFFFFFE, false, {0xFFFFFFFF, 0}},
      {"empty", {}, 5, false, {}},
  };
  for (const Case& c : cases) {
    FrameAckRing ring = RingOf(c.entries);
    EXPECT_EQ(AckFrames(&ring, c.ack), c.released) << c.what;
    EXPECT_EQ(Left(ring), c.left) << c.what;
    EXPECT_EQ(InFlightCount(&ring), c.left.size()) << c.what;
  }
}

TEST(FrameAckTest, NineEntriesFillTheRingAndOverlapIsCheckedAgainstEach) {
  FrameAckRing ring = RingOf({1, 2, 3});
  // The third entry, not the oldest, holds [0x1200, 0x1300).
  EXPECT_TRUE(OverlapsInFlight(&ring, 0x12F0, 0x20));
  EXPECT_FALSE(AddInFlight(&ring, 4, 0x12F0, 0x20));
  EXPECT_FALSE(OverlapsInFlight(&ring, 0x1300, 0x100));  // touching is not overlapping
  EXPECT_FALSE(OverlapsInFlight(&ring, 0x0F00, 0x100));

  ring = RingOf({1, 2, 3, 4, 5, 6, 7, 8, 9});
  EXPECT_EQ(InFlightCount(&ring), 9u);
  EXPECT_TRUE(OverlapsInFlight(&ring, 0x100000, 1));  // full: nothing more fits
  EXPECT_FALSE(AddInFlight(&ring, 10, 0x100000, 1));
  EXPECT_TRUE(AckFrames(&ring, 1));
  EXPECT_TRUE(AddInFlight(&ring, 10, 0x100000, 1));  // the indices wrap
  EXPECT_EQ(Left(ring), (std::vector<uint32_t>{2, 3, 4, 5, 6, 7, 8, 9, 10}));

  ClearFrameAckRing(&ring);
  EXPECT_EQ(InFlightCount(&ring), 0u);
  EXPECT_FALSE(OverlapsInFlight(&ring, 0x1000, 0x1000));
  EXPECT_FALSE(AckFrames(&ring, 10));
}

}  // namespace
}  // namespace vorn::display
