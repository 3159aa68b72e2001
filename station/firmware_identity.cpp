// The chip's firmware identity, read at every start through the control pipe and published
// as per-station values, and the NS-mode values of a station.
#include <cstdio>
#include <cstring>

#include "protocol/vendor_request.h"
#include "station/registry.h"
#include "station/station_start.h"

namespace vorn::station {
namespace {

constexpr LONGLONG kTwoSeconds = -20000000;
constexpr ULONG kDirectionIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
constexpr ULONG kLastOldImageCode = 16;  // images up to this know no command-set version
constexpr ULONG kSerialNumberBytes = 128;

constexpr const char16_t* kNsValues[] = {
    u"NS_Mode",           u"NS_ComputerInfo",         u"NS_MonitorInfo0",
    u"NS_MonitorInfo1",   u"NS_MonitorOrientation0",  u"NS_MonitorOrientation1",
    u"NS_MonitorProjection0", u"NS_MonitorProjection1", u"NS_TvWallInfo0",
    u"NS_TvWallInfo1",    u"NS_MonitorNeighborhood0", u"NS_MonitorNeighborhood1",
    u"NS_StreamingProtocol0", u"NS_StreamingProtocol1",
};

NTSTATUS ReadIn(StationExtension* station, UCHAR request, USHORT index, void* buffer,
                ULONG length, bool timed) {
  PipeOps& pipe = station->Pipes[kControlPipe];
  if (!pipe.Object || !pipe.ControlTransfer) return STATUS_DEVICE_NOT_READY;
  LARGE_INTEGER timeout;
  timeout.QuadPart = kTwoSeconds;
  ULONG transferred = 0, usbd = 0;
  NTSTATUS status = pipe.ControlTransfer(pipe.Object, kDirectionIn, URB_FUNCTION_VENDOR_DEVICE,
                                         request, 0, index, length, buffer, &transferred,
                                         timed ? &timeout : nullptr, &usbd);
  // An answer shorter than the item leaves the item unknown rather than half read.
  if (NT_SUCCESS(status) && transferred < length) status = STATUS_DEVICE_DATA_ERROR;
  return status;
}

void WriteDword(StationExtension* station, const char16_t* name, ULONG value) {
  WriteStationValue(station->StationIndex, name, REG_DWORD, sizeof value, &value);
}

}  // namespace

NTSTATUS ReadFirmwareInfo(StationExtension* station) {
  using namespace protocol;
  NTSTATUS status = ReadIn(station, ReqReadDeviceValue, DeviceValueBootCodeVersion,
                           &station->BootCodeVersion, 4, false);
  if (!NT_SUCCESS(status)) return status;
  WriteDword(station, u"BootCodeVersion", station->BootCodeVersion);
  status = ReadIn(station, ReqReadDeviceValue, DeviceValueImageCodeVersion,
                  &station->ImageCodeVersion, 4, false);
  if (!NT_SUCCESS(status)) return status;
  WriteDword(station, u"ImageCodeVersion", station->ImageCodeVersion);

  if (station->ImageCodeVersion <= kLastOldImageCode) {
    station->VendorCmdVersion = 0;
  } else {
    ULONG version = station->VendorCmdVersion;
    if (NT_SUCCESS(ReadIn(station, ReqReadDeviceValue, DeviceValueVendorCmdVersion, &version, 4,
                          true)))
      station->VendorCmdVersion = version;  // a failure keeps the previous value
  }
  WriteDword(station, u"VendorCmdVersion", station->VendorCmdVersion);

  const bool feature = station->VendorCmdVersion >= 4;
  station->FeatureFlags[0] = static_cast<UCHAR>((station->FeatureFlags[0] & ~1u) | (feature ? 1 : 0));

  if (station->VendorCmdVersion == 0) {
    station->HwPlatform = 1;
  } else {
    status = ReadIn(station, ReqReadDeviceValue, DeviceValueHwPlatform, &station->HwPlatform, 4,
                    true);
    if (!NT_SUCCESS(status)) return status;
  }
  WriteDword(station, u"HwPlatform", station->HwPlatform);

  if (station->VendorCmdVersion < 3) {
    std::memset(station->DeviceId, 0, sizeof station->DeviceId);
  } else {
    status = ReadIn(station, ReqReadDeviceValue, DeviceValueDeviceId, station->DeviceId,
                    sizeof station->DeviceId, true);
    if (!NT_SUCCESS(status)) return status;
  }
  WriteSerialNumberValue(station, *reinterpret_cast<UCHAR(*)[8]>(station->DeviceId));

  if (feature) {
    UCHAR answer[4] = {};
    status = ReadIn(station, ReqReadRomSize, 0, answer, sizeof answer, true);
    if (!NT_SUCCESS(status)) return status;
    station->RomSize = static_cast<ULONG>(answer[0]) << 20;
  } else {
    station->RomSize = 0;
  }
  WriteDword(station, u"RomSize", station->RomSize);

  status = ReadIn(station, ReqReadDeviceValue, DeviceValuePrjCode, station->PrjCode,
                  sizeof station->PrjCode, false);
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

void ClearNsMode(StationExtension* station) { station->NsMode = 0; }

void DeleteNsValues(StationExtension* station) {
  for (const char16_t* name : kNsValues) DeleteStationValue(station->StationIndex, name);
}

}  // namespace vorn::station
