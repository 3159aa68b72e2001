// The host's cursor callback and the view's cursor thread. The host thread only converts,
// rotates and records; the cursor thread takes the pending flags, decides under ShapeLock what
// to send (which slot, which position) and sends it with no cursor lock held. A pass always
// sends the position as it stands when the pass begins, so however often the pointer moved
// since the last pass, the device gets one position request: the latest.
#include <cstring>

#include "display/cursor/cursor.h"
#include "platform/win32/handle.h"
#include "platform/win32/synch.h"

namespace vorn::display {
namespace {

SorvikDevice* DeviceOf(const HwcContext* hwc) { return hwc->Owner->Owner; }

// Sets |set| and clears |clear| in the view's pending flags, optionally Visible, then wakes the
// cursor thread. Called with ShapeLock held (lock order: ShapeLock, then CursorLock).
void Pend(HwcContext* hwc, uint32_t clear, uint32_t set, int visible) {
  ViewContext* view = hwc->Owner;
  SorvikDevice* device = DeviceOf(hwc);
  LockUntimed(device, view->CursorLock);
  view->PendingCursorFlags = (view->PendingCursorFlags & ~clear) | set;
  if (visible >= 0) hwc->Visible = static_cast<uint8_t>(visible);
  Unlock(device, view->CursorLock);
  SetEvent(view->CursorEvent);
}

// What one pass of the cursor thread sends, decided under ShapeLock.
struct Pass {
  uint32_t flags = 0;
  bool visible = false;
  uint32_t store = kShapeNoMemory;  // FindOrStoreShape's answer when the shape was pending
  uint32_t generation = 0;
  int32_t x = 0, y = 0;  // device position
};

// Takes the pending flags: hide, show and position are taken whole; a new shape only when the
// cursor is visible, else it waits for the cursor to show.
Pass TakePending(ViewContext* view) {
  SorvikDevice* device = view->Owner;
  HwcContext* hwc = view->Hwc;
  Pass p;
  LockUntimed(device, view->CursorLock);
  p.flags = view->PendingCursorFlags;
  p.visible = hwc->Visible != 0;
  uint32_t keep = p.flags & kCursorPendingShape;
  if (p.visible) keep = 0;
  // A hidden cursor keeps the request to send its images again for when it shows.
  if (!p.visible) keep |= p.flags & kCursorPendingReupload;
  view->PendingCursorFlags = keep;
  Unlock(device, view->CursorLock);
  return p;
}

// Under ShapeLock: marks the slots lost after a refresh request, stores a pending shape and
// copies a stored one for its upload, and notes the position to send.
void Decide(HwcContext* hwc, Pass* p) {
  SorvikDevice* device = DeviceOf(hwc);
  if (p->flags & kCursorPendingReupload)
    for (uint8_t i = 0; i < hwc->SlotCount; ++i) hwc->Slots[i].State = 0;
  if (p->flags & kCursorPendingShape) {
    p->store =
        device->IpMode ? StoreIpCursorShape(hwc, &hwc->Image) : FindOrStoreShape(hwc, &hwc->Image);
    if (p->store == kShapeStored) {
      if (!hwc->Upload)
        hwc->Upload = static_cast<uint8_t*>(HeapZalloc(device, kCursorImageCapacity));
      const CursorSlot& slot = hwc->Slots[hwc->CurrentSlot];
      const uint32_t length = slot.Size + kCursorHeaderSize;
      if (hwc->Upload && length <= kCursorImageCapacity) {
        std::memcpy(hwc->Upload, slot.Buffer, length);
        hwc->UploadLength = length;
        hwc->UploadSlot = hwc->CurrentSlot;
      } else {
        p->store = kShapeNoMemory;  // the slot stays in state 0 and goes again next time
      }
    }
  }
  p->generation = hwc->CacheGeneration;
  p->x = hwc->DeviceX;
  p->y = hwc->DeviceY;
}

// The pending shape: found in the cache, it is selected; stored, it is uploaded first. The
// slot is marked uploaded only when every chunk went and no cache reset came meanwhile.
// Returns whether the position was sent.
bool UploadIfChanged(HwcContext* hwc, const Pass& p) {
  SorvikDevice* device = DeviceOf(hwc);
  const uint16_t index = hwc->Owner->Index;
  if (p.store == kShapeNoMemory) return false;
  if (p.store == kShapeStored) {
    const bool ok = UploadShape(device, hwc, index);
    if (LockTimed(device, hwc->ShapeLock, kShapeLockTimeoutMs)) {
      if (hwc->CacheGeneration == p.generation) hwc->Slots[hwc->UploadSlot].State = ok ? 1 : 0;
      Unlock(device, hwc->ShapeLock);
    }
    if (!ok) return false;
  }
  SelectCursorSlot(device, hwc, index);
  SetCursorPosition(device, hwc, index, p.x, p.y);
  return true;
}

void RunPass(ViewContext* view) {
  SorvikDevice* device = view->Owner;
  HwcContext* hwc = view->Hwc;
  Pass p = TakePending(view);
  if (p.flags & kCursorPendingHide) {
    ShowCursorSlot(device, hwc, 0, view->Index);
    ++hwc->Passes;
    return;
  }
  if (!p.visible) {
    ++hwc->Passes;
    return;
  }
  if (!LockTimed(device, hwc->ShapeLock, kShapeLockTimeoutMs)) {
    ++hwc->SkippedPasses;
    return;
  }
  Decide(hwc, &p);
  Unlock(device, hwc->ShapeLock);

  bool positioned = false;
  if (p.flags & kCursorPendingShape) {
    positioned = UploadIfChanged(hwc, p);
  } else if (p.flags & kCursorPendingShow) {
    SelectCursorSlot(device, hwc, view->Index);
    SetCursorPosition(device, hwc, view->Index, p.x, p.y);
    positioned = true;
  }
  if ((p.flags & kCursorPendingPosition) && !positioned)
    SetCursorPosition(device, hwc, view->Index, p.x, p.y);
  ++hwc->Passes;
}

}  // namespace

void SetCursorInfo(ViewContext* view, const HostCursor* cursor) {
  HwcContext* hwc = view ? view->Hwc : nullptr;
  if (!hwc || !cursor || !view->CursorLock || !view->CursorEvent) return;
  SorvikDevice* device = view->Owner;
  if ((cursor->Flags & kHostCursorShape) && ConvertCursorShape(hwc, cursor)) {
    // A shape that could not be converted is dropped: the device keeps the one it has.
    LockUntimed(device, view->CursorLock);
    view->PendingCursorFlags |= kCursorPendingShape;
    const bool visible = hwc->Visible != 0;
    Unlock(device, view->CursorLock);
    if (visible) SetEvent(view->CursorEvent);
  }
  if (cursor->Flags & kHostCursorPosition) ApplyCursorPosition(hwc, cursor);
  if (cursor->Flags & kHostCursorHide) HideCursor(hwc);
}

void ApplyCursorPosition(HwcContext* hwc, const HostCursor* cursor) {
  SorvikDevice* device = DeviceOf(hwc);
  if (!LockTimed(device, hwc->ShapeLock, kShapeLockTimeoutMs)) return;
  const uint8_t current = hwc->CurrentSlot;
  int32_t w = static_cast<int32_t>(kCursorImageMax), h = w;
  if (current != kNoCursorSlot && current < hwc->SlotCount) {
    w = static_cast<int32_t>(hwc->Slots[current].Width);
    h = static_cast<int32_t>(hwc->Slots[current].Height);
  }
  // 64-bit sums: a host coordinate near the ends of the 32-bit range must not wrap.
  const int64_t x = cursor->X, y = cursor->Y;
  const int64_t mw = hwc->ModeWidth, mh = hwc->ModeHeight;
  if (x + hwc->Image.HotX < 0 || y + hwc->Image.HotY < 0 || x > mw || y > mh) {
    if (hwc->Visible) Pend(hwc, kCursorPendingShow, kCursorPendingHide, 0);
    Unlock(device, hwc->ShapeLock);
    return;
  }
  int64_t dx = x, dy = y;
  switch (hwc->Rotation & 3) {
    case 1:
      dx = mh - y - h;
      dy = x;
      break;
    case 2:
      dx = mw - x - w;
      dy = mh - y - h;
      break;
    case 3:
      dx = y;
      dy = mw - x - w;
      break;
    default:
      break;
  }
  const bool moved = dx != hwc->DeviceX || dy != hwc->DeviceY;
  hwc->HostX = static_cast<int32_t>(x);
  hwc->HostY = static_cast<int32_t>(y);
  hwc->DeviceX = static_cast<int32_t>(dx);
  hwc->DeviceY = static_cast<int32_t>(dy);
  if (hwc->Visible) {
    if (current != kNoCursorSlot && moved) Pend(hwc, 0, kCursorPendingPosition, -1);
  } else {
    Pend(hwc, kCursorPendingHide, kCursorPendingShow | kCursorPendingPosition, 1);
  }
  Unlock(device, hwc->ShapeLock);
}

void HideCursor(HwcContext* hwc) {
  SorvikDevice* device = DeviceOf(hwc);
  if (!LockTimed(device, hwc->ShapeLock, kShapeLockTimeoutMs)) return;
  if (hwc->Visible) Pend(hwc, kCursorPendingShow, kCursorPendingHide, 0);
  Unlock(device, hwc->ShapeLock);
}

DWORD WINAPI CursorThread(LPVOID parameter) {
  auto* view = static_cast<ViewContext*>(parameter);
  if (!view->Hwc || !view->CursorLock || !view->CursorEvent || !view->StopEvent) return 1;
  HANDLE events[2] = {view->StopEvent, view->CursorEvent};
  while (view->ThreadsRunning.load()) {
    if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) break;
    RunPass(view);
  }
  return 0;
}

}  // namespace vorn::display
