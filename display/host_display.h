// The view hand-shake with the host: the DisplayInterface a view hands to AcquireDisplay, and
// the view callbacks the host calls through it.
#pragma once

#include "display/device.h"

namespace vorn::display {

// Queries the view's monitor and, unless detection is on and no monitor is there, hands the
// view to the host and keeps its display context.
NTSTATUS AcquireHostDisplay(ViewContext* view);
NTSTATUS ReleaseHostDisplay(ViewContext* view);

}  // namespace vorn::display
