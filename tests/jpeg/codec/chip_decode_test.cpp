// Streams of the frame encoder sent to the chip model as JPEG full frames, rectangles and
// patches: what its monitor shows must be the encoded picture within the codec's loss.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "protocol/bus_message.h"
#include "protocol/frame_descriptor.h"
#include "sim/chip/chip.h"
#include "sim/chip/jpeg_decode.h"
#include "tests/jpeg/codec/codec_fixture.h"

namespace vorn::jpeg::test {
namespace {

constexpr uint32_t kMiB = 1u << 20;
constexpr uint32_t kRingAddress = 54 * kMiB + 4096;  // in the ring of a 64 MiB adapter
constexpr uint32_t kSlot = 0x10000;                  // a frame slot below the ring
constexpr uint32_t kMinPsnr = 30;

std::vector<uint8_t> Stream(const Picture& p) {
  const Encoded e = Encode(RequestFor(p, Sampling420, 95));
  EXPECT_EQ(e.status, JpegEncodeOk);
  return e.Stream();
}

// A display message in the ring: descriptor |d|, the stream, then zeros to the next 1024.
std::vector<uint8_t> JpegMessage(protocol::FrameDescriptor d, const std::vector<uint8_t>& s) {
  const uint32_t length = (static_cast<uint32_t>(s.size()) + 2127) & ~1023u;
  d.PayloadLength = length - 80;
  std::vector<uint8_t> m(length, 0);
  protocol::BusMessageHeader h;
  h.Type = 0;
  h.TotalLength = length - 32;
  h.Address = kRingAddress;
  h.Slice.SliceLength = h.TotalLength;
  protocol::EncodeBusMessageHeader(h, m);
  protocol::EncodeFrameDescriptor(d, protocol::MutableByteSpan(m).subspan(32));
  std::copy(s.begin(), s.end(), m.begin() + 80);
  return m;
}

// A full frame of view 0 of |w| x |h|, decoded into the slot's layout-6 planes.
protocol::FrameDescriptor FullFrame(uint32_t sequence, uint32_t w, uint32_t h) {
  const uint32_t c = (w + 15) / 16, r = (h + 15) / 16;
  protocol::FrameDescriptor d;
  d.PacketKind = 3;
  d.Sequence = sequence;
  d.Layout = 6;
  d.Full.Stride1 = d.Full.Stride2 = static_cast<uint16_t>(16 * c);
  d.Full.Plane1 = kSlot + 48;
  d.Full.Plane2 = kSlot + 48 + 256 * c * r;
  d.Full.Format = 13;
  return d;
}

void Feed(chip::Chip& chip, const std::vector<uint8_t>& m) {
  chip.bulk_out().Feed(m.data(), static_cast<uint32_t>(m.size()));
}

// PSNR of the B,G,R bytes of a shown picture against |p|.
double PsnrShown(const Picture& p, const chip::Picture& shown) {
  std::vector<uint8_t> bgr(size_t{shown.width} * shown.height * 3);
  for (size_t i = 0; i < size_t{shown.width} * shown.height; ++i)
    for (int c = 0; c < 3; ++c) bgr[i * 3 + c] = shown.bgra[i * 4 + c];
  return PsnrBgr(p, bgr);
}

class ChipJpeg : public ::testing::Test {
 protected:
  chip::Chip chip_{chip::MakeProfile({1, 64, true})};

