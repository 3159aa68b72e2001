// The child devices: creation by the function mask and the jacks, the child list, the
// marking as missing, deletion and eject, and the Plug and Play and power requests of a child.
// Every search, insertion, removal and flag change of the child list runs under
// ChildListMutex.
#include "station/bus/child_pdos.h"

#include <cstring>

#include "platform/kernel/debug.h"
#include "platform/kernel/power.h"
#include "platform/kernel/sync.h"
#include "platform/kernel/timer.h"
#include "station/bus/child_pdo_extension.h"
#include "station/driver_globals.h"
#include "station/kernel_utils.h"
#include "station/pool_tags.h"
#include "station/station_extension.h"

namespace vorn::station {
namespace {

constexpr ULONG kTextChars = 64;          // hardware id and device text buffers
constexpr ULONG kLocationChars = 24;      // "STA(%02X)SESS(%02X)" and its zeros
constexpr ULONG kCompatibleIdsChars = 73;  // three ids, their terminators and two NULs
constexpr ULONG kFunctionBits = 10;

// The compatible ids of each function, as one multi-string of kCompatibleIdsChars.
struct CompatibleIdsText {
  WCHAR text[kCompatibleIdsChars];
};
constexpr CompatibleIdsText MakeCompatibleIds(const char* class_code, const char* subclass) {
  CompatibleIdsText out{};
  ULONG n = 0;
  auto put = [&](const char* s) {
    while (*s) out.text[n++] = static_cast<WCHAR>(*s++);
  };
  for (int entry = 0; entry < 3; ++entry) {
    put("USB\\Class_");
    put(class_code);
    if (entry < 2) {
      put("&SubClass_");
      put(subclass);
    }
    if (entry < 1) put("&Prot_00");
    out.text[n++] = 0;
  }
  return out;
}
constexpr CompatibleIdsText kDisplayIds = MakeCompatibleIds("FF", "00");
constexpr CompatibleIdsText kNetworkIds = MakeCompatibleIds("02", "00");
constexpr CompatibleIdsText kAudioIds = MakeCompatibleIds("01", "01");
constexpr CompatibleIdsText kCameraIds = MakeCompatibleIds("0e", "03");

const WCHAR* CompatibleIdsOf(ULONG function) {
  switch (function) {
    case kFunctionDisplay: return kDisplayIds.text;
    case kFunctionNetwork: return kNetworkIds.text;
    case kFunctionAudio:
    case kFunctionMicrophone: return kAudioIds.text;
    case kFunctionCamera: return kCameraIds.text;
    default: return nullptr;
  }
}

// Appends |value| as |digits| upper-case hex digits.
WCHAR* PutHex(WCHAR* out, ULONG value, int digits) {
  static const char kHex[] = "0123456789ABCDEF";
  for (int i = digits - 1; i >= 0; --i) *out++ = static_cast<WCHAR>(kHex[(value >> (4 * i)) & 0xF]);
  return out;
}
WCHAR* PutText(WCHAR* out, const char* text) {
  while (*text) *out++ = static_cast<WCHAR>(*text++);
  return out;
}

void Lock(StationExtension* station) {
  KeWaitForSingleObject(&station->ChildListMutex, Executive, KernelMode, FALSE, nullptr);
}
void Unlock(StationExtension* station) { KeReleaseMutex(&station->ChildListMutex, FALSE); }

ChildPdoExtension* FromLink(LIST_ENTRY* e) {
  return CONTAINING_RECORD(e, ChildPdoExtension, ListLink);
}
bool ListReady(const StationExtension* station) { return ReadFlag(station->ChildListReady) != 0; }

bool JackAllows(const JackRecord& jack) { return !jack.DetectionOn || jack.State[1]; }

// Unlinks |child| from the list (ChildListMutex held).
void Unlink(StationExtension* station, ChildPdoExtension* child) {
  if (!child->InChildList) return;
  RemoveEntryList(&child->ListLink);
  InitializeListHead(&child->ListLink);
  child->InChildList = 0;
  --station->ChildCount;
}

// Runs |op| for each child whose key matches |key| (0: all; another key stops at its first
// match), under ChildListMutex; the by-key result.
template <class Op>
NTSTATUS ForEachByKey(StationExtension* station, ULONG key, Op op) {
  if (!ListReady(station)) return STATUS_NO_SUCH_DEVICE;
  Lock(station);
  if (IsListEmpty(&station->ChildList)) {
    Unlock(station);
    return STATUS_NO_SUCH_DEVICE;
  }
  bool matched = false;
  for (LIST_ENTRY* e = station->ChildList.Flink; e != &station->ChildList;) {
    ChildPdoExtension* child = FromLink(e);
    e = e->Flink;  // |op| may unlink the child
    if (key != 0 && child->ChildKey != key) continue;
    matched = true;
    op(child);
    if (key != 0) break;
  }
  Unlock(station);
  return matched ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

template <class ByKey>
void ForEachBit(StationExtension* station, ULONG mask, ByKey by_key) {
  if (mask == 0) {
    by_key(station, 0);
    return;
  }
  for (ULONG i = 0; i < kFunctionBits; ++i)
    if (mask & (1u << i)) by_key(station, MakeChildKey(station->StationIndex, i));
}

void FinishDelete(ChildPdoExtension* child) {
  DEVICE_OBJECT* device = child->DeviceObject;
  DEVICE_OBJECT* parent = child->ParentFdo;
  PIO_WORKITEM item = child->DeleteWorkItem;
  child->DeleteWorkItem = nullptr;
  FreeChildPdoResources(child);
  if (item) IoFreeWorkItem(item);
  IoDeleteDevice(device);
  if (parent) ObDereferenceObject(parent);
}

void DeleteWork(DEVICE_OBJECT*, PVOID context) {
  FinishDelete(static_cast<ChildPdoExtension*>(context));
}

// Drops one hold on the child's life; the last one deletes it, at once at PASSIVE_LEVEL,
// else from a work item.
void ReleaseLife(ChildPdoExtension* child) {
  LONG left = InterlockedDecrement(&child->LifeReferences);
  if (left > 0) return;
  if (left < 0) {
    DbgPrint("hollin: child %p released more often than held\n", static_cast<void*>(child));
    return;
  }
  if (KeGetCurrentIrql() == PASSIVE_LEVEL || !child->DeleteWorkItem)
    FinishDelete(child);
  else
    IoQueueWorkItem(child->DeleteWorkItem, DeleteWork, DelayedWorkQueue, child);
}

PVOID AllocateCopy(const WCHAR* text, ULONG chars, ULONG size) {
  auto* p = static_cast<WCHAR*>(AllocatePool(NonPagedPoolNx, size, kTagChild));
  if (p && text && chars) std::memcpy(p, text, chars * sizeof(WCHAR));
  return p;
}

void CallStop(ChildPdoExtension* child) {
  if (child->Ops && child->Ops->Stop && child->ModuleContext) child->Ops->Stop(child->ModuleContext);
}

NTSTATUS PdoStartDevice(ChildPdoExtension* child) {
  ExSetTimerResolution(10000, TRUE);
  if (!child->DriverKeyName.Buffer) {
    PVOID buffer = nullptr;
    ULONG length = 0, size = 0;
    NTSTATUS status = QueryDeviceProperty(child->DeviceObject, DevicePropertyDriverKeyName,
                                          &buffer, &length, &size);
    if (!NT_SUCCESS(status)) return status;
    child->DriverKeyName.Buffer = static_cast<WCHAR*>(buffer);
    child->DriverKeyName.Length = static_cast<USHORT>(length >= 2 ? length - 2 : length);
    child->DriverKeyName.MaximumLength = static_cast<USHORT>(size);
  }
  if (child->Ops && child->Ops->Start && child->ModuleContext) {
    NTSTATUS status = child->Ops->Start(child->ModuleContext);
    if (status < 0) return status;
  }
  return STATUS_SUCCESS;
}

void PdoRemoveDevice(ChildPdoExtension* child) {
  CallStop(child);
  StationExtension* station = Station(child->ParentFdo);
  Lock(station);
  if (!child->Missing) {
    if (child->Present) {
      child->PreviousState = child->State;
      child->State = kChildRemovedPresent;
    }
    Unlock(station);
    return;
  }
  child->State = kChildDeleted;
  Unlink(station, child);
  Unlock(station);
  // A worker waiting for the children of a stopped station to go hears of each one.
  if (ReadFlag(station->RecreateChildren)) KeSetEvent(&station->WorkerKickEvent, 0, FALSE);
  DeleteChildPdo(child);
}

NTSTATUS TargetRelation(ChildPdoExtension* child, IRP* irp) {
  auto* list = static_cast<DEVICE_RELATIONS*>(AllocatePool(PagedPool, 16, kTagChild));
  if (!list) return STATUS_INSUFFICIENT_RESOURCES;
  list->Count = 1;
  ObReferenceObject(child->DeviceObject);
  list->Objects[0] = child->DeviceObject;
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(list);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS CreateChildPdos(StationExtension* station, ULONG mask) {
  auto offered = [&](ULONG function) {
    const ChildFunctionDescriptor& d = station->ChildFunctions[function];
    return (mask & (1u << function)) && d.VendorId && d.ProductId &&
           (d.Data[0] || d.Data[1]);
  };
  const JackRecord& jack0 = station->Jacks[0];
  const JackRecord& jack1 = station->Jacks[1];
  const bool mic_jack = jack1.Exists && JackAllows(jack1);
  const bool audio_jacks = jack0.Exists ? JackAllows(jack0) : mic_jack;

  for (ULONG function : {kFunctionDisplay, kFunctionNetwork, kFunctionAudio,
                         kFunctionMicrophone, kFunctionCamera}) {
    if (!offered(function)) continue;
    if (function == kFunctionAudio && !audio_jacks) continue;
    if (function == kFunctionMicrophone && !mic_jack) continue;
    const ChildFunctionDescriptor& d = station->ChildFunctions[function];

    WCHAR hardware_id[kTextChars] = {};
    WCHAR* p = PutText(hardware_id, "USB\\VID_");
    p = PutHex(p, d.VendorId, 4);
    p = PutText(p, "&PID_");
    p = PutHex(p, d.ProductId, 4);

    // The chip's text: at most 63 characters, whether or not the chip ended it.
    WCHAR text[kTextChars] = {};
    ULONG text_chars = 0;
    while (text_chars < kTextChars - 1) {
      WCHAR c = static_cast<WCHAR>(d.Data[2 * text_chars] | d.Data[2 * text_chars + 1] << 8);
      if (!c) break;
      text[text_chars++] = c;
    }

    ChildDescriptor descriptor{};
    descriptor.DeviceType = FILE_DEVICE_UNKNOWN;
    descriptor.VendorId = d.VendorId;
    descriptor.ProductId = d.ProductId;
    descriptor.ChildKey = MakeChildKey(station->StationIndex, function);
    descriptor.HardwareId = hardware_id;
    descriptor.HardwareIdLength = static_cast<ULONG>(p - hardware_id);
    descriptor.CompatibleIds = CompatibleIdsOf(function);
    descriptor.CompatibleIdsLength = kCompatibleIdsChars;
    descriptor.DeviceText = text;
    descriptor.DeviceTextLength = text_chars;
    CreateChildPdo(station, &descriptor);
  }
  return STATUS_SUCCESS;
}

NTSTATUS CreateChildPdo(StationExtension* station, const ChildDescriptor* d) {
  if (!d || !d->ChildKey || !d->HardwareId || !d->HardwareIdLength || !d->CompatibleIds ||
      !d->CompatibleIdsLength || !d->DeviceText || !d->DeviceTextLength)
    return STATUS_INVALID_PARAMETER;
  const ULONG function = d->ChildKey & 0xFF;
  if (function >= kChannelCount) return STATUS_INVALID_PARAMETER;
  const FunctionModuleEntry& module = g_FunctionModules[function];
  if (!module.Enabled || !module.Ops.Create) return STATUS_INVALID_PARAMETER;
  // The texts must fit the buffers InitChildPdo sizes from them.
  if (d->HardwareIdLength >= kTextChars || d->DeviceTextLength >= kTextChars ||
      d->CompatibleIdsLength > kCompatibleIdsChars)
    return STATUS_INVALID_PARAMETER;
  // A child of this function exists already: nothing more, except that one marked missing
  // but not yet removed (its function came back before the system took it away) is reported
  // again, or the function would stay absent. Looked up and revived under one hold of the
  // lock, so a removal in between cannot leave the function without its child.
  bool exists = false, revived = false, closed = false;
  if (ListReady(station)) {
    Lock(station);
    closed = station->ChildrenClosed != 0;
    for (LIST_ENTRY* e = station->ChildList.Flink; !closed && e != &station->ChildList;
         e = e->Flink) {
      ChildPdoExtension* child = FromLink(e);
      if (child->ChildKey != d->ChildKey) continue;
      exists = true;
      if (child->Missing && child->State != kChildDeleted) {
        child->Missing = 0;
        child->Present = 1;
        revived = true;
      }
      break;
    }
    Unlock(station);
  }
  // The station's children were taken away (stop or removal): none is made or revived
  // until it starts again.
  if (closed) return STATUS_DELETE_PENDING;
  if (revived) IoInvalidateDeviceRelations(station->PhysicalDeviceObject, BusRelations);
  if (exists) return STATUS_SUCCESS;

  DEVICE_OBJECT* pdo = nullptr;
  NTSTATUS status = IoCreateDevice(station->DeviceObject->DriverObject, sizeof(ChildPdoExtension),
                                   nullptr, d->DeviceType, FILE_AUTOGENERATED_DEVICE_NAME, FALSE,
                                   &pdo);
  if (!NT_SUCCESS(status)) return status;
  status = InitChildPdo(station, pdo, d, &module.Ops);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(pdo);
    return status;
  }
  IoInvalidateDeviceRelations(station->PhysicalDeviceObject, BusRelations);
  return STATUS_SUCCESS;
}

NTSTATUS InitChildPdo(StationExtension* station, DEVICE_OBJECT* pdo, const ChildDescriptor* d,
                      const FunctionModuleOps* ops) {
  auto* child = static_cast<ChildPdoExtension*>(pdo->DeviceExtension);
  std::memset(child, 0, sizeof *child);
  child->DeviceObject = pdo;
  child->ParentFdo = station->DeviceObject;
  child->InChildList = 0;
  child->Present = 1;
  child->DevicePowerState = PowerDeviceD3;
  child->SystemPowerState = PowerSystemWorking;
  child->DeviceType = d->DeviceType;
  child->ChildKey = d->ChildKey;
  child->HardwareIdsSize = d->HardwareIdLength * 2 + 4;
  child->CompatibleIdsSize = d->CompatibleIdsLength * 2 + 4;
  child->DeviceTextSize = d->DeviceTextLength * 2 + 8;
  child->LocationTextSize = kLocationChars * 2;
  child->Ops = ops;
  child->LifeReferences = 1;
  InitializeListHead(&child->ListLink);

  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  child->HardwareIds = static_cast<WCHAR*>(AllocateCopy(d->HardwareId, d->HardwareIdLength,
                                                        child->HardwareIdsSize));
  child->CompatibleIds = static_cast<WCHAR*>(
      AllocateCopy(d->CompatibleIds, d->CompatibleIdsLength, child->CompatibleIdsSize));
  child->DeviceText = static_cast<WCHAR*>(AllocateCopy(d->DeviceText, d->DeviceTextLength,
                                                       child->DeviceTextSize));
  child->LocationText = static_cast<WCHAR*>(AllocateCopy(nullptr, 0, child->LocationTextSize));
  child->DeleteWorkItem = IoAllocateWorkItem(pdo);
  if (child->HardwareIds && child->CompatibleIds && child->DeviceText && child->LocationText &&
      child->DeleteWorkItem) {
    WCHAR* p = PutText(child->LocationText, "STA(");
    p = PutHex(p, (d->ChildKey >> 8) & 0xFF, 2);
    p = PutText(p, ")SESS(");
    p = PutHex(p, d->ChildKey & 0xFF, 2);
    PutText(p, ")");

    const ULONG function = d->ChildKey & 0xFF;
    ModuleCreateInfo info{};
    info.Child = child;
    info.VendorId = d->VendorId;
    info.ProductId = d->ProductId;
    info.ChildKey = d->ChildKey;
    const USB_STRING_DESCRIPTOR* manufacturer = station->ManufacturerString;
    if (manufacturer && manufacturer->bLength > 2) {
      info.Manufacturer = manufacturer->bString;
      info.ManufacturerBytes = manufacturer->bLength - 2u;
    }
    info.Product = child->DeviceText;
    info.ProductBytes = d->DeviceTextLength * 2;
    info.ParentBcdUsb = station->DeviceDescriptor.bcdUSB;
    if (function == kFunctionAudio || function == kFunctionMicrophone) {
      info.Jacks = station->Jacks;
      info.JacksBytes = sizeof station->Jacks;
    }
    status = ops->Create(&child->ModuleContext, &info);
    // A module that refuses has cleaned up after itself: nothing of it is destroyed here.
    if (!NT_SUCCESS(status)) child->ModuleContext = nullptr;
  }
  if (!NT_SUCCESS(status)) {
    FreeChildPdoResources(child);
    if (child->DeleteWorkItem) IoFreeWorkItem(child->DeleteWorkItem);
    child->DeleteWorkItem = nullptr;
    return status;
  }
  if (ops->GetDeviceDescriptor && child->ModuleContext) {
    const UCHAR* descriptor = ops->GetDeviceDescriptor(child->ModuleContext);
    if (descriptor)
      child->EmulatedBcdUsb = reinterpret_cast<const USB_DEVICE_DESCRIPTOR*>(descriptor)->bcdUSB;
  }
  pdo->Flags |= DO_POWER_PAGABLE;
  Lock(station);
  // The children were taken away while the module made this one (the worker's requests
  // ended by a removal): it is not added, or nothing would ever delete it.
  if (station->ChildrenClosed) {
    Unlock(station);
    FreeChildPdoResources(child);
    IoFreeWorkItem(child->DeleteWorkItem);
    child->DeleteWorkItem = nullptr;
    return STATUS_DELETE_PENDING;
  }
  // The child keeps its parent's device object until it is itself deleted: an upper driver
  // holding one of its interfaces may still reach the station's clock.
  ObReferenceObject(station->DeviceObject);
  InsertTailList(&station->ChildList, &child->ListLink);
  child->InChildList = 1;
  ++station->ChildCount;
  Unlock(station);
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

bool ChildExists(StationExtension* station, ULONG function) {
  const ULONG key = MakeChildKey(station->StationIndex, function);
  if (!ListReady(station)) return false;
  bool found = false;
  Lock(station);
  for (LIST_ENTRY* e = station->ChildList.Flink; e != &station->ChildList; e = e->Flink) {
    if (FromLink(e)->ChildKey == key) {
      found = true;
      break;
    }
  }
  Unlock(station);
  return found;
}

bool ChildrenLeaving(StationExtension* station) {
  if (!ListReady(station)) return false;
  bool leaving = false;
  Lock(station);
  for (LIST_ENTRY* e = station->ChildList.Flink; e != &station->ChildList; e = e->Flink) {
    if (FromLink(e)->Missing) {
      leaving = true;
      break;
    }
  }
  Unlock(station);
  return leaving;
}

NTSTATUS MarkChildMissingByKey(StationExtension* station, ULONG key) {
  NTSTATUS status = ForEachByKey(station, key, [](ChildPdoExtension* child) {
    child->Present = 0;
    child->Missing = 1;
  });
  if (NT_SUCCESS(status)) IoInvalidateDeviceRelations(station->PhysicalDeviceObject, BusRelations);
  return status;
}

void MarkChildrenMissingByMask(StationExtension* station, ULONG mask) {
  ForEachBit(station, mask, MarkChildMissingByKey);
}

NTSTATUS DeleteChildByKey(StationExtension* station, ULONG key) {
  return ForEachByKey(station, key, [station](ChildPdoExtension* child) {
    // A child in the middle of its own removal is deleted by its REMOVE.
    if (child->State >= kChildRemovePending && child->State <= 6) {
      child->Missing = 1;
      return;
    }
    if (!child->InChildList) return;
    Unlink(station, child);
    child->State = kChildDeleted;
    DeleteChildPdo(child);
  });
}

void DeleteChildrenByMask(StationExtension* station, ULONG mask) {
  ForEachBit(station, mask, DeleteChildByKey);
}

NTSTATUS EjectChildByKey(StationExtension* station, ULONG key) {
  return ForEachByKey(station, key, [](ChildPdoExtension* child) {
    if (child->State != 0 && (child->State < kChildRemovePending || child->State > kChildDeleted))
      IoRequestDeviceEject(child->DeviceObject);
  });
}

void EjectChildrenByMask(StationExtension* station, ULONG mask) {
  ForEachBit(station, mask, EjectChildByKey);
}

void RemoveChildPdos(StationExtension* station, bool eject, bool mark_missing,
                     bool delete_children) {
  SetChildrenClosed(station, true);
  if (eject) EjectChildrenByMask(station, 0);
  if (mark_missing) MarkChildrenMissingByMask(station, 0);
  if (delete_children) DeleteChildrenByMask(station, 0);
}

void SetChildrenClosed(StationExtension* station, bool closed) {
  if (!ListReady(station)) return;
  Lock(station);
  station->ChildrenClosed = closed ? 1 : 0;
  Unlock(station);
}

void AppendPresentChildren(StationExtension* station, DEVICE_RELATIONS* relations,
                           ULONG capacity) {
  if (!ListReady(station)) return;
  for (LIST_ENTRY* e = station->ChildList.Flink; e != &station->ChildList; e = e->Flink) {
    ChildPdoExtension* child = FromLink(e);
    if (!child->Present) {
      child->Missing = 1;
      continue;
    }
    if (relations->Count >= capacity) continue;
    ObReferenceObject(child->DeviceObject);
    relations->Objects[relations->Count++] = child->DeviceObject;
  }
}

void DeleteChildPdo(ChildPdoExtension* child) { ReleaseLife(child); }

void FreeChildPdoResources(ChildPdoExtension* child) {
  if (child->ModuleContext && child->Ops && child->Ops->Destroy)
    child->Ops->Destroy(child->ModuleContext);
  child->ModuleContext = nullptr;
  if (child->DriverKeyName.Buffer) ExFreePoolWithTag(child->DriverKeyName.Buffer, kTagProperty);
  child->DriverKeyName = UNICODE_STRING{};
  for (WCHAR** text : {&child->HardwareIds, &child->CompatibleIds, &child->DeviceText,
                       &child->LocationText}) {
    if (*text) ExFreePoolWithTag(*text, kTagChild);
    *text = nullptr;
  }
}

void ChildInterfaceReference(PVOID context) {
  auto* child = static_cast<ChildPdoExtension*>(context);
  InterlockedIncrement(&child->InterfaceRefCount);
  InterlockedIncrement(&child->LifeReferences);
}

void ChildInterfaceDereference(PVOID context) {
  auto* child = static_cast<ChildPdoExtension*>(context);
  InterlockedDecrement(&child->InterfaceRefCount);
  ReleaseLife(child);
}

NTSTATUS PdoPnp(DEVICE_OBJECT* device, IRP* irp) {
  auto* child = static_cast<ChildPdoExtension*>(device->DeviceExtension);
  IO_STACK_LOCATION* st = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  // A deleted child whose memory an interface reference still keeps answers nothing: its
  // module object and texts are gone and it is no longer listed.
  if (child->State == kChildDeleted) {
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  switch (st->MinorFunction) {
    case IRP_MN_START_DEVICE:
      child->PreviousState = child->State;
      child->State = kChildStarted;
      child->DevicePowerState = PowerDeviceD0;
      child->SurpriseRemoved = child->Removed = 0;
      status = PdoStartDevice(child);
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
      if (child->Ops && child->Ops->QueryRemove && child->ModuleContext &&
          !child->Ops->QueryRemove(child->ModuleContext, irp)) {
        status = STATUS_UNSUCCESSFUL;
        break;
      }
      child->PreviousState = child->State;
      child->State = kChildRemovePending;
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      child->Removed = 1;
      PdoRemoveDevice(child);  // may delete the child: |child| is not touched after it
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      if (child->State == kChildRemovePending) child->State = child->PreviousState;
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_STOP_DEVICE:
      CallStop(child);
      child->PreviousState = child->State;
      child->State = kChildStopped;
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
      child->PreviousState = child->State;
      child->State = kChildStopPending;
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_CANCEL_STOP_DEVICE:
      if (child->State == kChildStopPending) child->State = child->PreviousState;
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (st->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation)
        status = TargetRelation(child, irp);
      break;
    case IRP_MN_QUERY_INTERFACE:
      status = PdoQueryInterface(child, irp);
      break;
    case IRP_MN_QUERY_CAPABILITIES:
      status = PdoQueryCapabilities(child, irp);
      break;
    case IRP_MN_QUERY_DEVICE_TEXT:
      status = PdoQueryDeviceText(child, irp);
      break;
    case IRP_MN_EJECT: {
      StationExtension* station = Station(child->ParentFdo);
      Lock(station);
      child->Present = 0;
      Unlock(station);
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_ID:
      status = PdoQueryId(child, irp);
      break;
    case IRP_MN_QUERY_BUS_INFORMATION:
      status = PdoQueryBusInformation(child, irp);
      break;
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
      status = STATUS_UNSUCCESSFUL;
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      child->SurpriseRemoved = 1;
      CallStop(child);
      child->PreviousState = child->State;
      child->State = kChildSurpriseRemoved;
      status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS PdoPower(DEVICE_OBJECT* device, IRP* irp) {
  auto* child = static_cast<ChildPdoExtension*>(device->DeviceExtension);
  IO_STACK_LOCATION* st = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  const bool system = st->Parameters.Power.Type == SystemPowerState;
  const bool device_state = st->Parameters.Power.Type == DevicePowerState;
  switch (st->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (system) {
        child->SystemPowerState = st->Parameters.Power.State.SystemState;
        status = STATUS_SUCCESS;
      } else if (device_state) {
        PoSetPowerState(device, DevicePowerState, st->Parameters.Power.State);
        child->DevicePowerState = st->Parameters.Power.State.DeviceState;
        status = STATUS_SUCCESS;
      }
      break;
    case IRP_MN_QUERY_POWER:
      if (system || device_state) status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace vorn::station
