// The display function module's object for one display child: its emulated descriptors, the
// relay that turns the plug-in's bulk OUT transfers into pieces on the station's bulk-OUT
// pipe, and the four interrupt IN slots fed from the station's interrupt channel 0.
#pragma once

#include "platform/kernel/pool.h"
#include "platform/kernel/sync.h"
#include "platform/kernel/usb.h"
#include "protocol/bus_message.h"
#include "station/bus/function_modules.h"

namespace vorn::station {

inline constexpr ULONG kTagDisplayChild = PoolTag("disp");
inline constexpr ULONG kDisplayInSlots = 4;
inline constexpr ULONG kInterruptMessageBytes = 64;

struct DisplayInSlot {
  IRP* Irp;
  PVOID CallerBuffer;
  UCHAR Message[kInterruptMessageBytes];
  UCHAR InUse;  // from the wait's start until the interrupt pipe reports its end
};

struct DisplayChild {
  ChildPdoExtension* Child;
  ULONG ChildKey;
  const WCHAR* ManufacturerString;
  const WCHAR* ProductString;
  ULONG ManufacturerLength;
  ULONG ProductLength;
  UCHAR DeviceDescriptor[18];
  UCHAR* ConfigDescriptor;
  USBD_INTERFACE_INFORMATION** InterfaceList;
  KSPIN_LOCK InLock;   // the IN slots and the hand-over of OutIrp to its completion
  KSPIN_LOCK OutLock;  // serialises OUT submissions
  KMUTEX StateMutex;   // serialises Start and Stop
  protocol::BusMessageHeader SavedHeader;
  IRP* OutIrp;
  DisplayInSlot InSlots[kDisplayInSlots];
  ULONG RequestId;
  ULONG Remaining;
  USHORT ConfigTotalLength;
  UCHAR InterfaceCount;
  UCHAR Initialized;
  UCHAR Started;
  UCHAR Gone;
  // The bulk-OUT channel the outstanding OUT's piece went to (0 or the two-plane channel),
  // so a cancel withdraws it from the right one.
  UCHAR OutChannel;
};

// Size of the interface information record: three pipes.
inline constexpr USHORT kDisplayInterfaceInfoBytes =
    offsetof(USBD_INTERFACE_INFORMATION, Pipes) + 3 * sizeof(USBD_PIPE_INFORMATION);

// The module's routines (the operations table is filled by DisplayFunctionInit).
NTSTATUS DisplayCreate(PVOID* out, const ModuleCreateInfo* info);
void DisplayDestroy(PVOID ctx);
NTSTATUS DisplayStart(PVOID ctx);
void DisplayStop(PVOID ctx);
NTSTATUS DisplayGetString(PVOID ctx, ULONG* usbd_status, UCHAR index, USHORT language,
                          const WCHAR** text, ULONG* byte_length);
USBD_INTERFACE_INFORMATION** DisplayGetInterfaceList(PVOID ctx, UCHAR configuration_index,
                                                     UCHAR* count);
NTSTATUS DisplaySelectInterface(PVOID ctx, ULONG* usbd_status, UCHAR interface_number,
                                UCHAR alternate_setting);
NTSTATUS DisplayPipeRequest(PVOID ctx, ULONG* usbd_status, USBD_INTERFACE_INFORMATION* interface,
                            USBD_PIPE_INFORMATION* pipe, UCHAR* action);
NTSTATUS DisplayControlRequest(PVOID ctx, ULONG* usbd_status, ULONG transfer_flags,
                               USHORT urb_function, UCHAR request, USHORT value, USHORT index,
                               USHORT reserved, PVOID buffer, ULONG length, ULONG* transferred);
NTSTATUS DisplayBulkTransfer(PVOID ctx, IRP* irp, ULONG* usbd_status, bool* pending,
                             USBD_INTERFACE_INFORMATION* interface, USBD_PIPE_INFORMATION* pipe,
                             PVOID buffer, ULONG length, ULONG* transferred);

}  // namespace vorn::station
