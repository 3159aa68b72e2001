// The station services. They add no lock of their own: each runs on its caller's thread
// under the IRQL rules of the pipe operation it calls. A null child, a child without a
// parent, or a wrong endpoint code is STATUS_INVALID_PARAMETER and reaches no pipe; a pipe
// the station does not have (or that lacks the operation) is STATUS_INVALID_DEVICE_STATE.
#include "station/bus/station_services.h"

#include "station/bus/child_pdo_extension.h"
#include "station/kernel_utils.h"
#include "station/pipes/bulk_out_pipe.h"
#include "station/station_extension.h"
#include "station/station_start.h"

namespace vorn::station {
namespace {

StationExtension* Parent(ChildPdoExtension* child) {
  if (!child || !child->ParentFdo) return nullptr;
  return Station(child->ParentFdo);
}

// The pipe table |slot| of the child's station, when the child and the endpoint are right.
NTSTATUS PipeOf(ChildPdoExtension* child, UCHAR endpoint, UCHAR wanted, ULONG slot,
                PipeOps** ops) {
  StationExtension* station = Parent(child);
  if (!station || endpoint != wanted) return STATUS_INVALID_PARAMETER;
  *ops = &station->Pipes[slot];
  return (*ops)->Object ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
}

}  // namespace

PVOID SvcGetModuleContext(ChildPdoExtension* child) {
  return child ? child->ModuleContext : nullptr;
}

ULONG SvcGetTime(ChildPdoExtension* child) {
  StationExtension* station = Parent(child);
  return station ? static_cast<ULONG>(MillisecondsSinceStart(station)) : 0;
}

NTSTATUS SvcControlTransfer(ChildPdoExtension* child, ULONG direction_flags, USHORT urb_function,
                            UCHAR request, USHORT value, USHORT index, ULONG length, PVOID buffer,
                            ULONG* transferred, LARGE_INTEGER* timeout, ULONG* usbd_status) {
  StationExtension* station = Parent(child);
  if (!station) return STATUS_INVALID_PARAMETER;
  PipeOps& ops = station->Pipes[kControlPipe];
  if (!ops.Object || !ops.ControlTransfer) return STATUS_INVALID_DEVICE_STATE;
  return ops.ControlTransfer(ops.Object, direction_flags, urb_function, request, value, index,
                             length, buffer, transferred, timeout, usbd_status);
}

NTSTATUS SvcWriteAndWait(ChildPdoExtension* child, UCHAR endpoint,
                         const protocol::BusMessageHeader* header, ULONG header_length,
                         ULONG* header_bytes, const void* data, ULONG length, ULONG* data_bytes,
                         PVOID reserved, ULONG* usbd_status) {
  PipeOps* ops = nullptr;
  NTSTATUS status = PipeOf(child, endpoint, kBulkOutEndpointCode, kBulkOutPipe, &ops);
  if (!NT_SUCCESS(status)) return status;
  if (!ops->WriteAndWait) return STATUS_INVALID_DEVICE_STATE;
  return ops->WriteAndWait(ops->Object, header, header_length, header_bytes, data, length,
                           data_bytes, reserved, usbd_status);
}

NTSTATUS SvcWriteAsync(ChildPdoExtension* child, UCHAR endpoint,
                       const protocol::BusMessageHeader* header, ULONG header_length,
                       const void* data, ULONG length, ULONG* request_id,
                       WriteCompletion completion, PVOID context, IRP* irp) {
  PipeOps* ops = nullptr;
  NTSTATUS status = PipeOf(child, endpoint, kBulkOutEndpointCode, kBulkOutPipe, &ops);
  if (!NT_SUCCESS(status)) return status;
  if (!ops->WriteAsync) return STATUS_INVALID_DEVICE_STATE;
  return ops->WriteAsync(ops->Object, header, header_length, data, length, request_id,
                         completion, context, irp);
}

NTSTATUS SvcWaitInterruptMessage(ChildPdoExtension* child, UCHAR endpoint, PVOID buffer,
                                 ULONG length, ULONG* request_id,
                                 InterruptMessageCallback callback, PVOID context, PVOID data) {
  PipeOps* ops = nullptr;
  NTSTATUS status = PipeOf(child, endpoint, kInterruptInEndpointCode, kInterruptPipe, &ops);
  if (!NT_SUCCESS(status)) return status;
  if (!ops->WaitInterruptMessage) return STATUS_INVALID_DEVICE_STATE;
  return ops->WaitInterruptMessage(ops->Object, ChildChannel(child), buffer, length, request_id,
                                   callback, context, data);
}

NTSTATUS SvcSetReadHandler(ChildPdoExtension* child, UCHAR endpoint, ReadHandlerRoutine routine,
                           PVOID context, PVOID data) {
  PipeOps* ops = nullptr;
  NTSTATUS status = PipeOf(child, endpoint, kBulkInEndpointCode, kBulkInPipe, &ops);
  if (!NT_SUCCESS(status)) return status;
  if (!ops->SetReadHandler) return STATUS_INVALID_DEVICE_STATE;
  return ops->SetReadHandler(ops->Object, ChildChannel(child), routine, context, data);
}

void SvcFlushChannel(ChildPdoExtension* child) {
  StationExtension* station = Parent(child);
  if (!station) return;
  DelayMilliseconds(5);
  for (ULONG slot : {kControlPipe, kInterruptPipe, kBulkInPipe, kBulkOutPipe}) {
    PipeOps& ops = station->Pipes[slot];
    if (ops.Object && ops.FlushChannel) ops.FlushChannel(ops.Object, ChildChannel(child));
  }
}

void SvcSpare(ChildPdoExtension* child) {
  StationExtension* station = Parent(child);
  if (!station) return;
  PipeOps& ops = station->Pipes[kBulkOutPipe];
  if (ops.Object && ops.Notify) ops.Notify(ops.Object);
}

void SvcFlushBulkOutChannel(ChildPdoExtension* child, ULONG channel) {
  StationExtension* station = Parent(child);
  if (!station) return;
  PipeOps& ops = station->Pipes[kBulkOutPipe];
  if (ops.Object && ops.FlushChannel) ops.FlushChannel(ops.Object, channel);
}

void SvcWithdrawBulkOutRequest(ChildPdoExtension* child, ULONG channel, ULONG request_id) {
  StationExtension* station = Parent(child);
  if (!station) return;
  PipeOps& ops = station->Pipes[kBulkOutPipe];
  // Only the station's own bulk-OUT pipe knows its requests by id.
  if (ops.Object && ops.FlushChannel == bulk_out::FlushChannel)
    bulk_out::WithdrawRequest(ops.Object, channel, request_id);
}

StationServiceTable MakeStationServiceTable() {
  StationServiceTable table{};
  table.GetModuleContext = SvcGetModuleContext;
  table.GetTime = SvcGetTime;
  table.ControlTransfer = SvcControlTransfer;
  table.WriteAndWait = SvcWriteAndWait;
  table.WriteAsync = SvcWriteAsync;
  table.WaitInterruptMessage = SvcWaitInterruptMessage;
  table.SetReadHandler = SvcSetReadHandler;
  table.FlushChannel = SvcFlushChannel;
  table.Spare = SvcSpare;
  return table;
}

}  // namespace vorn::station
