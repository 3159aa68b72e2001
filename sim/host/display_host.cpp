#include "sim/host/display_host.h"

#include <dlfcn.h>

#include <cstring>
#include <atomic>
#include <map>

#include "platform/nt/clock.h"

namespace vorn::host {
namespace {

// AcquireDisplay and ReleaseDisplay are plain functions; the adapter behind a call is found
// by the WDF device in the display block, and a context by the adapter that handed it out.
std::mutex g_registry_lock;
std::map<WDFDEVICE__*, Adapter*> g_by_device;
std::map<ULONG_PTR, Adapter*> g_by_context;

ULONG_PTR AcquireDisplayThunk(DisplayInterface* display) {
  Adapter* adapter = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_registry_lock);
    auto it = display ? g_by_device.find(display->WdfDevice) : g_by_device.end();
    if (it != g_by_device.end()) adapter = it->second;
  }
  if (!adapter) return 0;
  ULONG_PTR context = adapter->OnAcquire(display);
  if (context) {
    std::lock_guard<std::mutex> guard(g_registry_lock);
    g_by_context[context] = adapter;
  }
  return context;
}

void ReleaseDisplayThunk(ULONG_PTR context) {
  Adapter* adapter = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_registry_lock);
    auto it = g_by_context.find(context);
    if (it != g_by_context.end()) {
      adapter = it->second;
      g_by_context.erase(it);
    }
  }
  if (adapter) adapter->OnRelease(context);
}

// Contexts are unique in the process, so a context of one adapter never names another's.
ULONG_PTR NextContext() {
  static std::atomic<ULONG_PTR> next{0x100};
  return next.fetch_add(0x10);
}

}  // namespace

Adapter::Adapter(PFN_OPEN_SORVIK_DEVICE open, usb::UsbDevice* device, InterfaceVersion version)
    : open_(open),
      wdf_(std::make_unique<umdf::Host>(device)),
      block_(std::make_unique<SorvikDeviceInterface>()),
      version_(version) {
  std::lock_guard<std::mutex> guard(g_registry_lock);
  g_by_device[wdf_->WdfDevice()] = this;
}

Adapter::~Adapter() {
  if (handle_) Close();
  std::lock_guard<std::mutex> guard(g_registry_lock);
  g_by_device.erase(wdf_->WdfDevice());
  for (auto it = g_by_context.begin(); it != g_by_context.end();)
    it = it->second == this ? g_by_context.erase(it) : std::next(it);
}

bool Adapter::Open() {
  if (handle_) return true;
  *block_ = SorvikDeviceInterface{};
  block_->VersionMajor = version_.major;
  block_->VersionMinor = version_.minor;
  block_->WdfDevice = wdf_->WdfDevice();
  block_->AcquireDisplay = &AcquireDisplayThunk;
  block_->ReleaseDisplay = &ReleaseDisplayThunk;
  block_->WdfFunctions = wdf_->WdfFunctions();
  block_->WdfDriverGlobals = wdf_->WdfDriverGlobals();
  handle_ = open_(block_.get());
  return handle_ != nullptr;
}

SorvikDevice* Adapter::OpenWithoutBlock() { return open_(nullptr); }

SorvikDevice* Adapter::OpenWithBlock(bool with_table, bool with_globals) {
  SorvikDeviceInterface block{};
  block.VersionMajor = version_.major;
  block.VersionMinor = version_.minor;
  block.WdfDevice = wdf_->WdfDevice();
  block.AcquireDisplay = &AcquireDisplayThunk;
  block.ReleaseDisplay = &ReleaseDisplayThunk;
  block.WdfFunctions = with_table ? wdf_->WdfFunctions() : nullptr;
  block.WdfDriverGlobals = with_globals ? wdf_->WdfDriverGlobals() : nullptr;
  SorvikDevice* device = open_(&block);
  if (device) {
    // Not expected; keep it so the adapter is closed properly.
    *block_ = block;
    handle_ = device;
  }
  return device;
}

NTSTATUS Adapter::Start() {
  if (!handle_ || !block_->Start) return STATUS_INVALID_DEVICE_STATE;
  return block_->Start(handle_);
}

NTSTATUS Adapter::PowerEvent(ULONG type) {
  if (!handle_ || !block_->PowerEvent) return STATUS_INVALID_DEVICE_STATE;
  return block_->PowerEvent(handle_, type);
}

NTSTATUS Adapter::Close() {
  if (!handle_ || !block_->Close) return STATUS_INVALID_DEVICE_STATE;
  NTSTATUS status = block_->Close(handle_);
  handle_ = nullptr;
  return status;
}

void Adapter::SetRefuseDisplays(bool refuse) {
  std::lock_guard<std::mutex> guard(lock_);
  refuse_ = refuse;
}

void Adapter::SetTargetId(ULONG id) {
  std::lock_guard<std::mutex> guard(lock_);
  target_id_ = id;
}