  void TearDown() override {
    EXPECT_EQ(chip_.violations().Messages(), std::vector<std::string>{});
  }
};

TEST_F(ChipJpeg, ShowsAFullFrameAndAPatchOverIt) {
  constexpr uint32_t kW = 200, kH = 120;
  chip_.frames().SetMode(0, kW, kH);
  const Picture desktop = DesktopPicture(kW, kH, 4);
  Feed(chip_, JpegMessage(FullFrame(1, kW, kH), Stream(desktop)));

  // A patch of other content at (96, 64) in the frame's planes.
  constexpr uint32_t kX = 96, kY = 64, kPw = 48, kPh = 32;
  const Picture patch = DesktopPicture(kPw, kPh, 4, 0, 0);
  Picture expected = desktop;
  for (uint32_t y = 0; y < kPh; ++y)
    for (uint32_t x = 0; x < kPw; ++x)
      std::memcpy(expected.At(kX + x, kY + y), patch.At(x, y), 4);
  // Make the patch differ from what it covers, so that a patch left undecoded shows.
  Picture shifted = patch;
  for (uint32_t y = 0; y < kPh; ++y)
    for (uint32_t x = 0; x < kPw; ++x) {
      std::swap(shifted.At(x, y)[0], shifted.At(x, y)[2]);
      std::memcpy(expected.At(kX + x, kY + y), shifted.At(x, y), 4);
    }
  const auto full = FullFrame(1, kW, kH);
  protocol::FrameDescriptor d;
  d.PacketKind = 7;
  d.Sequence = 2;
  d.Layout = 6;
  d.Patch.Width = kPw;
  d.Patch.Height = kPh;
  d.Patch.Stride1 = full.Full.Stride1;
  d.Patch.Stride2 = full.Full.Stride2;
  d.Patch.Dest1 = full.Full.Plane1 + kY * full.Full.Stride1 + kX;
  d.Patch.Dest2 = full.Full.Plane2 + (kY / 2) * full.Full.Stride2 + (kX / 2) * 2;
  d.Patch.Format = 13;

  if (!chip::JpegDecoderAvailable()) {
    EXPECT_EQ(chip_.frames().Jpeg().undecoded, 1u);
    EXPECT_FALSE(chip_.frames().Shown(0).has_value());
    Feed(chip_, JpegMessage(d, Stream(shifted)));
    EXPECT_EQ(chip_.frames().Jpeg().undecoded, 2u);
    GTEST_SKIP() << "this build links no JPEG decoder (no 32-bit libjpeg-turbo)";
  }
  ASSERT_EQ(chip_.frames().Jpeg().decoded, 1u) << chip_.frames().Jpeg().last_failure;
  auto shown = chip_.frames().Shown(0);
  ASSERT_TRUE(shown.has_value());
  ASSERT_EQ(shown->width, kW);
  ASSERT_EQ(shown->height, kH);
  EXPECT_GT(PsnrShown(desktop, *shown), kMinPsnr);

  Feed(chip_, JpegMessage(d, Stream(shifted)));
  ASSERT_EQ(chip_.frames().Jpeg().decoded, 2u) << chip_.frames().Jpeg().last_failure;
  shown = chip_.frames().Shown(0);
  ASSERT_TRUE(shown.has_value());
  EXPECT_GT(PsnrShown(expected, *shown), kMinPsnr);
  EXPECT_LT(PsnrShown(desktop, *shown), PsnrShown(expected, *shown) - 3);
  EXPECT_EQ(chip_.frames().AckedSequences(), (std::vector<uint32_t>{1, 2}));
}

TEST_F(ChipJpeg, ShowsARectangleOverItsFrame) {
  if (!chip::JpegDecoderAvailable())
    GTEST_SKIP() << "this build links no JPEG decoder (no 32-bit libjpeg-turbo)";
  constexpr uint32_t kW = 96, kH = 64;
  chip_.frames().SetMode(0, kW, kH);
  const Picture desktop = DesktopPicture(kW, kH, 4);
  Feed(chip_, JpegMessage(FullFrame(1, kW, kH), Stream(desktop)));
  // A 40 x 24 rectangle at (16, 8), decoded into a scratch slot in 32-pixel blocks.
  constexpr uint32_t kX = 16, kY = 8, kRw = 40, kRh = 24, kScratch = 0x200000;
  const uint32_t c = (kRw + 31) / 32, r = (kRh + 31) / 32;
  Picture rect = DesktopPicture(kRw, kRh, 4, 0, 0);
  for (uint8_t& b : rect.bytes) b = static_cast<uint8_t>(255 - b);
  Picture expected = desktop;
  for (uint32_t y = 0; y < kRh; ++y)
    for (uint32_t x = 0; x < kRw; ++x) std::memcpy(expected.At(kX + x, kY + y), rect.At(x, y), 3);
  protocol::FrameDescriptor d;
  d.PacketKind = 1;
  d.Sequence = 2;
  d.Layout = 6;
  d.Rect.X = kX;
  d.Rect.Y = kY;
  d.Rect.Width = kRw;
  d.Rect.Height = kRh;
  d.Rect.Stride1 = d.Rect.Stride2 = static_cast<uint16_t>(32 * c);
  d.Rect.Plane1 = kScratch;
  d.Rect.Plane2 = kScratch + (c * r + 1) * 1024;
  d.Rect.Format = 13;
  Feed(chip_, JpegMessage(d, Stream(rect)));
  ASSERT_EQ(chip_.frames().Jpeg().decoded, 2u) << chip_.frames().Jpeg().last_failure;
  const auto shown = chip_.frames().Shown(0);
  ASSERT_TRUE(shown.has_value());
  EXPECT_GT(PsnrShown(expected, *shown), kMinPsnr);
}

TEST_F(ChipJpeg, DamagedAndMisSizedStreamsAreCountedNotShown) {
  if (!chip::JpegDecoderAvailable())
    GTEST_SKIP() << "this build links no JPEG decoder (no 32-bit libjpeg-turbo)";
  constexpr uint32_t kW = 64, kH = 48;
  chip_.frames().SetMode(0, kW, kH);
  std::vector<uint8_t> s = Stream(DesktopPicture(kW, kH, 4));
  // Cut in the middle of the scan: the decoder warns of the early end.
  const std::vector<uint8_t> cut(s.begin(), s.begin() + static_cast<long>(s.size() * 3 / 4));
  const std::vector<uint8_t> garbage(900, 0x5A);
  const std::vector<uint8_t> larger = Stream(DesktopPicture(kW + 16, kH, 4));
  const std::vector<uint8_t> smaller = Stream(DesktopPicture(kW - 8, kH, 4));
  uint32_t sequence = 0;
  for (const auto* bad : {&cut, &garbage, &larger, &smaller}) {
    Feed(chip_, JpegMessage(FullFrame(++sequence, kW, kH), *bad));
    EXPECT_EQ(chip_.frames().Jpeg().failed, sequence);
    EXPECT_FALSE(chip_.frames().Shown(0).has_value()) << sequence;
  }
  EXPECT_NE(chip_.frames().Jpeg().last_failure.find("for a target of 64 x 48"), std::string::npos)
      << chip_.frames().Jpeg().last_failure;
  // A sound stream afterwards shows.
  Feed(chip_, JpegMessage(FullFrame(++sequence, kW, kH), s));
  EXPECT_EQ(chip_.frames().Jpeg().decoded, 1u);
  EXPECT_TRUE(chip_.frames().Shown(0).has_value());
}

}  // namespace
}  // namespace vorn::jpeg::test
