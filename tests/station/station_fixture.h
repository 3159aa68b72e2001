// A loaded station driver on a fresh kernel registry, and the checks every station test ends
// with: no kernel rule broken, no pool block of any tag left, no handle left open.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/kernel/violations.h"
#include "platform/kernel/wdm.h"
#include "platform/nt/clock.h"
#include "station/driver_entry.h"
#include "station/driver_globals.h"
#include "station/pool_tags.h"

namespace vorn::station::testing {

inline constexpr char16_t kServiceName[] = u"hollin";

inline WString ServicePath() {
  return WString(kernel::registry::kServicesPath) + u"\\" + kServiceName;
}
inline WString ParametersPath() { return ServicePath() + u"\\Parameters"; }

class StationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kernel::registry::Reset();
    kernel::SetOsVersion(10, 0, 19045);
    kernel::SetViolationHandler([](const std::string& v) { ADD_FAILURE() << "kernel: " << v; });
    handles_ = kernel::OpenHandleCount();
  }

  void TearDown() override {
    if (driver_) Unload();
    // Every tag, the kernel's own ("Irp ", "Mdl ", "IoWk", "USBD", ...) as well as the
    // driver's, is back at zero.
    for (const auto& [tag, count] : kernel::pool::AllOutstanding())
      ADD_FAILURE() << "pool tag \"" << kernel::pool::TagName(tag) << "\": " << count.blocks
                    << " blocks, " << count.bytes << " bytes outstanding";
    EXPECT_EQ(kernel::OpenHandleCount(), handles_);
    kernel::SetViolationHandler(nullptr);
    kernel::SetOsVersion(10, 0, 19045);
  }

  // Loads the driver through the kernel, as at boot.
  NTSTATUS Load(PDRIVER_INITIALIZE entry = DriverEntry) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = kernel::LoadDriver(kServiceName, entry, &status);
    return status;
  }
  void Unload() {
    kernel::UnloadDriver(driver_);
    driver_ = nullptr;
  }

  // A Parameters value set before the driver loads, as an installer would leave it.
  void SetParameter(WStringView name, ULONG type, const void* data, size_t size) {
    kernel::registry::SetValue(ParametersPath(), name, type, data, size);
  }

  DRIVER_OBJECT* driver_ = nullptr;
  size_t handles_ = 0;
};

}  // namespace vorn::station::testing
