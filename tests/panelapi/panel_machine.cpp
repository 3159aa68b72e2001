#include "tests/panelapi/panel_machine.h"

#include <chrono>
#include <mutex>
#include <thread>

#include "platform/kernel/violations.h"
#include "platform/kernel/wdm.h"
#include "platform/nt/clock.h"
#include "platform/usb/bus/usb_bus.h"
#include "protocol/guids.h"
#include "station/driver_entry.h"

namespace vorn::panelapi::testing {

namespace pnp = kernel::pnp;

struct PanelMachine::Impl {
  struct Adapter {
    std::unique_ptr<chip::Chip> chip;
    DEVICE_OBJECT* pdo = nullptr;
    bool attached = false;
  };
  clock::ScopedSpeed speed{100};
  DRIVER_OBJECT* driver = nullptr;
  std::unique_ptr<usb::UsbBus> bus;
  std::vector<std::unique_ptr<Adapter>> adapters;
  mutable std::mutex lock;
  std::vector<std::string> problems;
};

namespace {
WString HardwareId(uint16_t vendor, uint16_t product) {
  char id[40];
  std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", vendor, product);
  return WString(id, id + std::strlen(id));
}

std::u16string Upper(std::u16string s) {
  for (auto& c : s)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  return s;
}

template <class F>
bool WaitReal(F done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return done();
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  return true;
}
}  // namespace

PanelMachine::PanelMachine() : impl_(std::make_unique<Impl>()) {
  kernel::registry::Reset();
  kernel::SetOsVersion(10, 0, 19045);
  Impl* impl = impl_.get();
  kernel::SetViolationHandler([impl](const std::string& v) {
    std::lock_guard<std::mutex> guard(impl->lock);
    impl->problems.push_back("kernel: " + v);
  });
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  impl_->driver = kernel::LoadDriver(u"hollin", DriverEntry, &status);
  if (!NT_SUCCESS(status)) impl_->problems.push_back("the station driver did not load");
  pnp::RegisterDriver(HardwareId(kPanelVendor, kPanelProduct), impl_->driver);
  pnp::RegisterDriver(HardwareId(kPanelVendor, kPanelProductWide), impl_->driver);
  impl_->bus = std::make_unique<usb::UsbBus>();
}

PanelMachine::~PanelMachine() {
  for (size_t i = 0; i < impl_->adapters.size(); ++i) Unplug(static_cast<int>(i));
  impl_->bus.reset();
  pnp::WaitIdle();
  kernel::WaitWorkIdle();
  if (impl_->driver) {
    pnp::UnregisterDriver(impl_->driver);
    kernel::UnloadDriver(impl_->driver);
  }
  kernel::SetViolationHandler(nullptr);
}

int PanelMachine::Attach(uint16_t product, std::u16string instance, uint16_t vendor) {
  auto a = std::make_unique<Impl::Adapter>();
  chip::ChipProfile p = chip::MakeProfile({});
  p.vendor_id = vendor;
  p.product_id = product;
  a->chip = std::make_unique<chip::Chip>(std::move(p));
  usb::AttachOptions options;
  options.instance_id = std::move(instance);
  a->pdo = impl_->bus->Attach(*a->chip, options);
  a->attached = a->pdo != nullptr;
  pnp::WaitIdle();
  const int n = static_cast<int>(impl_->adapters.size());
  impl_->adapters.push_back(std::move(a));
  if (vendor == kPanelVendor && !WaitReal([&] { return !InterfacePath(n).empty(); }))
    impl_->problems.push_back("adapter " + std::to_string(n) + " enabled no control interface");
  return n;
}

chip::Chip& PanelMachine::Adapter(int n) { return *impl_->adapters.at(n)->chip; }

std::u16string PanelMachine::InterfacePath(int n) const {
  const Impl::Adapter& a = *impl_->adapters.at(n);
  if (!a.attached) return {};
  // The link names the device by its id and instance: match it by the PDO's own.
  pnp::DevNode* node = pnp::FindNode(a.pdo);
  if (!node) return {};
  const pnp::NodeInfo info = pnp::Info(node);
  std::u16string device = Upper(info.device_id + u"\\" + info.instance_id);
  for (char16_t& c : device)
    if (c == u'\\') c = u'#';
  for (const WString& link : kernel::interfaces::Enabled(protocol::kMainControlInterfaceGuid)) {
    std::u16string path = link;
    if (path.size() > 4 && path.compare(0, 4, u"\\??\\") == 0) path[1] = u'\\';
    if (Upper(path).find(device + u"#") != std::u16string::npos) return path;
  }
  return {};
}

void PanelMachine::Unplug(int n) {
  Impl::Adapter& a = *impl_->adapters.at(n);
  if (!a.attached) return;
  impl_->bus->Detach(*a.chip);
  a.chip->Unplug();
  a.attached = false;
  pnp::WaitIdle();
}

NTSTATUS PanelMachine::Remove(int n) {
  Impl::Adapter& a = *impl_->adapters.at(n);
  pnp::DevNode* node = a.attached ? pnp::FindNode(a.pdo) : nullptr;
  if (!node) return STATUS_NO_SUCH_DEVICE;
  NTSTATUS status = pnp::Remove(node);
  pnp::WaitIdle();
  return status;
}

void PanelMachine::Settle() { pnp::WaitIdle(); }

std::vector<std::string> PanelMachine::Problems() const {
  std::vector<std::string> out;
  {
    std::lock_guard<std::mutex> guard(impl_->lock);
    out = impl_->problems;
  }
  for (size_t i = 0; i < impl_->adapters.size(); ++i)
    for (const std::string& v : impl_->adapters[i]->chip->violations().Messages())
      out.push_back("adapter " + std::to_string(i) + ": " + v);
  return out;
}

std::vector<std::string> PanelMachine::Leftovers() const {
  std::vector<std::string> out;
  pnp::WaitIdle();
  kernel::WaitWorkIdle();
  if (size_t n = kernel::irp::CheckNoneInDriver()) out.push_back(std::to_string(n) + " IRPs in a driver");
  for (const auto& [tag, count] : kernel::pool::AllOutstanding())
    out.push_back("pool tag \"" + kernel::pool::TagName(tag) + "\": " + std::to_string(count.blocks) + " blocks");
  return out;
}

}  // namespace vorn::panelapi::testing
