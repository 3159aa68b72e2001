// One host instance: its table, globals and root objects, the Parameters store and the
// property record; and object deletion, which every kind shares.
#include "platform/umdf/host.h"

#include <algorithm>
#include <cstring>

#include "platform/umdf/host_state.h"
#include "platform/umdf/operations.h"

namespace vorn::umdf {
namespace {

// The two roots of a host's object tree. Neither can be deleted through the table.
class RootObject : public Object {
 public:
  RootObject(HostState* host, Kind kind) : Object(host, kind, false) {}
};

}  // namespace

HostState::HostState(usb::UsbDevice* device, const std::string& driver_name) : usb_device(device) {
  FillFunctionTable(table);
  driver = new RootObject(this, Kind::kDriver);
  this->device = new RootObject(this, Kind::kDevice);
  Register(driver, nullptr);
  Register(this->device, nullptr);
  globals.Driver = HandleOf<WDFDRIVER>(driver);
  globals.DriverTag = 0x6e726f56;  // "Vorn"
  std::strncpy(globals.DriverName, driver_name.c_str(), sizeof(globals.DriverName) - 1);
  RegisterGlobals(&globals, this);
}

HostState::~HostState() {
  // Readers stop inside the deletion and their routines may still call through the table:
  // the globals stay valid until every object is gone.
  DeleteTree(device);
  DeleteTree(driver);
  UnregisterGlobals(&globals);
}

void WdfObjectDelete(PWDF_DRIVER_GLOBALS globals, WDFOBJECT object) {
  constexpr const char* kOp = "WdfObjectDelete";
  CheckGlobals(globals, kOp);
  Object* found = Lookup(object);
  if (found == nullptr) Trap("%s: %p is not a live WDF object", kOp, object);
  if (!found->caller_owned())
    Trap("%s: a %s belongs to the framework and cannot be deleted", kOp, KindName(found->kind()));
  DeleteTree(found);
}

WString PropertyAssignment::AsString() const {
  WString text(data.size() / sizeof(WCHAR), u'\0');
  if (!text.empty()) std::memcpy(text.data(), data.data(), text.size() * sizeof(WCHAR));
  while (!text.empty() && text.back() == u'\0') text.pop_back();
  return text;
}

Host::Host(usb::UsbDevice* device, std::string driver_name)
    : state_(std::make_unique<HostState>(device, driver_name)) {}

Host::~Host() = default;

const WDFFUNC* Host::WdfFunctions() const { return state_->table; }
WDF_DRIVER_GLOBALS* Host::WdfDriverGlobals() const { return &state_->globals; }
WDFDEVICE__* Host::WdfDevice() const { return HandleOf<WDFDEVICE>(state_->device); }
WDFDRIVER__* Host::WdfDriver() const { return HandleOf<WDFDRIVER>(state_->driver); }

void Host::SetUsbDevice(usb::UsbDevice* device) {
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->usb_device = device;
}

void Host::SetParametersKeyPresent(bool present) {
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->parameters_present = present;
}

void Host::SetRegistryValue(WStringView name, ULONG type, std::vector<uint8_t> data) {
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->values[FoldName(name)] = RegistryValue{type, std::move(data)};
}

void Host::SetRegistryDword(WStringView name, uint32_t value) {
  std::vector<uint8_t> data(sizeof(value));
  std::memcpy(data.data(), &value, sizeof(value));
  SetRegistryValue(name, REG_DWORD, std::move(data));
}

void Host::SetRegistryBinary(WStringView name, std::vector<uint8_t> data) {
  SetRegistryValue(name, REG_BINARY, std::move(data));
}

void Host::SetRegistryString(WStringView name, WStringView value) {
  std::vector<uint8_t> data((value.size() + 1) * sizeof(WCHAR), 0);
  if (!value.empty()) std::memcpy(data.data(), value.data(), value.size() * sizeof(WCHAR));
  SetRegistryValue(name, REG_SZ, std::move(data));
}

void Host::DeleteRegistryValue(WStringView name) {
  std::lock_guard<std::mutex> guard(state_->lock);
  state_->values.erase(FoldName(name));
}

std::optional<RegistryValue> Host::RegistryValueOf(WStringView name) const {
  std::lock_guard<std::mutex> guard(state_->lock);
  auto found = state_->values.find(FoldName(name));
  if (found == state_->values.end()) return std::nullopt;
  return found->second;
}

std::vector<PropertyAssignment> Host::PropertyAssignments() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->properties;
}

std::optional<PropertyAssignment> Host::Property(const DEVPROPKEY& key) const {
  std::lock_guard<std::mutex> guard(state_->lock);
  auto& all = state_->properties;
  auto found = std::find_if(all.rbegin(), all.rend(),
                            [&key](const PropertyAssignment& a) { return a.key == key; });
  if (found == all.rend()) return std::nullopt;
  return *found;
}

size_t Host::LiveObjectCount() const { return CountCallerOwned(state_.get()); }

ULONG Host::UsbClientContractVersion() const {
  std::lock_guard<std::mutex> guard(state_->lock);
  return state_->contract_version;
}

}  // namespace vorn::umdf
