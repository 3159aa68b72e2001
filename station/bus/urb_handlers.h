// The USB stack a child device plays for the driver above it: the URB handlers of its
// internal device-control requests. Each checks the caller's URB against its Length and its
// buffers, answers the standard requests from the module's emulated descriptors and hands
// configuration, control and data requests to the module's operations. Every error is
// reported twice: the NTSTATUS returned and a USBD status in the URB.
#pragma once

#include "platform/kernel/irp.h"
#include "platform/kernel/usb.h"

namespace vorn::station {

struct ChildPdoExtension;

// The USBD_ERROR rule: the two top bits set.
inline bool UsbdFailed(ULONG usbd_status) { return (usbd_status >> 30) == 3; }

// The smallest URB Length each function is accepted with; 0 for a function not served.
USHORT MinimumUrbLength(USHORT function);

NTSTATUS DispatchUrb(ChildPdoExtension* child, IRP* irp, URB* urb, bool* pending);
NTSTATUS FindInterfaceInfo(ChildPdoExtension* child, PVOID configuration_handle,
                           UCHAR interface_number, UCHAR alternate_setting,
                           USBD_INTERFACE_INFORMATION** out, ULONG* usbd_status);
NTSTATUS FindPipeInfo(ChildPdoExtension* child, PVOID pipe_handle,
                      USBD_INTERFACE_INFORMATION** interface_out,
                      USBD_PIPE_INFORMATION** pipe_out, ULONG* usbd_status);

NTSTATUS UrbSelectConfiguration(ChildPdoExtension* child, URB* urb);
NTSTATUS UrbSelectInterface(ChildPdoExtension* child, URB* urb);
NTSTATUS UrbPipeRequest(ChildPdoExtension* child, URB* urb, UCHAR action);
NTSTATUS UrbControlTransfer(ChildPdoExtension* child, URB* urb);
NTSTATUS UrbVendorClassRequest(ChildPdoExtension* child, URB* urb);
NTSTATUS UrbBulkOrInterruptTransfer(ChildPdoExtension* child, IRP* irp, URB* urb, bool* pending);
NTSTATUS UrbIsochTransfer(ChildPdoExtension* child, IRP* irp, URB* urb, bool* pending);
NTSTATUS UrbGetDescriptor(ChildPdoExtension* child, URB* urb);
NTSTATUS UrbGetStatus(ChildPdoExtension* child, URB* urb);

// Pipe request actions handed to a module's PipeRequest.
constexpr UCHAR kPipeActionAbort = 1;
constexpr UCHAR kPipeActionReset = 2;
constexpr UCHAR kPipeActionClearStall = 4;
constexpr UCHAR kPipeActionResetAndClearStall = 6;

}  // namespace vorn::station
