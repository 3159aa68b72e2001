// The region encoders on a real view of a device over the chip model: each format's packet
// against the converters and the JPEG encoder, the room and lengths, the format-9 snapping,
// the space bound, the 16-bit path, and the rotated copy at rotations 1-3.
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "display/convert/convert.h"
#include "display/region/region_encoders.h"
#include "jpeg/codec/encode_frame_jpeg.h"
#include "tests/display/display_fixture.h"

namespace vorn::display::testing {
namespace {

using chip::MakeProfile;

std::vector<uint8_t> Noise(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

constexpr uint8_t kGuard = 0xA5;

class RegionTest : public DisplayTest {
 protected:
  void SetUp() override {
    adapter_ = &Opened(MakeProfile({2, 64, true}));
    device_ = adapter_->handle();
    ASSERT_NE(device_, nullptr);
    view_ = &device_->Views[0];
    saved_ = view_->Modes;
    savedFrame_ = view_->SystemFrame;
    savedFrameSize_ = view_->SystemFrameSize;
  }
  void TearDown() override {
    view_->Modes = saved_;
    view_->SystemFrame = savedFrame_;
    view_->SystemFrameSize = savedFrameSize_;
    EXPECT_EQ(adapter_->Close(), STATUS_SUCCESS);
  }

  // A mode of |w| x |h| at |bpp| and |rotation| over a frame of random pixels.
  void UseMode(uint32_t w, uint32_t h, uint32_t bpp = 32, uint8_t rotation = 0) {
    ViewModes& m = view_->Modes;
    m.Width = w;
    m.Height = h;
    m.BitsPerPixel = bpp;
    m.Rotation = rotation;
    m.SystemFramePitch = (w + 15) / 16 * 16 * (bpp / 8);
    frame_ = Noise(size_t{m.SystemFramePitch} * h, w * 7 + h);
    view_->SystemFrame = frame_.data();
    view_->SystemFrameSize = static_cast<uint32_t>(frame_.size());
    source_.assign(size_t{4} * ((w + 31) & ~31u) * h, 0);
  }
  const uint8_t* At(int32_t x, int32_t y) const {
    return frame_.data() + size_t(y) * view_->Modes.SystemFramePitch + size_t(x) * 4;
  }

  struct Result {
    NTSTATUS status;
    uint32_t length;
    RegionRect rect;
    uint32_t patch[kPatchParamCount];
  };
  Result Encode(RegionRect r, uint32_t format, bool full, uint32_t space = 0,
                bool rotated = false, uint8_t quality = 90, bool timing = false) {
    const uint32_t room = space ? space : 2 * 4 * view_->Modes.Width * view_->Modes.Height + 4096;
    packet_.assign(room + 64, kGuard);
    Result res{};
    res.rect = r;
    res.length = 0xDEADBEEF;
    res.status = (rotated ? EncodeRegionRotated : EncodeRegion)(
        view_, source_.data(), packet_.data(), room, &res.length, &res.rect, format, quality,
        full, timing, res.patch);
    for (size_t k = room; k < packet_.size(); ++k) {
      if (packet_[k] != kGuard) {
        ADD_FAILURE() << "written past the space at " << k;
        break;
      }
    }
    return res;
  }

  host::Adapter* adapter_ = nullptr;
  SorvikDevice* device_ = nullptr;
  ViewContext* view_ = nullptr;
  ViewModes saved_{};
  uint8_t* savedFrame_ = nullptr;
  uint32_t savedFrameSize_ = 0;
  std::vector<uint8_t> frame_, source_, packet_;
};

TEST_F(RegionTest, Rgb24FullFrameOf1366HasRowsOf4128Bytes) {
  UseMode(1366, 768);
  const Result r = Encode({0, 0, 1366, 768}, kFormatRgb24, true);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.length, 80u + 768 * 4128);
  std::vector<uint8_t> want(size_t{4128} * 768, kGuard);
  BgraToRgb24(want.data(), frame_.data(), 4128, static_cast<int32_t>(view_->Modes.SystemFramePitch),
              1366, 768);
  for (int row = 0; row < 768; ++row) {
    ASSERT_EQ(0, std::memcmp(packet_.data() + 80 + size_t(row) * 4128, want.data() + size_t(row) * 4128,
                             1366 * 3))
        << row;
    for (int k = 1366 * 3; k < 4128; ++k) ASSERT_EQ(packet_[80 + size_t(row) * 4128 + k], 0) << row;
  }
}

TEST(Patch9Test, Snapping) {
  struct Case {
    int32_t x, y, w, h, fw, fh;
    uint32_t x2, y2, w2, h2;
  };
  const Case cases[] = {
      {100, 0, 20, 30, 1920, 1080, 96, 0, 68, 30},     // x snapped down, width grows by 48
      {96, 0, 20, 30, 1920, 1080, 96, 0, 20, 30},      // x on the grid keeps its width
      {0, 1075, 64, 10, 1920, 1080, 0, 1068, 64, 12},  // height to 12, moved up inside
      {1900, 0, 64, 32, 1920, 1080, 1872, 0, 48, 33},  // width clipped at the frame edge
      {0, 0, 64, 1082, 1920, 1081, 0, 0, 64, 1080},    // taller than the frame
  };
  for (const Case& c : cases) {
    uint32_t p[kPatchParamCount];
    AlignRectForPatch9(c.x, c.y, c.w, c.h, c.fw, c.fh, p);
    SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y));
    EXPECT_EQ(p[0], c.x2);
    EXPECT_EQ(p[1], c.y2);
    EXPECT_EQ(p[2], c.w2);
    EXPECT_EQ(p[3], c.h2);
    const uint32_t stride = (uint32_t(c.fw) + 31) / 32 * 96;
    EXPECT_EQ(p[4], stride);
    EXPECT_EQ(p[5], 3 * c.w2);
    EXPECT_EQ(p[6], c.h2 / 3 * 2);
    EXPECT_EQ(p[7], 3 * c.x2 + c.y2 * stride);
    EXPECT_EQ(p[8], p[7] + p[6] * stride);
  }
}

