// The display function module: the display child looks like a vendor-class USB device with
// one interface and three endpoints (bulk IN 0x81, refused; bulk OUT 0x02; interrupt IN
// 0x83). Bulk OUT transfers are relayed into the station's bulk-OUT pipe as message pieces,
// interrupt reads are served from the station's interrupt channel 0, vendor and class
// requests go to the chip through the control pipe.
//
// Hand-over of an IRP: the IRP pointer lives in OutIrp or in an IN slot; whoever exchanges it
// out under InLock completes it. The OUT cancel routine never completes: it withdraws the
// piece from the bulk-OUT pipe, whose report (cancelled) then completes the IRP, so the pipe
// never reads a buffer whose request has completed.
#include <cstring>

#include "station/bus/child_pdo_extension.h"
#include "station/bus/display_child_module.h"
#include "station/bus/station_services.h"
#include "station/bus/urb_handlers.h"
#include "station/kernel_utils.h"

namespace vorn::station {
namespace {

StationServiceTable g_Services;

constexpr ULONG kHeaderBytes = protocol::kBusMessageHeaderSize;
constexpr UCHAR kTypeSlices = 0;
constexpr UCHAR kTypeTwoPlane = 7;
constexpr UCHAR kTwoPlaneBulkChannel = 7;
constexpr LONGLONG kControlTimeout = -20'000'000;  // 2 s, relative

constexpr WCHAR kConfigurationText[] = u"Vorn Display Configuration\0\0";
constexpr WCHAR kInterfaceText[] = u"Vorn Display Interface\0\0";
constexpr WCHAR kUnknownText[] = u"Unknown String\0\0";

const UCHAR kHighSpeedConfig[] = {
    0x09, 0x02, 0x27, 0x00, 0x01, 0x01, 0x03, 0x80, 0x78,  // configuration
    0x09, 0x04, 0x00, 0x00, 0x03, 0xFF, 0x00, 0x00, 0x04,  // interface 0
    0x07, 0x05, 0x81, 0x02, 0x00, 0x02, 0x00,              // bulk IN 0x81
    0x07, 0x05, 0x02, 0x02, 0x00, 0x02, 0x00,              // bulk OUT 0x02
    0x07, 0x05, 0x83, 0x03, 0x40, 0x00, 0x08,              // interrupt IN 0x83
};
const UCHAR kSuperSpeedConfig[] = {
    0x09, 0x02, 0x39, 0x00, 0x01, 0x01, 0x03, 0x80, 0x1E,
    0x09, 0x04, 0x00, 0x00, 0x03, 0xFF, 0x00, 0x00, 0x04,
    0x07, 0x05, 0x81, 0x02, 0x00, 0x04, 0x00, 0x06, 0x30, 0x0F, 0x00, 0x00, 0x00,
    0x07, 0x05, 0x02, 0x02, 0x00, 0x04, 0x00, 0x06, 0x30, 0x0F, 0x00, 0x00, 0x00,
    0x07, 0x05, 0x83, 0x03, 0x40, 0x00, 0x05, 0x06, 0x30, 0x0F, 0x00, 0x00, 0x00,
};
static_assert(sizeof kHighSpeedConfig == 39 && sizeof kSuperSpeedConfig == 57);

DisplayChild* Object(PVOID ctx) { return static_cast<DisplayChild*>(ctx); }

URB* UrbOf(IRP* irp) {
  return static_cast<URB*>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
}

void SetUrbStatus(IRP* irp, ULONG usbd_status) {
  UrbOf(irp)->UrbHeader.Status = static_cast<USBD_STATUS>(usbd_status);
}

void UnmarkPending(IRP* irp) { IoGetCurrentIrpStackLocation(irp)->Control &= ~SL_PENDING_RETURNED; }

// Completes an IRP this side has taken out of OutIrp or a slot. When the cancel routine has
// already been taken, it is running or has run; it cannot find the IRP any more, and waiting
// for the cancel spin lock lets it finish before the IRP goes.
void CompleteTaken(IRP* irp, NTSTATUS status, ULONG usbd_status) {
  if (!IoSetCancelRoutine(irp, nullptr)) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoReleaseCancelSpinLock(irql);
  }
  SetUrbStatus(irp, usbd_status);
  CompleteIrp(irp, status, 0);
}

bool Failed(NTSTATUS status, ULONG usbd_status) {
  return !NT_SUCCESS(status) || UsbdFailed(usbd_status);
}

void ResetRelay(DisplayChild* d) {
  d->Remaining = 0;
  d->SavedHeader = protocol::BusMessageHeader{};
}

void DisplayOutComplete(PVOID context, IRP* irp, ULONG, ULONG, ULONG data_bytes, NTSTATUS status,
                        ULONG usbd_status) {
  DisplayChild* d = Object(context);
  KIRQL irql;
  KeAcquireSpinLock(&d->InLock, &irql);
  bool taken = d->OutIrp == irp;
  if (taken) {
    d->OutIrp = nullptr;
    if (d->SavedHeader.Type == kTypeSlices) d->SavedHeader.Slice.SliceOffset += data_bytes;
    if (Failed(status, usbd_status)) {
      // The message cannot go on: the next transfer starts a new one.
      ResetRelay(d);
      if (status != STATUS_CANCELLED) d->Gone = 1;
    }
  }
  KeReleaseSpinLock(&d->InLock, irql);
  if (!taken) return;
  if (status == STATUS_CANCELLED) usbd_status = static_cast<ULONG>(USBD_STATUS_CANCELED);
  CompleteTaken(irp, status, usbd_status);
}

void DisplayOutCancel(DEVICE_OBJECT* device, IRP* irp) {
  KIRQL cancel_irql = irp->CancelIrql;
  auto* child = static_cast<ChildPdoExtension*>(device->DeviceExtension);
  DisplayChild* d = Object(g_Services.GetModuleContext(child));
  ULONG id = 0;
  UCHAR channel = 0;
  if (d) {
    KIRQL irql;
    KeAcquireSpinLock(&d->InLock, &irql);
    if (d->OutIrp == irp) {
      id = d->RequestId;
      channel = d->OutChannel;
    }
    KeReleaseSpinLock(&d->InLock, irql);
  }
  IoReleaseCancelSpinLock(cancel_irql);
  // The pipe reports the withdrawn request cancelled (a piece on the wire once its transfer
  // has ended), and that report completes the IRP. Only this IRP's request is withdrawn: by
  // now its piece may have completed and the next OUT's piece be queued on the same channel.
  // Before the pipe has named the request (id 0), the submission sees the cancel and
  // withdraws it itself.
  if (id) SvcWithdrawBulkOutRequest(child, channel, id);
}

void DisplayInComplete(PVOID context, PVOID data, ULONG, ULONG length, ULONG, NTSTATUS status,
                       ULONG usbd_status) {
  DisplayChild* d = Object(context);
  auto* slot = static_cast<DisplayInSlot*>(data);
  KIRQL irql;
  KeAcquireSpinLock(&d->InLock, &irql);
  IRP* irp = slot->Irp;
  PVOID caller = slot->CallerBuffer;
  slot->Irp = nullptr;
  slot->CallerBuffer = nullptr;
  if (irp) {
    if (!Failed(status, usbd_status))
      std::memcpy(caller, slot->Message, kInterruptMessageBytes);
    else if (status != STATUS_CANCELLED)
      d->Gone = 1;
  }
  slot->InUse = 0;
  KeReleaseSpinLock(&d->InLock, irql);
  if (!irp) return;
  UrbOf(irp)->UrbBulkOrInterruptTransfer.TransferBufferLength = Failed(status, usbd_status) ? 0 : length;
  if (status == STATUS_CANCELLED) usbd_status = static_cast<ULONG>(USBD_STATUS_CANCELED);
  CompleteTaken(irp, status, usbd_status);
}

void DisplayInCancel(DEVICE_OBJECT* device, IRP* irp) {
  KIRQL cancel_irql = irp->CancelIrql;
  auto* child = static_cast<ChildPdoExtension*>(device->DeviceExtension);
  DisplayChild* d = Object(g_Services.GetModuleContext(child));
  bool found = false;
  if (d) {
    KIRQL irql;
    KeAcquireSpinLock(&d->InLock, &irql);
    for (DisplayInSlot& slot : d->InSlots) {
      if (slot.Irp == irp) {
        slot.Irp = nullptr;  // the slot stays InUse until the pipe ends its wait
        slot.CallerBuffer = nullptr;
        found = true;
      }
    }
    KeReleaseSpinLock(&d->InLock, irql);
  }
  IoReleaseCancelSpinLock(cancel_irql);
  if (!found) return;
  SetUrbStatus(irp, static_cast<ULONG>(USBD_STATUS_CANCELED));
  UrbOf(irp)->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
  CompleteIrp(irp, STATUS_CANCELLED, 0);
}

NTSTATUS DisplayBulkOut(DisplayChild* d, IRP* irp, ULONG* usbd_status, bool* pending,
                        const UCHAR* buffer, ULONG length, ULONG* transferred) {
  KIRQL out_irql;
  KeAcquireSpinLock(&d->OutLock, &out_irql);
  KIRQL in_irql;
  KeAcquireSpinLock(&d->InLock, &in_irql);
  NTSTATUS status = STATUS_SUCCESS;
  const UCHAR* piece = nullptr;
  ULONG piece_length = 0;
  bool with_header = false;
  if (d->OutIrp) {
    *usbd_status = static_cast<ULONG>(USBD_STATUS_INSUFFICIENT_RESOURCES);
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else if (d->Remaining > 0) {
    if (length > d->Remaining) {
      ResetRelay(d);  // the message is dropped
      *usbd_status = static_cast<ULONG>(USBD_STATUS_DATA_BUFFER_ERROR);
      status = STATUS_UNSUCCESSFUL;
    } else {
      piece = buffer;
      piece_length = length;
      if (d->SavedHeader.Type == kTypeSlices) {
        d->SavedHeader.Slice.SliceLength = length;
        with_header = true;
      } else {
        with_header = d->Remaining == d->SavedHeader.TotalLength;
      }
      d->Remaining -= length;
    }
  } else {
    protocol::BusMessageHeader header;
    if (length >= kHeaderBytes) std::memcpy(&header, buffer, kHeaderBytes);
    if (length < kHeaderBytes || (header.Type != kTypeSlices && header.Type != kTypeTwoPlane)) {
      *usbd_status = static_cast<ULONG>(USBD_STATUS_DATA_BUFFER_ERROR);
      status = STATUS_UNSUCCESSFUL;
    } else if (length - kHeaderBytes > header.TotalLength) {
      *usbd_status = static_cast<ULONG>(USBD_STATUS_NOT_SUPPORTED);
      status = STATUS_NOT_SUPPORTED;
    } else {
      const ULONG p = length - kHeaderBytes;
      d->SavedHeader = header;
      d->Remaining = header.TotalLength;
      if (p > 0) {
        piece = buffer + kHeaderBytes;
        piece_length = p;
        with_header = true;
        if (header.Type == kTypeSlices) d->SavedHeader.Slice.SliceLength = p;
        d->Remaining -= p;
      }
    }
  }
  protocol::BusMessageHeader header_copy = d->SavedHeader;
  if (NT_SUCCESS(status)) {
    *transferred = length;
    d->OutIrp = irp;
    d->OutChannel = d->SavedHeader.Type == kTypeTwoPlane ? kTwoPlaneBulkChannel : 0;
    d->RequestId = 0;
  }
  KeReleaseSpinLock(&d->InLock, in_irql);
  if (!NT_SUCCESS(status)) {
    KeReleaseSpinLock(&d->OutLock, out_irql);
    return status;
  }

  IoSetCancelRoutine(irp, DisplayOutCancel);
  IoMarkIrpPending(irp);
  if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr)) {
    // Cancelled before the routine was in place: nothing was sent.
    KeAcquireSpinLock(&d->InLock, &in_irql);
    d->OutIrp = nullptr;
    ResetRelay(d);
    KeReleaseSpinLock(&d->InLock, in_irql);
    KeReleaseSpinLock(&d->OutLock, out_irql);
    UnmarkPending(irp);
    *usbd_status = static_cast<ULONG>(USBD_STATUS_CANCELED);
    return STATUS_CANCELLED;
  }
  if (!piece) {
    KeReleaseSpinLock(&d->OutLock, out_irql);
    *pending = true;
    DisplayOutComplete(d, irp, 0, length, 0, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    return STATUS_PENDING;
  }
  ULONG id = 0;
  status = g_Services.WriteAsync(d->Child, kBulkOutEndpointCode, with_header ? &header_copy : nullptr,
                                 with_header ? kHeaderBytes : 0, piece, piece_length, &id,
                                 DisplayOutComplete, d, irp);
  if (status == STATUS_PENDING) {
    // The id is known here only now: a cancel that came before found none to withdraw.
    const UCHAR channel = d->OutChannel;
    bool withdraw = false;
    KeAcquireSpinLock(&d->InLock, &in_irql);
    if (d->OutIrp == irp) {
      d->RequestId = id;
      withdraw = __atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) != 0;
    }
    KeReleaseSpinLock(&d->InLock, in_irql);
    KeReleaseSpinLock(&d->OutLock, out_irql);
    if (withdraw) SvcWithdrawBulkOutRequest(d->Child, channel, id);
    *pending = true;
    return STATUS_PENDING;
  }
  // Refused: the IRP goes back to the caller, and the relay starts again with a header.
  bool ours = false;
  KeAcquireSpinLock(&d->InLock, &in_irql);
  if (d->OutIrp == irp) {
    d->OutIrp = nullptr;
    ours = true;
  }
  ResetRelay(d);
  KeReleaseSpinLock(&d->InLock, in_irql);
  KeReleaseSpinLock(&d->OutLock, out_irql);
  if (!ours) {
    // The pipe reported the request although it refused it: the report completed the IRP.
    *pending = true;
    return STATUS_PENDING;
  }
  if (!IoSetCancelRoutine(irp, nullptr)) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoReleaseCancelSpinLock(irql);
  }
  UnmarkPending(irp);
  *usbd_status = static_cast<ULONG>(USBD_STATUS_NOT_ACCESSED);
  return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
}

