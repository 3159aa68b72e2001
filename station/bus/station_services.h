// The station service table: the nine services a function module uses to reach its child's
// channel on the parent station's pipes. Each takes the child's extension first and finds
// the station through the child's parent device.
#pragma once

#include "station/bus/function_modules.h"

namespace vorn::station {

// Endpoint codes a module names its pipe with.
constexpr UCHAR kBulkOutEndpointCode = 0x02;
constexpr UCHAR kInterruptInEndpointCode = 0x83;
constexpr UCHAR kBulkInEndpointCode = 0x81;

PVOID SvcGetModuleContext(ChildPdoExtension* child);
ULONG SvcGetTime(ChildPdoExtension* child);
NTSTATUS SvcControlTransfer(ChildPdoExtension* child, ULONG direction_flags, USHORT urb_function,
                            UCHAR request, USHORT value, USHORT index, ULONG length, PVOID buffer,
                            ULONG* transferred, LARGE_INTEGER* timeout, ULONG* usbd_status);
NTSTATUS SvcWriteAndWait(ChildPdoExtension* child, UCHAR endpoint,
                         const protocol::BusMessageHeader* header, ULONG header_length,
                         ULONG* header_bytes, const void* data, ULONG length, ULONG* data_bytes,
                         PVOID reserved, ULONG* usbd_status);
NTSTATUS SvcWriteAsync(ChildPdoExtension* child, UCHAR endpoint,
                       const protocol::BusMessageHeader* header, ULONG header_length,
                       const void* data, ULONG length, ULONG* request_id,
                       WriteCompletion completion, PVOID context, IRP* irp);
NTSTATUS SvcWaitInterruptMessage(ChildPdoExtension* child, UCHAR endpoint, PVOID buffer,
                                 ULONG length, ULONG* request_id,
                                 InterruptMessageCallback callback, PVOID context, PVOID data);
NTSTATUS SvcSetReadHandler(ChildPdoExtension* child, UCHAR endpoint, ReadHandlerRoutine routine,
                           PVOID context, PVOID data);
void SvcFlushChannel(ChildPdoExtension* child);
void SvcSpare(ChildPdoExtension* child);

// Withdraws every request of |channel| from the station's bulk-OUT pipe (reported cancelled,
// one on the wire once its transfer has ended). Any IRQL up to DISPATCH_LEVEL; not one of
// the nine table services.
void SvcFlushBulkOutChannel(ChildPdoExtension* child, ULONG channel);
// Withdraws only the request |request_id| of |channel| in the same way; nothing when it has
// ended. Any IRQL up to DISPATCH_LEVEL; not one of the nine table services.
void SvcWithdrawBulkOutRequest(ChildPdoExtension* child, ULONG channel, ULONG request_id);

// The table of the nine services, as RegisterFunctionModules hands it to the modules.
StationServiceTable MakeStationServiceTable();

}  // namespace vorn::station
