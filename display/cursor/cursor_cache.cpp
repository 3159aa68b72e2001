// The cursor context of a view and the cache of the shapes its device slots hold.
#include <cstring>
#include <new>

#include "display/cursor/cursor.h"

namespace vorn::display {
namespace {

SorvikDevice* DeviceOf(const HwcContext* hwc) { return hwc->Owner->Owner; }

// Copies the image into |slot| (its buffer already holds at least the image's bytes).
void Store(CursorSlot& slot, const ImageBlockColor& image) {
  std::memcpy(slot.Pixels, image.Pixels, image.Size);
  std::memcpy(slot.Buffer, image.Image, kCursorHeaderSize);
  slot.Width = image.Width;
  slot.Height = image.Height;
  slot.Pitch = image.Pitch;
  slot.Size = image.Size;
  slot.HotX = image.HotX;
  slot.HotY = image.HotY;
  slot.ShapeCode = image.ShapeCode;
  slot.State = 0;
}

// A slot's buffer on first use: the image's capacity plus the header, zeroed.
bool EnsureBuffer(HwcContext* hwc, CursorSlot& slot, const ImageBlockColor& image) {
  if (slot.Buffer) return true;
  slot.Buffer = static_cast<uint8_t*>(HeapZalloc(DeviceOf(hwc), size_t{image.Capacity} + 8));
  if (!slot.Buffer) return false;
  slot.Capacity = image.Capacity;
  slot.Pixels = slot.Buffer + kCursorHeaderSize;
  return true;
}

// The next slot to replace after |r|: one down, from 1 (or 0) back to the highest.
uint8_t NextAfter(uint8_t r, uint8_t count) {
  return r <= 1 ? static_cast<uint8_t>(count - 1) : static_cast<uint8_t>(r - 1);
}

bool Usable(const ImageBlockColor* image) {
  return image && image->Image && image->Size && image->Size + kCursorHeaderSize <= image->Capacity;
}

}  // namespace

HwcContext* CreateCursorContext(ViewContext* view, uint8_t slot_count, uint8_t slot_base) {
  SorvikDevice* device = view->Owner;
  void* block = HeapZalloc(device, sizeof(HwcContext));
  if (!block) return nullptr;
  auto* hwc = new (block) HwcContext();
  hwc->Owner = view;
  if (slot_count == 0) slot_count = 1;
  if (slot_count > kCursorSlotRecords) slot_count = kCursorSlotRecords;
  hwc->SlotCount = slot_count;
  hwc->SlotBase = slot_base;
  hwc->CurrentSlot = kNoCursorSlot;
  hwc->NextSlot = static_cast<uint8_t>(slot_count - 1);
  if (!NT_SUCCESS(CreateWaitLock(device, &hwc->ShapeLock))) {
    HeapRelease(device, hwc);
    return nullptr;
  }
  return hwc;
}

void FreeCursorContext(HwcContext* hwc) {
  if (!hwc) return;
  SorvikDevice* device = DeviceOf(hwc);
  for (CursorSlot& slot : hwc->Slots) HeapRelease(device, slot.Buffer);
  HeapRelease(device, hwc->Image.Image);
  HeapRelease(device, hwc->Scratch);
  HeapRelease(device, hwc->Upload);
  // The shape lock is a child of the USB target and goes with it.
  hwc->~HwcContext();
  HeapRelease(device, hwc);
}

void ResetCursorCache(HwcContext* hwc, bool full) {
  if (!hwc) return;
  SorvikDevice* device = DeviceOf(hwc);
  ViewContext* view = hwc->Owner;
  LockUntimed(device, hwc->ShapeLock);
  hwc->CurrentSlot = kNoCursorSlot;
  if (full) {
    hwc->NextSlot = static_cast<uint8_t>(hwc->SlotCount - 1);
    for (CursorSlot& slot : hwc->Slots) {
      slot.ShapeCode = kShapeCodeForgotten;
      slot.State = 0;
      // A slot never used has no buffer yet.
      if (slot.Buffer) std::memset(slot.Pixels, 0, slot.Capacity);
    }
  }
  ++hwc->CacheGeneration;
  if (view->CursorLock) {
    LockUntimed(device, view->CursorLock);
    view->PendingCursorFlags = 0;
    Unlock(device, view->CursorLock);
  }
  Unlock(device, hwc->ShapeLock);
}

void SetCursorMode(HwcContext* hwc, uint32_t width, uint32_t height, uint8_t rotation) {
  if (!hwc) return;
  SorvikDevice* device = DeviceOf(hwc);
  LockUntimed(device, hwc->ShapeLock);
  hwc->ModeWidth = static_cast<int32_t>(width);
  hwc->ModeHeight = static_cast<int32_t>(height);
  hwc->Rotation = rotation & 3;
  Unlock(device, hwc->ShapeLock);
}

uint32_t FindOrStoreShape(HwcContext* hwc, const ImageBlockColor* image) {
  if (!Usable(image)) return kShapeNoMemory;
  for (uint8_t i = 0; i < hwc->SlotCount; ++i) {
    CursorSlot& slot = hwc->Slots[i];
    if (!slot.Buffer) {
      if (!EnsureBuffer(hwc, slot, *image)) return kShapeNoMemory;
      Store(slot, *image);
      hwc->CurrentSlot = i;
      return kShapeStored;
    }
    if (slot.State == 0) {
      std::memset(slot.Buffer, 0, size_t{slot.Capacity} + kCursorHeaderSize);
      Store(slot, *image);
      hwc->CurrentSlot = i;
      return kShapeStored;
    }
    if (hwc->SlotCount > 1 && slot.ShapeCode == image->ShapeCode && slot.Size == image->Size &&
        std::memcmp(slot.Pixels, image->Pixels, image->Size) == 0) {
      hwc->CurrentSlot = i;
      return kShapeFound;
    }
  }
  const uint8_t r = hwc->NextSlot < hwc->SlotCount ? hwc->NextSlot : hwc->SlotCount - 1;
  Store(hwc->Slots[r], *image);
  hwc->CurrentSlot = r;
  hwc->NextSlot = NextAfter(r, hwc->SlotCount);
  return kShapeStored;
}

uint32_t StoreIpCursorShape(HwcContext* hwc, const ImageBlockColor* image) {
  if (!Usable(image)) return kShapeNoMemory;
  const uint8_t r = hwc->NextSlot < hwc->SlotCount ? hwc->NextSlot : hwc->SlotCount - 1;
  CursorSlot& slot = hwc->Slots[r];
  if (!EnsureBuffer(hwc, slot, *image)) return kShapeNoMemory;
  Store(slot, *image);
  hwc->CurrentSlot = r;
  hwc->NextSlot = NextAfter(r, hwc->SlotCount);
  return kShapeStored;
}

}  // namespace vorn::display
