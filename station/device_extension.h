// The fields that the station's device extension and every child's device extension begin
// with, at the same places, so a dispatch routine can tell them apart by IsFdo alone.
#pragma once

#include <cstddef>

#include "platform/kernel/irp.h"

namespace vorn::station {

struct DeviceExtensionHead {
  DEVICE_OBJECT* DeviceObject;
  ULONG State;
  ULONG PreviousState;
  ULONG SystemPowerState;
  ULONG DevicePowerState;
  ULONG Reserved;  // the child's DeviceType
  BOOLEAN IsFdo;   // 1 in the station's extension, 0 in a child's
  BOOLEAN SurpriseRemoved;
  BOOLEAN Removed;
};
static_assert(offsetof(DeviceExtensionHead, IsFdo) == 28);
static_assert(offsetof(DeviceExtensionHead, Removed) == 30);

inline DeviceExtensionHead* ExtensionHead(DEVICE_OBJECT* device) {
  return static_cast<DeviceExtensionHead*>(device->DeviceExtension);
}
inline bool IsStationDevice(DEVICE_OBJECT* device) {
  return device->DeviceExtension && ExtensionHead(device)->IsFdo == 1;
}

}  // namespace vorn::station