std::vector<DisplayRecord> Adapter::Displays() const {
  std::lock_guard<std::mutex> guard(lock_);
  return displays_;
}

size_t Adapter::HeldDisplays() const {
  std::lock_guard<std::mutex> guard(lock_);
  size_t n = 0;
  for (const DisplayRecord& d : displays_)
    if (d.context && !d.released) ++n;
  return n;
}

ULONG_PTR Adapter::OnAcquire(DisplayInterface* display) {
  std::lock_guard<std::mutex> guard(lock_);
  DisplayRecord record;
  record.live = display;
  record.context = refuse_ ? 0 : NextContext();
  record.acquired_ns = clock::NowNs();
  display->TargetID = target_id_++;
  std::memcpy(&record.block, display, sizeof(DisplayInterface));
  if (display->EdidBuffer && display->EdidSize) {
    const uint8_t* edid = display->EdidBuffer;
    record.edid.assign(edid, edid + display->EdidSize);
  }
  displays_.push_back(record);
  return record.context;
}

DisplayInterface* Adapter::HeldDisplay(size_t n) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (const DisplayRecord& d : displays_)
    if (d.context && !d.released && n-- == 0) return const_cast<DisplayInterface*>(d.live);
  return nullptr;
}

NTSTATUS Adapter::GetModes(DisplayInterface* display, std::vector<TargetMode>* modes) {
  if (!display || !display->GetModes) return STATUS_INVALID_PARAMETER;
  TargetMode* array = nullptr;
  ULONG count = 0;
  NTSTATUS status = display->GetModes(display->Context, &array, &count);
  if (modes) modes->assign(array, array ? array + count : array);
  return status;
}

NTSTATUS Adapter::SetMode(DisplayInterface* display, ULONG width, ULONG height, ULONG refresh,
                          ULONG bits_per_pixel) {
  if (!display || !display->SetMode) return STATUS_INVALID_PARAMETER;
  const HostMode mode{width, height, refresh, bits_per_pixel};
  return display->SetMode(display->Context, &mode);
}

NTSTATUS Adapter::Present(DisplayInterface* display, const void* surface, ULONG pitch,
                          const std::vector<HostRect>& rects) {
  if (!display || !display->Present) return STATUS_INVALID_PARAMETER;
  const HostUpdate update{surface, pitch, static_cast<ULONG>(rects.size()),
                          rects.empty() ? nullptr : rects.data()};
  return display->Present(display->Context, &update);
}

NTSTATUS Adapter::UpdateCursor(DisplayInterface* display, const HostCursor& cursor) {
  if (!display || !display->UpdateCursor) return STATUS_INVALID_PARAMETER;
  return display->UpdateCursor(display->Context, &cursor);
}

NTSTATUS Adapter::SetGamma(DisplayInterface* display, const void* ramp) {
  if (!display) return STATUS_INVALID_PARAMETER;
  if (!display->SetGamma) return STATUS_NOT_SUPPORTED;
  return display->SetGamma(display->Context, ramp);
}

void Adapter::OnRelease(ULONG_PTR context) {
  std::lock_guard<std::mutex> guard(lock_);
  for (DisplayRecord& d : displays_)
    if (d.context == context && !d.released) {
      d.released = true;
      d.released_ns = clock::NowNs();
      return;
    }
}

std::unique_ptr<DisplayHost> DisplayHost::Load(const std::string& path, std::string* error) {
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    if (error) *error = dlerror();
    return nullptr;
  }
  auto open = reinterpret_cast<PFN_OPEN_SORVIK_DEVICE>(dlsym(module, kOpenSorvikDeviceName));
  if (!open) {
    if (error) *error = std::string("no ") + kOpenSorvikDeviceName + " in " + path;
    dlclose(module);
    return nullptr;
  }
  return std::unique_ptr<DisplayHost>(new DisplayHost(module, open));
}

DisplayHost::DisplayHost(PFN_OPEN_SORVIK_DEVICE open) : open_(open) {}
DisplayHost::DisplayHost(void* module, PFN_OPEN_SORVIK_DEVICE open) : module_(module), open_(open) {}

DisplayHost::~DisplayHost() {
  adapters_.clear();
  if (module_) dlclose(module_);
}

Adapter& DisplayHost::AddAdapter(usb::UsbDevice* device, InterfaceVersion version) {
  adapters_.push_back(std::make_unique<Adapter>(open_, device, version));
  return *adapters_.back();
}

void DisplayHost::RemoveAdapter(Adapter& adapter) {
  for (auto it = adapters_.begin(); it != adapters_.end(); ++it)
    if (it->get() == &adapter) {
      adapters_.erase(it);
      return;
    }
}

Adapter* DisplayHost::OpenAdapter(usb::UsbDevice* device, InterfaceVersion version) {
  Adapter& adapter = AddAdapter(device, version);
  return adapter.Open() ? &adapter : nullptr;
}

}  // namespace vorn::host
