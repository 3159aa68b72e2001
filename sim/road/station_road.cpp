#include "sim/road/station_road.h"

#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "platform/kernel/violations.h"
#include "platform/kernel/wdm.h"
#include "platform/usb/bus/child_usb_device.h"
#include "platform/usb/bus/usb_bus.h"
#include "station/driver_entry.h"

namespace vorn::sim {

namespace {
constexpr char16_t kService[] = u"hollin";
constexpr char16_t kUpperService[] = u"vornhostupper";
constexpr int kWaitSeconds = 30;

WString HardwareId(uint16_t vendor, uint16_t product) {
  char text[32];
  std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X", vendor, product);
  WString out;
  for (const char* p = text; *p; ++p) out += static_cast<char16_t>(*p);
  return out;
}

std::string Hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

// The station driver's entry as its own module exports it. A program may also hold the
// display plug-in's objects, whose framework entry has the same name and would take the
// place of the station's in a plain reference; the loader's view of the station's module
// finds the right one.
PDRIVER_INITIALIZE StationEntry() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&station::StationUnload), &info) || !info.dli_fname)
    return &DriverEntry;
  void* module = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
  if (!module) return &DriverEntry;
  void* entry = dlsym(module, "DriverEntry");
  dlclose(module);  // still loaded: the program links it
  return entry ? reinterpret_cast<PDRIVER_INITIALIZE>(entry) : &DriverEntry;
}

template <class F>
bool WaitFor(F done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kWaitSeconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}
}  // namespace

struct StationRoad::Impl {
  chip::Chip* chip = nullptr;
  DRIVER_OBJECT* driver = nullptr;
  std::unique_ptr<usb::ChildUsbDriver> upper;
  std::unique_ptr<usb::UsbBus> bus;
  kernel::pnp::DevNode* node = nullptr;
  bool removed = false;

  mutable std::mutex lock;
  usb::ChildUsbDevice* child = nullptr;
  std::function<void()> leaving;
  std::vector<std::string> problems;
  std::vector<std::string> leftovers;
};

StationRoad::StationRoad() : impl_(std::make_unique<Impl>()) {}

StationRoad::~StationRoad() { Remove(); }

bool StationRoad::Start(chip::Chip& chip, std::string* error) {
  auto fail = [&](std::string what) {
    if (error) *error = std::move(what);
    return false;
  };
  if (impl_->chip) return fail("the station road was already started");
  impl_->chip = &chip;
  chip.UseStationBulkOut(true);
  chip.functions().SetFunction(0, kDisplayChildVendor, kDisplayChildProduct, u"Display");

  kernel::registry::Reset();
  kernel::SetOsVersion(10, 0, 19045);
  Impl* impl = impl_.get();
  kernel::SetViolationHandler([impl](const std::string& v) {
    std::lock_guard<std::mutex> guard(impl->lock);
    impl->problems.push_back("kernel: " + v);
  });
  // Child devices on, as an installer sets it before the driver loads.
  const ULONG support = 1;
  kernel::registry::SetValue(WString(kernel::registry::kServicesPath) + u"\\" + kService + u"\\Parameters",
                             u"SupportPDOs", REG_DWORD, &support, sizeof support);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  impl_->driver = kernel::LoadDriver(kService, StationEntry(), &status);
  if (!impl_->driver) return fail("the station driver did not load (" + Hex(static_cast<uint32_t>(status)) + ")");
  kernel::pnp::RegisterDriver(HardwareId(chip.profile().vendor_id, chip.profile().product_id), impl_->driver);

  impl_->upper = std::make_unique<usb::ChildUsbDriver>(
      kUpperService, HardwareId(kDisplayChildVendor, kDisplayChildProduct),
      [impl](usb::ChildUsbDevice* d) {
        std::lock_guard<std::mutex> guard(impl->lock);
        impl->child = d;
      },
      [impl](usb::ChildUsbDevice*) {
        std::function<void()> leaving;
        {
          std::lock_guard<std::mutex> guard(impl->lock);
          leaving = impl->leaving;
        }
        // The host lets go of the device before it is deleted.
        if (leaving) leaving();
        std::lock_guard<std::mutex> guard(impl->lock);
        impl->child = nullptr;
      });
  if (!impl_->upper->driver()) return fail("the host's upper driver did not load");

  impl_->bus = std::make_unique<usb::UsbBus>();
  DEVICE_OBJECT* pdo = impl_->bus->Attach(chip);
  if (!pdo) return fail("the adapter did not attach to the bus");
  kernel::pnp::WaitIdle();
  impl_->node = kernel::pnp::FindNode(pdo);
  if (!WaitFor([impl] {
        std::lock_guard<std::mutex> guard(impl->lock);
        return impl->child != nullptr;
      }))
    return fail("the station handed over no display child");
  return true;
}

usb::UsbDevice* StationRoad::Device() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->child;
}

void StationRoad::OnLeaving(std::function<void()> leaving) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->leaving = std::move(leaving);
}

bool StationRoad::Remove() {
  Impl& r = *impl_;
  if (!r.chip || r.removed) return r.leftovers.empty();
  r.removed = true;
  if (r.node) {
    const NTSTATUS status = kernel::pnp::Remove(r.node);
    if (!NT_SUCCESS(status)) {
      std::lock_guard<std::mutex> guard(r.lock);
      r.problems.push_back("the station's removal failed: " + Hex(static_cast<uint32_t>(status)));
    }
    kernel::pnp::WaitIdle();
  }
  r.bus.reset();
  kernel::pnp::WaitIdle();
  kernel::WaitWorkIdle();
  r.upper.reset();
  if (r.driver) {
    kernel::pnp::UnregisterDriver(r.driver);
    kernel::UnloadDriver(r.driver);
    r.driver = nullptr;
  }
  std::vector<std::string> left;
  for (const kernel::irp::Info& i : kernel::irp::InDriver())
    left.push_back("an IRP (major " + std::to_string(i.major) + ", minor " + std::to_string(i.minor) +
                   ") still in a driver");
  for (const auto& [tag, count] : kernel::pool::AllOutstanding())
    left.push_back("pool tag \"" + kernel::pool::TagName(tag) + "\": " + std::to_string(count.blocks) +
                   " blocks, " + std::to_string(count.bytes) + " bytes");
  kernel::SetViolationHandler(nullptr);
  std::lock_guard<std::mutex> guard(r.lock);
  r.child = nullptr;
  r.leftovers = std::move(left);
  return r.leftovers.empty();
}

std::vector<std::string> StationRoad::Leftovers() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->leftovers;
}

std::vector<std::string> StationRoad::Problems() const {
  std::vector<std::string> out;
  {
    std::lock_guard<std::mutex> guard(impl_->lock);
    out = impl_->problems;
  }
  if (impl_->chip)
    for (const std::string& v : impl_->chip->violations().Messages()) out.push_back("adapter: " + v);
  return out;
}

}  // namespace vorn::sim