TEST_F(RegionTest, Rgb24PatchIsSnappedAndPacked) {
  UseMode(1920, 1080);
  const Result r = Encode({100, 1075, 120, 1085}, kFormatRgb24, false);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  // Clipped to bottom 1080 (height 5), snapped to x 96 width 68, height 6 at y 1074.
  EXPECT_EQ(r.patch[0], 96u);
  EXPECT_EQ(r.patch[1], 1074u);
  EXPECT_EQ(r.patch[2], 68u);
  EXPECT_EQ(r.patch[3], 6u);
  EXPECT_EQ(r.rect.left, 96);
  EXPECT_EQ(r.rect.top, 1074);
  EXPECT_EQ(r.rect.right, 164);
  EXPECT_EQ(r.rect.bottom, 1080);
  EXPECT_EQ(r.length, 32u + 6 * 68 * 3);
  for (int row = 0; row < 6; ++row) {
    for (int x = 0; x < 68; ++x) {
      const uint8_t* p = At(96 + x, 1074 + row);
      const uint8_t* q = packet_.data() + 32 + size_t(row) * 204 + 3 * x;
      ASSERT_TRUE(p[0] == q[0] && p[1] == q[1] && p[2] == q[2]) << row << "," << x;
    }
  }
}

TEST_F(RegionTest, YCbCrPatchAndBandLengthsAndBytes) {
  UseMode(1920, 1080);
  struct Case {
    uint32_t flipMode;
    bool full;
    uint32_t room, stride, length;
  };
  // 64 x 32: as a patch rows of 64 at 32; as a band or full frame at 80 (align16(64) = 64).
  const Case cases[] = {{0, false, 32, 64, 3104}, {3, false, 80, 64, 3152}, {0, true, 80, 64, 3152}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flipMode);
    device_->FlipMode = c.flipMode;
    const Result r = Encode({64, 96, 128, 128}, kFormatYCbCr420, c.full);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.length, c.length);
    std::vector<uint8_t> y(64 * 32), cbcr(64 * 16);
    BgraToYCbCr420Interleaved({At(64, 96), 32, 64, static_cast<int32_t>(view_->Modes.SystemFramePitch)},
                              {y.data(), 32, 64, 64}, {cbcr.data(), 16, 32, 64});
    EXPECT_EQ(0, std::memcmp(packet_.data() + c.room, y.data(), y.size()));
    EXPECT_EQ(0, std::memcmp(packet_.data() + c.room + y.size(), cbcr.data(), cbcr.size()));
  }
  device_->FlipMode = 0;
}

