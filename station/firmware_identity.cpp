// The chip's firmware identity, read at every start through the control pipe and published
// as per-station values, and the NS-mode values of a station.
#include <cstdio>
#include <cstring>

#include "protocol/vendor_request.h"
#include "station/driver_globals.h"
#include "station/registry.h"
#include "station/station_start.h"

namespace vorn::station {
namespace {

constexpr LONGLONG kTwoSeconds = -20000000;
constexpr ULONG kDirectionIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
constexpr ULONG kLastOldImageCode = 16;  // images up to this know no command-set version
constexpr ULONG kDirectionOut = USBD_SHORT_TRANSFER_OK;
constexpr ULONG kSerialNumberBytes = 128;
constexpr ULONG kComputerInfoBytes = 104;
constexpr USHORT kComputerInfoValue = 1;
constexpr unsigned kMinComputerInfoVersion = 0x0102;
constexpr ULONG kFirstNsCmdVersion = 7;  // the first command set that knows NS mode

constexpr const char16_t* kNsValues[] = {
    u"NS_Mode",           u"NS_ComputerInfo",         u"NS_MonitorInfo0",
    u"NS_MonitorInfo1",   u"NS_MonitorOrientation0",  u"NS_MonitorOrientation1",
    u"NS_MonitorProjection0", u"NS_MonitorProjection1", u"NS_TvWallInfo0",
    u"NS_TvWallInfo1",    u"NS_MonitorNeighborhood0", u"NS_MonitorNeighborhood1",
    u"NS_StreamingProtocol0", u"NS_StreamingProtocol1",
};

// One vendor request through the control pipe, always bounded by the 2 s time-out: a chip
// that does not answer must not hold the start or the worker (and the pipe's mutex) forever.
NTSTATUS Transfer(StationExtension* station, ULONG direction, UCHAR request, USHORT value,
                  USHORT index, void* buffer, ULONG length, ULONG* transferred) {
  PipeOps& pipe = station->Pipes[kControlPipe];
  *transferred = 0;
  if (!pipe.Object || !pipe.ControlTransfer) return STATUS_DEVICE_NOT_READY;
  LARGE_INTEGER timeout;
  timeout.QuadPart = kTwoSeconds;
  ULONG usbd = 0;
  return pipe.ControlTransfer(pipe.Object, direction, URB_FUNCTION_VENDOR_DEVICE, request, value,
                              index, length, buffer, transferred, &timeout, &usbd);
}

// Reads an IN request into |buffer|. A short answer is used as it came: the bytes the chip
// did not send are zeroed, so no stale byte of an earlier read survives.
NTSTATUS ReadIn(StationExtension* station, UCHAR request, USHORT value, USHORT index,
                void* buffer, ULONG length) {
  ULONG transferred = 0;
  NTSTATUS status = Transfer(station, kDirectionIn, request, value, index, buffer, length,
                             &transferred);
  if (NT_SUCCESS(status) && transferred < length)
    std::memset(static_cast<UCHAR*>(buffer) + transferred, 0, length - transferred);
  return status;
}

NTSTATUS ReadItem(StationExtension* station, USHORT item, void* buffer, ULONG length) {
  return ReadIn(station, protocol::ReqReadDeviceValue, 0, item, buffer, length);
}

void WriteDword(StationExtension* station, const char16_t* name, ULONG value) {
  WriteStationValue(station->StationIndex, name, REG_DWORD, sizeof value, &value);
}

}  // namespace

NTSTATUS ReadFirmwareInfo(StationExtension* station) {
  using namespace protocol;
  NTSTATUS status = ReadItem(station, DeviceValueBootCodeVersion, &station->BootCodeVersion, 4);
  if (!NT_SUCCESS(status)) return status;
  WriteDword(station, u"BootCodeVersion", station->BootCodeVersion);
  status = ReadItem(station, DeviceValueImageCodeVersion, &station->ImageCodeVersion, 4);
  if (!NT_SUCCESS(status)) return status;
  WriteDword(station, u"ImageCodeVersion", station->ImageCodeVersion);

  if (station->ImageCodeVersion <= kLastOldImageCode) {
    station->VendorCmdVersion = 0;
  } else {
    ULONG version = station->VendorCmdVersion;
    if (NT_SUCCESS(ReadItem(station, DeviceValueVendorCmdVersion, &version, 4)))
      station->VendorCmdVersion = version;  // a failure keeps the previous value
  }
  WriteDword(station, u"VendorCmdVersion", station->VendorCmdVersion);

  const bool feature = station->VendorCmdVersion >= 4;
  station->FeatureFlags[0] = static_cast<UCHAR>((station->FeatureFlags[0] & ~1u) | (feature ? 1 : 0));

  if (station->VendorCmdVersion == 0) {
    station->HwPlatform = 1;
  } else {
    status = ReadItem(station, DeviceValueHwPlatform, &station->HwPlatform, 4);
    if (!NT_SUCCESS(status)) return status;
  }
  WriteDword(station, u"HwPlatform", station->HwPlatform);

  if (station->VendorCmdVersion < 3) {
    std::memset(station->DeviceId, 0, sizeof station->DeviceId);
  } else {
    status = ReadItem(station, DeviceValueDeviceId, station->DeviceId, sizeof station->DeviceId);
    if (!NT_SUCCESS(status)) return status;
  }
  WriteSerialNumberValue(station, *reinterpret_cast<UCHAR(*)[8]>(station->DeviceId));

  if (feature) {
    UCHAR answer[4] = {};
    status = ReadIn(station, ReqReadRomSize, 0, 0, answer, sizeof answer);
    if (!NT_SUCCESS(status)) return status;
    station->RomSize = static_cast<ULONG>(answer[0]) << 20;
  } else {
    station->RomSize = 0;
  }
  WriteDword(station, u"RomSize", station->RomSize);

  status = ReadItem(station, DeviceValuePrjCode, station->PrjCode, sizeof station->PrjCode);
  if (!NT_SUCCESS(status)) return status;
  WriteStationValue(station->StationIndex, u"PrjCode", REG_BINARY, sizeof station->PrjCode,
                    station->PrjCode);
  return STATUS_SUCCESS;
}

void WriteSerialNumberValue(StationExtension* station, const UCHAR (&id)[8]) {
  unsigned high = id[6] | id[7] << 8;
  unsigned middle = id[4] | id[5] << 8;
  unsigned long low = static_cast<unsigned long>(id[0] | id[1] << 8 | id[2] << 16) |
                      static_cast<unsigned long>(id[3]) << 24;
  char narrow[32];
  int n = std::snprintf(narrow, sizeof narrow, "%04X-%04X-%08lX", high, middle, low);
  char16_t text[kSerialNumberBytes / 2] = {};
  for (int i = 0; i < n && i < static_cast<int>(kSerialNumberBytes / 2) - 1; ++i)
    text[i] = static_cast<unsigned char>(narrow[i]);
  WriteStationValue(station->StationIndex, u"SerialNumber", REG_SZ, kSerialNumberBytes, text);
}

NTSTATUS WriteDeviceId(StationExtension* station, const UCHAR (&id)[8]) {
  UCHAR data[8];
  std::memcpy(data, id, sizeof data);
  ULONG transferred = 0;
  NTSTATUS status = Transfer(station, kDirectionOut, protocol::ReqWriteDeviceId, 0, 0, data,
                             sizeof data, &transferred);
  if (!NT_SUCCESS(status)) return status;
  // The control pipe reads item 5 from the chip again instead of answering from its cache.
  station->DeviceIdStale = 1;
  status = ReadItem(station, protocol::DeviceValueDeviceId, station->DeviceId,
                    sizeof station->DeviceId);
  if (!NT_SUCCESS(status)) return status;
  if (std::memcmp(station->DeviceId, id, sizeof data) != 0) return STATUS_UNSUCCESSFUL;
  WriteSerialNumberValue(station, id);
  return STATUS_SUCCESS;
}

namespace {

// The computer-information block names a host the chip works for: a version from 0x0102, a
// host id that is not zero and a non-zero u16 at byte 32.
bool ComputerInfoValid(const UCHAR* block) {
  const unsigned version = block[0] | block[1] << 8;
  bool id = false;
  for (int i = 4; i < 12; ++i) id = id || block[i] != 0;
  const unsigned at32 = block[32] | block[33] << 8;
  return version >= kMinComputerInfoVersion && id && at32 != 0;
}

NTSTATUS EnterNsMode(StationExtension* station) {
  if (!g_StationGlobals->SupportNS || station->VendorCmdVersion < kFirstNsCmdVersion)
    return STATUS_UNSUCCESSFUL;
  UCHAR block[kComputerInfoBytes] = {};
  NTSTATUS status = ReadIn(station, protocol::ReqNsRead, kComputerInfoValue, 0, block,
                           sizeof block);
  if (!NT_SUCCESS(status)) return status;
  WriteStationValue(station->StationIndex, u"NS_ComputerInfo", REG_BINARY, sizeof block, block);
  if (!ComputerInfoValid(block)) return STATUS_UNSUCCESSFUL;
  WriteFlag(station->NsMode, 1);
  const UCHAR on = 1;
  WriteStationValue(station->StationIndex, u"NS_Mode", REG_BINARY, sizeof on, &on);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ReadNsComputerInfo(StationExtension* station) {
  NTSTATUS status = EnterNsMode(station);
  if (!NT_SUCCESS(status)) WriteFlag(station->NsMode, 0);
  return status;
}

void ClearNsMode(StationExtension* station) { WriteFlag(station->NsMode, 0); }

bool FormatFirmwareKeyPath(const UCHAR (&prj_code)[16], WCHAR (&path)[kFirmwareKeyPathChars]) {
  static constexpr char16_t kFirmwareKey[] = u"Parameters\\Firmware\\";
  constexpr size_t kPrefixChars = sizeof kFirmwareKey / 2 - 1;
  static_assert(kPrefixChars + sizeof prj_code < kFirmwareKeyPathChars);
  std::memset(path, 0, sizeof path);
  std::memcpy(path, kFirmwareKey, kPrefixChars * 2);
  // The code names a key: it ends at its first zero, at 16 bytes, or at the first byte that
  // has no place in a key name (a control character, the path separator, anything not ASCII).
  size_t n = 0;
  while (n < sizeof prj_code && prj_code[n] >= 0x20 && prj_code[n] < 0x7F && prj_code[n] != '\\') {
    path[kPrefixChars + n] = prj_code[n];
    ++n;
  }
  if (n == 0) std::memset(path, 0, sizeof path);
  return n != 0;
}

void DeleteNsValues(StationExtension* station) {
  for (const char16_t* name : kNsValues) DeleteStationValue(station->StationIndex, name);
}

}  // namespace vorn::station
