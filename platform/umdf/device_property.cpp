// Device properties assigned on the WDF device: recorded in call order for the host model
// and the tests, nothing else reads them.
#include <cstring>

#include "platform/umdf/host_state.h"
#include "platform/umdf/operations.h"

namespace vorn::umdf {

NTSTATUS WdfDeviceAssignProperty(PWDF_DRIVER_GLOBALS globals, WDFDEVICE device,
                                 PWDF_DEVICE_PROPERTY_DATA property_data, DEVPROPTYPE type,
                                 ULONG size, PVOID data) {
  constexpr const char* kOp = "WdfDeviceAssignProperty";
  CheckGlobals(globals, kOp);
  HostState* host = Resolve<Object>(device, Kind::kDevice, kOp)->host();
  if (property_data == nullptr) return STATUS_INVALID_PARAMETER;
  if (property_data->Size != sizeof(WDF_DEVICE_PROPERTY_DATA)) return STATUS_INFO_LENGTH_MISMATCH;
  if (property_data->PropertyKey == nullptr || (data == nullptr && size != 0))
    return STATUS_INVALID_PARAMETER;
  // A string is UTF-16 code units ending in a zero.
  if (type == DEVPROP_TYPE_STRING) {
    if (size < sizeof(WCHAR) || size % sizeof(WCHAR) != 0) return STATUS_INVALID_PARAMETER;
    WCHAR last = 0;
    std::memcpy(&last, static_cast<const uint8_t*>(data) + size - sizeof(WCHAR), sizeof(WCHAR));
    if (last != 0) return STATUS_INVALID_PARAMETER;
  }
  PropertyAssignment assignment;
  assignment.key = *property_data->PropertyKey;
  assignment.lcid = property_data->Lcid;
  assignment.flags = property_data->Flags;
  assignment.type = type;
  const auto* bytes = static_cast<const uint8_t*>(data);
  assignment.data.assign(bytes, bytes + size);
  std::lock_guard<std::mutex> guard(host->lock);
  host->properties.push_back(std::move(assignment));
  return STATUS_SUCCESS;
}

}  // namespace vorn::umdf
