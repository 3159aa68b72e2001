// The routines by which the pipes report back to their producers and consumers. Each is
// called exactly once per accepted request (the read handler once per payload piece),
// never with a pipe lock held, possibly at DISPATCH_LEVEL.
#pragma once

#include "platform/kernel/irp.h"

namespace vorn::protocol {
struct BusMessageHeader;
}

namespace vorn::station {

// Bulk OUT: one request finished. |header_bytes| are those of the slice that finished it
// (32 or 0), |data_bytes| the request's data bytes sent in all.
using WriteCompletion = void (*)(PVOID context, IRP* irp, ULONG request_id, ULONG header_bytes,
                                 ULONG data_bytes, NTSTATUS status, ULONG usbd_status);

// Interrupt IN: a waiting request got its 64-byte packet (bytes 64, status 0) or was flushed
// (bytes 0, STATUS_CANCELLED). |reserved| is always 0.
using InterruptMessageCallback = void (*)(PVOID context, PVOID data, ULONG request_id,
                                          ULONG bytes, ULONG reserved, NTSTATUS status,
                                          ULONG usbd_status);

// Bulk IN: one payload piece of a message of the handler's channel. |offset| counts the
// payload bytes of this message delivered before; the piece lies at the start of |payload|,
// which is reused once the routine returns.
using ReadHandlerRoutine = void (*)(PVOID context, PVOID data,
                                    const protocol::BusMessageHeader* header, const UCHAR* payload,
                                    ULONG offset, ULONG length);

}  // namespace vorn::station
