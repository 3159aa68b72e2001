#include "tools/vorn-sim/panel_station.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/kernel/violations.h"
#include "platform/kernel/wdm.h"
#include "platform/nt/clock.h"
#include "platform/usb/bus/usb_bus.h"
#include "protocol/guids.h"
#include "station/driver_entry.h"

namespace vorn::sim {

namespace {
constexpr char16_t kService[] = u"hollin";
constexpr char16_t kHardwareId[] = u"USB\\VID_3A7C&PID_0A5E";
constexpr uint16_t kPanelVendor = 0x3A7C;
constexpr uint16_t kPanelProduct = 0x0A5E;
constexpr int kWaitSeconds = 30;
}  // namespace

struct PanelStation::Impl {
  chip::Chip chip{[] {
    chip::ChipProfile p = chip::MakeProfile({});
    p.vendor_id = kPanelVendor;
    p.product_id = kPanelProduct;
    return p;
  }()};
  DRIVER_OBJECT* driver = nullptr;
  std::unique_ptr<usb::UsbBus> bus;
  bool attached = false;
  mutable std::mutex lock;
  std::vector<std::string> problems;
};

PanelStation::PanelStation() : impl_(std::make_unique<Impl>()) {}

PanelStation::~PanelStation() {
  if (impl_->attached) {
    impl_->bus->Detach(impl_->chip);
    impl_->chip.Unplug();
    kernel::pnp::WaitIdle();
  }
  impl_->bus.reset();
  kernel::pnp::WaitIdle();
  kernel::WaitWorkIdle();
  if (impl_->driver) {
    kernel::pnp::UnregisterDriver(impl_->driver);
    kernel::UnloadDriver(impl_->driver);
  }
  kernel::SetViolationHandler(nullptr);
}

bool PanelStation::Start(std::string* error) {
  kernel::registry::Reset();
  kernel::SetOsVersion(10, 0, 19045);
  Impl* impl = impl_.get();
  kernel::SetViolationHandler([impl](const std::string& v) {
    std::lock_guard<std::mutex> guard(impl->lock);
    impl->problems.push_back("kernel: " + v);
  });
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  impl_->driver = kernel::LoadDriver(kService, DriverEntry, &status);
  if (!impl_->driver) {
    char text[64];
    std::snprintf(text, sizeof text, "the station driver did not load (0x%08X)",
                  static_cast<unsigned>(status));
    *error = text;
    return false;
  }
  kernel::pnp::RegisterDriver(kHardwareId, impl_->driver);
  impl_->bus = std::make_unique<usb::UsbBus>();
  impl_->attached = impl_->bus->Attach(impl_->chip, usb::AttachOptions{}) != nullptr;
  if (!impl_->attached) {
    *error = "the adapter did not attach";
    return false;
  }
  kernel::pnp::WaitIdle();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kWaitSeconds);
  while (kernel::interfaces::Enabled(protocol::kMainControlInterfaceGuid).empty()) {
    if (std::chrono::steady_clock::now() > deadline) {
      *error = "the station enabled no control interface";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

chip::Chip& PanelStation::Adapter() { return impl_->chip; }

std::vector<std::string> PanelStation::Problems() const {
  std::vector<std::string> out;
  {
    std::lock_guard<std::mutex> guard(impl_->lock);
    out = impl_->problems;
  }
  for (const std::string& v : impl_->chip.violations().Messages()) out.push_back("adapter: " + v);
  return out;
}

}  // namespace vorn::sim
