#include "station/registry.h"

#include <cstring>

#include "tests/station/station_fixture.h"

namespace vorn::station::testing {
namespace {

using kernel::registry::Value;

class RegistryTest : public StationTest {
 protected:
  void SetUp() override {
    StationTest::SetUp();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
  }
  const UNICODE_STRING* Root() { return &g_DriverServices->RegistryPath; }
};

TEST_F(RegistryTest, ReadCopiesAtMostTheCallersWidthAndRefusesLongValues) {
  struct Case {
    const char* what;
    std::vector<uint8_t> stored;
    ULONG type;
    ULONG width;
    NTSTATUS status;
    std::vector<uint8_t> after;  // the caller's bytes, pre-filled with 0xAA
  };
  const std::vector<uint8_t> aa4(4, 0xAA);
  const Case cases[] = {
      {"dword into one byte", {0x07, 0x01, 0, 0}, REG_DWORD, 1, STATUS_SUCCESS, {0x07}},
      {"one byte into a dword", {0x01}, REG_BINARY, 4, STATUS_SUCCESS, {0x01, 0xAA, 0xAA, 0xAA}},
      {"width + 4 fits", {1, 2, 3, 4, 5, 6, 7, 8}, REG_BINARY, 4, STATUS_SUCCESS, {1, 2, 3, 4}},
      {"width + 5 refused", {1, 2, 3, 4, 5, 6, 7, 8, 9}, REG_BINARY, 4, STATUS_BUFFER_OVERFLOW, aa4},
      {"12 bytes refused", std::vector<uint8_t>(12, 1), REG_BINARY, 4, STATUS_BUFFER_OVERFLOW, aa4},
      {"text taken as bytes", {'A', 0, 'B', 0, 0, 0}, REG_SZ, 4, STATUS_SUCCESS, {'A', 0, 'B', 0}},
      {"empty value", {}, REG_BINARY, 4, STATUS_SUCCESS, aa4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kernel::registry::SetValue(ParametersPath(), u"Setting", c.type, c.stored.data(),
                               c.stored.size());
    std::vector<uint8_t> data(c.width, 0xAA);
    EXPECT_EQ(ReadParameter(u"Setting", REG_NONE, c.width, data.data()), c.status);
    EXPECT_EQ(data, c.after);
  }
}

TEST_F(RegistryTest, MissingValuesAndKeysLeaveTheCallersDataAlone) {
  ULONG data = 0x12345678;
  EXPECT_EQ(ReadParameter(u"Absent", REG_DWORD, 4, &data), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ReadStationValue(0x80, u"HalState", REG_DWORD, 4, &data),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(data, 0x12345678u);
  EXPECT_FALSE(kernel::registry::KeyExists(ParametersPath() + u"\\0080"));
}

TEST_F(RegistryTest, ArgumentsAreCheckedBeforeAnyKeyIsOpened) {
  ULONG data = 0;
  UNICODE_STRING empty{};
  EXPECT_EQ(AccessRegistryValue(false, Root(), nullptr, u"", REG_DWORD, 4, &data),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(AccessRegistryValue(false, Root(), nullptr, nullptr, REG_DWORD, 4, &data),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(AccessRegistryValue(false, Root(), nullptr, u"X", REG_DWORD, 4, nullptr),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(AccessRegistryValue(true, Root(), nullptr, u"X", REG_DWORD, 0, &data),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(AccessRegistryValue(false, &empty, nullptr, u"X", REG_DWORD, 4, &data),
            STATUS_UNSUCCESSFUL);
  EXPECT_EQ(AccessRegistryValue(false, nullptr, nullptr, u"X", REG_DWORD, 4, &data),
            STATUS_UNSUCCESSFUL);
  EXPECT_EQ(DeleteRegistryValue(Root(), nullptr, u""), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(DeleteRegistryValue(&empty, nullptr, u"X"), STATUS_UNSUCCESSFUL);
  // A key path too long for a counted string is refused, not cut.
  WString deep(40000, u'k');
  EXPECT_EQ(AccessRegistryValue(false, Root(), deep.c_str(), u"X", REG_DWORD, 4, &data),
            STATUS_OBJECT_NAME_INVALID);
  // A size that would wrap the query buffer is refused.
  EXPECT_EQ(AccessRegistryValue(false, Root(), nullptr, u"X", REG_DWORD, 0xFFFFFFF8u, &data),
            STATUS_INVALID_PARAMETER);
}

TEST_F(RegistryTest, StationValuesLiveUnderTheirIndexKey) {
  char16_t key[kStationKeyChars];
  FormatStationKey(0x8A, key);
  EXPECT_EQ(WString(key), u"Parameters\\008A");

  const ULONG state = 14;
  ASSERT_EQ(WriteStationValue(0x8A, u"HalState", REG_DWORD, 4, &state), STATUS_SUCCESS);
  ULONG stored = 0;
  ASSERT_TRUE(kernel::registry::GetDword(ParametersPath() + u"\\008a", u"HalState", &stored));
  EXPECT_EQ(stored, 14u);
  ULONG read = 0;
  EXPECT_EQ(ReadStationValue(0x8A, u"halstate", REG_DWORD, 4, &read), STATUS_SUCCESS);
  EXPECT_EQ(read, 14u);

  EXPECT_EQ(DeleteStationValue(0x8A, u"HalState"), STATUS_SUCCESS);
  EXPECT_FALSE(kernel::registry::GetDword(ParametersPath() + u"\\008A", u"HalState", &stored));
}

TEST_F(RegistryTest, DeletingUnderAMissingStationKeyCreatesTheKeyAndReportsTheMissingValue) {
  EXPECT_EQ(DeleteStationValue(0x81, u"HalError"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_TRUE(kernel::registry::KeyExists(ParametersPath() + u"\\0081"));
}

TEST_F(RegistryTest, WritesStoreTheTypeAndBytesGiven) {
  const char16_t text[] = u"\\??\\USB#VID_1234";
  ASSERT_EQ(WriteParameter(u"Link", REG_SZ, sizeof text, text), STATUS_SUCCESS);
  Value v;
  ASSERT_TRUE(kernel::registry::GetValue(ParametersPath(), u"Link", &v));
  EXPECT_EQ(v.type, REG_SZ);
  ASSERT_EQ(v.data.size(), sizeof text);
  EXPECT_EQ(std::memcmp(v.data.data(), text, sizeof text), 0);

  // A root of its own (the device's Enum key) with no subkey.
  UNICODE_STRING enum_root;
  RtlInitUnicodeString(&enum_root, kernel::registry::kEnumPath);
  const UCHAR flag = 1;
  ASSERT_EQ(AccessRegistryValue(true, &enum_root, u"", u"Flag", REG_BINARY, 1,
                                const_cast<UCHAR*>(&flag)),
            STATUS_SUCCESS);
  ASSERT_TRUE(kernel::registry::GetValue(kernel::registry::kEnumPath, u"Flag", &v));
  EXPECT_EQ(v.data, std::vector<uint8_t>{1});

  kernel::registry::FailWritesUnder(ParametersPath(), STATUS_ACCESS_DENIED);
  EXPECT_EQ(WriteParameter(u"Link", REG_SZ, sizeof text, text), STATUS_ACCESS_DENIED);
  kernel::registry::FailWritesUnder(ParametersPath(), 0);
}

TEST_F(RegistryTest, FirmwareKeysTakeTheProjectCodeUpToItsFirstZeroOrSixteenBytes) {
  char16_t key[kFirmwareKeyChars];
  const UCHAR full[kProjectCodeBytes] = {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H',
                                         'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P'};
  FormatFirmwareKey(full, key);
  EXPECT_EQ(WString(key), u"Parameters\\Firmware\\ABCDEFGHIJKLMNOP");
  const UCHAR short_code[kProjectCodeBytes] = {'Q', 'R', '7', 0, 'X', 'X'};
  FormatFirmwareKey(short_code, key);
  EXPECT_EQ(WString(key), u"Parameters\\Firmware\\QR7");

  kernel::registry::CreateKey(ParametersPath() + u"\\Firmware");
  const UCHAR flags = 3;
  ASSERT_EQ(WriteFirmwareValue(key, u"RomAutoUpdateFlags", REG_BINARY, 1, &flags), STATUS_SUCCESS);
  UCHAR read = 0;
  EXPECT_EQ(ReadFirmwareValue(key, u"RomAutoUpdateFlags", REG_BINARY, 1, &read), STATUS_SUCCESS);
  EXPECT_EQ(read, 3);
}

TEST_F(RegistryTest, PoolExhaustionFailsCleanly) {
  const ULONG v = 9;
  ASSERT_EQ(WriteParameter(u"Value", REG_DWORD, 4, &v), STATUS_SUCCESS);
  ULONG data = 1;
  kernel::pool::FailNthAllocation(kTagRegistry, 1);  // the key path
  EXPECT_EQ(ReadParameter(u"Value", REG_DWORD, 4, &data), STATUS_INSUFFICIENT_RESOURCES);
  kernel::pool::FailNthAllocation(kTagRegistry, 2);  // the query buffer
  EXPECT_EQ(ReadParameter(u"Value", REG_DWORD, 4, &data), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(data, 1u);
  EXPECT_EQ(kernel::OpenHandleCount(), handles_);
}

}  // namespace
}  // namespace vorn::station::testing
