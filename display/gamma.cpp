#include "display/gamma.h"

#include "display/vendor_requests.h"

namespace vorn::display {
namespace {
constexpr uint8_t kGammaRewrite = 255;
constexpr uint8_t kGammaModeOff = 0;
}  // namespace

bool GammaOffered(const SorvikDevice* device) {
  return device->Host.VersionMajor >= 1 && device->Host.VersionMinor >= 5 &&
         device->VendorCmdVersion >= kGammaMinCmdVersion;
}

NTSTATUS ResetGamma(ViewContext* view) {
  SorvikDevice* device = view->Owner;
  if (!device || device->VendorCmdVersion < kGammaMinCmdVersion) return STATUS_NOT_SUPPORTED;
  if (!view->Present) return STATUS_SUCCESS;
  if (view->GammaCopy) {
    // 255 marks the device state as unknown, so the off below is sent and no later ramp equals
    // the copy; the copy then reads off.
    view->GammaCopy[0] = kGammaRewrite;
    SendGammaControl(device, view->Index, kGammaModeOff);
    view->GammaCopy[0] = kGammaModeOff;
  }
  return STATUS_SUCCESS;
}

}  // namespace vorn::display
