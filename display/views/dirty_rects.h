// The dirty-rectangle queue of a view: the host's updates wait here for the view's encode
// thread. The ring merges rectangles that overlap or touch, so a burst of small updates
// becomes a few larger ones; when it is full an update is folded into the newest entry, so no
// area is ever lost. Rectangles are half-open, [left, right) x [top, bottom); one with all four
// edges zero means "no rectangle".
//
// The ring operations below do not lock: their callers hold the view's DirtyLock (the encode
// thread pops under it together with reading FullRefresh). QueueDirtyRect and
// RequestFullRefresh take the lock themselves.
#pragma once

#include <cstdint>

struct ViewContext;

namespace vorn::display {

constexpr uint32_t kDirtyRingEntries = 16;  // one stays free, so 15 are usable

struct DirtyRect {
  int32_t left, top, right, bottom;
  uint32_t valid;
};

struct DirtyRectRing {
  DirtyRect Entries[kDirtyRingEntries];
  uint32_t Read;   // oldest entry
  uint32_t Write;  // next free entry
};

// All four edges zero.
constexpr bool RectIsZero(const DirtyRect& r) {
  return r.left == 0 && r.top == 0 && r.right == 0 && r.bottom == 0;
}

// Clips |rect| to the view's mode and queues it for the encode thread, then sets DirtyEvent.
// Nothing happens while the view's threads do not run (the next start sends whole frames),
// for an all-zero rectangle, or for one that is empty after clipping.
void QueueDirtyRect(ViewContext* view, const DirtyRect& rect);
// The next update is the whole screen: sets FullRefresh under DirtyLock, then DirtyEvent.
void RequestFullRefresh(ViewContext* view);

// B all zero: true and A unchanged. A and B overlap or touch (sharing an edge counts): A
// becomes their union, true. Otherwise false.
bool MergeIfOverlapping(DirtyRect* a, const DirtyRect& b);
// B all zero: nothing; otherwise A := the smallest rectangle holding both.
void UnionRect(DirtyRect* a, const DirtyRect& b);
// Merges |rect| into the newest queued entry it overlaps or touches, then merges every older
// entry the grown one now reaches into it (clearing those). False when no entry takes it.
bool MergeIntoQueued(ViewContext* view, const DirtyRect& rect);
// Appends |rect|; on a full ring folds it into the newest entry instead and returns false.
bool PushRect(ViewContext* view, const DirtyRect& rect);
// The oldest valid non-empty rectangle, taken off the ring; all zero when there is none.
DirtyRect PopRect(ViewContext* view);
bool RingEmpty(const ViewContext* view);
bool RingFull(const ViewContext* view);
// Zeroes every entry and both indices.
void ClearDirtyRects(ViewContext* view);

}  // namespace vorn::display