NTSTATUS DisplayInterruptIn(DisplayChild* d, IRP* irp, ULONG* usbd_status, bool* pending,
                            PVOID buffer, ULONG length) {
  if (length != kInterruptMessageBytes) {
    *usbd_status = static_cast<ULONG>(USBD_STATUS_DATA_BUFFER_ERROR);
    return STATUS_UNSUCCESSFUL;
  }
  DisplayInSlot* slot = nullptr;
  KIRQL irql;
  KeAcquireSpinLock(&d->InLock, &irql);
  for (DisplayInSlot& s : d->InSlots) {
    if (!s.InUse && !s.Irp) {
      slot = &s;
      s.InUse = 1;
      s.Irp = irp;
      s.CallerBuffer = buffer;
      break;
    }
  }
  KeReleaseSpinLock(&d->InLock, irql);
  if (!slot) {
    *usbd_status = static_cast<ULONG>(USBD_STATUS_INSUFFICIENT_RESOURCES);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IoSetCancelRoutine(irp, DisplayInCancel);
  IoMarkIrpPending(irp);
  ULONG id = 0;
  NTSTATUS status = g_Services.WaitInterruptMessage(d->Child, kInterruptInEndpointCode, slot->Message,
                                                    kInterruptMessageBytes, &id, DisplayInComplete,
                                                    d, slot);
  if (status == STATUS_PENDING || status == STATUS_SUCCESS) {
    *pending = true;
    return STATUS_PENDING;
  }
  bool ours = false;
  KeAcquireSpinLock(&d->InLock, &irql);
  if (slot->Irp == irp) {
    slot->Irp = nullptr;
    slot->CallerBuffer = nullptr;
    slot->InUse = 0;
    ours = true;
  }
  KeReleaseSpinLock(&d->InLock, irql);
  if (!ours) {
    // Cancelled meanwhile: the cancel routine completed it.
    *pending = true;
    return STATUS_PENDING;
  }
  if (!IoSetCancelRoutine(irp, nullptr)) {
    IoAcquireCancelSpinLock(&irql);
    IoReleaseCancelSpinLock(irql);
  }
  UnmarkPending(irp);
  *usbd_status = static_cast<ULONG>(USBD_STATUS_NOT_ACCESSED);
  return status;
}

const UCHAR* GetDeviceDescriptor(PVOID ctx) { return Object(ctx)->DeviceDescriptor; }

const UCHAR* GetConfigDescriptor(PVOID ctx, UCHAR index) {
  return index == 0 ? Object(ctx)->ConfigDescriptor : nullptr;
}

void NoOp(PVOID, PVOID) {}
bool AllowRemove(PVOID, IRP*) { return true; }

void FillPipe(USBD_PIPE_INFORMATION* pipe, USHORT packet, UCHAR address, UCHAR interval,
              USBD_PIPE_TYPE type, ULONG max_transfer) {
  pipe->MaximumPacketSize = packet;
  pipe->EndpointAddress = address;
  pipe->Interval = interval;
  pipe->PipeType = type;
  pipe->PipeHandle = pipe;
  pipe->MaximumTransferSize = max_transfer;
  pipe->PipeFlags = 0;
}

}  // namespace

