// The device extension of every child device the station creates for one of its functions.
// Its first fields have the layout of the station's, so dispatch routines tell the two apart
// by IsFdo (0 here). Zeroed at creation.
#pragma once

#include <cstddef>

#include "platform/kernel/irp.h"
#include "platform/kernel/base.h"
#include "platform/kernel/workitem.h"
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
  // The child's own lifetime: 1 while the bus holds it, +1 for each interface reference an
  // upper driver holds. The device is deleted when it reaches 0, so an interface never
  // outlives its context. Interlocked.
  LONG LifeReferences;
  PIO_WORKITEM DeleteWorkItem;  // deletes the device when its last reference goes at raised IRQL
};
static_assert(offsetof(ChildPdoExtension, IsFdo) == 28);

// The record CreateChildPdos fills for each child it asks CreateChildPdo to make.
#pragma pack(push, 1)
struct ChildDescriptor {
  ULONG DeviceType;
  USHORT VendorId;
  USHORT ProductId;
  ULONG ChildKey;
  const WCHAR* HardwareId;
  ULONG HardwareIdLength;  // characters, without the terminator
  const WCHAR* CompatibleIds;
  ULONG CompatibleIdsLength;  // characters of the multi-string, all its NULs included
  const WCHAR* DeviceText;
  ULONG DeviceTextLength;  // characters, without the terminator
};
#pragma pack(pop)
static_assert(sizeof(ChildDescriptor) == 4 + 2 + 2 + 4 + 3 * (sizeof(void*) + 4));

// The chip functions a child can stand for (the same number is its channel).
enum ChildFunction : ULONG {
  kFunctionDisplay = 0,
  kFunctionNetwork = 2,
  kFunctionAudio = 3,
  kFunctionCamera = 4,
  kFunctionMicrophone = 8,
};

// ChildState values.
enum ChildStateValue : ULONG {
  kChildRemovedPresent = 0,  // removed while still present (or never started)
  kChildStarted = 1,
  kChildStopPending = 2,
  kChildStopped = 3,
  kChildRemovePending = 4,
  kChildSurpriseRemoved = 5,
  kChildDeleted = 7,
};

// Names a child everywhere: StationIndex << 8 | ChildFunction.
using ChildKey = ULONG;
inline ChildKey MakeChildKey(UCHAR station_index, ULONG function) {
  return ULONG{station_index} << 8 | (function & 0xFF);
}

// The channel of a child: its function.
inline ULONG ChildChannel(const ChildPdoExtension* child) { return child->ChildKey & 0xFF; }

}  // namespace vorn::station
