// The device extension of every child device the station creates for one of its functions.
// Its first fields have the layout of the station's, so dispatch routines tell the two apart
// by IsFdo (0 here). Zeroed at creation.
#pragma once

#include "platform/kernel/irp.h"
#include "platform/kernel/base.h"
#include "station/bus/function_modules.h"

namespace vorn::station {

struct ChildPdoExtension {
  DEVICE_OBJECT* DeviceObject;
  ULONG State;
  ULONG PreviousState;
  ULONG SystemPowerState;
  ULONG DevicePowerState;
  ULONG DeviceType;
  BOOLEAN IsFdo;
  BOOLEAN SurpriseRemoved;
  BOOLEAN Removed;
  DEVICE_OBJECT* ParentFdo;  // the station's device object
  WCHAR* HardwareIds;
  WCHAR* CompatibleIds;
  WCHAR* DeviceText;
  WCHAR* LocationText;
  ULONG HardwareIdsSize;
  ULONG CompatibleIdsSize;
  ULONG DeviceTextSize;
  ULONG LocationTextSize;
  UNICODE_STRING DriverKeyName;
  ULONG ChildKey;  // StationIndex << 8 | function; the low byte is the child's channel
  LIST_ENTRY ListLink;
  LONG InterfaceRefCount;
  const FunctionModuleOps* Ops;
  PVOID ModuleContext;
  ULONG LastBusTime;
  USHORT EmulatedBcdUsb;
  UCHAR InChildList;
  UCHAR Present;
  UCHAR Missing;
  UCHAR ConfigAttributes;
};

// The channel of a child: its function.
inline ULONG ChildChannel(const ChildPdoExtension* child) { return child->ChildKey & 0xFF; }

}  // namespace vorn::station
