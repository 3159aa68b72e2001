#include "display/views/present.h"

#include <cstring>

#include "display/views/dirty_rects.h"
#include "display/modes/modes.h"
#include "display/device/trace.h"
#include "display/device/trace_messages.h"

namespace vorn::display {
namespace {

int32_t Clamp(int32_t v, int32_t low, int32_t high) { return v < low ? low : v > high ? high : v; }
int32_t Edge(uint32_t size) { return size > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int32_t>(size); }

}  // namespace

bool LockViewFrame(ViewContext* view) {
  if (!view->FrameLock) return false;
  if (LockTimed(view->Owner, view->FrameLock, kFrameLockTimeoutMs)) return true;
  TracePoint(kTraceHost, kTraceError, kTraceUnitViews, kMsgFrameLockTimeout, {view->Index});
  return false;
}

void UnlockViewFrame(ViewContext* view) {
  if (view->FrameLock) Unlock(view->Owner, view->FrameLock);
}

void CopyRectFromHost(ViewContext* view, const void* surface, uint32_t pitch, int32_t left,
                      int32_t top, int32_t right, int32_t bottom) {
  const ViewModes& m = view->Modes;
  const uint32_t bytes_per_pixel = m.BitsPerPixel / 8;
  if (!surface || !view->SystemFrame || bytes_per_pixel == 0) return;
  // Clip to the mode before anything is touched: a rectangle outside it, inverted or with
  // negative edges must neither read before the surface nor write past the frame.
  const int32_t width = Edge(m.Width), height = Edge(m.Height);
  left = Clamp(left, 0, width);
  right = Clamp(right, 0, width);
  top = Clamp(top, 0, height);
  bottom = Clamp(bottom, 0, height);
  if (left >= right || top >= bottom) return;
  const uint64_t frame_pitch = m.SystemFramePitch;
  const uint64_t row_bytes = uint64_t(right - left) * bytes_per_pixel;
  const uint64_t first = uint64_t(top) * frame_pitch + uint64_t(left) * bytes_per_pixel;
  // The frame was sized for the largest offered mode; a mode that does not fit it is not
  // copied at all.
  if (row_bytes > frame_pitch ||
      first + uint64_t(bottom - top - 1) * frame_pitch + row_bytes > view->SystemFrameSize)
    return;

  const bool locked = LockViewFrame(view);
  const auto* src = static_cast<const uint8_t*>(surface) + uint64_t(top) * pitch +
                    uint64_t(left) * bytes_per_pixel;
  uint8_t* dst = view->SystemFrame + first;
  for (int32_t y = top; y < bottom; ++y) {
    std::memcpy(dst, src, row_bytes);
    src += pitch;
    dst += frame_pitch;
  }
  if (locked) UnlockViewFrame(view);
}

NTSTATUS AllocSystemFrame(ViewContext* view) {
  FreeSystemFrame(view);
  const uint32_t bytes = ViewBufferFrameBytes(view);
  if (bytes == 0) return STATUS_UNSUCCESSFUL;
  view->SystemFrame = static_cast<uint8_t*>(HeapZalloc(view->Owner, bytes));
  if (!view->SystemFrame) return STATUS_UNSUCCESSFUL;
  view->SystemFrameSize = bytes;
  return STATUS_SUCCESS;
}

void FreeSystemFrame(ViewContext* view) {
  if (view->SystemFrame) HeapRelease(view->Owner, view->SystemFrame);
  view->SystemFrame = nullptr;
  view->SystemFrameSize = 0;
}

NTSTATUS Present(ViewContext* view, const HostUpdate* update) {
  if (!view || !update || !update->Rects) return STATUS_SUCCESS;
  for (ULONG i = 0; i < update->RectCount; ++i) {
    const HostRect& h = update->Rects[i];
    // The host's edges are unsigned; read as signed, a "negative" edge clips to 0.
    const DirtyRect r{static_cast<int32_t>(h.Left), static_cast<int32_t>(h.Top),
                      static_cast<int32_t>(h.Right), static_cast<int32_t>(h.Bottom), 1};
    CopyRectFromHost(view, update->Surface, update->Pitch, r.left, r.top, r.right, r.bottom);
    QueueDirtyRect(view, r);
  }
  return STATUS_SUCCESS;
}

}  // namespace vorn::display
