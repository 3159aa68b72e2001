// What one Host holds behind its public face: the table, the globals, the two root objects
// (driver and WDF device), the Parameters key's values, the property record and the USB
// device the targets bind to.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/umdf/host.h"
#include "platform/umdf/object.h"
#include "platform/umdf/wdf.h"

namespace vorn::umdf {

class HostState {
 public:
  HostState(usb::UsbDevice* device, const std::string& driver_name);
  ~HostState();
  HostState(const HostState&) = delete;
  HostState& operator=(const HostState&) = delete;

  WDFFUNC table[WdfFunctionTableNumEntries];
  WDF_DRIVER_GLOBALS globals{};
  Object* driver = nullptr;
  Object* device = nullptr;

  // Guards everything below.
  mutable std::mutex lock;
  usb::UsbDevice* usb_device = nullptr;
  bool parameters_present = true;
  std::map<WString, RegistryValue> values;  // by case-folded name
  std::vector<PropertyAssignment> properties;
  ULONG contract_version = 0;
};

// Registry value names compare without regard to (ASCII) case.
WString FoldName(WStringView name);

// Every served slot at its index, every other slot a trap naming its index.
void FillFunctionTable(WDFFUNC* table);

}  // namespace vorn::umdf
