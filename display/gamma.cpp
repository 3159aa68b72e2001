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
    // Off is sent whenever the copy is not already off; 255 forces it and makes every later
    // ramp differ from the copy.
    view->GammaCopy[0] = kGammaRewrite;
    if (NT_SUCCESS(SendGammaControl(device, view->Index, kGammaModeOff))) view->GammaCopy[0] = 0;
  }
  return STATUS_SUCCESS;
}

}  // namespace vorn::display
