// The ROM reply channels: the burn results the chip reports on interrupt channel 5, the ROM
// read replies it sends on bulk-IN channel 5, the RomResult record and the ROM step values.
#include <cstring>

#include "platform/kernel/sync.h"
#include "protocol/bus_message.h"
#include "protocol/byte_order.h"
#include "protocol/interrupt_packet.h"
#include "station/registry.h"
#include "station/rom.h"
#include "station/rom_internal.h"
#include "station/station_start.h"

namespace vorn::station {
namespace {

constexpr ULONG kReplyStatus = offsetof(protocol::INT_IN_PACKET, RomStatus);
constexpr ULONG kReplyKind = offsetof(protocol::INT_IN_PACKET, RomReplyKind);
constexpr ULONG kReplyValue = offsetof(protocol::INT_IN_PACKET, RomValue);
constexpr ULONG kHeaderSequence = 26;

void WriteDword(StationExtension* station, const char16_t* name, ULONG value) {
  WriteStationValue(station->StationIndex, name, REG_DWORD, sizeof value, &value);
}

NTSTATUS StartInterruptWait(StationExtension* station) {
  const PipeOps& pipe = station->Pipes[kInterruptPipe];
  if (!pipe.Object || !pipe.WaitInterruptMessage) return STATUS_UNSUCCESSFUL;
  ULONG id = 0;
  return pipe.WaitInterruptMessage(pipe.Object, kRomChannel, station->RomReply, kRomReplyBytes,
                                   &id, RomInterruptHandler, station, nullptr);
}

}  // namespace

void SetRomState(StationExtension* station, ULONG step) {
  station->RomStateCopy = static_cast<UCHAR>(step);
  WriteDword(station, u"RomState", step);
}

void SetRomError(StationExtension* station, ULONG step) { WriteDword(station, u"RomError", step); }

void StoreRomResult(StationExtension* station, ULONG offset, ULONG value) {
  KIRQL irql;
  KeAcquireSpinLock(&station->RomResultLock, &irql);
  protocol::StoreLe32(station->RomResult + offset, value);
  KeReleaseSpinLock(&station->RomResultLock, irql);
}

void StoreRomResultByte(StationExtension* station, ULONG offset, UCHAR value) {
  KIRQL irql;
  KeAcquireSpinLock(&station->RomResultLock, &irql);
  station->RomResult[offset] = value;
  KeReleaseSpinLock(&station->RomResultLock, irql);
}

UCHAR LoadRomResultStatus(StationExtension* station) {
  KIRQL irql;
  KeAcquireSpinLock(&station->RomResultLock, &irql);
  UCHAR status = station->RomResult[kRomResultStatus];
  KeReleaseSpinLock(&station->RomResultLock, irql);
  return status;
}

void OrRomResultStatus(StationExtension* station, UCHAR bits) {
  KIRQL irql;
  KeAcquireSpinLock(&station->RomResultLock, &irql);
  station->RomResult[kRomResultStatus] |= bits;
  KeReleaseSpinLock(&station->RomResultLock, irql);
}

void WriteRomResultValue(StationExtension* station) {
  UCHAR copy[sizeof station->RomResult];
  GetRomResult(station, copy);
  WriteStationValue(station->StationIndex, u"RomResult", REG_BINARY, sizeof copy, copy);
}

NTSTATUS GetRomResult(StationExtension* station, UCHAR* output) {
  if (!station || !output) return STATUS_INVALID_PARAMETER;
  KIRQL irql;
  KeAcquireSpinLock(&station->RomResultLock, &irql);
  std::memcpy(output, station->RomResult, sizeof station->RomResult);
  KeReleaseSpinLock(&station->RomResultLock, irql);
  return STATUS_SUCCESS;
}

void RomInterruptHandler(PVOID context, PVOID, ULONG, ULONG bytes, ULONG, NTSTATUS status,
                         ULONG) {
  auto* station = static_cast<StationExtension*>(context);
  if (!NT_SUCCESS(status) || bytes != kRomReplyBytes) return;  // flushed: the chain ends
  const UCHAR* reply = station->RomReply;
  if (reply[kReplyKind] == protocol::kRomReplyBurnResult) {
    const UCHAR rom_status = reply[kReplyStatus];
    const ULONG value = protocol::LoadLe32(reply + kReplyValue);
    KIRQL irql;
    KeAcquireSpinLock(&station->RomResultLock, &irql);
    station->RomResult[kRomResultStatus] = rom_status;
    protocol::StoreLe32(station->RomResult + kRomResultProgress, value);
    KeReleaseSpinLock(&station->RomResultLock, irql);
    if (rom_status == 0 || (rom_status & kRomResultFailedBit))
      KeSetEvent(&station->RomBurnEvent, 0, FALSE);
  }
  if (!ReadFlag(station->DeviceGone)) StartInterruptWait(station);
}

void RomReadDataHandler(PVOID context, PVOID, const protocol::BusMessageHeader* header,
                        const UCHAR* payload, ULONG offset, ULONG length) {
  auto* station = static_cast<StationExtension*>(context);
  UCHAR head[protocol::kBusMessageHeaderSize];
  std::memcpy(head, header, sizeof head);
  bool taken = false;
  bool complete = false;
  KIRQL irql;
  KeAcquireSpinLock(&station->RomBufferLock, &irql);
  const UCHAR* asked = station->RomHeader;
  const ULONG size = protocol::LoadLe32(asked + 4);
  const ULONG done = __atomic_load_n(&station->RomBytesDone, __ATOMIC_SEQ_CST);
  // Pieces are taken only while a read runs (RomHeader then holds the read's header): during a
  // write RomBuffer holds the image, which no reply may touch.
  const ULONG reply_type = protocol::ToWire(protocol::BusMessageType::RomReply);
  if (station->RomBuffer && protocol::LoadLe32(asked) == reply_type &&
      protocol::LoadLe32(head) == reply_type &&
      std::memcmp(head + kHeaderSequence, asked + kHeaderSequence, 2) == 0 &&
      protocol::LoadLe32(head + 4) == size && offset == done && ULONGLONG{offset} + length <= size &&
      (payload || length == 0)) {
    std::memcpy(static_cast<UCHAR*>(station->RomBuffer) + offset, payload, length);
    __atomic_store_n(&station->RomBytesDone, done + length, __ATOMIC_SEQ_CST);
    taken = true;
    complete = done + length == size;
  }
  KeReleaseSpinLock(&station->RomBufferLock, irql);
  if (!taken || complete) KeSetEvent(&station->RomTransferEvent, 0, FALSE);
}

NTSTATUS ArmRomReplies(StationExtension* station) {
  SetRomState(station, kRomArmed);
  SetRomError(station, 0);
  WriteRomResultValue(station);
  const PipeOps& bulk_in = station->Pipes[kBulkInPipe];
  const PipeOps& interrupt = station->Pipes[kInterruptPipe];
  if (!bulk_in.Object || !bulk_in.SetReadHandler || !bulk_in.AddReadCredits || !interrupt.Object ||
      !interrupt.WaitInterruptMessage) {
    RomCleanup(station);
    return STATUS_UNSUCCESSFUL;
  }
  NTSTATUS status =
      bulk_in.SetReadHandler(bulk_in.Object, kRomChannel, RomReadDataHandler, station, nullptr);
  if (NT_SUCCESS(status)) status = StartInterruptWait(station);
  if (!NT_SUCCESS(status)) {
    RomCleanup(station);
    return status;
  }
  return STATUS_SUCCESS;
}

void RomCleanup(StationExtension* station) {
  SetRomState(station, kRomCleanedUp);
  const PipeOps& bulk_in = station->Pipes[kBulkInPipe];
  if (bulk_in.Object && bulk_in.SetReadHandler)
    bulk_in.SetReadHandler(bulk_in.Object, kRomChannel, nullptr, nullptr, nullptr);
  KeWaitForSingleObject(&station->RomMutex, Executive, KernelMode, FALSE, nullptr);
  KIRQL irql;
  KeAcquireSpinLock(&station->RomBufferLock, &irql);
  PVOID buffer = station->RomBuffer;
  station->RomBuffer = nullptr;
  KeReleaseSpinLock(&station->RomBufferLock, irql);
  if (buffer) ExFreePoolWithTag(buffer, kTagRomBuffer);
  KeReleaseMutex(&station->RomMutex, FALSE);
}

}  // namespace vorn::station
