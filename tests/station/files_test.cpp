#include "station/files.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "station/registry.h"
#include "tests/station/station_fixture.h"

namespace vorn::station::testing {
namespace {

namespace fs = std::filesystem;

class FilesTest : public StationTest {
 protected:
  void SetUp() override {
    StationTest::SetUp();
    root_ = fs::temp_directory_path() / ("station-files-" + std::to_string(getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(root_ / "C" / "fw");
    fs::create_directories(root_ / "SystemRoot" / "fw");
    for (int i = 0; i < 1000; ++i) image_.push_back(static_cast<uint8_t>(i * 7));
    Write(root_ / "C" / "fw" / "image.bin", image_);
    Write(root_ / "SystemRoot" / "fw" / "image.bin", std::vector<uint8_t>(300, 0x5A));
    previous_root_ = kernel::files::Root();
    kernel::files::SetRoot(root_.string());
  }
  void TearDown() override {
    kernel::files::SetRoot(previous_root_);
    fs::remove_all(root_);
    StationTest::TearDown();
  }
  static void Write(const fs::path& p, const std::vector<uint8_t>& bytes) {
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }

  fs::path root_;
  std::string previous_root_;
  std::vector<uint8_t> image_;
};

TEST_F(FilesTest, SizeAndReadsAtOffsetsOfADosDevicesPath) {
  LONGLONG size = 0;
  ASSERT_EQ(QueryDosFileSize(u"C:\\fw\\image.bin", &size), STATUS_SUCCESS);
  EXPECT_EQ(size, 1000);

  struct Case {
    LONGLONG offset;
    ULONG length;
    NTSTATUS status;
    ULONG read;
  };
  for (const Case& c : {Case{0, 256, STATUS_SUCCESS, 256}, Case{256, 744, STATUS_SUCCESS, 744},
                        Case{900, 256, STATUS_SUCCESS, 100},  // a short read is no error
                        Case{1000, 16, STATUS_END_OF_FILE, 0}, Case{5000, 16, STATUS_END_OF_FILE, 0}}) {
    SCOPED_TRACE(c.offset);
    std::vector<uint8_t> buffer(c.length, 0xEE);
    ULONG bytes_read = 99;
    EXPECT_EQ(ReadDosFile(u"c:\\FW\\Image.bin", c.offset, buffer.data(), c.length, &bytes_read),
              c.status);
    EXPECT_EQ(bytes_read, c.read);
    for (ULONG i = 0; i < c.read; ++i) ASSERT_EQ(buffer[i], image_[c.offset + i]) << i;
    for (ULONG i = c.read; i < c.length; ++i) ASSERT_EQ(buffer[i], 0xEE) << i;
  }
}

TEST_F(FilesTest, SystemRootFormDropsTheThirteenCharacterPrefix) {
  LONGLONG size = 0;
  ASSERT_EQ(QuerySystemRootFileSize(u"%SystemRoot%\\fw\\image.bin", &size), STATUS_SUCCESS);
  EXPECT_EQ(size, 300);
  uint8_t buffer[4] = {};
  ULONG bytes_read = 0;
  ASSERT_EQ(ReadSystemRootFile(u"%SystemRoot%\\fw\\image.bin", 296, buffer, 4, &bytes_read),
            STATUS_SUCCESS);
  EXPECT_EQ(bytes_read, 4u);
  EXPECT_EQ(buffer[3], 0x5A);
  // The same path through \DosDevices\ names no file.
  EXPECT_FALSE(NT_SUCCESS(QueryDosFileSize(u"%SystemRoot%\\fw\\image.bin", &size)));
}

TEST_F(FilesTest, NamesThatCannotBeBuiltFailCleanly) {
  LONGLONG size = -1;
  ULONG bytes_read = 0;
  uint8_t buffer[8];
  EXPECT_EQ(QueryDosFileSize(u"", &size), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(QuerySystemRootFileSize(u"", &size), STATUS_INVALID_PARAMETER);
  // Nothing, or nothing but the prefix, after the 13 characters that are dropped.
  EXPECT_EQ(QuerySystemRootFileSize(u"%Windir%", &size), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(QuerySystemRootFileSize(u"%SystemRoot%\\", &size), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(ReadSystemRootFile(u"%x", 0, buffer, 8, &bytes_read), STATUS_OBJECT_NAME_INVALID);

  // 500 characters after the prefix are a name; 501 are refused rather than cut.
  WString path = u"C:\\";
  while (path.size() < 498) path += u"d\\";
  path.resize(500, u'x');
  EXPECT_EQ(QueryDosFileSize(path, &size), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(QueryDosFileSize(path + u"x", &size), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(QuerySystemRootFileSize(WString(13, u'%') + path, &size), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(QuerySystemRootFileSize(WString(13, u'%') + path + u"x", &size),
            STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(size, -1);

  EXPECT_EQ(ReadDosFile(u"C:\\fw\\image.bin", -1, buffer, 8, &bytes_read), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ReadDosFile(u"C:\\fw\\image.bin", 0, nullptr, 8, &bytes_read), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ReadDosFile(u"C:\\fw\\image.bin", 0, buffer, 8, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(QueryDosFileSize(u"C:\\fw\\image.bin", nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(FilesTest, APathFromTheRegistryWithoutTerminatorIsBoundedByItsBuffer) {
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  // An ImagePath of 1024 bytes without a terminator, read as the ROM update reads it.
  WString stored(512, u'a');
  kernel::registry::SetValue(ParametersPath(), u"ImagePath", REG_SZ, stored.data(), 1024);
  char16_t path[512];
  ASSERT_EQ(ReadParameter(u"ImagePath", REG_SZ, sizeof path, path), STATUS_SUCCESS);
  LONGLONG size = 0;
  EXPECT_EQ(QueryDosFileSize(WStringView(path, std::size(path)), &size), STATUS_OBJECT_NAME_INVALID);
  // Its last 499 characters are a name of their own, and no such file exists.
  EXPECT_EQ(QuerySystemRootFileSize(WStringView(path, std::size(path)), &size),
            STATUS_OBJECT_NAME_NOT_FOUND);

  // A name that fills its buffer exactly still opens.
  const char16_t exact[] = {u'C', u':', u'\\', u'f', u'w', u'\\', u'i', u'm', u'a', u'g', u'e',
                            u'.', u'b', u'i', u'n'};
  EXPECT_EQ(QueryDosFileSize(WStringView(exact, std::size(exact)), &size), STATUS_SUCCESS);
  EXPECT_EQ(size, 1000);
  // And the name ends at the first zero of a longer buffer.
  char16_t padded[64] = u"C:\\fw\\image.bin";
  padded[20] = u'z';
  EXPECT_EQ(QueryDosFileSize(WStringView(padded, std::size(padded)), &size), STATUS_SUCCESS);
}

TEST_F(FilesTest, MissingFilesFoldersAndRaisedIrqlAreRefused) {
  LONGLONG size = 0;
  EXPECT_EQ(QueryDosFileSize(u"C:\\fw\\none.bin", &size), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(QueryDosFileSize(u"C:\\nowhere\\none.bin", &size), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_FALSE(NT_SUCCESS(QueryDosFileSize(u"C:\\fw", &size)));

  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(QueryDosFileSize(u"C:\\fw\\image.bin", &size), STATUS_UNSUCCESSFUL);
  uint8_t b[4];
  ULONG n = 0;
  EXPECT_EQ(ReadDosFile(u"C:\\fw\\image.bin", 0, b, 4, &n), STATUS_UNSUCCESSFUL);
  KeLowerIrql(old);
}

}  // namespace
}  // namespace vorn::station::testing