NTSTATUS DisplayCreate(PVOID* out, const ModuleCreateInfo* info) {
  if (!out || !info || !info->Child || !g_Services.GetModuleContext || !g_Services.GetTime ||
      !g_Services.ControlTransfer || !g_Services.WriteAndWait || !g_Services.WriteAsync ||
      !g_Services.WaitInterruptMessage || !g_Services.SetReadHandler || !g_Services.FlushChannel)
    return STATUS_INVALID_PARAMETER;
  auto* d = static_cast<DisplayChild*>(AllocatePool(NonPagedPoolNx, sizeof(DisplayChild), kTagDisplayChild));
  if (!d) return STATUS_INSUFFICIENT_RESOURCES;
  d->Child = info->Child;
  d->ChildKey = info->ChildKey;
  d->ManufacturerString = info->Manufacturer;
  d->ManufacturerLength = info->Manufacturer ? info->ManufacturerBytes : 0;
  d->ProductString = info->Product;
  d->ProductLength = info->Product ? info->ProductBytes : 0;
  KeInitializeSpinLock(&d->InLock);
  KeInitializeSpinLock(&d->OutLock);
  KeInitializeMutex(&d->StateMutex, 0);

  const USHORT bcd = info->ParentBcdUsb > 0x02FF ? 0x0300 : info->ParentBcdUsb;
  const bool super_speed = bcd >= 0x0300;
  const UCHAR device[18] = {0x12, 0x01, static_cast<UCHAR>(bcd), static_cast<UCHAR>(bcd >> 8),
                            0xFF, 0x00, 0x00, static_cast<UCHAR>(super_speed ? 9 : 64),
                            static_cast<UCHAR>(info->VendorId), static_cast<UCHAR>(info->VendorId >> 8),
                            static_cast<UCHAR>(info->ProductId), static_cast<UCHAR>(info->ProductId >> 8),
                            0x01, 0x00, 0x01, 0x02, 0x00, 0x01};
  std::memcpy(d->DeviceDescriptor, device, sizeof device);

  const UCHAR* config = super_speed ? kSuperSpeedConfig : kHighSpeedConfig;
  d->ConfigTotalLength = super_speed ? sizeof kSuperSpeedConfig : sizeof kHighSpeedConfig;
  d->ConfigDescriptor = static_cast<UCHAR*>(AllocatePool(NonPagedPoolNx, d->ConfigTotalLength, kTagDisplayChild));
  d->InterfaceList = static_cast<USBD_INTERFACE_INFORMATION**>(
      AllocatePool(NonPagedPoolNx, sizeof(USBD_INTERFACE_INFORMATION*), kTagDisplayChild));
  auto* interface = static_cast<USBD_INTERFACE_INFORMATION*>(
      AllocatePool(NonPagedPoolNx, kDisplayInterfaceInfoBytes, kTagDisplayChild));
  if (d->InterfaceList) d->InterfaceList[0] = interface;
  if (!d->ConfigDescriptor || !d->InterfaceList || !interface) {
    if (!d->InterfaceList && interface) ExFreePoolWithTag(interface, kTagDisplayChild);
    DisplayDestroy(d);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  std::memcpy(d->ConfigDescriptor, config, d->ConfigTotalLength);
  interface->Length = kDisplayInterfaceInfoBytes;
  interface->InterfaceNumber = 0;
  interface->AlternateSetting = 0;
  interface->Class = 0xFF;
  interface->InterfaceHandle = interface;
  interface->NumberOfPipes = 3;
  const USHORT bulk_packet = super_speed ? 1024 : 512;
  FillPipe(&interface->Pipes[0], bulk_packet, 0x81, 0, UsbdPipeTypeBulk, 0x400000);
  FillPipe(&interface->Pipes[1], bulk_packet, 0x02, 0, UsbdPipeTypeBulk, 0x400000);
  FillPipe(&interface->Pipes[2], 64, 0x83, static_cast<UCHAR>(super_speed ? 5 : 8),
           UsbdPipeTypeInterrupt, 64);
  d->InterfaceCount = 1;
  d->Initialized = 1;
  *out = d;
  return STATUS_SUCCESS;
}

void DisplayDestroy(PVOID ctx) {
  DisplayChild* d = Object(ctx);
  if (!d) return;
  DisplayStop(d);
  if (d->InterfaceList) {
    if (d->InterfaceList[0]) ExFreePoolWithTag(d->InterfaceList[0], kTagDisplayChild);
    ExFreePoolWithTag(d->InterfaceList, kTagDisplayChild);
  }
  if (d->ConfigDescriptor) ExFreePoolWithTag(d->ConfigDescriptor, kTagDisplayChild);
  ExFreePoolWithTag(d, kTagDisplayChild);
}

NTSTATUS DisplayStart(PVOID ctx) {
  DisplayChild* d = Object(ctx);
  if (!d || !d->Initialized) return STATUS_SUCCESS;
  KeWaitForSingleObject(&d->StateMutex, Executive, KernelMode, FALSE, nullptr);
  KIRQL irql;
  KeAcquireSpinLock(&d->OutLock, &irql);
  KIRQL in_irql;
  KeAcquireSpinLock(&d->InLock, &in_irql);
  ResetRelay(d);
  // An IRP still held here would be lost: only the slots and OUT no longer in use are reset,
  // a wait still running keeps its slot until the pipe reports it.
  for (DisplayInSlot& slot : d->InSlots)
    if (!slot.Irp && !slot.InUse) std::memset(&slot, 0, sizeof slot);
  d->Started = 1;
  KeReleaseSpinLock(&d->InLock, in_irql);
  KeReleaseSpinLock(&d->OutLock, irql);
  KeReleaseMutex(&d->StateMutex, FALSE);
  return STATUS_SUCCESS;
}

void DisplayStop(PVOID ctx) {
  DisplayChild* d = Object(ctx);
  if (!d || !d->Initialized) return;
  KeWaitForSingleObject(&d->StateMutex, Executive, KernelMode, FALSE, nullptr);
  d->Started = 0;
  // Channel 0 of every pipe, and the two-plane channel of the bulk-OUT pipe where type-7
  // pieces of this child wait.
  g_Services.FlushChannel(d->Child);
  SvcFlushBulkOutChannel(d->Child, kTwoPlaneBulkChannel);
  KIRQL irql;
  KeAcquireSpinLock(&d->OutLock, &irql);
  ResetRelay(d);
  KeReleaseSpinLock(&d->OutLock, irql);
  KeReleaseMutex(&d->StateMutex, FALSE);
}

NTSTATUS DisplayGetString(PVOID ctx, ULONG* usbd_status, UCHAR index, USHORT,
                          const WCHAR** text, ULONG* byte_length) {
  DisplayChild* d = Object(ctx);
  auto fixed = [&](const WCHAR* s, size_t with_nuls) {
    *text = s;
    *byte_length = static_cast<ULONG>(with_nuls * sizeof(WCHAR));
  };
  switch (index) {
    case 1:
      *text = d->ManufacturerString;
      *byte_length = d->ManufacturerLength;
      break;
    case 2:
      *text = d->ProductString;
      *byte_length = d->ProductLength;
      break;
    case 3: fixed(kConfigurationText, std::size(kConfigurationText)); break;
    case 4: fixed(kInterfaceText, std::size(kInterfaceText)); break;
    default:
      fixed(kUnknownText, std::size(kUnknownText));
      *usbd_status = static_cast<ULONG>(USBD_STATUS_NOT_SUPPORTED);
      return STATUS_NOT_SUPPORTED;
  }
  *usbd_status = USBD_STATUS_SUCCESS;
  return STATUS_SUCCESS;
}

USBD_INTERFACE_INFORMATION** DisplayGetInterfaceList(PVOID ctx, UCHAR index, UCHAR* count) {
  DisplayChild* d = Object(ctx);
  if (index != 0) {
    *count = 0;
    return nullptr;
  }
  *count = d->InterfaceCount;
  return d->InterfaceList;
}

NTSTATUS DisplaySelectInterface(PVOID, ULONG* usbd_status, UCHAR, UCHAR) {
  *usbd_status = USBD_STATUS_SUCCESS;
  return STATUS_SUCCESS;
}

NTSTATUS DisplayPipeRequest(PVOID ctx, ULONG* usbd_status, USBD_INTERFACE_INFORMATION*,
                            USBD_PIPE_INFORMATION* pipe, UCHAR* action) {
  DisplayChild* d = Object(ctx);
  // A reset of the bulk OUT pipe ends the message being relayed: the next transfer starts
  // with a header.
  if (pipe->EndpointAddress == kBulkOutEndpointCode &&
      (*action == kPipeActionReset || *action == kPipeActionResetAndClearStall)) {
    KIRQL irql;
    KeAcquireSpinLock(&d->OutLock, &irql);
    KIRQL in_irql;
    KeAcquireSpinLock(&d->InLock, &in_irql);
    if (!d->OutIrp) ResetRelay(d);
    KeReleaseSpinLock(&d->InLock, in_irql);
    KeReleaseSpinLock(&d->OutLock, irql);
  }
  *usbd_status = USBD_STATUS_SUCCESS;
  return STATUS_SUCCESS;
}

NTSTATUS DisplayControlRequest(PVOID ctx, ULONG* usbd_status, ULONG transfer_flags,
                               USHORT urb_function, UCHAR request, USHORT value, USHORT index,
                               USHORT, PVOID buffer, ULONG length, ULONG* transferred) {
  DisplayChild* d = Object(ctx);
  LARGE_INTEGER timeout;
  timeout.QuadPart = kControlTimeout;
  ULONG done = 0;
  ULONG usbd = 0;
  NTSTATUS status = g_Services.ControlTransfer(d->Child, transfer_flags & 7, urb_function, request,
                                               value, index, length, buffer, &done, &timeout, &usbd);
  if (NT_SUCCESS(status) && !UsbdFailed(usbd)) {
    *transferred = done;
    *usbd_status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
  }
  *usbd_status = UsbdFailed(usbd) ? usbd : static_cast<ULONG>(USBD_STATUS_NOT_ACCESSED);
  return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
}

NTSTATUS DisplayBulkTransfer(PVOID ctx, IRP* irp, ULONG* usbd_status, bool* pending,
                             USBD_INTERFACE_INFORMATION*, USBD_PIPE_INFORMATION* pipe,
                             PVOID buffer, ULONG length, ULONG* transferred) {
  DisplayChild* d = Object(ctx);
  *usbd_status = static_cast<ULONG>(USBD_STATUS_NOT_SUPPORTED);
  if (!d->Started || d->Gone) {
    *usbd_status = static_cast<ULONG>(USBD_STATUS_DEVICE_GONE);
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  const bool in = UrbOf(irp)->UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN;
  if (pipe->EndpointAddress == kBulkOutEndpointCode && !in)
    return DisplayBulkOut(d, irp, usbd_status, pending, static_cast<const UCHAR*>(buffer), length,
                          transferred);
  if (pipe->EndpointAddress == kInterruptInEndpointCode && in)
    return DisplayInterruptIn(d, irp, usbd_status, pending, buffer, length);
  return STATUS_NOT_SUPPORTED;
}

NTSTATUS DisplayFunctionInit(UCHAR version, UCHAR* registered, const StationServiceTable* services,
                             FunctionModuleOps* ops) {
  *registered = 1;
  if (version != kFunctionModuleVersion || !services || !ops) return STATUS_INVALID_PARAMETER;
  g_Services = *services;
  *ops = FunctionModuleOps{};
  ops->Unload = NoOp;
  ops->Create = DisplayCreate;
  ops->Destroy = DisplayDestroy;
  ops->Start = DisplayStart;
  ops->Stop = DisplayStop;
  ops->QueryRemove = AllowRemove;
  ops->PipeRequest = DisplayPipeRequest;
  ops->GetDeviceDescriptor = GetDeviceDescriptor;
  ops->GetConfigDescriptor = GetConfigDescriptor;
  ops->GetStringDescriptor = DisplayGetString;
  ops->GetInterfaceList = DisplayGetInterfaceList;
  ops->SelectInterface = DisplaySelectInterface;
  ops->ControlRequest = DisplayControlRequest;
  ops->BulkTransfer = DisplayBulkTransfer;
  return STATUS_SUCCESS;
}

}  // namespace vorn::station
