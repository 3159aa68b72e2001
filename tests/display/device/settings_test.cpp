// Registry settings against the capability block: which value wins for quality, flip mode,
// format and monitor detection.
#include "tests/display/display_fixture.h"

namespace vorn::display::testing {
namespace {

using chip::MakeProfile;

struct Registry {
  std::optional<uint32_t> quality = std::nullopt;
  std::optional<uint8_t> flip = std::nullopt;
  std::optional<uint8_t> yv12 = std::nullopt;
  std::optional<uint8_t> detect = std::nullopt;
};

void Apply(umdf::Host& wdf, const Registry& r) {
  if (r.quality) wdf.SetRegistryDword(u"QorQuality", *r.quality);
  if (r.flip) wdf.SetRegistryBinary(u"FlipMode", {*r.flip});
  if (r.yv12) wdf.SetRegistryBinary(u"YV12", {*r.yv12});
  if (r.detect) wdf.SetRegistryBinary(u"DetectMonitor", {*r.detect});
}

TEST_F(DisplayTest, RegistryAgainstCapabilityBlock) {
  struct Case {
    const char* what;
    Registry registry;
    uint8_t block_quality;
    uint32_t flags;
    bool usb3;
    uint32_t quality, flip, format;
  } cases[] = {
      {"defaults", {}, 0, 0, true, 95, 0, 0},
      {"quality 101 keeps the default", {101}, 0, 0, true, 95, 0, 0},
      {"quality 0 is taken", {0}, 0, 0, true, 0, 0, 0},
      {"block quality 0 keeps the registry", {40}, 0, 0, true, 40, 0, 0},
      {"block quality 100 wins", {40}, 100, 0, true, 100, 0, 0},
      {"block quality above 100 is ignored", {40}, 101, 0, true, 40, 0, 0},
      {"flip mode from the registry", {std::nullopt, 2}, 0, 0, true, 95, 2, 0},
      {"flip mode 4 is out of range", {std::nullopt, 4}, 0, 0, true, 95, 0, 0},
      {"bit 6 forces flip mode 1", {std::nullopt, 2}, 0, 1u << 6, true, 95, 1, 0},
      {"YV12 is overwritten by the block", {std::nullopt, std::nullopt, 1}, 0, 0, true, 95, 0, 0},
      {"USB 3 format bits, 3 reads as 0", {}, 0, (3u << 14) | (2u << 12), true, 95, 0, 0},
      {"USB 2 takes bits 12-13", {}, 0, (3u << 14) | (2u << 12), false, 95, 0, 2},
      {"USB 3 format 1", {}, 0, 1u << 14, true, 95, 0, 1},
  };
  for (const Case& c : cases) {
    chip::ChipProfile p = MakeProfile({2, 64, c.usb3});
    p.quality_override = c.block_quality;
    p.capability_flags = c.flags | 0x3;
    host::Adapter& a = AddAdapter(AddChip(p));
    Apply(a.wdf(), c.registry);
    ASSERT_TRUE(a.Open()) << c.what;
    const SorvikDevice* d = a.handle();
    EXPECT_EQ(d->JpegQuality, c.quality) << c.what;
    EXPECT_EQ(d->FlipMode, c.flip) << c.what;
    EXPECT_EQ(d->FormatMode, c.format) << c.what;
  }
}

TEST_F(DisplayTest, CapabilityFlagsAndDetection) {
  struct Case {
    const char* what;
    std::optional<uint8_t> detect;
    uint32_t flags;
    std::array<uint32_t, 2> descriptors;
    uint8_t views;
    std::array<uint8_t, 2> present, detect_enabled;
  } cases[] = {
      {"detection from the block", std::nullopt, 0x1, {0x602, 0x602}, 2, {1, 1}, {1, 0}},
      {"registry overrides both views", 0, 0x3, {0x602, 0x602}, 2, {1, 1}, {0, 0}},
      {"registry value used as is", 7, 0x0, {0x602, 0x602}, 2, {1, 1}, {7, 7}},
      {"only view 1", std::nullopt, 0x2, {0, 0x604}, 1, {0, 1}, {0, 1}},
  };
  for (const Case& c : cases) {
    chip::ChipProfile p = MakeProfile({2, 64, true});
    p.capability_flags = c.flags | (2u << 4) | (1u << 3) | (1u << 7);
    p.view_descriptor = c.descriptors;
    p.bandwidth_limit = 9;
    host::Adapter& a = AddAdapter(AddChip(p));
    Apply(a.wdf(), {std::nullopt, std::nullopt, std::nullopt, c.detect});
    ASSERT_TRUE(a.Open()) << c.what;
    const SorvikDevice* d = a.handle();
    EXPECT_EQ(d->ViewCount, c.views) << c.what;
    EXPECT_EQ(a.block().ViewCount, c.views) << c.what;
    for (int v = 0; v < 2; ++v) {
      EXPECT_EQ(d->Views[v].Present, c.present[v]) << c.what << " view " << v;
      if (c.present[v]) {
        EXPECT_EQ(d->Views[v].DetectEnabled, c.detect_enabled[v]) << c.what << " view " << v;
        EXPECT_EQ(d->Views[v].DeviceTimingCount, 6u);
        EXPECT_EQ(d->Views[v].DescriptorType, c.descriptors[v] & 0xF);
      }
    }
    EXPECT_EQ(d->Rotation, 2);
    EXPECT_EQ(d->NoAckTracking, 1);
    EXPECT_EQ(d->ThreeStagingFrames, 1);
    EXPECT_EQ(d->BandwidthLimit, 9);
  }
}

TEST_F(DisplayTest, MissingParametersKeyKeepsDefaults) {
  host::Adapter& a = AddAdapter(AddChip(MakeProfile({1, 64, true})));
  a.wdf().SetParametersKeyPresent(false);
  ASSERT_TRUE(a.Open());
  EXPECT_EQ(a.handle()->JpegQuality, 95u);
  EXPECT_EQ(a.handle()->DetectMonitor, 255);
  EXPECT_EQ(a.handle()->MaxPixels, 1920u * 1080u);
  EXPECT_EQ(a.handle()->JpegSampling, 3);
  EXPECT_EQ(a.handle()->CursorSlotTotal, 10);
}

TEST_F(DisplayTest, MemoryLayoutOf64MiB) {
  host::Adapter& a = Opened(MakeProfile({2, 64, true}));
  const DeviceMemory& m = a.handle()->Memory;
  constexpr uint32_t MiB = 1u << 20;
  EXPECT_EQ(a.handle()->FrameMemorySize, 64 * MiB);
  EXPECT_EQ(m.RingStart, 54 * MiB);
  EXPECT_EQ(m.RingEnd, 64 * MiB - 2048);
  EXPECT_EQ(m.ViewEnd, 54 * MiB - 1024);
  EXPECT_EQ(m.NextAlloc, m.RingStart);
  EXPECT_EQ(m.LastAllocStart, m.RingEnd);
}

}  // namespace
}  // namespace vorn::display::testing
