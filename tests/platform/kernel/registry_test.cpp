#include <cstring>
#include <fstream>
#include <filesystem>

#include "platform/kernel/files.h"
#include "platform/kernel/registry.h"
#include "tests/platform/kernel/kernel_fixture.h"

namespace {

namespace reg = vorn::kernel::registry;
using vorn::kernel::testing::KernelTest;

const WString kService = WString(reg::kServicesPath) + u"\\vorntest";

class RegistryTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    reg::Reset();
    reg::CreateKey(kService + u"\\Parameters");
  }

  NTSTATUS Open(const WString& path, HANDLE* key, bool create) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path.c_str());
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return create ? ZwCreateKey(key, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr)
                  : ZwOpenKey(key, KEY_READ, &oa);
  }
};

TEST_F(RegistryTest, KeysAndValuesIgnoreCaseAndCreateNeedsTheParent) {
  HANDLE key;
  ASSERT_EQ(Open(kService + u"\\PARAMETERS\\0080", &key, true), STATUS_SUCCESS);
  ULONG value = 0x107;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"HalState");
  EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &value, 4), STATUS_SUCCESS);
  ZwClose(key);
  ULONG read = 0;
  EXPECT_TRUE(reg::GetDword(kService + u"\\parameters\\0080", u"HALSTATE", &read));
  EXPECT_EQ(read, 0x107u);

  HANDLE missing;
  EXPECT_EQ(Open(kService + u"\\Parameters\\Firmware\\ABC", &missing, true), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Open(kService + u"\\Parameters\\Nothing", &missing, false), STATUS_OBJECT_NAME_NOT_FOUND);

  auto history = reg::History();
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[0].kind, reg::Write::kCreateKey);
  EXPECT_EQ(history[1].kind, reg::Write::kSetValue);
  EXPECT_EQ(history[1].name, u"HalState");
  EXPECT_EQ(history[1].value.type, REG_DWORD);
  EXPECT_EQ(vorn::kernel::OpenHandleCount(), 0u);
}

TEST_F(RegistryTest, PartialQueryReportsBufferStatuses) {
  const uint8_t stored[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  reg::SetValue(kService + u"\\Parameters", u"Blob", REG_BINARY, stored, sizeof(stored));
  HANDLE key;
  ASSERT_EQ(Open(kService + u"\\Parameters", &key, false), STATUS_SUCCESS);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"blob");
  struct Case {
    ULONG length;
    NTSTATUS status;
  } cases[] = {{0, STATUS_BUFFER_TOO_SMALL}, {11, STATUS_BUFFER_TOO_SMALL},
               {12, STATUS_BUFFER_OVERFLOW}, {23, STATUS_BUFFER_OVERFLOW},
               {24, STATUS_SUCCESS}, {40, STATUS_SUCCESS}};
  for (const Case& c : cases) {
    alignas(8) uint8_t buffer[64];
    std::memset(buffer, 0xEE, sizeof(buffer));
    ULONG result = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, c.length, &result), c.status)
        << c.length;
    EXPECT_EQ(result, 24u);
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    if (c.status != STATUS_BUFFER_TOO_SMALL) {
      EXPECT_EQ(info->Type, REG_BINARY);
      EXPECT_EQ(info->DataLength, 12u);
    }
    if (c.status == STATUS_SUCCESS) {
      EXPECT_EQ(std::memcmp(info->Data, stored, 12), 0);
    }
    EXPECT_EQ(buffer[c.length], 0xEE) << "written past the buffer length " << c.length;
  }
  UNICODE_STRING absent;
  RtlInitUnicodeString(&absent, u"Absent");
  ULONG result;
  uint8_t buffer[32];
  EXPECT_EQ(ZwQueryValueKey(key, &absent, KeyValuePartialInformation, buffer, 32, &result),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwDeleteValueKey(key, &absent), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_SUCCESS);
  EXPECT_FALSE(reg::GetValue(kService + u"\\Parameters", u"Blob", nullptr));
  ZwClose(key);
}

TEST_F(RegistryTest, InjectedWriteFailureLeavesValueUnchanged) {
  reg::FailWritesUnder(kService, STATUS_ACCESS_DENIED);
  HANDLE key;
  ASSERT_EQ(Open(kService + u"\\Parameters", &key, true), STATUS_SUCCESS);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"ErrorCode");
  ULONG v = 10;
  EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &v, 4), STATUS_ACCESS_DENIED);
  reg::FailWritesUnder(u"", 0);
  EXPECT_FALSE(reg::GetValue(kService + u"\\Parameters", u"ErrorCode", nullptr));
  ZwClose(key);
}

class FilesTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    root_ = std::filesystem::temp_directory_path() / ("vorn-files-" + std::to_string(getpid()));
    std::filesystem::create_directories(root_ / "C" / "Fw");
    std::filesystem::create_directories(root_ / "SystemRoot" / "fw");
    std::ofstream(root_ / "C" / "Fw" / "Image.bin") << "0123456789";
    std::ofstream(root_ / "SystemRoot" / "fw" / "boot.bin") << "BOOT";
    vorn::kernel::files::SetRoot(root_.string());
  }
  void TearDown() override {
    std::filesystem::remove_all(root_);
    KernelTest::TearDown();
  }
  NTSTATUS Open(const char16_t* path, HANDLE* h) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    return ZwCreateFile(h, GENERIC_READ | SYNCHRONIZE, &oa, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL,
                        FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE,
                        nullptr, 0);
  }
  std::filesystem::path root_;
};

TEST_F(FilesTest, OpensBothPrefixesIgnoringCaseAndReadsAtOffsets) {
  HANDLE h;
  ASSERT_EQ(Open(u"\\DosDevices\\c:\\fw\\image.BIN", &h), STATUS_SUCCESS);
  FILE_STANDARD_INFORMATION info;
  IO_STATUS_BLOCK iosb;
  ASSERT_EQ(ZwQueryInformationFile(h, &iosb, &info, sizeof(info), FileStandardInformation), STATUS_SUCCESS);
  EXPECT_EQ(info.EndOfFile.QuadPart, 10);
  EXPECT_FALSE(info.Directory);
  char buffer[8] = {};
  LARGE_INTEGER offset;
  offset.QuadPart = 6;
  EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &iosb, buffer, 8, &offset, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 4u);  // a short read is a success
  EXPECT_EQ(std::string(buffer, 4), "6789");
  offset.QuadPart = 10;
  EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &iosb, buffer, 8, &offset, nullptr), STATUS_END_OF_FILE);
  ZwClose(h);

  ASSERT_EQ(Open(u"\\SystemRoot\\FW\\boot.bin", &h), STATUS_SUCCESS);
  ZwClose(h);
  EXPECT_EQ(Open(u"\\DosDevices\\C:\\fw\\missing.bin", &h), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(Open(u"\\DosDevices\\C:\\nope\\image.bin", &h), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(Open(u"\\DosDevices\\C:\\fw", &h), STATUS_FILE_IS_A_DIRECTORY);
  EXPECT_EQ(Open(u"\\DosDevices\\C:\\fw\\..\\fw\\image.bin", &h), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(vorn::kernel::OpenHandleCount(), 0u);
}

}  // namespace
