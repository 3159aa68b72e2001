// The ROM control codes as an application sends them: the automatic-update flags, the ROM
// paths of a project (and a path without its terminator), the burn result, the ROM size and
// the ROM read with its sequence.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "protocol/byte_order.h"
#include "protocol/control_codes.h"
#include "station/driver_globals.h"
#include "station/rom.h"
#include "tests/station/control_fixture.h"

namespace vorn::station::testing {
namespace {

using namespace protocol;

constexpr ULONG kPathRecord = 524;

class RomControlTest : public ControlTest {
 protected:
  void SetUp() override {
    ControlTest::SetUp();
    ASSERT_NE(Start(Profile(8)), nullptr);
    handle_ = Open(u"\\roothub");
    ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
  }
  // A ROM path record: set or get, target, project code, path.
  static std::vector<UCHAR> PathRecord(UCHAR set, UCHAR target, const char* project,
                                       const std::u16string& path) {
    std::vector<UCHAR> r(kPathRecord, 0);
    r[0] = set;
    r[1] = target;
    std::memcpy(&r[8], project, std::strlen(project));
    std::memcpy(&r[24], path.data(), std::min<size_t>(path.size() * 2, 500));
    return r;
  }
  static std::u16string PathOf(const std::vector<UCHAR>& r) {
    std::u16string s(250, u'\0');
    std::memcpy(s.data(), &r[24], 500);
    return s.substr(0, s.find(u'\0'));
  }
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

TEST_F(RomControlTest, PathsAreSetAndReadBackPerProjectAndTarget) {
  struct Case {
    const char* name;
    UCHAR target;
    const char* project;
    std::u16string path;
    DWORD error;  // of the set
  };
  const std::u16string long_path(250, u'x');  // fills the 500 bytes: no terminator
  const Case cases[] = {
      {"Image", kRomTargetImage, "VS3000", u"C:\\fw\\image.bin", ERROR_SUCCESS},
      {"Boot", kRomTargetBoot, "VS3000", u"C:\\fw\\boot.bin", ERROR_SUCCESS},
      {"OtherProject", kRomTargetImage, "VS4000", u"C:\\fw\\other.bin", ERROR_SUCCESS},
      {"Unterminated", kRomTargetBoot, "VS5000", long_path, ERROR_SUCCESS},
      {"NoSuchTarget", 1, "VS3000", u"C:\\fw\\x.bin", ERROR_INVALID_PARAMETER},
      {"ProjectNamingAnotherKey", kRomTargetImage, "..\\VS3000", u"C:\\x.bin", ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<UCHAR> set = PathRecord(1, c.target, c.project, c.path);
    IoctlResult r = Ioctl(handle_, IOCTL_OP_ROM_PATH, set.data(), kPathRecord, nullptr, 0);
    EXPECT_EQ(r.error, c.error);
    if (c.error != ERROR_SUCCESS) continue;
    std::vector<UCHAR> get = PathRecord(0, c.target, c.project, u"stale bytes");
    r = Ioctl(handle_, IOCTL_OP_ROM_PATH, get.data(), kPathRecord, get.data(), kPathRecord);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.bytes, kPathRecord);
    EXPECT_EQ(PathOf(get), c.path);
    // Stored as a terminated string under the project's firmware key.
    WString stored;
    ASSERT_TRUE(kernel::registry::GetString(
        ParametersPath() + u"\\Firmware\\" + WString(c.project, c.project + std::strlen(c.project)),
        c.target == kRomTargetBoot ? u"BootPath" : u"ImagePath", &stored));
    EXPECT_EQ(std::u16string(stored), c.path);
  }
  // The other target of the first project is untouched by the boot path's set.
  std::vector<UCHAR> get = PathRecord(0, kRomTargetImage, "VS3000", u"");
  ASSERT_TRUE(Ioctl(handle_, IOCTL_OP_ROM_PATH, get.data(), kPathRecord, get.data(), kPathRecord).ok);
  EXPECT_EQ(PathOf(get), u"C:\\fw\\image.bin");
}

TEST_F(RomControlTest, FlagsOfTheStationAndOfTheDriver) {
  UCHAR in[8] = {1, 0, 0x03};
  ASSERT_TRUE(Ioctl(handle_, IOCTL_OP_ROM_AUTO_UPDATE_FLAGS, in, 8, nullptr, 0).ok);
  EXPECT_EQ(station_->DeviceRomAutoUpdateFlags, 0x03);
  EXPECT_EQ(g_StationGlobals->RomAutoUpdateFlags, 7) << "the driver's flags stay";
  UCHAR get[8] = {0, 0, 0xEE};
  ASSERT_TRUE(Ioctl(handle_, IOCTL_OP_ROM_AUTO_UPDATE_FLAGS, get, 8, get, 8).ok);
  EXPECT_EQ(get[2], 0x03);
  UCHAR global[8] = {1, 1, 0x05};
  ASSERT_TRUE(Ioctl(handle_, IOCTL_OP_ROM_AUTO_UPDATE_FLAGS, global, 8, nullptr, 0).ok);
  UCHAR get_global[8] = {0, 1, 0xEE};
  ASSERT_TRUE(Ioctl(handle_, IOCTL_OP_ROM_AUTO_UPDATE_FLAGS, get_global, 8, get_global, 8).ok);
  EXPECT_EQ(get_global[2], 0x05);
  kernel::registry::Value v;
  ASSERT_TRUE(kernel::registry::GetValue(ParametersPath(), u"RomAutoUpdateFlags", &v));
  EXPECT_EQ(v.data, std::vector<uint8_t>{0x05});
  ASSERT_TRUE(kernel::registry::GetValue(ParametersPath() + u"\\Firmware\\VS3000",
                                         u"RomAutoUpdateFlags", &v));
  EXPECT_EQ(v.data, std::vector<uint8_t>{0x05});
}

TEST_F(RomControlTest, TheRomIsReadBackWithEachCallsSequence) {
  std::vector<uint8_t> content(0x20000);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 13 + 5);
  chip_->rom().SetContents(chip::kRomTargetImage, content);
  // The read waits for its replies without limit: on the stand-in's fast clock the default
  // wait lasts a few milliseconds of real time.
  g_StationGlobals->RomXferTimeout = 0;
  UCHAR size[4] = {};
  IoctlResult r = Ioctl(handle_, IOCTL_OP_GET_ROM_SIZE, nullptr, 0, size, 4);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(LoadLe32(size), 8u << 20);

