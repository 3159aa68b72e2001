// The table itself: unserved slots trap with their index, handles are checked, and handles
// of one host work through another host's table.
#include <gtest/gtest.h>

#include "tests/platform/umdf/wdf_fixture.h"

namespace vorn::umdf::testing {
namespace {

constexpr int kServed[] = {56,  59,  106, 107, 118, 119, 129, 133, 136, 148,
                           152, 153, 192, 193, 194, 203, 204, 205, 207, 211,
                           212, 217, 218, 220, 222, 225, 228, 236, 238, 239};

TEST(FunctionTable, ServedSlotsAreDistinctAndTheRestShareNothingWithThem) {
  Host host;
  const WDFFUNC* table = host.WdfFunctions();
  std::set<WDFFUNC> served;
  for (int index : kServed) served.insert(table[index]);
  EXPECT_EQ(served.size(), std::size(kServed));
  std::set<WDFFUNC> traps;
  for (int i = 0; i < WdfFunctionTableNumEntries; ++i) {
    if (std::find(std::begin(kServed), std::end(kServed), i) != std::end(kServed)) continue;
    EXPECT_EQ(served.count(table[i]), 0u) << "slot " << i;
    traps.insert(table[i]);
  }
  // Every unserved slot has a trap of its own, so the message can name it.
  EXPECT_EQ(traps.size(), WdfFunctionTableNumEntries - std::size(kServed));
}

TEST(FunctionTable, UnservedSlotTrapsWithItsIndex) {
  UseForkingDeathTests();
  Host host;
  const WDFFUNC* table = host.WdfFunctions();
  EXPECT_DEATH(table[57](), "slot 57 is not served");
  EXPECT_DEATH(table[0](), "slot 0 is not served");
  EXPECT_DEATH(table[WdfFunctionTableNumEntries - 1](), "slot 255 is not served");
}

TEST(FunctionTable, BadHandlesTrap) {
  UseForkingDeathTests();
  Host host;
  Wdf wdf(host);
  WDFWAITLOCK lock = nullptr;
  ASSERT_EQ(
      wdf.Call<WdfWaitLockCreateTableIndex>(static_cast<PWDF_OBJECT_ATTRIBUTES>(nullptr), &lock),
      STATUS_SUCCESS);
  // A lock passed where a request belongs, a deleted handle, a framework object deleted.
  EXPECT_DEATH(wdf.Call<WdfRequestGetStatusTableIndex>(reinterpret_cast<WDFREQUEST>(lock)),
               "is a WDFWAITLOCK, not a WDFREQUEST");
  wdf.Call<WdfObjectDeleteTableIndex>(static_cast<WDFOBJECT>(lock));
  EXPECT_DEATH(wdf.Call<WdfWaitLockAcquireTableIndex>(lock, static_cast<LONGLONG*>(nullptr)),
               "is not a live WDF object");
  EXPECT_DEATH(wdf.Call<WdfObjectDeleteTableIndex>(static_cast<WDFOBJECT>(host.WdfDevice())),
               "belongs to the framework");
  WDF_DRIVER_GLOBALS stranger{};
  EXPECT_DEATH(WdfSlot<WdfWaitLockCreateTableIndex>(host.WdfFunctions())(
                   &stranger, static_cast<PWDF_OBJECT_ATTRIBUTES>(nullptr), &lock),
               "not the driver globals of a live host");
}

TEST(FunctionTable, HandlesFindTheirHostThroughAnyHostsTable) {
  TestUsbDevice device_a;
  TestUsbDevice device_b;
  Host a(&device_a);
  Host b(&device_b);
  a.SetRegistryDword(u"QorQuality", 10);
  b.SetRegistryDword(u"QorQuality", 20);
  EXPECT_NE(a.WdfFunctions(), b.WdfFunctions());
  EXPECT_NE(a.WdfDriverGlobals(), b.WdfDriverGlobals());

  // A plug-in that keeps only the last table and globals it was given (b's) still reaches a's
  // objects and a's settings.
  Wdf last(b);
  WDF_USB_DEVICE_CREATE_CONFIG config;
  WDF_USB_DEVICE_CREATE_CONFIG_INIT(&config, USBD_CLIENT_CONTRACT_VERSION_602);
  WDFUSBDEVICE target_a = nullptr;
  ASSERT_EQ(last.Call<WdfUsbTargetDeviceCreateWithParametersTableIndex>(
                a.WdfDevice(), &config, static_cast<PWDF_OBJECT_ATTRIBUTES>(nullptr), &target_a),
            STATUS_SUCCESS);
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.ParentObject = target_a;
  WDFWAITLOCK lock = nullptr;
  ASSERT_EQ(last.Call<WdfWaitLockCreateTableIndex>(&attributes, &lock), STATUS_SUCCESS);
  EXPECT_EQ(a.LiveObjectCount(), 2u);
  EXPECT_EQ(b.LiveObjectCount(), 0u);

  WDFKEY key = nullptr;
  ASSERT_EQ(last.Call<WdfDriverOpenParametersRegistryKeyTableIndex>(
                a.WdfDriverGlobals()->Driver, KEY_READ,
                static_cast<PWDF_OBJECT_ATTRIBUTES>(nullptr), &key),
            STATUS_SUCCESS);
  uint32_t quality = 0;
  UNICODE_STRING name{20, 20, const_cast<WCHAR*>(u"QorQuality")};
  ASSERT_EQ(last.Call<WdfRegistryQueryValueTableIndex>(
                key, static_cast<PCUNICODE_STRING>(&name), ULONG{4}, static_cast<PVOID>(&quality),
                static_cast<ULONG*>(nullptr), static_cast<ULONG*>(nullptr)),
            STATUS_SUCCESS);
  EXPECT_EQ(quality, 10u);
  last.Call<WdfRegistryCloseTableIndex>(key);

  // Deleting the target takes the lock under it.
  last.Call<WdfObjectDeleteTableIndex>(static_cast<WDFOBJECT>(target_a));
  EXPECT_EQ(a.LiveObjectCount(), 0u);
}

}  // namespace
}  // namespace vorn::umdf::testing
