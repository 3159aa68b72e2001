#include "display/views/gamma.h"

#include <cstring>

#include "display/device/trace.h"
#include "display/device/trace_messages.h"
#include "display/device/vendor_requests.h"
#include "protocol/vendor_request.h"

namespace vorn::display {
namespace {

constexpr size_t kTablesOffset = offsetof(protocol::GammaRamp, Tables);

void TraceFailed(uint8_t code, uint16_t value, uint16_t index, NTSTATUS status) {
  TracePoint(kTraceVendor, kTraceError, kTraceUnitTransfers, kMsgVendorFailed,
             {code, value, index, static_cast<uint32_t>(status)});
}

// One gamma request; the caller holds the device lock.
NTSTATUS SendLocked(SorvikDevice* device, uint8_t code, uint16_t value, uint16_t index,
                    const void* data, uint32_t length) {
  NTSTATUS status =
      VendorRequestOut(device, device->UsbDevice, code, value, index, data, length);
  if (!NT_SUCCESS(status)) TraceFailed(code, value, index, status);
  return status;
}

NTSTATUS GammaOff(ViewContext* view) {
  SorvikDevice* device = view->Owner;
  uint8_t* copy = view->GammaCopy;
  if (copy[0] == protocol::kGammaKindOff) return STATUS_SUCCESS;
  if (AcquireDeviceLock(device) != STATUS_SUCCESS) {
    TracePoint(kTraceVendor, kTraceError, kTraceUnitTransfers, kMsgLockTimeout,
               {protocol::ReqGammaControl});
    return STATUS_UNSUCCESSFUL;
  }
  const uint16_t value = static_cast<uint16_t>((view->Index << 8) + protocol::kGammaControlOff);
  NTSTATUS status = SendLocked(device, protocol::ReqGammaControl, value, 0, nullptr, 0);
  ReleaseDeviceLock(device);
  copy[0] = NT_SUCCESS(status) ? protocol::kGammaKindOff : protocol::kGammaKindRewrite;
  return status;
}

NTSTATUS GammaOn(ViewContext* view, const uint8_t* ramp) {
  SorvikDevice* device = view->Owner;
  uint8_t* copy = view->GammaCopy;
  if (std::memcmp(ramp, copy, kGammaRampSize) == 0) return STATUS_SUCCESS;
  if (AcquireDeviceLock(device) != STATUS_SUCCESS) {
    TracePoint(kTraceVendor, kTraceError, kTraceUnitTransfers, kMsgLockTimeout,
               {protocol::ReqGammaTable});
    return STATUS_UNSUCCESSFUL;
  }
  const uint16_t value = static_cast<uint16_t>(view->Index << 8);
  NTSTATUS status = STATUS_SUCCESS;
  // Last table first: wIndex 0x100, 0x200, then 0x400.
  for (size_t t = protocol::kGammaTableCount; t-- > 0 && NT_SUCCESS(status);)
    status = SendLocked(device, protocol::ReqGammaTable, value, protocol::kGammaTableIndex[t],
                        ramp + kTablesOffset + t * protocol::kGammaTableSize,
                        protocol::kGammaTableSize);
  if (NT_SUCCESS(status))
    status = SendLocked(device, protocol::ReqGammaControl,
                        static_cast<uint16_t>(value + protocol::kGammaControlOn), 0, nullptr, 0);
  ReleaseDeviceLock(device);
  // The device now holds some of the new tables or all of them without the control: what it
  // shows is known only when everything went through.
  if (NT_SUCCESS(status))
    std::memcpy(copy, ramp, kGammaRampSize);
  else
    copy[0] = protocol::kGammaKindRewrite;
  return status;
}

}  // namespace

bool GammaOffered(const SorvikDevice* device) {
  return device->Host.VersionMajor >= 1 && device->Host.VersionMinor >= 5 &&
         device->VendorCmdVersion >= kGammaMinCmdVersion;
}

NTSTATUS SetGammaRamp(ViewContext* view, uint8_t kind, const uint8_t* ramp) {
  SorvikDevice* device = view->Owner;
  if (!device || device->VendorCmdVersion < kGammaMinCmdVersion) return STATUS_NOT_SUPPORTED;
  if (kind == protocol::kGammaKindOff) {
    if (!view->GammaCopy) return STATUS_INSUFFICIENT_RESOURCES;
    return GammaOff(view);
  }
  if (kind == protocol::kGammaKindOn) {
    if (!ramp) return STATUS_INVALID_PARAMETER;
    if (!view->GammaCopy) return STATUS_INSUFFICIENT_RESOURCES;
    return GammaOn(view, ramp);
  }
  return STATUS_SUCCESS;
}

NTSTATUS ResetGamma(ViewContext* view) {
  SorvikDevice* device = view->Owner;
  if (!device || device->VendorCmdVersion < kGammaMinCmdVersion) return STATUS_NOT_SUPPORTED;
  if (!view->Present) return STATUS_SUCCESS;
  if (view->GammaCopy) {
    // 255 marks the device state as unknown, so the off below is sent and no later ramp equals
    // the copy; a successful off leaves the copy reading off.
    view->GammaCopy[0] = protocol::kGammaKindRewrite;
    SetGammaRamp(view, protocol::kGammaKindOff, view->GammaCopy);
  }
  return STATUS_SUCCESS;
}

NTSTATUS SetGamma(ViewContext* view, const void* ramp) {
  if (!view || !ramp) return STATUS_SUCCESS;
  const auto* bytes = static_cast<const uint8_t*>(ramp);
  SetGammaRamp(view, bytes[0], bytes);
  return STATUS_SUCCESS;
}

}  // namespace vorn::display
