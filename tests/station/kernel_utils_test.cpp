#include "station/kernel_utils.h"

#include <chrono>
#include <cstring>

#include "platform/usb/bus/usb_bus.h"
#include "tests/station/station_fixture.h"

namespace vorn::station::testing {
namespace {

using KernelUtilsTest = StationTest;

TEST_F(KernelUtilsTest, PoolBlocksAreAlwaysZeroed) {
  for (POOL_TYPE type : {NonPagedPoolNx, PagedPool}) {
    auto* block = static_cast<uint8_t*>(AllocatePool(type, 96, kTagProperty));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 96; ++i) ASSERT_EQ(block[i], 0) << i;
    ExFreePoolWithTag(block, kTagProperty);
  }
}

TEST_F(KernelUtilsTest, DelaysWaitOnTheSharedClock) {
  clock::ScopedSpeed fast(1000);
  int64_t before = clock::NowNs();
  auto real_before = std::chrono::steady_clock::now();
  DelayMilliseconds(2000);
  EXPECT_GE(clock::NowNs() - before, 2'000'000'000);
  EXPECT_LT(std::chrono::steady_clock::now() - real_before, std::chrono::seconds(1));

  before = clock::NowNs();
  DelayMicroseconds(50'000);
  EXPECT_GE(clock::NowNs() - before, 50'000'000);

  // Zero returns at once, even where waiting is not allowed.
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  DelayMilliseconds(0);
  DelayMicroseconds(0);
  KeLowerIrql(old);
}

TEST_F(KernelUtilsTest, DevicePropertiesComeTerminatedInABufferOfTheirOwn) {
  usb::UsbBus bus;
  DEVICE_OBJECT* root = bus.RootDevice();
  kernel::pnp::NodeInfo info = kernel::pnp::Info(bus.RootNode());
  ASSERT_FALSE(info.hardware_ids.empty());

  PVOID buffer = nullptr;
  ULONG length = 0, size = 0;
  ASSERT_EQ(QueryDeviceProperty(root, DevicePropertyHardwareID, &buffer, &length, &size),
            STATUS_SUCCESS);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(size, length + 2);
  EXPECT_EQ(kernel::pool::Outstanding(kTagProperty).blocks, 1);
  const auto* text = static_cast<const char16_t*>(buffer);
  EXPECT_EQ(WString(text), info.hardware_ids[0]);
  EXPECT_EQ(text[length / 2], 0);
  ExFreePoolWithTag(buffer, kTagProperty);

  // The second allocation of the buffer failing gives nothing to free.
  kernel::pool::FailNthAllocation(kTagProperty, 1);
  EXPECT_EQ(QueryDeviceProperty(root, DevicePropertyHardwareID, &buffer, &length, &size),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(buffer, nullptr);

  // A device the PnP manager does not know has no properties.
  ASSERT_EQ(Load(), STATUS_SUCCESS);
  DEVICE_OBJECT* loose = nullptr;
  ASSERT_EQ(IoCreateDevice(driver_, 64, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &loose),
            STATUS_SUCCESS);
  EXPECT_EQ(QueryDeviceProperty(loose, DevicePropertyDriverKeyName, &buffer, &length, &size),
            STATUS_UNSUCCESSFUL);
  IoDeleteDevice(loose);

  EXPECT_EQ(QueryDeviceProperty(nullptr, DevicePropertyHardwareID, &buffer, &length, &size),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(QueryDeviceProperty(root, DevicePropertyHardwareID, nullptr, &length, &size),
            STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace vorn::station::testing
