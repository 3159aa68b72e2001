// Wait locks, the Parameters registry key and device properties.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "platform/nt/clock.h"
#include "tests/platform/umdf/wdf_fixture.h"

namespace vorn::umdf::testing {
namespace {

TEST(WaitLock, TimeOutIsASuccessCodeAndLeavesTheLockUnheld) {
  clock::ScopedSpeed fast(1000);
  Host host;
  Wdf wdf(host);
  WDFWAITLOCK lock = nullptr;
  ASSERT_EQ(
      wdf.Call<WdfWaitLockCreateTableIndex>(static_cast<PWDF_OBJECT_ATTRIBUTES>(nullptr), &lock),
      STATUS_SUCCESS);
  ASSERT_EQ(wdf.Call<WdfWaitLockAcquireTableIndex>(lock, static_cast<LONGLONG*>(nullptr)),
            STATUS_SUCCESS);

  std::thread other([&] {
    LONGLONG five_seconds = WDF_REL_TIMEOUT_IN_SEC(5);
    const int64_t start = clock::NowNs();
    const NTSTATUS status = wdf.Call<WdfWaitLockAcquireTableIndex>(lock, &five_seconds);
    EXPECT_EQ(status, STATUS_TIMEOUT);
    EXPECT_TRUE(NT_SUCCESS(status));  // not an error code: callers must test for it
    EXPECT_GE(clock::NowNs() - start, 5'000'000'000);
    LONGLONG no_wait = 0;
    EXPECT_EQ(wdf.Call<WdfWaitLockAcquireTableIndex>(lock, &no_wait), STATUS_TIMEOUT);
  });
  other.join();

  // The failed waits took nothing: one release frees it for the next taker.
  wdf.Call<WdfWaitLockReleaseTableIndex>(lock);
  std::thread taker([&] {
    LONGLONG one_second = WDF_REL_TIMEOUT_IN_SEC(1);
    EXPECT_EQ(wdf.Call<WdfWaitLockAcquireTableIndex>(lock, &one_second), STATUS_SUCCESS);
    wdf.Call<WdfWaitLockReleaseTableIndex>(lock);
  });
  taker.join();
  EXPECT_EQ(host.LiveObjectCount(), 1u);
}

TEST(WaitLock, ReleasingALockNotHeldTraps) {
  UseForkingDeathTests();
  Host host;
  Wdf wdf(host);
  WDFWAITLOCK lock = nullptr;
  ASSERT_EQ(
      wdf.Call<WdfWaitLockCreateTableIndex>(static_cast<PWDF_OBJECT_ATTRIBUTES>(nullptr), &lock),
      STATUS_SUCCESS);
  EXPECT_DEATH(wdf.Call<WdfWaitLockReleaseTableIndex>(lock), "is not held");
}

class Registry : public ::testing::Test {
 protected:
  NTSTATUS Open(WDFKEY* key) {
    return wdf.Call<WdfDriverOpenParametersRegistryKeyTableIndex>(
        globals().Driver, KEY_READ, static_cast<PWDF_OBJECT_ATTRIBUTES>(nullptr), key);
  }
  NTSTATUS Query(WDFKEY key, const char16_t* name, ULONG length, void* value, ULONG* queried,
                 ULONG* type) {
    UNICODE_STRING text;
    text.Buffer = const_cast<WCHAR*>(name);
    text.Length = static_cast<USHORT>(std::char_traits<char16_t>::length(name) * 2);
    text.MaximumLength = text.Length;
    return wdf.Call<WdfRegistryQueryValueTableIndex>(key, static_cast<PCUNICODE_STRING>(&text),
                                                     length, value, queried, type);
  }
  const WDF_DRIVER_GLOBALS& globals() const { return *host.WdfDriverGlobals(); }

  Host host;
  Wdf wdf{host};
};

TEST_F(Registry, QueryRules) {
  host.SetRegistryDword(u"QorQuality", 80);
  host.SetRegistryBinary(u"FlipMode", {2});
  WDFKEY key = nullptr;
  ASSERT_EQ(Open(&key), STATUS_SUCCESS);

  uint32_t quality = 0;
  ULONG queried = 0;
  ULONG type = 0;
  ASSERT_EQ(Query(key, u"QorQuality", 4, &quality, &queried, &type), STATUS_SUCCESS);
  EXPECT_EQ(quality, 80u);
  EXPECT_EQ(queried, 4u);
  EXPECT_EQ(type, REG_DWORD);

  // Names are case-insensitive; a value shorter than the buffer comes with its length.
  uint8_t wide[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  ASSERT_EQ(Query(key, u"FLIPMODE", 4, wide, &queried, &type), STATUS_SUCCESS);
  EXPECT_EQ(wide[0], 2);
  EXPECT_EQ(wide[1], 0xEE);
  EXPECT_EQ(queried, 1u);

  // Longer than the buffer: overflow, nothing copied, the length needed reported.
  uint8_t one = 0x5A;
  EXPECT_EQ(Query(key, u"QorQuality", 1, &one, &queried, &type), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(one, 0x5A);
  EXPECT_EQ(queried, 4u);

  EXPECT_EQ(Query(key, u"YV12", 1, &one, &queried, &type), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(queried, 0u);
  EXPECT_EQ(one, 0x5A);

  // The store is read at each query.
  host.DeleteRegistryValue(u"qorquality");
  EXPECT_EQ(Query(key, u"QorQuality", 4, &quality, &queried, &type), STATUS_OBJECT_NAME_NOT_FOUND);

  wdf.Call<WdfRegistryCloseTableIndex>(key);
  EXPECT_EQ(host.LiveObjectCount(), 0u);
}

TEST_F(Registry, MissingKeyAndBadArguments) {
  WDFKEY key = nullptr;
  ASSERT_EQ(Open(&key), STATUS_SUCCESS);
  UNICODE_STRING odd{3, 4, const_cast<WCHAR*>(u"ab")};
  uint8_t value = 0;
  ULONG queried = 0;
  EXPECT_EQ(wdf.Call<WdfRegistryQueryValueTableIndex>(key, static_cast<PCUNICODE_STRING>(&odd),
                                                      ULONG{1}, static_cast<PVOID>(&value),
                                                      &queried, static_cast<ULONG*>(nullptr)),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Query(key, u"x", 4, nullptr, &queried, nullptr), STATUS_INVALID_PARAMETER);
  wdf.Call<WdfObjectDeleteTableIndex>(static_cast<WDFOBJECT>(key));

  host.SetParametersKeyPresent(false);
  key = reinterpret_cast<WDFKEY>(1);
  EXPECT_EQ(Open(&key), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(wdf.Call<WdfDriverOpenParametersRegistryKeyTableIndex>(
                globals().Driver, ACCESS_MASK{0x00020006},
                static_cast<PWDF_OBJECT_ATTRIBUTES>(nullptr), &key),
            STATUS_ACCESS_DENIED);
  EXPECT_EQ(host.LiveObjectCount(), 0u);
}

TEST(DeviceProperty, AssignmentsAreRecordedInOrder) {
  Host host;
  Wdf wdf(host);
  const char16_t name[] = u"Vorn Display";
  WDF_DEVICE_PROPERTY_DATA data;
  WDF_DEVICE_PROPERTY_DATA_INIT(&data, &DEVPKEY_Device_FriendlyName);
  ASSERT_EQ(wdf.Call<WdfDeviceAssignPropertyTableIndex>(
                host.WdfDevice(), &data, DEVPROP_TYPE_STRING, ULONG{sizeof(name)},
                static_cast<PVOID>(const_cast<char16_t*>(name))),
            STATUS_SUCCESS);
  WDF_DEVICE_PROPERTY_DATA_INIT(&data, &DEVPKEY_Device_DeviceDesc);
  ASSERT_EQ(wdf.Call<WdfDeviceAssignPropertyTableIndex>(
                host.WdfDevice(), &data, DEVPROP_TYPE_STRING, ULONG{sizeof(name)},
                static_cast<PVOID>(const_cast<char16_t*>(name))),
            STATUS_SUCCESS);
  const auto all = host.PropertyAssignments();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].key, DEVPKEY_Device_FriendlyName);
  EXPECT_EQ(all[1].key, DEVPKEY_Device_DeviceDesc);
  EXPECT_EQ(all[0].type, DEVPROP_TYPE_STRING);
  EXPECT_EQ(all[0].data.size(), sizeof(name));
  ASSERT_TRUE(host.Property(DEVPKEY_Device_FriendlyName).has_value());
  EXPECT_EQ(host.Property(DEVPKEY_Device_FriendlyName)->AsString(), u"Vorn Display");

  // A string must end in its zero; an odd byte count is no string either.
  EXPECT_EQ(wdf.Call<WdfDeviceAssignPropertyTableIndex>(
                host.WdfDevice(), &data, DEVPROP_TYPE_STRING, ULONG{sizeof(name) - 2},
                static_cast<PVOID>(const_cast<char16_t*>(name))),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(wdf.Call<WdfDeviceAssignPropertyTableIndex>(
                host.WdfDevice(), &data, DEVPROP_TYPE_STRING, ULONG{3},
                static_cast<PVOID>(const_cast<char16_t*>(name))),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(host.PropertyAssignments().size(), 2u);
}

}  // namespace
}  // namespace vorn::umdf::testing
