// The pipe operation table: every pipe object (control, interrupt IN, bulk IN, bulk OUT) is
// reached only through one of these, slot 0 being the object and slots 1-11 operations on
// it. A null slot is an operation the pipe does not offer; callers test optional slots.
#pragma once

#include "platform/kernel/usb.h"
#include "station/pipes/pipe_callbacks.h"

namespace vorn::station {

struct StationExtension;

struct PipeOps {
  PVOID Object;
  void (*Destroy)(PVOID pipe);
  void (*Enable)(PVOID pipe, UCHAR on);
  void (*Kick)(PVOID pipe);
  NTSTATUS (*ControlTransfer)(PVOID pipe, ULONG direction_flags, USHORT urb_function,
                              UCHAR request, USHORT value, USHORT index, ULONG length,
                              PVOID buffer, ULONG* transferred, LARGE_INTEGER* timeout,
                              ULONG* usbd_status);
  NTSTATUS (*WriteAndWait)(PVOID pipe, const protocol::BusMessageHeader* header,
                           ULONG header_length, ULONG* header_bytes, const void* data,
                           ULONG length, ULONG* data_bytes, PVOID reserved, ULONG* usbd_status);
  NTSTATUS (*WriteAsync)(PVOID pipe, const protocol::BusMessageHeader* header,
                         ULONG header_length, const void* data, ULONG length, ULONG* request_id,
                         WriteCompletion completion, PVOID context, IRP* irp);
  NTSTATUS (*WaitInterruptMessage)(PVOID pipe, ULONG channel, PVOID buffer, ULONG length,
                                   ULONG* request_id, InterruptMessageCallback callback,
                                   PVOID context, PVOID data);
  void (*FlushChannel)(PVOID pipe, ULONG channel);
  NTSTATUS (*SetReadHandler)(PVOID pipe, ULONG channel, ReadHandlerRoutine routine,
                             PVOID context, PVOID data);
  NTSTATUS (*AddReadCredits)(PVOID pipe, ULONG n);
  void (*Notify)(PVOID pipe);
};
static_assert(sizeof(PipeOps) == 12 * sizeof(void*));
static_assert(offsetof(PipeOps, Kick) == 3 * sizeof(void*));
static_assert(offsetof(PipeOps, Notify) == 11 * sizeof(void*));

// The four tables of a station, in this order.
enum PipeIndex : ULONG { kControlPipe = 0, kInterruptPipe = 1, kBulkInPipe = 2, kBulkOutPipe = 3 };
constexpr ULONG kPipeCount = 4;

// Creation, the same contract for all four: STATUS_INVALID_PARAMETER for a null pointer or a
// table smaller than the twelve slots, STATUS_INSUFFICIENT_RESOURCES when an allocation
// fails; on success the object is in slot 0 and the pipe's operations are filled, on failure
// nothing stays allocated and the table is all null.
using CreatePipeRoutine = NTSTATUS (*)(StationExtension* station, PipeOps* table,
                                       ULONG table_size, const USBD_PIPE_INFORMATION* info);
NTSTATUS CreateControlPipe(StationExtension* station, PipeOps* table, ULONG table_size,
                           const USBD_PIPE_INFORMATION* info);
NTSTATUS CreateInterruptPipe(StationExtension* station, PipeOps* table, ULONG table_size,
                             const USBD_PIPE_INFORMATION* info);
NTSTATUS CreateBulkInPipe(StationExtension* station, PipeOps* table, ULONG table_size,
                          const USBD_PIPE_INFORMATION* info);
NTSTATUS CreateBulkOutPipe(StationExtension* station, PipeOps* table, ULONG table_size,
                           const USBD_PIPE_INFORMATION* info);

// The shared empty operations.
void NoOpFlush(PVOID pipe, ULONG channel);
void NoOpNotify(PVOID pipe);

// Each pipe applies ApplyDeviceGoneRule (station/pipes/device_gone.h) to its own failed
// transfers.

}  // namespace vorn::station
