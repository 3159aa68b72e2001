// Gamma: whether the host may be offered SetGamma, the view's SetGamma callback, and the
// loading of a GammaRamp into the device. Each view keeps a copy of the last ramp the device
// accepted; its byte 0 reads 0 after off, 1 (with the tables) after on, and 255 while the
// device state is unknown and must be written again (after a reset or a failed request).
#pragma once

#include "display/device/device.h"
#include "protocol/gamma.h"

namespace vorn::display {

constexpr uint32_t kGammaMinCmdVersion = 8;
static_assert(protocol::kGammaRampSize == kGammaRampSize);

// The host's interface version offers gamma when its major number is at least 1 and its minor
// number at least 5, each compared by itself, so a host of version 2.0 gets none; the device
// needs command-set version 8 or later.
bool GammaOffered(const SorvikDevice* device);

// Loads |ramp| (772 bytes) as |kind| into the device:
// - a device below command-set version 8: STATUS_NOT_SUPPORTED;
// - kind 0: gamma off, sent unless the copy already reads off;
// - kind 1: the three tables (wIndex 0x100 from +516, 0x200 from +260, 0x400 from +4) and the
//   control on, all under one hold of the device lock, unless the ramp equals the copy; a null
//   ramp is refused with STATUS_INVALID_PARAMETER;
// - any other kind: 0, nothing sent.
// The copy takes the new state only when every request succeeded; a failure marks it 255, so
// the next ramp, whichever it is, is sent. A device lock not had: STATUS_UNSUCCESSFUL. A view
// without a copy: STATUS_INSUFFICIENT_RESOURCES.
NTSTATUS SetGammaRamp(ViewContext* view, uint8_t kind, const uint8_t* ramp);

// Turns the view's gamma off on the device and marks the copy so the host's next ramp is sent.
NTSTATUS ResetGamma(ViewContext* view);

// The view callback: SetGammaRamp with the ramp's byte 0 as the kind. A null ramp sends
// nothing. Always 0.
NTSTATUS SetGamma(ViewContext* view, const void* ramp);

}  // namespace vorn::display
