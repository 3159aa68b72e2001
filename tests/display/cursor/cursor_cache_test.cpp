// The five device slots of a view: the order they fill and are replaced in, a shape seen
// before selected without an upload, the chunks of each image size, and the cache reset of a
// mode set.
#include <cstring>

#include "sim/chip/cursor_overlay.h"
#include "tests/display/cursor/cursor_fixture.h"

namespace vorn::display::testing {
namespace {

// A 32 x 32 colour shape of its own colour.
host::PointerShape Numbered(uint32_t n) {
  return host::ColorShape(32, 32, [n](uint32_t x, uint32_t y) {
    return (x + y) % 3 ? 0x00100000u * (n + 1) + 0x20 : 0xFF000000u;
  });
}

// The requests folded: a run of shape chunks to one slot becomes {code, slot, chunks}.
std::vector<CursorWire> Folded(const std::vector<CursorWire>& wires) {
  std::vector<CursorWire> out;
  for (const CursorWire& w : wires) {
    const bool shape = w.code == protocol::ReqCursorShape0 || w.code == protocol::ReqCursorShape1;
    if (shape && !out.empty() && out.back().code == w.code && out.back().value == w.value) {
      ++out.back().index;
      continue;
    }
    out.push_back(shape ? CursorWire{w.code, w.value, 1, 0} : w);
  }
  return out;
}

struct ViewCase {
  const char* name;
  int views;
  int view;
  uint8_t shape, show, position;
  uint16_t base;
};
void PrintTo(const ViewCase& c, std::ostream* os) { *os << c.name; }

class CursorSlotTest : public CursorTest, public ::testing::WithParamInterface<ViewCase> {};

TEST_P(CursorSlotTest, SixShapesFillTheSlotsThenReplaceTheLastAndAShapeSeenBeforeIsOnlySelected) {
  const ViewCase& c = GetParam();
  Begin(c.views);
  host::Pointer& p = Pointer(c.view);
  const uint8_t order[] = {0, 1, 2, 3, 4, 4};
  std::vector<CursorWire> expected;
  for (uint32_t i = 0; i < 6; ++i) {
    ASSERT_EQ(p.SetShape(Numbered(i), 100, 100), STATUS_SUCCESS);
    ASSERT_TRUE(Eventually([&] { return Count(c.position) == i + 1; })) << "shape " << i;
    const uint16_t slot = static_cast<uint16_t>(c.base + order[i]);
    expected.push_back({c.shape, slot, 33, 0});
    expected.push_back({c.show, slot, 1, 0});
    expected.push_back({c.position, 100, 100, 0});
  }
  // Shape 0 is still in the first slot.
  ASSERT_EQ(p.SetShape(Numbered(0), 100, 100), STATUS_SUCCESS);
  ASSERT_TRUE(Eventually([&] { return Count(c.position) == 7; }));
  expected.push_back({c.show, c.base, 1, 0});
  expected.push_back({c.position, 100, 100, 0});
  EXPECT_EQ(Folded(CursorRequests()), expected);
  EXPECT_EQ(Hwc(c.view)->CurrentSlot.load(), 0);
  EXPECT_EQ(chip_->View(c.view).cursor_slot, c.base);
}

INSTANTIATE_TEST_SUITE_P(
    Views, CursorSlotTest,
    ::testing::Values(ViewCase{"view 0", 1, 0, protocol::ReqCursorShape0, protocol::ReqCursorShow0,
                               protocol::ReqCursorPosition0, 0},
                      ViewCase{"view 1", 2, 1, protocol::ReqCursorShape1, protocol::ReqCursorShow1,
                               protocol::ReqCursorPosition1, 5}),
    [](const ::testing::TestParamInfo<ViewCase>& i) {
      return std::string("view") + std::to_string(i.param.view);
    });

TEST_F(CursorTest, EachImageSizeGoesInChunksOfAtMost512BytesAndArrivesWhole) {
  Begin();
  struct Case {
    uint32_t w;
    uint32_t side, requests;
    uint16_t last_offset, last_length;
  };
  // 64: 16,392 bytes; 96: 36,872; 128: 65,544, whose last 512 bytes go at 65,032 so that
  // wIndex never wraps onto the header.
  const Case cases[] = {
      {32, 64, 33, 16384, 8}, {80, 96, 73, 36864, 8}, {100, 128, 129, 65032, 512}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.side) + "-pixel image");
    chip_->log().Clear();
    const host::PointerShape shape = host::ColorShape(c.w, c.w, [](uint32_t x, uint32_t y) {
      return 0x01000000u | (y & 0xFF) << 8 | (x & 0xFF);
    });
    ASSERT_EQ(Pointer().SetShape(shape, 10, 10), STATUS_SUCCESS);
    ASSERT_TRUE(Eventually([&] { return Count(protocol::ReqCursorPosition0) >= 1; }));
    std::vector<CursorWire> chunks;
    for (const CursorWire& w : CursorRequests())
      if (w.code == protocol::ReqCursorShape0) chunks.push_back(w);
    ASSERT_EQ(chunks.size(), c.requests);
    const uint16_t slot = chunks[0].value;
    for (size_t i = 0; i + 1 < chunks.size(); ++i)
      EXPECT_EQ(chunks[i],
                (CursorWire{protocol::ReqCursorShape0, slot, static_cast<uint16_t>(512 * i), 512}));
    EXPECT_EQ(chunks.back(),
              (CursorWire{protocol::ReqCursorShape0, slot, c.last_offset, c.last_length}));

