// The panel operations: each handler checks the chip's command set, then sends its vendor
// requests through the control pipe (which serialises them with every other request of the
// station and repeats a cancelled attempt), each bounded by the 2 s time-out.
#include "station/panel_ops.h"

#include <cstring>

#include "protocol/byte_order.h"
#include "protocol/panel_property.h"
#include "protocol/vendor_request.h"
#include "station/station_extension.h"

namespace vorn::station {
namespace {

constexpr ULONG kFirstPanelCmdVersion = 8;  // the first command set that knows the panel
constexpr LONGLONG kTwoSeconds = -20000000;
constexpr ULONG kDirectionIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
constexpr ULONG kDirectionOut = USBD_SHORT_TRANSFER_OK;

constexpr ULONG kLanguageBlockBytes = protocol::kVendorChunkSize;
// wIndex carries the block number in its low byte and the language in its high byte.
constexpr ULONG kMaxLanguageBlocks = 256;
constexpr ULONG kMaxLanguageIndex = 0xFF;

constexpr ULONG kSecurityKeyBytes = 16;
constexpr ULONG kLanguageIndexBytes = 8;
constexpr USHORT kThirdPartyVersionItem = protocol::DeviceValueThirdPartyVersion;

constexpr UCHAR kNightLightOn = 1;  // the mode that carries a level
constexpr UCHAR kLastNightLightMode = 3;
constexpr USHORT kNightLightLevelFlag = 0x100;

constexpr ULONG kGammaTableBytes = 256;
struct GammaTable {
  USHORT index;
  ULONG offset;  // within the ramp
};
// Sent in this order: the third table first.
constexpr GammaTable kGammaTables[] = {{0x100, 516}, {0x200, 260}, {0x400, 4}};

bool PanelSupported(const StationExtension* station) {
  return station->VendorCmdVersion >= kFirstPanelCmdVersion;
}

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

NTSTATUS Out(StationExtension* station, UCHAR request, USHORT value, USHORT index,
             const void* data = nullptr, ULONG length = 0) {
  ULONG transferred = 0;
  return Transfer(station, kDirectionOut, request, value, index, const_cast<void*>(data), length,
                  &transferred);
}

// An IN request of |length| bytes into |output|. The answer goes through a local buffer so
// that a failed transfer leaves |output| as it was, and bytes a short answer did not bring
// are zero rather than what the buffer held before. An IN request without data stage has
// |length| 0.
NTSTATUS In(StationExtension* station, UCHAR request, USHORT value, USHORT index, void* output,
            ULONG length) {
  UCHAR answer[kSecurityKeyBytes] = {};
  ULONG transferred = 0;
  NTSTATUS status = Transfer(station, kDirectionIn, request, value, index,
                             length ? answer : nullptr, length, &transferred);
  if (NT_SUCCESS(status) && length) std::memcpy(output, answer, length);
  return status;
}

}  // namespace

NTSTATUS GetPanelProperty(StationExtension* station, ULONG id, UCHAR* buffer) {
  if (!PanelSupported(station)) return STATUS_NOT_SUPPORTED;
  if (!buffer) return STATUS_INVALID_PARAMETER;
  switch (id) {
    case protocol::PanelPropertyCamera:
      return In(station, protocol::ReqGetCameraTouch, 0, 0, buffer, 1);
    case protocol::PanelPropertyTouch:
      return In(station, protocol::ReqGetCameraTouch, 1, 0, buffer, 1);
    case protocol::PanelPropertyBrightness:
      return In(station, protocol::ReqGetBrightness, 0, 0, buffer, 1);
    case protocol::PanelPropertyDword:
      return In(station, protocol::ReqGetPanelDword, 0, 0, buffer, 4);
    default:  // rotation has no get
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS SetPanelProperty(StationExtension* station, const UCHAR* request) {
  if (!PanelSupported(station)) return STATUS_NOT_SUPPORTED;
  protocol::PanelPropertyRequest r;
  if (!protocol::DecodePanelPropertyRequest(
          protocol::AsBytes(request, protocol::kPanelPropertyRequestSize), &r))
    return STATUS_INVALID_PARAMETER;
  const USHORT low = static_cast<USHORT>(r.Value);
  switch (r.Id) {
    case protocol::PanelPropertyCamera:
      return In(station, protocol::ReqSetCameraTouch, 0, low, nullptr, 0);
    case protocol::PanelPropertyTouch:
      return In(station, protocol::ReqSetCameraTouch, 1, low, nullptr, 0);
    case protocol::PanelPropertyBrightness:
      return In(station, protocol::ReqSetBrightness, low, 0, nullptr, 0);
    case protocol::PanelPropertyDword:
      return Out(station, protocol::ReqSetPanelDword, 0, 0, request + 4, 4);
    case protocol::PanelPropertyRotation: {
      const UCHAR rotation = protocol::PanelRotation(r);
      const UCHAR flag = protocol::PanelRotationFlag(r);
      if (rotation > 3 || flag > 1) return STATUS_INVALID_PARAMETER;
      return In(station, protocol::ReqSetRotation, flag, rotation, nullptr, 0);
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS GetPanelSecurityKey(StationExtension* station, UCHAR* output) {
  if (!PanelSupported(station)) return STATUS_NOT_SUPPORTED;
  if (!output) return STATUS_INVALID_PARAMETER;
  return In(station, protocol::ReqGetPanelSecurityKey, 0, 0, output, kSecurityKeyBytes);
}

NTSTATUS GetLanguageIndex(StationExtension* station, ULONG selector, UCHAR* output) {
  if (!PanelSupported(station)) return STATUS_NOT_SUPPORTED;
  if (!output) return STATUS_INVALID_PARAMETER;
  return In(station, protocol::ReqGetLanguageIndex, selector == 1 ? 1 : 0, 0, output,
            kLanguageIndexBytes);
}

NTSTATUS SetLanguageIndex(StationExtension* station, ULONG index) {
  if (!PanelSupported(station)) return STATUS_NOT_SUPPORTED;
  return Out(station, protocol::ReqSetLanguageIndex, static_cast<USHORT>(index), 0);
}

NTSTATUS SetLanguageData(StationExtension* station, ULONG index, const UCHAR* data,
                         ULONG length) {
  if (!PanelSupported(station)) return STATUS_NOT_SUPPORTED;
  if (length == 0) return STATUS_SUCCESS;
  // The block number travels in one byte and the language in the other: more blocks or a
  // larger index would be numbered over earlier ones, so they are refused before anything is
  // sent.
  const ULONG blocks = length / kLanguageBlockBytes + (length % kLanguageBlockBytes != 0);
  if (!data || blocks > kMaxLanguageBlocks || index > kMaxLanguageIndex)
    return STATUS_INVALID_PARAMETER;
  ULONG offset = 0;
  for (ULONG i = 0; i < blocks; ++i) {
    const ULONG n = length - offset < kLanguageBlockBytes ? length - offset : kLanguageBlockBytes;
    NTSTATUS status = Out(station, protocol::ReqSetLanguageData, static_cast<USHORT>(blocks),
                          static_cast<USHORT>(index << 8 | i), data + offset, n);
    if (!NT_SUCCESS(status)) return status;
    offset += n;
  }
  return STATUS_SUCCESS;
}

NTSTATUS SaveLanguageData(StationExtension* station) {
  if (!PanelSupported(station)) return STATUS_NOT_SUPPORTED;
  NTSTATUS status = Out(station, protocol::ReqSaveLanguageData, 0, 0);
  // Busy until the chip reports the end of the save on the interrupt pipe.
  if (NT_SUCCESS(status)) KeSetEvent(&station->PanelBusyEvent, 0, FALSE);
  return status;
}

NTSTATUS NightLightControl(StationExtension* station, const UCHAR* input) {
  if (!PanelSupported(station)) return STATUS_NOT_SUPPORTED;
  if (!input) return STATUS_INVALID_PARAMETER;
  const UCHAR view = input[0], mode = input[1], level = input[2];
  if (mode > kLastNightLightMode) return STATUS_INVALID_PARAMETER;
  const USHORT index = mode == kNightLightOn ? static_cast<USHORT>(kNightLightLevelFlag | level) : 0;
  return Out(station, protocol::ReqGammaControl, static_cast<USHORT>(view << 8 | mode), index);
}

NTSTATUS SetNightLightTables(StationExtension* station, const UCHAR* ramp) {
  if (!PanelSupported(station)) return STATUS_NOT_SUPPORTED;
  if (!ramp) return STATUS_INVALID_PARAMETER;
  const UCHAR view = ramp[0], mode = ramp[1];
  if (mode != kNightLightOn)
    return Out(station, protocol::ReqGammaControl, static_cast<USHORT>(view << 8 | mode), 0);
  for (const GammaTable& table : kGammaTables) {
    NTSTATUS status = Out(station, protocol::ReqGammaTable, static_cast<USHORT>(view << 8),
                          table.index, ramp + table.offset, kGammaTableBytes);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

NTSTATUS GetThirdPartyVersion(StationExtension* station, UCHAR* output) {
  if (!PanelSupported(station)) return STATUS_NOT_SUPPORTED;
  if (!output) return STATUS_INVALID_PARAMETER;
  // Never from the control pipe's cache, which holds items 0-5 only; a transfer that failed
  // before any data reads as 0.
  UCHAR answer[4] = {};
  ULONG transferred = 0;
  NTSTATUS status = Transfer(station, kDirectionIn, protocol::ReqReadDeviceValue, 0,
                             kThirdPartyVersionItem, answer, sizeof answer, &transferred);
  std::memcpy(output, answer, sizeof answer);
  return status;
}

NTSTATUS ResetChip(StationExtension* station) {
  if (!PanelSupported(station)) return STATUS_NOT_SUPPORTED;
  return Out(station, protocol::ReqResetChip, 0, 0);
}

NTSTATUS SetThirdPartyMode(StationExtension* station, ULONG mode) {
  if (!PanelSupported(station)) return STATUS_NOT_SUPPORTED;
  return Out(station, protocol::ReqSetThirdPartyMode, static_cast<USHORT>(mode), 0);
}

}  // namespace vorn::station
