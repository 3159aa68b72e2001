// The view's system frame (its own copy of the desktop, which the encoders read) and the
// copy of the host's updates into it.
//
// The frame holds ((largest offered width + 31) >> 5) x largest offered height x 128 bytes
// (4 bytes a pixel, rows rounded up to 32 pixels); it is allocated when the mode list is
// rebuilt. Its pitch is view->Modes.SystemFramePitch (the mode width rounded up to 16, times
// bytes per pixel), set when a mode is applied. FrameLock guards it.
#pragma once

#include <cstdint>

#include "display/device/device.h"

namespace vorn::display {

constexpr uint32_t kFrameLockTimeoutMs = 10000;

// True when the view's FrameLock was acquired within 10 s. A caller that got false must not
// call UnlockViewFrame.
bool LockViewFrame(ViewContext* view);
void UnlockViewFrame(ViewContext* view);

// Copies the rectangle [left, right) x [top, bottom) of the host's surface (|pitch| bytes a
// row, the view's bits per pixel) into the system frame at the same place, under FrameLock.
// The rectangle is first clipped to the mode; an empty one copies nothing. When the lock is
// not had within 10 s the copy is made anyway (and the lock is not released).
void CopyRectFromHost(ViewContext* view, const void* surface, uint32_t pitch, int32_t left,
                      int32_t top, int32_t right, int32_t bottom);

// (Re)allocates the system frame for the view's largest offered mode; STATUS_UNSUCCESSFUL
// when the allocation fails (the view then has none).
NTSTATUS AllocSystemFrame(ViewContext* view);
void FreeSystemFrame(ViewContext* view);

// The view callback: for each rectangle in order, CopyRectFromHost and QueueDirtyRect.
// Always 0.
NTSTATUS Present(ViewContext* view, const HostUpdate* update);

}  // namespace vorn::display
