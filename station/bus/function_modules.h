// Function modules: the tables of operations that give each child device its behaviour as a
// USB device (display, audio), and the station service table through which a module
// reaches its child's channel on the station's pipes. Filled once at load, read without
// locks afterwards.
#pragma once

#include "platform/kernel/irp.h"
#include "platform/kernel/usb.h"
#include "station/driver_globals.h"
#include "station/pipes/pipe_callbacks.h"

namespace vorn::station {

struct ChildPdoExtension;
struct JackRecord;

// What a module gets to create its object for one child. The strings stay owned by the
// station and the child.
#pragma pack(push, 1)
struct ModuleCreateInfo {
  ChildPdoExtension* Child;
  USHORT VendorId;
  USHORT ProductId;
  ULONG ChildKey;
  const WCHAR* Manufacturer;  // the station's manufacturer string, past its 2-byte head
  ULONG ManufacturerBytes;
  const WCHAR* Product;       // the child's device text
  ULONG ProductBytes;
  USHORT ParentBcdUsb;
  const JackRecord* Jacks;    // audio and microphone only, else null
  ULONG JacksBytes;           // 72 with the jacks, else 0
};
#pragma pack(pop)
static_assert(sizeof(ModuleCreateInfo) == 8 + 2 + 2 + 4 + 8 + 4 + 8 + 4 + 2 + 8 + 4);

// Sixteen operation slots; a null slot is an operation the module does not offer, and every
// caller tests it. |ctx| is the module's object for one child.
struct FunctionModuleOps {
  void (*Unload)(PVOID, PVOID);
  NTSTATUS (*Create)(PVOID* ctx, const ModuleCreateInfo* info);
  void (*Destroy)(PVOID ctx);
  NTSTATUS (*Start)(PVOID ctx);
  void (*Stop)(PVOID ctx);
  bool (*QueryRemove)(PVOID ctx, IRP* irp);
  void (*InternalIoctl)(PVOID ctx, IRP* irp, bool* pending);
  NTSTATUS (*PipeRequest)(PVOID ctx, ULONG* usbd_status, USBD_INTERFACE_INFORMATION* interface,
                          USBD_PIPE_INFORMATION* pipe, UCHAR* action);
  const UCHAR* (*GetDeviceDescriptor)(PVOID ctx);
  const UCHAR* (*GetConfigDescriptor)(PVOID ctx, UCHAR index);
  NTSTATUS (*GetStringDescriptor)(PVOID ctx, ULONG* usbd_status, UCHAR index, USHORT language,
                                  const WCHAR** text, ULONG* byte_length);
  USBD_INTERFACE_INFORMATION** (*GetInterfaceList)(PVOID ctx, UCHAR configuration_index,
                                                   UCHAR* count);
  NTSTATUS (*SelectInterface)(PVOID ctx, ULONG* usbd_status, UCHAR interface_number,
                              UCHAR alternate_setting);
  NTSTATUS (*ControlRequest)(PVOID ctx, ULONG* usbd_status, ULONG transfer_flags,
                             USHORT urb_function, UCHAR request, USHORT value, USHORT index,
                             USHORT reserved, PVOID buffer, ULONG length, ULONG* transferred);
  NTSTATUS (*BulkTransfer)(PVOID ctx, IRP* irp, ULONG* usbd_status, bool* pending,
                           USBD_INTERFACE_INFORMATION* interface, USBD_PIPE_INFORMATION* pipe,
                           PVOID buffer, ULONG length, ULONG* transferred);
  NTSTATUS (*IsochTransfer)(PVOID ctx, IRP* irp, URB* urb, bool* pending,
                            USBD_INTERFACE_INFORMATION* interface, USBD_PIPE_INFORMATION* pipe,
                            PVOID buffer);
};
static_assert(sizeof(FunctionModuleOps) == 16 * sizeof(void*));

// Nine services; each takes the child's extension first and reaches the parent station's
// pipes on the child's own channel.
struct StationServiceTable {
  PVOID (*GetModuleContext)(ChildPdoExtension* child);
  ULONG (*GetTime)(ChildPdoExtension* child);
  NTSTATUS (*ControlTransfer)(ChildPdoExtension* child, ULONG direction_flags,
                              USHORT urb_function, UCHAR request, USHORT value, USHORT index,
                              ULONG length, PVOID buffer, ULONG* transferred,
                              LARGE_INTEGER* timeout, ULONG* usbd_status);
  NTSTATUS (*WriteAndWait)(ChildPdoExtension* child, UCHAR endpoint,
                           const protocol::BusMessageHeader* header, ULONG header_length,
                           ULONG* header_bytes, const void* data, ULONG length,
                           ULONG* data_bytes, PVOID reserved, ULONG* usbd_status);
  NTSTATUS (*WriteAsync)(ChildPdoExtension* child, UCHAR endpoint,
                         const protocol::BusMessageHeader* header, ULONG header_length,
                         const void* data, ULONG length, ULONG* request_id,
                         WriteCompletion completion, PVOID context, IRP* irp);
  NTSTATUS (*WaitInterruptMessage)(ChildPdoExtension* child, UCHAR endpoint, PVOID buffer,
                                   ULONG length, ULONG* request_id,
                                   InterruptMessageCallback callback, PVOID context, PVOID data);
  NTSTATUS (*SetReadHandler)(ChildPdoExtension* child, UCHAR endpoint,
                             ReadHandlerRoutine routine, PVOID context, PVOID data);
  void (*FlushChannel)(ChildPdoExtension* child);
  void (*Spare)(ChildPdoExtension* child);
};
static_assert(sizeof(StationServiceTable) == 9 * sizeof(void*));

// One entry per ChildFunction: the display module in 0, audio in 3 and a copy of it in 8.
struct FunctionModuleEntry {
  FunctionModuleOps Ops;
  UCHAR Registered;  // the module's init routine was called
  UCHAR Enabled;     // and succeeded
};
using FunctionModuleTable = FunctionModuleEntry[kChannelCount];

// A module's init routine: sets *registered, refuses any version but 1, keeps its own copy
// of |services| and fills |ops|.
constexpr UCHAR kFunctionModuleVersion = 1;
using FunctionModuleInit = NTSTATUS (*)(UCHAR version, UCHAR* registered,
                                        const StationServiceTable* services,
                                        FunctionModuleOps* ops);

// The driver-wide table, filled by RegisterFunctionModules.
extern FunctionModuleTable g_FunctionModules;

// Registers the modules that SupportPDOs asks for; always STATUS_SUCCESS.
NTSTATUS RegisterFunctionModules();
// Disables every enabled module and calls its Unload.
void UnloadFunctionModules();

// The modules' init routines (display and audio modules).
NTSTATUS DisplayFunctionInit(UCHAR version, UCHAR* registered,
                             const StationServiceTable* services, FunctionModuleOps* ops);
NTSTATUS AudioFunctionInit(UCHAR version, UCHAR* registered,
                           const StationServiceTable* services, FunctionModuleOps* ops);

}  // namespace vorn::station
