// The image checks over the bytes alone: a sound image passes them all, and each way of
// breaking one fails the check it names, without reading past the image.
#include <gtest/gtest.h>

#include <vector>

#include "station/rom_image.h"
#include "station/rom_internal.h"
#include "tools/fwimage/fwimage.h"

namespace vorn::fwimage {
void PrintTo(const BreakInfo& b, std::ostream* os) { *os << b.name; }
}  // namespace vorn::fwimage

namespace vorn::station {
namespace {

// Which of the three checks an image passes (header against its own size, end and checksum,
// descriptor sections).
struct Verdict {
  bool header, end, sections;
};

Verdict Check(const std::vector<uint8_t>& image, ULONGLONG file_size) {
  const ULONG size = static_cast<ULONG>(image.size());
  return {NT_SUCCESS(CheckImageHeader(image.data(), file_size)),
          NT_SUCCESS(CheckImageEnd(image.data(), size)),
          NT_SUCCESS(CheckUhalSection(image.data(), size))};
}

TEST(RomImageTest, ASoundImagePassesEveryCheck) {
  for (uint32_t data : {0u, 0x1000u, 0x1FFFCu}) {
    SCOPED_TRACE(data);
    fwimage::ImageOptions o;
    o.data_size = data;
    std::vector<uint8_t> image = fwimage::BuildImage(o);
    Verdict v = Check(image, image.size());
    EXPECT_TRUE(v.header && v.end && v.sections);
    EXPECT_EQ(image.size() % 0x10000, 0u);
  }
  // Further sections that just fit pass too.
  fwimage::ImageOptions o;
  const uint32_t size = 0x20000;
  o.sections = {size - 112, size - 80, 0x2000, 0, size - 80 - 16};
  std::vector<uint8_t> image = fwimage::BuildImage(o);
  EXPECT_TRUE(NT_SUCCESS(CheckUhalSection(image.data(), static_cast<ULONG>(image.size()))));
}

class RomImageBreakTest : public ::testing::TestWithParam<fwimage::BreakInfo> {};

TEST_P(RomImageBreakTest, FailsTheCheckItBreaks) {
  const fwimage::BreakInfo& b = GetParam();
  const std::vector<uint8_t> sound = fwimage::BuildImage({});
  const std::vector<uint8_t> image = fwimage::BreakImage(sound, b.kind);
  ASSERT_EQ(image.size(), sound.size());
  Verdict v = Check(image, image.size());
  switch (b.rom_error) {
    case 10: EXPECT_FALSE(v.header); break;
    case 8: EXPECT_TRUE(v.header && v.end && v.sections) << "the project is the station's check"; break;
    case 13: EXPECT_TRUE(v.header); EXPECT_FALSE(v.end); break;
    case 14: EXPECT_TRUE(v.header && v.end); EXPECT_FALSE(v.sections); break;
    default: ADD_FAILURE() << "no check for RomError " << b.rom_error;
  }
}

INSTANTIATE_TEST_SUITE_P(Breaks, RomImageBreakTest, ::testing::ValuesIn(fwimage::Breaks()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RomImageTest, AHeaderIsCheckedAgainstTheFileItCameFrom) {
  const std::vector<uint8_t> image = fwimage::BuildImage({});
  EXPECT_FALSE(NT_SUCCESS(CheckImageHeader(image.data(), image.size() - 1)));
  EXPECT_TRUE(NT_SUCCESS(CheckImageHeader(image.data(), image.size() + 1)));
  EXPECT_FALSE(NT_SUCCESS(CheckImageHeader(nullptr, 0)));
  EXPECT_FALSE(NT_SUCCESS(CheckImageEnd(image.data(), 255)));
  EXPECT_FALSE(NT_SUCCESS(CheckImageEnd(image.data(), 258)));
}

// Descriptor offsets near the end of the image: the check reads only inside the buffer it is
// given (under the address sanitizer an over-read would fault), however far the offsets point.
TEST(RomImageTest, DescriptorOffsetsAreBoundedByTheImage) {
  {
    std::vector<uint8_t> image =
        fwimage::BreakImage(fwimage::BuildImage({}), fwimage::Break::kConfigBeyond);
    EXPECT_FALSE(NT_SUCCESS(CheckUhalSection(image.data(), static_cast<ULONG>(image.size()))));
  }
  // The section in the image's last 256 bytes, each descriptor offset moved to its end.
  fwimage::ImageOptions o;
  const ULONG size = 0x20000;
  o.uhal_offset = size - 256;
  const std::vector<uint8_t> sound = fwimage::BuildImage(o);
  ASSERT_EQ(sound.size(), size);
  ASSERT_TRUE(NT_SUCCESS(CheckUhalSection(sound.data(), size)));
  for (ULONG field : {12u, 14u, 16u, 18u, 20u, 22u}) {
    for (ULONG back : {4u, 8u}) {
      std::vector<uint8_t> b = sound;
      const ULONG at = 256 - back;
      b[o.uhal_offset + field] = static_cast<uint8_t>(at);
      b[o.uhal_offset + field + 1] = 0;
      EXPECT_FALSE(NT_SUCCESS(CheckUhalSection(b.data(), size))) << field << " " << back;
    }
  }
}

TEST(RomImageTest, BootVersionComesFromTheFirstBootBlock) {
  struct Case {
    int block;
    bool found;
  };
  for (Case c : {Case{0, true}, Case{2, true}, Case{-1, false}}) {
    SCOPED_TRACE(c.block);
    fwimage::BootOptions o;
    o.boot_block = c.block;
    o.version = 0x0305;
    std::vector<uint8_t> boot = fwimage::BuildBoot(o);
    ULONG version = 77;
    EXPECT_EQ(FindBootVersion(boot.data(), static_cast<ULONG>(boot.size()), &version), c.found);
    EXPECT_EQ(version, c.found ? 0x0305u : 0u);
  }
}

TEST(RomImageTest, WaitsFollowTheLengthInSinglePrecision) {
  struct Case {
    ULONG length, per_mib, ms;
  };
  for (Case c : {Case{65536, 2500, 156}, Case{65536, 30000, 1875}, Case{16, 30000, 0},
                 Case{0x20000, 0, 0}, Case{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF},
                 Case{0x100000, 2500, 2500}}) {
    EXPECT_EQ(RomWaitMilliseconds(c.length, c.per_mib), c.ms) << c.length << " " << c.per_mib;
  }
}

}  // namespace
}  // namespace vorn::station
