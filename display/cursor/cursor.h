// The hardware cursor of a view. The host reports cursor changes through UpdateCursor
// (SetCursorInfo): new shapes are converted into square 32-bit images in the device's
// orientation, positions are rotated into device coordinates and the cursor is hidden when it
// leaves the screen; the work for the device is left in the view's pending cursor flags for
// the view's cursor thread, which keeps the last five shapes per view in the device's slots,
// uploads new ones, selects, shows, hides and positions the cursor with vendor requests.
#pragma once

#include <cstdint>

#include "display/cursor/hwc_context.h"
#include "display/device/device.h"
#include "platform/win32/types.h"

namespace vorn::display {

// FindOrStoreShape's answers.
constexpr uint32_t kShapeNoMemory = 0;
constexpr uint32_t kShapeStored = 2;
constexpr uint32_t kShapeFound = 4;

// The side of the square image a shape of |width| x |height| goes into: 64, 96 or 128.
uint32_t CursorImageSize(uint32_t width, uint32_t height);

// The host thread's side.
void SetCursorInfo(ViewContext* view, const HostCursor* cursor);
// Builds the converted image from |cursor|; false (the image unchanged) on no memory, a lock
// time-out, or a record the converter cannot read (unknown type, pixel format or mask depth,
// missing pixels or mask, a mask or pixel pitch too small for the row).
bool ConvertCursorShape(HwcContext* hwc, const HostCursor* cursor);
void ApplyCursorPosition(HwcContext* hwc, const HostCursor* cursor);
void HideCursor(HwcContext* hwc);

// The thread routine; its parameter is the ViewContext.
DWORD WINAPI CursorThread(LPVOID parameter);

// The cursor thread's steps (called with ShapeLock held for the two store routines).
uint32_t FindOrStoreShape(HwcContext* hwc, const ImageBlockColor* image);
// The store of IpMode: the next slot without comparing.
uint32_t StoreIpCursorShape(HwcContext* hwc, const ImageBlockColor* image);
void UploadIfChanged(HwcContext* hwc);
bool UploadShape(SorvikDevice* device, HwcContext* hwc, uint16_t view_index);
bool SelectCursorSlot(SorvikDevice* device, HwcContext* hwc, uint16_t view_index);
bool ShowCursorSlot(SorvikDevice* device, HwcContext* hwc, uint8_t show, uint16_t view_index);
bool SetCursorPosition(SorvikDevice* device, HwcContext* hwc, uint16_t view_index, int32_t x,
                       int32_t y);

// Life of the context: from view creation to view destruction.
HwcContext* CreateCursorContext(ViewContext* view, uint8_t slot_count, uint8_t slot_base);
void FreeCursorContext(HwcContext* hwc);
// Forgets the current slot and the pending flags; |full| also forgets every cached shape.
void ResetCursorCache(HwcContext* hwc, bool full);
// The mode just applied: host-side size and rotation.
void SetCursorMode(HwcContext* hwc, uint32_t width, uint32_t height, uint8_t rotation);

}  // namespace vorn::display
