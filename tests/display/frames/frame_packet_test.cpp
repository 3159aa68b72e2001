// Headers and descriptors of frame messages: lengths per format and size, plane placement in
// the slot or ring, the centring fields, patch addresses into the last full frame, and the
// two-plane writes.
#include <gtest/gtest.h>

#include <vector>

#include "display/frames/frame_packet.h"
#include "protocol/byte_order.h"

namespace vorn::display {
namespace {

using protocol::LoadLe16;
using protocol::LoadLe32;

constexpr uint32_t F4 = 4, F6 = 6, F9 = 9, F13 = 13;

TEST(FramePacketTest, MessageLengthsPerFormatAndSize) {
  struct Case {
    uint32_t format, w, h;
    uint64_t length;
  } cases[] = {
      {F4, 1920, 1080, 80 + 1088 * 1920 + 960 * 1080},
      {F6, 1920, 1080, 80 + 1920 * 1080 + 1920 * 540},
      {F9, 1920, 1080, 80 + 5760 * 1080},
      {F4, 1366, 768, 80 + 768 * 1376 + 688 * 768},
      {F6, 1366, 768, 80 + 1376 * 768 + 1376 * 384},
      {F9, 1366, 768, 80 + 4128 * 768},
      {F13, 1920, 1080, 0},  // not a raw format
  };
  for (const Case& c : cases)
    EXPECT_EQ(RawMessageLength(c.format, c.w, c.h), c.length) << c.format << " " << c.w;
  EXPECT_EQ(JpegMessageLength(100), 2048u);
  EXPECT_EQ(JpegMessageLength(944), 2048u);
  EXPECT_EQ(JpegMessageLength(945), 3072u);
  EXPECT_EQ(JpegMessageLength(1), kMinJpegMessage);
}

FrameMessage Full(uint32_t format, uint32_t w, uint32_t h) {
  FrameMessage m{};
  m.View = 1;
  m.Format = format;
  m.Width = w;
  m.Height = h;
  m.Slot = 0x100000;
  m.SlotCapacity = 16u << 20;
  m.RingAddress = 0x3600000;
  m.Length = format == F13 ? 4096 : static_cast<uint32_t>(RawMessageLength(format, w, h));
  m.Sequence = 77;
  return m;
}

TEST(FramePacketTest, FullFramePlacesItsPlanes) {
  struct Case {
    uint32_t format;
    uint32_t address, layout, stride1, stride2, plane1, plane2, plane3;
  } cases[] = {
      {F4, 0x100000, F4, 1376, 688, 0x100030, 0x100030 + 768 * 1376,
       0x100030 + 768 * 1376 + 688 * 384},
      {F6, 0x100000, F6, 1376, 1376, 0x100030, 0x100030 + 1376 * 768, 0x100030},
      {F9, 0x100030, F9, 4128, 0, 0x100060, 0x100060, 0},
      // 86 x 48 blocks of 16: P = 256 * 86 * 48.
      {F13, 0x3600000, F6, 1376, 1376, 0x100030, 0x100030 + 256 * 86 * 48, 0},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> msg(96, 0xEE);
    FramePlanes placed{};
    const FrameMessage m = Full(c.format, 1366, 768);
    ASSERT_EQ(FillFullFrame(msg.data(), m, &placed), STATUS_SUCCESS) << c.format;
    const uint8_t* p = msg.data();
    EXPECT_EQ(LoadLe32(p + 0), 0u);
    EXPECT_EQ(LoadLe32(p + 4), m.Length - 32);
    EXPECT_EQ(LoadLe32(p + 8), c.address) << c.format;
    EXPECT_EQ(LoadLe32(p + 12), m.Length - 32);  // one slice: the whole payload
    for (int i = 16; i < 32; ++i) EXPECT_EQ(p[i], 0) << i;
    EXPECT_EQ(LoadLe32(p + 32), 4u);  // full frame of view 1
    EXPECT_EQ(LoadLe32(p + 36), m.Length - 80);
    EXPECT_EQ(LoadLe32(p + 40), 77u);
    EXPECT_EQ(LoadLe32(p + 44), c.layout) << c.format;
    EXPECT_EQ(LoadLe16(p + 48), c.stride1) << c.format;
    EXPECT_EQ(LoadLe16(p + 50), c.stride2) << c.format;
    EXPECT_EQ(LoadLe32(p + 52), c.plane1) << c.format;
    EXPECT_EQ(LoadLe32(p + 56), c.plane2) << c.format;
    EXPECT_EQ(LoadLe32(p + 60), c.plane3) << c.format;
    EXPECT_EQ(LoadLe32(p + 64), c.format);
    for (int i = 68; i < 80; ++i) EXPECT_EQ(p[i], 0) << c.format << " byte " << i;
    EXPECT_EQ(p[80], 0xEE);  // the payload is not touched
    EXPECT_EQ(placed.Plane[0], c.plane1);
    EXPECT_EQ(placed.Layout, c.layout);
  }
}

TEST(FramePacketTest, CentredFrameCarriesItsOffsetAndSize) {
  std::vector<uint8_t> msg(80);
  FramePlanes placed{};
  FrameMessage m = Full(F6, 1366, 768);
  m.OffsetY = 8;
  m.Flags = 0x80;
  ASSERT_EQ(FillFullFrame(msg.data(), m, &placed), STATUS_SUCCESS);
  EXPECT_EQ(LoadLe16(&msg[68]), 0);
  EXPECT_EQ(LoadLe16(&msg[70]), 8);
  EXPECT_EQ(LoadLe16(&msg[72]), 1366);
  EXPECT_EQ(LoadLe16(&msg[74]), 768);
  EXPECT_EQ(msg[79], 0x80);
}

TEST(FramePacketTest, FramesThatDoNotAddUpOrDoNotFitTheirSlotAreRefused) {
  std::vector<uint8_t> msg(80, 0xEE);
  FramePlanes placed{};
  FrameMessage m = Full(F6, 1920, 1080);
  // A third of one region when two views share 20 MiB: a 1080p frame does not fit.
  m.SlotCapacity = ((10u << 20) - 1024) / 2 / 3;
  EXPECT_EQ(FillFullFrame(msg.data(), m, &placed), STATUS_UNSUCCESSFUL);
  m = Full(F9, 1920, 1080);
  m.SlotCapacity = static_cast<uint32_t>(FullFrameSlotBytes(F9, 1920, 1080)) - 1;
  EXPECT_EQ(FillFullFrame(msg.data(), m, &placed), STATUS_UNSUCCESSFUL);
  m.SlotCapacity += 1;
  EXPECT_EQ(FillFullFrame(msg.data(), m, &placed), STATUS_SUCCESS);
  for (auto edit : {+[](FrameMessage& x) { x.Length -= 1; }, +[](FrameMessage& x) { x.Width = 0; },
                    +[](FrameMessage& x) { x.Format = 5; }, +[](FrameMessage& x) { x.View = 2; }}) {
    FrameMessage bad = Full(F6, 1366, 768);
    edit(bad);
    std::vector<uint8_t> untouched(80, 0xEE);
    EXPECT_EQ(FillFullFrame(untouched.data(), bad, &placed), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(untouched, std::vector<uint8_t>(80, 0xEE));
  }
  FrameMessage jpeg = Full(F13, 1920, 1080);
  jpeg.Length = 3000;  // not a multiple of 1 KiB
  EXPECT_EQ(FillFullFrame(msg.data(), jpeg, &placed), STATUS_INVALID_PARAMETER);
  // The decoded JPEG frame must fit too: 48 + 1.5 P with P = 256 x 120 x 68.
  jpeg = Full(F13, 1920, 1080);
  jpeg.SlotCapacity = 48 + 256 * 120 * 68 * 3 / 2 - 1;
  EXPECT_EQ(FillFullFrame(msg.data(), jpeg, &placed), STATUS_UNSUCCESSFUL);
}

TEST(FramePacketTest, RectanglesDecodeIntoTheirSlot) {
  std::vector<uint8_t> msg(80);
  FrameMessage m{};
  m.View = 0;
  m.Format = F6;
  m.X = 10;
  m.Y = 20;
  m.Width = 100;
  m.Height = 50;
  m.Slot = 0x200000;
  m.SlotCapacity = 1u << 20;
  m.Length = static_cast<uint32_t>(RawMessageLength(F6, 100, 50));
  ASSERT_EQ(FillRect(msg.data(), m), STATUS_SUCCESS);
  EXPECT_EQ(LoadLe32(&msg[8]), 0x200000u);
  EXPECT_EQ(LoadLe32(&msg[32]), 1u);
  EXPECT_EQ(LoadLe16(&msg[48]), 10);
  EXPECT_EQ(LoadLe16(&msg[50]), 20);
  EXPECT_EQ(LoadLe16(&msg[56]), 112);
  EXPECT_EQ(LoadLe32(&msg[60]), 0x200030u);
  EXPECT_EQ(LoadLe32(&msg[64]), 0x200030u + 112 * 50);
  EXPECT_EQ(LoadLe32(&msg[68]), 0x200030u);

  m.Format = F13;
  m.RingAddress = 0x3700000;
  m.Length = 2048;
  ASSERT_EQ(FillRect(msg.data(), m), STATUS_SUCCESS);
  EXPECT_EQ(LoadLe32(&msg[8]), 0x3700000u);
  EXPECT_EQ(LoadLe16(&msg[56]), 128);                          // 4 blocks of 32
  EXPECT_EQ(LoadLe32(&msg[60]), 0x200000u);
  EXPECT_EQ(LoadLe32(&msg[64]), 0x200000u + (4 * 2 + 1) * 1024);
  EXPECT_EQ(LoadLe32(&msg[68]), 0u);
  EXPECT_EQ(LoadLe32(&msg[72]), F13);
  m.Format = F9;  // no raw RGB rectangles
  EXPECT_EQ(FillRect(msg.data(), m), STATUS_INVALID_PARAMETER);
}

TEST(FramePacketTest, JpegPatchAddressesTheLastFullFrame) {
  FramePlanes six{F6, {0x1000, 0x80000, 0x1000}, {1920, 1920}, 1920, 1080};
  FramePlanes four{F4, {0x1000, 0x80000, 0xC0000}, {1920, 960}, 1920, 1080};
  FramePlanes nine{F9, {0x1060, 0x1060, 0}, {5760, 0}, 1920, 1080};
  FrameMessage m{};
  m.Format = F13;
  m.X = 96;
  m.Y = 64;
  m.Width = 32;
  m.Height = 16;
  m.RingAddress = 0x3600000;
  m.Length = 2048;
  std::vector<uint8_t> msg(80);
  ASSERT_EQ(FillJpegPatch(msg.data(), m, six), STATUS_SUCCESS);
  EXPECT_EQ(LoadLe32(&msg[32]), 7u);
  EXPECT_EQ(LoadLe32(&msg[44]), F6);
  EXPECT_EQ(LoadLe32(&msg[56]), 0x1000u + 64 * 1920 + 96);
  EXPECT_EQ(LoadLe32(&msg[60]), 0x80000u + 32 * 1920 + 96);  // byte 96 of chroma row 32
  EXPECT_EQ(LoadLe32(&msg[64]), 0u);
  ASSERT_EQ(FillJpegPatch(msg.data(), m, four), STATUS_SUCCESS);
  EXPECT_EQ(LoadLe32(&msg[60]), 0x80000u + 32 * 960 + 48);  // byte 48 of chroma row 32
  EXPECT_EQ(LoadLe32(&msg[64]), 0xC0000u + 32 * 960 + 48);
  ASSERT_EQ(FillJpegPatch(msg.data(), m, nine), STATUS_SUCCESS);
  EXPECT_EQ(LoadLe32(&msg[56]), 0x1060u + 64 * 5760 + 3 * 96);
  m.X = 1900;  // reaches past the frame
  EXPECT_EQ(FillJpegPatch(msg.data(), m, six), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(FillJpegPatch(msg.data(), FrameMessage{}, FramePlanes{}), STATUS_INVALID_PARAMETER);
}

TEST(FramePacketTest, TwoPlaneWrites) {
  FramePlanes nine{F9, {0x1060, 0x1060, 0}, {5760, 0}, 1920, 1080};
  std::vector<uint8_t> msg(32);
  uint32_t length = 0;
  ASSERT_EQ(FillTwoPlane(msg.data(), F9, 48, 60, 96, 30, nine, &length), STATUS_SUCCESS);
  const uint32_t a = 0x1060 + 3 * 48 + 60 * 5760;
  EXPECT_EQ(LoadLe32(&msg[0]), 7u);
  EXPECT_EQ(LoadLe32(&msg[8]), a);
  EXPECT_EQ(LoadLe32(&msg[12]), a + 20 * 5760);  // 20 frame rows below
  EXPECT_EQ(LoadLe16(&msg[16]), 5760);
  EXPECT_EQ(LoadLe16(&msg[18]), 5760);
  EXPECT_EQ(LoadLe16(&msg[20]), 288);
  EXPECT_EQ(LoadLe16(&msg[22]), 20);
  EXPECT_EQ(LoadLe32(&msg[4]), 288u * 30);  // 20 rows + 10 rows: the 30 source rows
  EXPECT_EQ(length, 32 + 288u * 30);
  for (int i = 24; i < 32; ++i) EXPECT_EQ(msg[i], 0);
  EXPECT_EQ(FillTwoPlane(msg.data(), F9, 40, 60, 96, 30, nine, &length),
            STATUS_INVALID_PARAMETER);  // not snapped
  EXPECT_EQ(FillTwoPlane(msg.data(), F6, 48, 60, 96, 30, nine, &length),
            STATUS_INVALID_PARAMETER);  // not the frame's layout

  FramePlanes six{F6, {0x1000, 0x80000, 0x1000}, {1920, 1920}, 1920, 1080};
  ASSERT_EQ(FillTwoPlane(msg.data(), F6, 10, 21, 30, 8, six, &length), STATUS_SUCCESS);
  EXPECT_EQ(LoadLe32(&msg[8]), 0x1000u + 21 * 1920 + 10);
  EXPECT_EQ(LoadLe32(&msg[12]), 0x80000u + 10 * 1920 + 10);
  EXPECT_EQ(LoadLe32(&msg[4]), 30u * 8 + 30 * 4);
  EXPECT_EQ(FillTwoPlane(msg.data(), F6, 1900, 0, 30, 8, six, &length),
            STATUS_INVALID_PARAMETER);
}

TEST(FramePacketTest, CommandHeaderIsOneWholeSlice) {
  std::vector<uint8_t> msg(32, 0xAA);
  InitCommandHeader(msg.data(), 3, 1000, 0x1234);
  EXPECT_EQ(LoadLe32(&msg[0]), 3u);
  EXPECT_EQ(LoadLe32(&msg[4]), 1000u);
  EXPECT_EQ(LoadLe32(&msg[8]), 0x1234u);
  EXPECT_EQ(LoadLe32(&msg[12]), 1000u);
  for (int i = 16; i < 32; ++i) EXPECT_EQ(msg[i], 0) << i;
  InitCommandHeader(nullptr, 0, 0, 0);  // nothing happens
}

}  // namespace
}  // namespace vorn::display
