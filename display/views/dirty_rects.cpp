#include "display/views/dirty_rects.h"

#include "display/device/device.h"
#include "display/device/trace.h"
#include "display/device/trace_messages.h"
#include "platform/win32/synch.h"

namespace vorn::display {
namespace {

constexpr uint32_t Next(uint32_t i) { return (i + 1) % kDirtyRingEntries; }
constexpr uint32_t Prev(uint32_t i) { return (i + kDirtyRingEntries - 1) % kDirtyRingEntries; }

int32_t Clamp(int32_t v, int32_t low, int32_t high) { return v < low ? low : v > high ? high : v; }

// A mode size as a signed edge; sizes beyond the signed range cannot be a mode.
int32_t Edge(uint32_t size) { return size > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int32_t>(size); }

}  // namespace

void QueueDirtyRect(ViewContext* view, const DirtyRect& rect) {
  if (!view->ThreadsRunning || RectIsZero(rect)) return;
  const int32_t width = Edge(view->Modes.Width), height = Edge(view->Modes.Height);
  DirtyRect r{Clamp(rect.left, 0, width), Clamp(rect.top, 0, height), Clamp(rect.right, 0, width),
              Clamp(rect.bottom, 0, height), 1};
  if (r.left >= r.right || r.top >= r.bottom) return;
  SorvikDevice* device = view->Owner;
  LockUntimed(device, view->DirtyLock);
  bool folded = false;
  if (!MergeIntoQueued(view, r)) folded = !PushRect(view, r);
  Unlock(device, view->DirtyLock);
  if (folded)
    TracePoint(kTraceHost, kTraceInfo, kTraceUnitViews, kMsgDirtyRingFull,
               {view->Index, static_cast<uint32_t>(r.left), static_cast<uint32_t>(r.top),
                static_cast<uint32_t>(r.right), static_cast<uint32_t>(r.bottom)});
  if (view->DirtyEvent) SetEvent(view->DirtyEvent);
}

void RequestFullRefresh(ViewContext* view) {
  SorvikDevice* device = view->Owner;
  LockUntimed(device, view->DirtyLock);
  view->FullRefresh = 1;
  Unlock(device, view->DirtyLock);
  if (view->DirtyEvent) SetEvent(view->DirtyEvent);
}

bool MergeIfOverlapping(DirtyRect* a, const DirtyRect& b) {
  if (RectIsZero(b)) return true;
  if (a->bottom < b.top || b.bottom < a->top || a->right < b.left || b.right < a->left)
    return false;
  UnionRect(a, b);
  return true;
}

void UnionRect(DirtyRect* a, const DirtyRect& b) {
  if (RectIsZero(b)) return;
  if (b.left < a->left) a->left = b.left;
  if (b.top < a->top) a->top = b.top;
  if (b.right > a->right) a->right = b.right;
  if (b.bottom > a->bottom) a->bottom = b.bottom;
}

bool MergeIntoQueued(ViewContext* view, const DirtyRect& rect) {
  DirtyRectRing& ring = view->DirtyRects;
  if (RingEmpty(view)) return false;
  // From the newest entry back to the oldest, the first that takes the rectangle.
  uint32_t taker = kDirtyRingEntries;
  for (uint32_t i = Prev(ring.Write);; i = Prev(i)) {
    DirtyRect& e = ring.Entries[i];
    if (e.valid && MergeIfOverlapping(&e, rect)) {
      taker = i;
      break;
    }
    if (i == ring.Read) break;
  }
  if (taker == kDirtyRingEntries) return false;
  // The grown entry may now reach older ones: they join it and leave the ring.
  DirtyRect& grown = ring.Entries[taker];
  for (uint32_t i = taker; i != ring.Read;) {
    i = Prev(i);
    DirtyRect& e = ring.Entries[i];
    if (e.valid && MergeIfOverlapping(&grown, e)) e = DirtyRect{};
  }
  return true;
}

bool PushRect(ViewContext* view, const DirtyRect& rect) {
  DirtyRectRing& ring = view->DirtyRects;
  if (RingFull(view)) {
    DirtyRect& newest = ring.Entries[Prev(ring.Write)];
    if (newest.valid) {
      UnionRect(&newest, rect);
    } else {
      // A union with a cleared entry would take in the origin; the rectangle takes its place.
      newest = rect;
      newest.valid = 1;
    }
    return false;
  }
  DirtyRect& slot = ring.Entries[ring.Write % kDirtyRingEntries];
  slot = rect;
  slot.valid = 1;
  ring.Write = Next(ring.Write);
  return true;
}

DirtyRect PopRect(ViewContext* view) {
  DirtyRectRing& ring = view->DirtyRects;
  ring.Read %= kDirtyRingEntries;
  ring.Write %= kDirtyRingEntries;
  while (ring.Read != ring.Write) {
    DirtyRect& e = ring.Entries[ring.Read];
    ring.Read = Next(ring.Read);
    if (!e.valid) continue;
    e.valid = 0;
    if (e.right != 0 && e.bottom != 0) {
      DirtyRect out = e;
      out.valid = 1;
      return out;
    }
  }
  return DirtyRect{};
}

bool RingEmpty(const ViewContext* view) {
  return view->DirtyRects.Read % kDirtyRingEntries == view->DirtyRects.Write % kDirtyRingEntries;
}

bool RingFull(const ViewContext* view) {
  return Next(view->DirtyRects.Write % kDirtyRingEntries) ==
         view->DirtyRects.Read % kDirtyRingEntries;
}

void ClearDirtyRects(ViewContext* view) { view->DirtyRects = DirtyRectRing{}; }

}  // namespace vorn::display