    // The chip holds exactly the slot's header and pixels.
    const CursorSlot& s = Hwc()->Slots[Hwc()->CurrentSlot.load()];
    const std::vector<uint8_t> held = chip_->View(0).cursor_shapes[slot];
    ASSERT_EQ(held.size(), s.Size + kCursorHeaderSize);
    EXPECT_TRUE(std::equal(held.begin(), held.end(), s.Buffer));
    const auto image = chip::ReadCursorImage(held);
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(image->side, c.side);
    EXPECT_EQ(image->pixels[size_t{c.side} * 5 + 7], 0x01000507u);
  }
}

TEST_F(CursorTest, AModeSetForgetsEveryCachedShapeAndAResetSkipsSlotsNeverUsed) {
  Begin();
  // Nothing stored yet: slots without buffers are left alone.
  ResetCursorCache(Hwc(), true);
  EXPECT_EQ(Hwc()->CurrentSlot.load(), kNoCursorSlot);
  for (const CursorSlot& s : Hwc()->Slots) EXPECT_EQ(s.Buffer, nullptr);

  // Each shape is waited for: a second one coming before the thread's pass would replace it.
  ASSERT_EQ(Pointer().SetShape(Numbered(0), 40, 40), STATUS_SUCCESS);
  ASSERT_TRUE(Eventually([&] { return Count(protocol::ReqCursorShape0) == 33; }));
  ASSERT_EQ(Pointer().SetShape(Numbered(1), 40, 40), STATUS_SUCCESS);
  ASSERT_TRUE(Eventually([&] { return Count(protocol::ReqCursorShape0) == 66; }));
  ASSERT_TRUE(Eventually([&] { return Count(protocol::ReqCursorPosition0) == 2; }));

  // The same mode again: the cache is forgotten, shape 1 goes into slot 0 and is uploaded.
  ASSERT_EQ(adapter_->SetMode(displays_[0], w_, h_, refresh_), STATUS_SUCCESS);
  EXPECT_EQ(Hwc()->CurrentSlot.load(), kNoCursorSlot);
  for (uint8_t i = 0; i < Hwc()->SlotCount; ++i) {
    EXPECT_EQ(Hwc()->Slots[i].ShapeCode, kShapeCodeForgotten) << +i;
    EXPECT_EQ(Hwc()->Slots[i].State, 0) << +i;
  }
  chip_->log().Clear();
  ASSERT_EQ(Pointer().SetShape(Numbered(1), 40, 40), STATUS_SUCCESS);
  ASSERT_TRUE(Eventually([&] { return Count(protocol::ReqCursorPosition0) >= 1; }));
  const std::vector<CursorWire> folded = Folded(CursorRequests());
  ASSERT_FALSE(folded.empty());
  EXPECT_EQ(folded[0], (CursorWire{protocol::ReqCursorShape0, 0, 33, 0}));
}

}  // namespace
}  // namespace vorn::display::testing

namespace vorn::display::testing {
namespace {

// The store of IpMode takes the next slot whatever the shape, from the highest down to 1 and
// round again.
TEST_F(CursorTest, TheCommandPacketStoreTakesTheNextSlotWithoutComparing) {
  Begin();
  HwcContext* hwc = Hwc();
  const host::PointerShape shape = host::ArrowPointer();  // the record points into it
  const HostCursor arrow = host::CursorRecord(shape, kHostCursorShape, 0, 0);
  ASSERT_TRUE(ConvertCursorShape(hwc, &arrow));
  LockUntimed(device_, hwc->ShapeLock);
  std::vector<int> slots;
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(StoreIpCursorShape(hwc, &hwc->Image), kShapeStored);
    slots.push_back(hwc->CurrentSlot.load());
  }
  const CursorSlot& s = hwc->Slots[4];
  EXPECT_EQ(s.Size, hwc->Image.Size);
  EXPECT_EQ(std::memcmp(s.Buffer, hwc->Image.Image, kCursorHeaderSize + s.Size), 0);
  Unlock(device_, hwc->ShapeLock);
  EXPECT_EQ(slots, (std::vector<int>{4, 3, 2, 1, 4, 3}));
}

}  // namespace
}  // namespace vorn::display::testing
