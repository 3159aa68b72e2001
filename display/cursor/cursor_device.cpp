// The cursor's requests to the device: upload a slot, select or show it, position it. Each
// goes through the vendor request wrappers, which take the device lock (or, in IpMode, send
// command packets) and report a failure; nothing is retried.
#include "display/cursor/cursor.h"
#include "display/device/vendor_requests.h"

namespace vorn::display {
namespace {

uint16_t SlotNumber(const HwcContext* hwc) {
  const uint8_t current = hwc->CurrentSlot;
  return static_cast<uint16_t>(hwc->SlotBase + (current == kNoCursorSlot ? 0 : current));
}

}  // namespace

bool UploadShape(SorvikDevice* device, HwcContext* hwc, uint16_t view_index) {
  if (!hwc->Upload || !hwc->UploadLength || hwc->UploadSlot >= hwc->SlotCount) return false;
  const uint16_t slot = static_cast<uint16_t>(hwc->SlotBase + hwc->UploadSlot);
  return NT_SUCCESS(SendCursorShape(device, view_index, slot, hwc->Upload, hwc->UploadLength));
}

bool SelectCursorSlot(SorvikDevice* device, HwcContext* hwc, uint16_t view_index) {
  return NT_SUCCESS(SendCursorShow(device, view_index, SlotNumber(hwc), 1));
}

bool ShowCursorSlot(SorvikDevice* device, HwcContext* hwc, uint8_t show, uint16_t view_index) {
  return NT_SUCCESS(SendCursorShow(device, view_index, SlotNumber(hwc), show));
}

bool SetCursorPosition(SorvikDevice* device, HwcContext*, uint16_t view_index, int32_t x,
                       int32_t y) {
  return NT_SUCCESS(SendCursorPosition(device, view_index, x, y));
}

}  // namespace vorn::display