TEST_F(RegionTest, YCbCrBandOfUnalignedWidthUsesAlignedRows) {
  UseMode(1920, 1080);
  device_->FlipMode = 3;
  // 40 wide: rows of 48 bytes, 32 columns converted per row.
  const Result r = Encode({0, 0, 40, 32}, kFormatYCbCr420, false);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.length, 80u + 48 * 32 + 48 * 16);
  device_->FlipMode = 0;
}

TEST_F(RegionTest, PlanarFullFrame) {
  UseMode(1366, 768);
  const Result r = Encode({0, 0, 1366, 768}, kFormatYuv420Planar, true);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  const uint32_t planes = 768 * 1376 + 688 * 768;
  EXPECT_EQ(r.length, 80 + planes);
  std::vector<uint8_t> want(planes, kGuard);  // the row ends stay as they were
  BgraToYuv420Planar(frame_.data(), static_cast<int32_t>(view_->Modes.SystemFramePitch), want.data(),
                     1366, 768);
  EXPECT_EQ(0, std::memcmp(packet_.data() + 80, want.data(), planes));
}

// The stream the JPEG encoder makes of |w| x |h| pixels at (x, y) of the frame.
std::vector<uint8_t> DirectJpeg(const std::vector<uint8_t>& pixels, uint32_t w, uint32_t h,
                                int32_t quality, int32_t sampling) {
  std::vector<uint8_t> out(size_t{4} * w * h + 4096);
  jpeg::JpegEncodeRequest q;
  q.width = w;
  q.height = h;
  q.pixelFormat = jpeg::PixelFormatBgrx32;
  q.pixels = pixels.data();
  q.stride = static_cast<int32_t>(4 * w);
  q.quality = quality;
  q.sampling = sampling;
  q.output = out.data();
  q.outputCapacity = static_cast<int32_t>(out.size());
  EXPECT_EQ(jpeg::EncodeFrameJpeg(&q), jpeg::JpegEncodeOk);
  out.resize(static_cast<size_t>(q.outputLength));
  return out;
}

