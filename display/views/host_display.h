// The view hand-shake with the host: the DisplayInterface a view hands to AcquireDisplay, the
// view callbacks the host calls through it, and the EDID fetch that feeds the view's modes.
#pragma once

#include "display/device/device.h"

namespace vorn::display {

// Queries the view's monitor and, unless detection is on and no monitor is there (the monitor
// request's status is returned then), rebuilds the mode list (not in IpMode), fetches and
// processes the EDID (the default modes when there is none), builds the TargetMode array
// (its failure is returned before the host is called), fills the DisplayInterface and calls
// the host's AcquireDisplay, keeping its answer as hDisplayContext.
NTSTATUS AcquireHostDisplay(ViewContext* view);
// Stops the view's threads and hands a held context back through ReleaseDisplay. Returns 0.
NTSTATUS ReleaseHostDisplay(ViewContext* view);

// Reads the view's EDID into its buffer (512 bytes to start, grown and read again when the
// EDID has more blocks), sets EdidSize and, when |process| is set, marks the view's modes from
// it. When |destination| and |size| are given, min(*size, EdidSize) bytes are copied there and
// *size becomes EdidSize. A failed read, or a block 0 without the EDID header, is no EDID:
// EdidSize 0 and STATUS_UNSUCCESSFUL (with |process|, the timing cache is emptied). In IpMode
// only the stored EDID is copied out, nothing read or processed. With |process| the caller
// must not hold the view's mode lock.
NTSTATUS FetchEdid(ViewContext* view, uint8_t* destination, uint32_t* size, bool process);

}  // namespace vorn::display
