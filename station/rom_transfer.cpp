// The ROM write: the checked image goes to the chip as type-5 blocks on bulk-OUT channel 5
// while the ROM interface is enabled, each block waited for twice (its transfer, then the
// chip's burn result). And the ROM read-back: vendor request 0x34, then the chip's type-0x85
// replies on bulk-IN channel 5.
#include <cstring>

#include "platform/kernel/interfaces.h"
#include "platform/kernel/sync.h"
#include "protocol/bus_message.h"
#include "protocol/byte_order.h"
#include "protocol/guids.h"
#include "protocol/vendor_request.h"
#include "station/driver_globals.h"
#include "station/kernel_utils.h"
#include "station/rom.h"
#include "station/rom_image.h"
#include "station/rom_internal.h"
#include "station/worker.h"

namespace vorn::station {
namespace {

constexpr LONGLONG kHundredNsPerMs = 10000;
constexpr ULONG kReadMutexMs = 5000;
constexpr ULONG kReadRequestMs = 2000;
constexpr UCHAR kReadFill = 0xBD;
// How long a block flushed from the ROM channel may stay on the wire before the bulk-OUT
// pipe's transfers are cancelled to get it back.
constexpr ULONG kTransferEndMs = 2000;
constexpr float kPerMib = 1.0f / 1048576.0f;

LARGE_INTEGER Relative(ULONG milliseconds) {
  LARGE_INTEGER t;
  t.QuadPart = -static_cast<LONGLONG>(milliseconds) * kHundredNsPerMs;
  return t;
}

bool TransferOpen(StationExtension* station) { return ReadFlag(station->RomTransferOpen) != 0; }

// Takes the block back from the bulk-OUT pipe: its queued slices are dropped, the slice on
// the wire is cancelled, and its request completes (at once, or when that slice has ended).
// A slice still not ended after the bound is cancelled once more by turning the pipe off and
// on again. Returns once RomTransferDone has run, so the caller may free the block.
void EndRomTransfer(StationExtension* station) {
  if (!TransferOpen(station)) return;
  const PipeOps& pipe = station->Pipes[kBulkOutPipe];
  if (pipe.FlushChannel) pipe.FlushChannel(pipe.Object, kRomChannel);
  LARGE_INTEGER bound = Relative(kTransferEndMs);
  while (TransferOpen(station)) {
    if (KeWaitForSingleObject(&station->RomTransferEvent, Executive, KernelMode, FALSE, &bound) !=
        STATUS_TIMEOUT)
      continue;
    if (pipe.Enable) {
      pipe.Enable(pipe.Object, 0);
      pipe.Enable(pipe.Object, 1);
    }
    while (TransferOpen(station))
      KeWaitForSingleObject(&station->RomTransferEvent, Executive, KernelMode, FALSE, &bound);
  }
}

// Under RomBufferLock: the bulk-IN reply handler reads RomHeader.
void FillWriteHeader(StationExtension* station, UCHAR target, ULONG offset, ULONG length) {
  KIRQL irql;
  KeAcquireSpinLock(&station->RomBufferLock, &irql);
  UCHAR* h = station->RomHeader;
  std::memset(h, 0, sizeof station->RomHeader);
  protocol::StoreLe32(h + 0, protocol::ToWire(protocol::BusMessageType::Rom));
  protocol::StoreLe32(h + 4, length);
  protocol::StoreLe32(h + 12, length);  // SliceLength; Address, SliceOffset, MoreSlices 0
  h[24] = kRomWriteKind;
  h[25] = target;
  ++station->RomWriteCounter;
  protocol::StoreLe16(h + 26, static_cast<USHORT>(kRomWriteTag + station->RomWriteCounter));
  protocol::StoreLe32(h + 28, offset);
  KeReleaseSpinLock(&station->RomBufferLock, irql);
}

void FreeRomBuffer(StationExtension* station) {
  KIRQL irql;
  KeAcquireSpinLock(&station->RomBufferLock, &irql);
  PVOID buffer = station->RomBuffer;
  station->RomBuffer = nullptr;
  KeReleaseSpinLock(&station->RomBufferLock, irql);
  if (buffer) ExFreePoolWithTag(buffer, kTagRomBuffer);
}

}  // namespace

ULONG RomWaitMilliseconds(ULONG length, ULONG per_mib) {
  const float ms = static_cast<float>(length) * kPerMib * static_cast<float>(per_mib);
  if (!(ms < 4294967040.0f)) return 0xFFFFFFFFu;  // the largest float below 2^32
  return static_cast<ULONG>(ms);
}

NTSTATUS RomVendorRequest(StationExtension* station, bool in, UCHAR request, USHORT value,
                          USHORT index, void* buffer, ULONG length, ULONG timeout_ms) {
  const PipeOps& pipe = station->Pipes[kControlPipe];
  if (!pipe.Object || !pipe.ControlTransfer) return STATUS_DEVICE_NOT_READY;
  LARGE_INTEGER timeout = Relative(timeout_ms);
  ULONG transferred = 0, usbd = 0;
  const ULONG direction =
      (in ? USBD_TRANSFER_DIRECTION_IN : 0) | USBD_SHORT_TRANSFER_OK;
  return pipe.ControlTransfer(pipe.Object, direction, URB_FUNCTION_VENDOR_DEVICE, request, value,
                              index, length, buffer, &transferred,
                              timeout_ms ? &timeout : nullptr, &usbd);
}

void RomTransferDone(PVOID context, IRP*, ULONG, ULONG, ULONG data_bytes, NTSTATUS status,
                     ULONG usbd_status) {
  auto* station = static_cast<StationExtension*>(context);
  __atomic_store_n(&station->RomBytesDone, data_bytes, __ATOMIC_SEQ_CST);
  KIRQL irql;
  KeAcquireSpinLock(&station->RomResultLock, &irql);
  UCHAR* result = station->RomResult;
  if (!NT_SUCCESS(status) || static_cast<LONG>(usbd_status) < 0) {
    result[kRomResultStatus] = kRomResultWriting | kRomResultFailedBit;
    protocol::StoreLe32(result + kRomResultProgress, data_bytes);
  } else if (result[kRomResultStatus] == kRomResultWriting) {
    protocol::StoreLe32(result + kRomResultProgress, data_bytes);
  }
  KeReleaseSpinLock(&station->RomResultLock, irql);
  WriteFlag(station->RomTransferOpen, 0);
  KeSetEvent(&station->RomTransferEvent, 0, FALSE);
}

NTSTATUS RomSendBlock(StationExtension* station, UCHAR target, const void* data, ULONG offset,
                      ULONG length) {
  const PipeOps& pipe = station->Pipes[kBulkOutPipe];
  if (!pipe.Object || !pipe.WriteAsync || !data || !length) return STATUS_UNSUCCESSFUL;
  StoreRomResult(station, kRomResultBlockLength, length);
  FillWriteHeader(station, target, offset, length);
  KeClearEvent(&station->RomTransferEvent);
  KeClearEvent(&station->RomBurnEvent);
  const ULONG transfer_ms = RomWaitMilliseconds(length, g_StationGlobals->RomXferTimeout);
  const ULONG burn_ms = RomWaitMilliseconds(length, g_StationGlobals->RomBurnTimeout);

  SetRomState(station, kRomSendingBlock);
  __atomic_store_n(&station->RomBytesDone, 0u, __ATOMIC_SEQ_CST);
  WriteFlag(station->RomTransferOpen, 1);
  ULONG request_id = 0;
  NTSTATUS status = pipe.WriteAsync(
      pipe.Object, reinterpret_cast<const protocol::BusMessageHeader*>(station->RomHeader),
      sizeof station->RomHeader, data, length, &request_id, RomTransferDone, station, nullptr);
  if (status != STATUS_PENDING) {
    WriteFlag(station->RomTransferOpen, 0);
    SetRomError(station, kRomSendingBlock);
    OrRomResultStatus(station, kRomResultFailedBit);
    return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  }

  // The transfer. A time-out of 0 waits without limit: the block must be back from the pipe
  // before this returns, whatever ends the wait.
  // A stray ROM read reply also sets the event: only the block's own end counts.
  NTSTATUS wait;
  do {
    wait = WaitStopOrEvent(station, &station->RomTransferEvent, transfer_ms);
  } while (wait == STATUS_WAIT_0 + 1 && TransferOpen(station));
  if (wait != STATUS_WAIT_0 + 1) {
    EndRomTransfer(station);
    if (wait == STATUS_WAIT_0) return STATUS_DEVICE_NOT_CONNECTED;
    SetRomError(station, kRomTransferTimedOut);
    return STATUS_UNSUCCESSFUL;
  }
  if (__atomic_load_n(&station->RomBytesDone, __ATOMIC_SEQ_CST) != length) {
    SetRomError(station, kRomTransferShort);
    return STATUS_UNSUCCESSFUL;
  }
  SetRomState(station, kRomBlockTransferred);

  // The burn result.
  if (burn_ms == 0) return STATUS_SUCCESS;
  wait = WaitStopOrEvent(station, &station->RomBurnEvent, burn_ms);
  if (wait == STATUS_WAIT_0) return STATUS_DEVICE_NOT_CONNECTED;
  if (wait == STATUS_TIMEOUT) {
    SetRomError(station, kRomBurnTimedOut);
    return STATUS_UNSUCCESSFUL;
  }
  WriteRomResultValue(station);
  if (LoadRomResultStatus(station) & kRomResultFailedBit) {
    SetRomError(station, kRomBurnFailed);
    return STATUS_UNSUCCESSFUL;
  }
  return STATUS_SUCCESS;
}

NTSTATUS RomWriteImage(StationExtension* station, UCHAR target, BOOLEAN reset, ULONG version,
                       const void* buffer, ULONG length) {
  if (!station) return STATUS_INVALID_PARAMETER;
  const PipeOps& control = station->Pipes[kControlPipe];
  if (!control.Object || !control.ControlTransfer) return STATUS_DEVICE_NOT_READY;
  if (!buffer || !length) return STATUS_INVALID_PARAMETER;

  KIRQL irql;
  KeAcquireSpinLock(&station->RomResultLock, &irql);
  station->RomResult[kRomResultStatus] = kRomResultWriting;
  station->RomResult[kRomResultTarget] = target;
  protocol::StoreLe32(station->RomResult + kRomResultVersion, version);
  KeReleaseSpinLock(&station->RomResultLock, irql);

  SetRomState(station, kRomRegisteringInterface);
  UNICODE_STRING link{};
  NTSTATUS status = IoRegisterDeviceInterface(station->PhysicalDeviceObject,
                                              &protocol::kRomInterfaceGuid, nullptr, &link);
  if (!NT_SUCCESS(status)) {
    SetRomError(station, kRomRegisteringInterface);
    return status;
  }
  SetRomState(station, kRomEnablingInterface);
  status = IoSetDeviceInterfaceState(&link, TRUE);
  if (!NT_SUCCESS(status)) {
    SetRomError(station, kRomEnablingInterface);
    RtlFreeUnicodeString(&link);
    return status;
  }

  const auto* bytes = static_cast<const UCHAR*>(buffer);
  const ULONG max_block = g_StationGlobals->RomMaxBlockSize;
  for (ULONG offset = 0; offset < length && NT_SUCCESS(status);) {
    const ULONG remaining = length - offset;
    const ULONG block = max_block == 0 || remaining < max_block ? remaining : max_block;
    status = RomSendBlock(station, target, bytes + offset, offset, block);
    offset += block;
  }
  if (NT_SUCCESS(status)) {
    SetRomState(station, kRomImageWritten);
    if (reset) {
      SetRomState(station, kRomSendingReset);
      status = RomVendorRequest(station, false, protocol::ReqResetChip, 0, 0, nullptr, 0, 0);
      if (!NT_SUCCESS(status)) SetRomError(station, kRomSendingReset);
    }
  }
  IoSetDeviceInterfaceState(&link, FALSE);
  RtlFreeUnicodeString(&link);
  return status;
}

NTSTATUS RomRead(StationExtension* station, PVOID output, ULONG offset, ULONG size,
                 USHORT sequence, ULONG* bytes) {
  if (!station || !bytes) return STATUS_INVALID_PARAMETER;
  *bytes = 0;
  LARGE_INTEGER mutex_wait = Relative(kReadMutexMs);
  if (KeWaitForSingleObject(&station->RomMutex, Executive, KernelMode, FALSE, &mutex_wait) ==
      STATUS_TIMEOUT)
    return STATUS_DEVICE_BUSY;
  NTSTATUS status = STATUS_SUCCESS;
  const PipeOps& control = station->Pipes[kControlPipe];
  const PipeOps& bulk_in = station->Pipes[kBulkInPipe];
  if (!control.Object || !control.ControlTransfer || !bulk_in.Object || !bulk_in.AddReadCredits ||
      station->RomBuffer) {
    status = STATUS_DEVICE_BUSY;
  } else if (size == 0 || size % kRomBlockBytes || offset % kRomBlockBytes ||
             ULONGLONG{offset} + size > station->RomSize || !output) {
    status = STATUS_INVALID_PARAMETER;
  }
  if (!NT_SUCCESS(status)) {
    KeReleaseMutex(&station->RomMutex, FALSE);
    return status;
  }

  SetRomState(station, kRomBufferAllocated);
  PVOID buffer = AllocatePool(NonPagedPoolNx, size, kTagRomBuffer);
  if (!buffer) {
    SetRomError(station, kRomBufferAllocated);
    KeReleaseMutex(&station->RomMutex, FALSE);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  std::memset(buffer, kReadFill, size);
  KeClearEvent(&station->RomTransferEvent);
  KIRQL irql;
  KeAcquireSpinLock(&station->RomBufferLock, &irql);
  std::memset(station->RomHeader, 0, sizeof station->RomHeader);
  protocol::StoreLe32(station->RomHeader, protocol::ToWire(protocol::BusMessageType::RomReply));
  protocol::StoreLe32(station->RomHeader + 4, size);
  protocol::StoreLe16(station->RomHeader + 26, sequence);
  __atomic_store_n(&station->RomBytesDone, 0u, __ATOMIC_SEQ_CST);
  station->RomBuffer = buffer;
  KeReleaseSpinLock(&station->RomBufferLock, irql);

  UCHAR request[2];
  protocol::StoreLe16(request, sequence);
  status = RomVendorRequest(station, false, protocol::ReqReadRom, static_cast<USHORT>(size >> 16),
                            static_cast<USHORT>(offset >> 16), request, sizeof request,
                            kReadRequestMs);
  if (NT_SUCCESS(status)) {
    bulk_in.AddReadCredits(bulk_in.Object, 1);
    const NTSTATUS wait = WaitStopOrEvent(station, &station->RomTransferEvent,
                                          RomWaitMilliseconds(size, g_StationGlobals->RomXferTimeout));
    if (wait == STATUS_WAIT_0) {
      status = STATUS_DEVICE_NOT_CONNECTED;
    } else if (wait != STATUS_WAIT_0 + 1 ||
               __atomic_load_n(&station->RomBytesDone, __ATOMIC_SEQ_CST) != size) {
      status = STATUS_UNSUCCESSFUL;
    } else {
      std::memcpy(output, buffer, size);
      *bytes = size;
    }
  }
  FreeRomBuffer(station);
  KeReleaseMutex(&station->RomMutex, FALSE);
  return status;
}

}  // namespace vorn::station