TEST_F(RegionTest, JpegPacketCarriesTheStreamAndAZeroTail) {
  UseMode(320, 240);
  std::vector<uint8_t> rect;
  for (int row = 0; row < 64; ++row) rect.insert(rect.end(), At(32, 32 + row), At(32, 32 + row) + 4 * 96);
  const std::vector<uint8_t> stream = DirectJpeg(rect, 96, 64, 90, device_->JpegSampling);
  const uint32_t n = static_cast<uint32_t>(stream.size());

  view_->JpegTimeCount = 0;
  const Result r = Encode({32, 32, 128, 96}, kFormatJpeg, false, 0, false, 90, true);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.length, (n + 2127) & ~1023u);
  EXPECT_EQ(0, std::memcmp(packet_.data() + 80, stream.data(), n));
  for (uint32_t k = 80 + n; k < r.length; ++k) ASSERT_EQ(packet_[k], 0) << k;
  EXPECT_EQ(view_->JpegTimeCount, 0u);  // not a full frame: not timed

  // A full frame with the timing flag is timed.
  ASSERT_EQ(Encode({0, 0, 320, 240}, kFormatJpeg, true, 0, false, 90, true).status, STATUS_SUCCESS);
  EXPECT_EQ(view_->JpegTimeCount, 1u);
  ASSERT_EQ(Encode({0, 0, 320, 240}, kFormatJpeg, true, 0, false, 90, false).status, STATUS_SUCCESS);
  EXPECT_EQ(view_->JpegTimeCount, 1u);

  // The rounded packet must fit the space: exactly enough works, 1 byte less fails.
  const uint32_t need = (n + 2127) & ~1023u;
  EXPECT_EQ(Encode({32, 32, 128, 96}, kFormatJpeg, false, need, false, 90).status, STATUS_SUCCESS);
  EXPECT_EQ(Encode({32, 32, 128, 96}, kFormatJpeg, false, need - 1, false, 90).status,
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Encode({32, 32, 128, 96}, kFormatJpeg, false, 500, false, 90).status,
            STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(RegionTest, RawPacketsNeverPassTheSpace) {
  UseMode(1920, 1080);
  struct Case {
    uint32_t format;
    bool full;
    uint32_t length;
  };
  const Case cases[] = {
      {kFormatRgb24, true, 80 + 64 * 192},
      {kFormatYCbCr420, false, 32 + 64 * 64 + 64 * 32},
      {kFormatYuv420Planar, false, 80 + 64 * 64 + 32 * 64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    EXPECT_EQ(Encode({0, 0, 64, 64}, c.format, c.full, c.length).status, STATUS_SUCCESS);
    const Result r = Encode({0, 0, 64, 64}, c.format, c.full, c.length - 1);
    EXPECT_EQ(r.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(r.length, 0xDEADBEEFu);
  }
}

TEST_F(RegionTest, RectanglesAreClippedToTheMode) {
  UseMode(128, 64);
  const Result r = Encode({-32, -32, 160, 96}, kFormatRgb24, true);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.length, 80u + 64 * 384);
  EXPECT_EQ(Encode({128, 0, 160, 64}, kFormatRgb24, true).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Encode({0, 0, 64, 64}, 7, true).status, STATUS_INVALID_PARAMETER);
}

TEST_F(RegionTest, SixteenBitSurfacesGoAsJpeg) {
  UseMode(64, 32, 16);
  std::vector<uint8_t> wide(size_t{4} * 64 * 32);
  Rgb565ToRgb32(wide.data(), frame_.data(), 256, static_cast<int32_t>(view_->Modes.SystemFramePitch),
                64, 32);
  const std::vector<uint8_t> stream =
      DirectJpeg(wide, 64, 32, static_cast<int32_t>(device_->JpegQuality), device_->JpegSampling);
  // Whatever the format asked for, at the device's quality.
  const Result r = Encode({0, 0, 64, 32}, kFormatRgb24, true, 0, false, 10);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.length, (uint32_t(stream.size()) + 2127) & ~1023u);
  EXPECT_EQ(0, std::memcmp(packet_.data() + 80, stream.data(), stream.size()));

  view_->Modes.BitsPerPixel = 24;
  EXPECT_EQ(Encode({0, 0, 64, 32}, kFormatJpeg, true).status, STATUS_UNSUCCESSFUL);
}

TEST_F(RegionTest, RotatedCopyTurnsIntoDeviceOrientation) {
  constexpr int32_t W = 48, H = 32;
  for (uint8_t rotation : {1, 2, 3}) {
    SCOPED_TRACE(int(rotation));
    UseMode(W, H, 32, rotation);
    // A host rectangle (8, 4, 40, 20): its device rectangle per rotation.
    const RegionRect want[4] = {{},
                                {H - 20, 8, H - 4, 40},
                                {W - 40, H - 20, W - 8, H - 4},
                                {4, W - 40, 20, W - 8}};
    const Result r = Encode({8, 4, 40, 20}, kFormatRgb24, true, 0, true);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    const RegionRect d = want[rotation];
    EXPECT_EQ(r.rect.left, d.left);
    EXPECT_EQ(r.rect.top, d.top);
    EXPECT_EQ(r.rect.right, d.right);
    EXPECT_EQ(r.rect.bottom, d.bottom);
    const int32_t w = d.right - d.left, h = d.bottom - d.top;
    const uint32_t stride = (uint32_t(w) + 31) / 32 * 96;
    EXPECT_EQ(r.length, 80 + uint32_t(h) * stride);
    for (int32_t dy = d.top; dy < d.bottom; ++dy) {
      for (int32_t dx = d.left; dx < d.right; ++dx) {
        int32_t hx = 0, hy = 0;
        if (rotation == 1) hx = dy, hy = H - 1 - dx;
        if (rotation == 2) hx = W - 1 - dx, hy = H - 1 - dy;
        if (rotation == 3) hx = W - 1 - dy, hy = dx;
        const uint8_t* p = At(hx, hy);
        const uint8_t* q = packet_.data() + 80 + size_t(dy - d.top) * stride + 3 * (dx - d.left);
        ASSERT_TRUE(p[0] == q[0] && p[1] == q[1] && p[2] == q[2]) << dx << "," << dy;
      }
    }
    // The other formats read the same turned pixels.
    const Result y = Encode({0, 0, W, H}, kFormatYCbCr420, true, 0, true);
    ASSERT_EQ(y.status, STATUS_SUCCESS);
    const int32_t dw = rotation == 2 ? W : H;
    const int32_t dh = rotation == 2 ? H : W;
    EXPECT_EQ(y.length, 80u + uint32_t((dw + 15) & ~15) * (dh + dh / 2));
    EXPECT_EQ(Encode({0, 0, W, H}, kFormatJpeg, true, 0, true).status, STATUS_SUCCESS);
  }
}

TEST_F(RegionTest, RotatedRgbPatchIsSnappedInDeviceOrientation) {
  UseMode(64, 128, 32, 1);  // device frame 128 x 64
  // Host (0, 100, 20, 110) at rotation 1 is device (18, 0, 28, 20); snapped: x 0, width 58,
  // height 21.
  const Result r = Encode({0, 100, 20, 110}, kFormatRgb24, false, 0, true);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.patch[0], 0u);
  EXPECT_EQ(r.patch[2], 58u);
  EXPECT_EQ(r.patch[3], 21u);
  EXPECT_EQ(r.patch[4], 384u);
  EXPECT_EQ(r.rect.left, 0);
  EXPECT_EQ(r.rect.right, 58);
  EXPECT_EQ(r.rect.bottom, 21);
  EXPECT_EQ(r.length, 32u + 21 * 58 * 3);
}

