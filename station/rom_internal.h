// What the parts of the ROM module share: the RomState/RomError steps, the RomResult record,
// the reply handlers given to the pipes and the block transfer.
#pragma once

#include "platform/kernel/pool.h"
#include "station/station_extension.h"

namespace vorn::station {

// RomState steps; a failing step is written to RomError (0 after arming).
enum RomStep : ULONG {
  kRomArmed = 1,
  kRomCleanedUp = 2,
  kRomUpdateStarted = 3,
  kRomFileSize = 5,
  kRomSizeCheck = 6,
  kRomHeaderRead = 7,
  kRomProjectCode = 8,
  kRomVersionCheck = 9,
  kRomHeaderCheck = 10,
  kRomBufferAllocated = 11,
  kRomFileRead = 12,
  kRomImageCheck = 13,
  kRomSectionCheck = 14,
  kRomSendingBlock = 15,
  kRomTransferTimedOut = 16,
  kRomTransferShort = 17,
  kRomBlockTransferred = 18,
  kRomRegisteringInterface = 19,
  kRomEnablingInterface = 20,
  kRomBurnTimedOut = 21,
  kRomBurnFailed = 22,
  kRomSendingReset = 23,
  kRomImageWritten = 24,
};

inline constexpr ULONG kTagRomBuffer = PoolTag("Burn");
inline constexpr ULONG kRomChannel = 5;
inline constexpr ULONG kRomReplyBytes = 64;

// RomResult: byte status, byte target, 2 reserved bytes, u32 version, u32 block length,
// u32 progress.
inline constexpr UCHAR kRomResultWriting = 0x11;
inline constexpr UCHAR kRomResultFailedBit = 0x80;
inline constexpr ULONG kRomResultStatus = 0;
inline constexpr ULONG kRomResultTarget = 1;
inline constexpr ULONG kRomResultVersion = 4;
inline constexpr ULONG kRomResultBlockLength = 8;
inline constexpr ULONG kRomResultProgress = 12;

// RomHeader's type-specific bytes.
inline constexpr UCHAR kRomWriteKind = 2;
inline constexpr USHORT kRomWriteTag = 0x0500;

void SetRomState(StationExtension* station, ULONG step);
void SetRomError(StationExtension* station, ULONG step);
// Writes the 16 bytes of RomResult to the per-station value RomResult. PASSIVE_LEVEL.
void WriteRomResultValue(StationExtension* station);
// Changes RomResult under RomResultLock.
void StoreRomResult(StationExtension* station, ULONG offset, ULONG value);
void StoreRomResultByte(StationExtension* station, ULONG offset, UCHAR value);
UCHAR LoadRomResultStatus(StationExtension* station);
void OrRomResultStatus(StationExtension* station, UCHAR bits);

// The handlers given to the pipes.
void RomInterruptHandler(PVOID context, PVOID data, ULONG request_id, ULONG bytes,
                         ULONG reserved, NTSTATUS status, ULONG usbd_status);
void RomReadDataHandler(PVOID context, PVOID data, const protocol::BusMessageHeader* header,
                        const UCHAR* payload, ULONG offset, ULONG length);
void RomTransferDone(PVOID context, IRP* irp, ULONG request_id, ULONG header_bytes,
                     ULONG data_bytes, NTSTATUS status, ULONG usbd_status);

// Sends one type-5 block of |length| bytes at |offset| of the image and waits for its
// transfer and its burn result. It returns only once the bulk-OUT pipe no longer reads
// |data|. Caller holds RomMutex.
NTSTATUS RomSendBlock(StationExtension* station, UCHAR target, const void* data, ULONG offset,
                      ULONG length);

// The wait in milliseconds for |length| bytes at |per_mib| milliseconds per MiB, computed
// in single precision and truncated, as the chip's firmware expects it.
ULONG RomWaitMilliseconds(ULONG length, ULONG per_mib);

// A vendor request of the ROM module through the control pipe; |timeout_ms| 0 waits without
// limit.
NTSTATUS RomVendorRequest(StationExtension* station, bool in, UCHAR request, USHORT value,
                          USHORT index, void* buffer, ULONG length, ULONG timeout_ms);

// The three updates of RomAutoUpdate; true when the file was written. Each holds RomMutex from
// its first step to its last and frees RomBuffer when it ends.
bool UpdateBootCode(StationExtension* station, WStringView path);
bool UpdateImage(StationExtension* station, WStringView path, bool reset);
bool UpdateImageTwoPart(StationExtension* station, WStringView code_path, WStringView data_path,
                        bool reset);

}  // namespace vorn::station
