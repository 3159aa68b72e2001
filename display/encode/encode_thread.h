// The encode thread of a view: takes the rectangles Present queued, decides how each update
// goes to the device (format, full frame, band or patch, the 32-pixel grid), has the region
// encoder write the packet into the staging ring and hands it to the send thread. It also
// switches the view's output on and off, sends black frames when output starts, refreshes an
// idle screen once, and moves a JPEG view to YUV when JPEG encoding proves too slow.
#pragma once

#include <cstdint>

#include "display/device/device.h"
#include "platform/win32/types.h"

namespace vorn::display {

// The 50 ms of quiet after an update that makes an idle refresh.
constexpr DWORD kIdleRefreshMs = 50;
// The adaptive switch looks once, after this many timed JPEG full frames ...
constexpr uint32_t kAdaptiveFrames = 500;
// ... and moves the view to YUV when they averaged more than this many milliseconds.
constexpr uint64_t kAdaptiveMsPerFrame = 40;
// The idle refresh of a JPEG view.
constexpr uint8_t kIdleJpegQuality = 100;

// The FormatMode the encode thread works with: an adapter in IpMode always takes JPEG.
inline uint8_t EncodeFormatMode(const SorvikDevice* device) {
  return device->IpMode ? 0 : device->FormatMode;
}

// The thread routine; its parameter is the ViewContext.
DWORD WINAPI EncodeThread(LPVOID parameter);

// A black full frame of the view in the format its FormatMode gives (JPEG, YUV or RGB),
// handed to the send thread. |*layout|, when given, gets the layout the frame stands in on
// the device, 0 when nothing was handed off (stopped, no room, or the encoder failed).
// STATUS_UNSUCCESSFUL when the JPEG encoder failed.
NTSTATUS SendBlankFrame(ViewContext* view, uint32_t* layout = nullptr);
// The same, handed to the send thread three times in all.
NTSTATUS SendInitialBlankFrame(ViewContext* view, uint32_t* layout = nullptr);

// Asks the view's encode thread to switch the output on or off: it does so between packets
// and starts again with a black frame and then the whole screen.
void RequestViewOutput(ViewContext* view, bool on);

}  // namespace vorn::display