TEST_F(RegionTest, RotatedRefusals) {
  UseMode(64, 48, 32, 0);
  EXPECT_EQ(Encode({0, 0, 64, 48}, kFormatRgb24, true, 0, true).status, STATUS_INVALID_PARAMETER);
  UseMode(64, 48, 32, 2);
  EXPECT_EQ(Encode({0, 0, 64, 48}, 7, true, 0, true).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Encode({64, 0, 64, 48}, kFormatRgb24, true, 0, true).status, STATUS_INVALID_PARAMETER);
  UseMode(64, 48, 16, 2);
  EXPECT_EQ(Encode({0, 0, 64, 48}, kFormatRgb24, true, 0, true).status, STATUS_INVALID_PARAMETER);
}

TEST_F(RegionTest, AlignRectForRotationMovesTheGrid) {
  struct Case {
    uint8_t rotation;
    uint32_t w, h;
    RegionRect in, out;
  };
  // 1366 % 32 = 22, 768 % 32 = 0, 1050 % 32 = 26.
  const Case cases[] = {
      {0, 1366, 1050, {32, 32, 64, 64}, {32, 32, 64, 64}},
      {3, 1366, 768, {32, 32, 64, 64}, {22, 32, 86, 64}},
      {3, 1366, 768, {0, 0, 1366, 64}, {0, 0, 1366, 64}},
      {1, 1366, 768, {32, 32, 64, 64}, {32, 32, 64, 64}},
      {1, 1680, 1050, {32, 32, 64, 64}, {32, 26, 64, 90}},
      {2, 1366, 1050, {32, 32, 64, 64}, {22, 26, 86, 90}},
  };
  for (const Case& c : cases) {
    view_->Modes.Rotation = c.rotation;
    view_->Modes.Width = c.w;
    view_->Modes.Height = c.h;
    RegionRect r = c.in;
    EXPECT_EQ(AlignRectForRotation(view_, &r, 0, 0, int32_t(c.w), int32_t(c.h)), STATUS_SUCCESS);
    EXPECT_TRUE(r.left == c.out.left && r.top == c.out.top && r.right == c.out.right &&
                r.bottom == c.out.bottom)
        << int(c.rotation) << ": " << r.left << "," << r.top << "," << r.right << "," << r.bottom;
  }
}

}  // namespace
}  // namespace vorn::display::testing
