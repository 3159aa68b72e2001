// One display host instance as the WDF side sees it: the function table, the driver
// globals, the WDF device, the driver's Parameters registry key, the device properties the
// plug-in assigns, and the USB device its USB target binds to.
//
// The host model (sim/host) creates one Host per adapter, puts WdfFunctions(),
// WdfDriverGlobals() and WdfDevice() into the plug-in's interface block, and gives the
// plug-in nothing else of WDF. Several hosts live side by side in one process, each with its
// own table and globals. Every function of every table finds the host it works for through
// the handle it is given, so a plug-in that keeps the last table it was given still reaches
// the right host for each object.
//
// Destroying a Host deletes every object the plug-in left (stopping continuous readers
// first); its handles are dead afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/nt/status.h"
#include "platform/nt/types.h"
#include "platform/umdf/devprop.h"
#include "platform/usb/usb_device.h"

using WDFFUNC = void (*)(void);
struct WDF_DRIVER_GLOBALS;
struct WDFDEVICE__;
struct WDFDRIVER__;

namespace vorn::umdf {

class HostState;

// One assignment made through WdfDeviceAssignProperty, in call order.
struct PropertyAssignment {
  DEVPROPKEY key{};
  LCID lcid = 0;
  ULONG flags = 0;
  DEVPROPTYPE type = DEVPROP_TYPE_EMPTY;
  std::vector<uint8_t> data;

  // The data as a wide string, without the terminating zero(s) it carries.
  WString AsString() const;
};

// One value of the Parameters key.
struct RegistryValue {
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
};

class Host {
 public:
  // |device| is what the USB target binds to; it may be set later, and null makes the
  // target creation fail with STATUS_NO_SUCH_DEVICE. The device must outlive the Host or be
  // replaced before it goes away.
  explicit Host(usb::UsbDevice* device = nullptr, std::string driver_name = "VornDisplayHost");
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // What goes into the plug-in's interface block.
  const WDFFUNC* WdfFunctions() const;
  WDF_DRIVER_GLOBALS* WdfDriverGlobals() const;
  WDFDEVICE__* WdfDevice() const;
  WDFDRIVER__* WdfDriver() const;

  void SetUsbDevice(usb::UsbDevice* device);

  // The Parameters key of the driver. It exists unless removed; names are case-insensitive.
  void SetParametersKeyPresent(bool present);
  void SetRegistryValue(WStringView name, ULONG type, std::vector<uint8_t> data);
  void SetRegistryDword(WStringView name, uint32_t value);
  void SetRegistryBinary(WStringView name, std::vector<uint8_t> data);
  void SetRegistryString(WStringView name, WStringView value);  // REG_SZ with its zero
  void DeleteRegistryValue(WStringView name);
  std::optional<RegistryValue> RegistryValueOf(WStringView name) const;

  // Device properties, every assignment in order and the latest per key.
  std::vector<PropertyAssignment> PropertyAssignments() const;
  std::optional<PropertyAssignment> Property(const DEVPROPKEY& key) const;

  // For tests: objects created through the table and not yet deleted (the framework's own
  // interfaces and pipes included), and what the plug-in asked for at target creation.
  size_t LiveObjectCount() const;
  ULONG UsbClientContractVersion() const;

 private:
  std::unique_ptr<HostState> state_;
};

}  // namespace vorn::umdf
