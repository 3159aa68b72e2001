// A machine with the station driver bound to adapters on a USB bus: the driver is loaded,
// registered for the chip's hardware id, and each adapter is attached and started by the PnP
// manager. Per-station registry values and the station's extension are at hand; the test ends
// with every device removed, every pool tag of the station back at zero and no IRP left in a
// driver.
#pragma once

#include <chrono>
#include <memory>
#include <thread>

#include "platform/kernel/wdm.h"
#include "platform/usb/bus/usb_bus.h"
#include "sim/chip/chip.h"
#include "station/registry.h"
#include "station/station_start.h"
#include "tests/station/station_fixture.h"

namespace vorn::station::testing {

inline constexpr char16_t kChipHardwareId[] = u"USB\\VID_3A5C&PID_0101";

inline const ULONG kStationTags[] = {
    kTagConfiguration, kTagInterfaceInfo, kTagSelect,   kTagRelations, kTagString,
    kTagStringUrb,     kTagDriverKey,     kTagNaming,   PoolTag("epc_"), PoolTag("ctrl"),
    PoolTag("epii"),   PoolTag("epbi"),   PoolTag("epbo"), kTagProperty,
};

class StationMachineTest : public StationTest {
 protected:
  void TearDown() override {
    bus_.reset();
    kernel::pnp::WaitIdle();
    kernel::WaitWorkIdle();
    EXPECT_EQ(kernel::irp::CheckNoneInDriver(), 0u);
    for (ULONG tag : kStationTags)
      EXPECT_EQ(kernel::pool::Outstanding(tag).blocks, 0) << kernel::pool::TagName(tag);
    if (driver_) kernel::pnp::UnregisterDriver(driver_);
    StationTest::TearDown();
  }

  // Loads the driver (after the test set its Parameters) and binds it to the chip's id.
  void Boot() {
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    kernel::pnp::RegisterDriver(kChipHardwareId, driver_);
  }

  // Attaches |device| and waits until the PnP manager has started it.
  kernel::pnp::DevNode* Attach(usb::UsbDevice& device, WString instance = u"") {
    if (!bus_) bus_ = std::make_unique<usb::UsbBus>();
    usb::AttachOptions options;
    options.instance_id = std::move(instance);
    DEVICE_OBJECT* pdo = bus_->Attach(device, options);
    EXPECT_NE(pdo, nullptr);
    kernel::pnp::WaitIdle();
    return pdo ? kernel::pnp::FindNode(pdo) : nullptr;
  }

  static StationExtension* Ext(kernel::pnp::DevNode* node) {
    DEVICE_OBJECT* top = kernel::pnp::Top(node);
    return IsStationDevice(top) ? Station(top) : nullptr;
  }

  static WString StationKey(ULONG index) {
    char16_t key[kStationKeyChars];
    FormatStationKey(index, key);
    return ServicePath() + u"\\" + key;
  }
  static ULONG StationDword(ULONG index, WStringView name) {
    ULONG v = 0xDEADBEEF;
    kernel::registry::GetDword(StationKey(index), name, &v);
    return v;
  }
  static ULONG ErrorCode() {
    ULONG v = 0xDEADBEEF;
    kernel::registry::GetDword(ParametersPath(), u"ErrorCode", &v);
    return v;
  }
  // The values written to one per-station DWORD, oldest first.
  static std::vector<ULONG> Steps(ULONG index, WStringView name) {
    std::vector<ULONG> out;
    WString key = StationKey(index);
    for (const auto& w : kernel::registry::History())
      if (w.kind == kernel::registry::Write::kSetValue && EqualNoCase(w.key, key) &&
          EqualNoCase(w.name, name) && w.value.data.size() == 4) {
        ULONG v;
        std::memcpy(&v, w.value.data.data(), 4);
        out.push_back(v);
      }
    return out;
  }

  // Waits for |done|, up to 30 s of real time (the worker runs on its own thread).
  template <class F>
  static bool WaitFor(F done) {
    for (int i = 0; i < 30000 && !done(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
  }

  // Fast enough that the worker's 1.5 s loop and the 2 s transfer time-outs pass quickly, slow
  // enough that a 2 s time-out (20 ms of real time) never fires on a busy machine while the
  // bus is still delivering.
  clock::ScopedSpeed speed_{100};
  std::unique_ptr<usb::UsbBus> bus_;
};

}  // namespace vorn::station::testing