  const USHORT first = station_->RomReadSequence;
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    std::vector<uint8_t> out(0x20000, 0);
    r = Ioctl(handle_, IOCTL_OP_READ_ROM, nullptr, 0, out.data(), static_cast<ULONG>(out.size()));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.bytes, out.size());
    EXPECT_EQ(out, content);
  }
  EXPECT_EQ(station_->RomReadSequence, static_cast<USHORT>(first + 2));
  // Not whole blocks, and beyond the ROM: refused before the chip is asked.
  const size_t asked = chip_->log().CountVendor(ReqReadRom);
  for (ULONG n : {0x8000u, (8u << 20) + 0x10000u}) {
    std::vector<uint8_t> out(n);
    r = Ioctl(handle_, IOCTL_OP_READ_ROM, nullptr, 0, out.data(), n);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, win32::Win32ErrorFromNtStatus(STATUS_INVALID_PARAMETER));
  }
  EXPECT_EQ(chip_->log().CountVendor(ReqReadRom), asked);
  // The burn result record: nothing burnt yet.
  UCHAR result[16];
  std::memset(result, 0xA5, sizeof result);
  r = Ioctl(handle_, IOCTL_OP_GET_ROM_RESULT, nullptr, 0, result, 16);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 16u);
  EXPECT_EQ(std::vector<UCHAR>(result, result + 16), std::vector<UCHAR>(16, 0));
}

}  // namespace
}  // namespace vorn::station::testing
