#include "display/encode/encode_thread.h"

#include "display/views/dirty_rects.h"
#include "display/encode/encode_plan.h"
#include "display/encode/staging.h"
#include "display/region/region_encoders.h"
#include "display/send/send_trace.h"
#include "display/device/trace.h"
#include "display/device/vendor_requests.h"
#include "platform/win32/performance_counter.h"
#include "platform/win32/synch.h"

namespace vorn::display {
namespace {

constexpr uint32_t kUsb3 = 0x300;
// JPEG packets get this much less room than there is, so that the message length, the stream
// rounded up with its trailer to 1 KiB, never reaches past the staging space.
constexpr uint32_t kJpegRounding = 1023;

class EncodeLoop {
 public:
  explicit EncodeLoop(ViewContext* view)
      : view_(view), device_(view->Owner), mem_(view->SystemMem) {}

  void Run() {
    width_ = static_cast<int32_t>(view_->Modes.Width);
    height_ = static_cast<int32_t>(view_->Modes.Height);
    LockUntimed(device_, view_->EncodeStateLock);
    output_ = view_->Modes.OutputWanted != 0;
    view_->OutputChanged = 0;
    Unlock(device_, view_->EncodeStateLock);

    SendInitialBlankFrame(view_, &last_full_layout_);

    view_->JpegTimeTotal = 0;
    view_->JpegTimeCount = 0;
    if (device_->IpMode) {
      view_->PreferYuv = 0;
      adaptive_ = false;
    } else {
      adaptive_ = !view_->PreferYuv && device_->FormatMode == kFormatModeJpeg &&
                  device_->BcdUsb >= kUsb3;
    }
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    frequency_ = static_cast<uint64_t>(frequency.QuadPart);

    while (view_->ThreadsRunning.load() && Pass()) {
    }
    Finish();
  }

 private:
  // After a reset of DirtyEvent: a switch of output that RequestViewOutput made since this
  // pass read it set the event before the reset, so set it again for the next pass.
  void KeepOutputSwitch() {
    LockUntimed(device_, view_->EncodeStateLock);
    const bool again = (view_->Modes.OutputWanted != 0) != output_;
    Unlock(device_, view_->EncodeStateLock);
    if (again) SetEvent(view_->DirtyEvent);
  }

  // One pass of the loop; false when the view's StopEvent ended it.
  bool Pass() {
    HANDLE events[2] = {view_->StopEvent, view_->DirtyEvent};
    const DWORD which = WaitForMultipleObjects(2, events, FALSE, timeout_);
    if (which == WAIT_OBJECT_0 || which == WAIT_FAILED) return false;
    const bool timed_out = which == WAIT_TIMEOUT;

    uint32_t flip = device_->FlipMode;
    LockUntimed(device_, view_->EncodeStateLock);
    const bool wanted = view_->Modes.OutputWanted != 0;
    view_->OutputChanged = 0;
    Unlock(device_, view_->EncodeStateLock);

    if (wanted != output_) {
      // Never between a packet's hand-off and its send.
      if (!WaitConsumed(view_)) return false;
      SetOutputEnable(device_, view_->Index, wanted);
      output_ = wanted;
      if (!wanted) return true;
      RequestFullRefresh(view_);
      uint32_t layout = 0;
      if (NT_SUCCESS(SendBlankFrame(view_, &layout))) {
        if (layout) last_full_layout_ = layout;
        return true;
      }
    }
    if (!output_) {
      // Nothing goes out while the output is off; the switch on refreshes the whole screen.
      LockUntimed(device_, view_->DirtyLock);
      ClearDirtyRects(view_);
      ResetEvent(view_->DirtyEvent);
      Unlock(device_, view_->DirtyLock);
      KeepOutputSwitch();
      return true;
    }

    LockUntimed(device_, view_->DirtyLock);
    const DirtyRect popped = PopRect(view_);
    bool full_refresh = view_->FullRefresh != 0;
    view_->FullRefresh = 0;
    const bool reset = RingEmpty(view_);
    if (reset) ResetEvent(view_->DirtyEvent);
    Unlock(device_, view_->DirtyLock);
    if (reset) KeepOutputSwitch();

    if (adaptive_ && view_->JpegTimeCount > kAdaptiveFrames) {
      const uint64_t ms = frequency_ ? view_->JpegTimeTotal / frequency_ : 0;
      const uint64_t per_frame = ms / view_->JpegTimeCount;
      TracePoint(kTraceEntry, kTraceInfo, kTraceUnitPipeline, kMsgAdaptive,
                 {view_->JpegTimeCount, static_cast<uint32_t>(per_frame)});
      if (JpegTooSlow(view_->JpegTimeTotal, view_->JpegTimeCount, frequency_,
                      kAdaptiveMsPerFrame)) {
        view_->PreferYuv = 1;
        full_refresh = true;
      }
      adaptive_ = false;
    }

    // A refresh covers the whole screen; its shape follows the same rules as any update.
    const EncodeRect whole{0, 0, width_, height_};
    EncodeRect rect{popped.left, popped.top, popped.right, popped.bottom};
    if (full_refresh) rect = whole;
    uint8_t quality = static_cast<uint8_t>(device_->JpegQuality);
    if (RectIsEmpty(rect)) {
      if (!timed_out || idle_done_) return true;
      timeout_ = INFINITE;
      idle_done_ = true;
      if (device_->ThreeStagingFrames) {
        rgb_refresh_ = true;
      } else if (last_format_ == kSurfaceJpeg && device_->BandwidthLimit == 0) {
        quality = kIdleJpegQuality;
      } else {
        return true;
      }
      rect = whole;
    } else {
      timeout_ = kIdleRefreshMs;
      if (flip == kFlipFull) rect = whole;
      if (rgb_refresh_) {
        // The update after an RGB refresh brings the whole screen back to the view's format.
        rgb_refresh_ = false;
        rect = whole;
      }
      idle_done_ = false;
    }
    if (RectIsEmpty(rect)) return true;

    const uint32_t rotation = view_->Modes.Rotation & 3;
    const bool turned = rotation == 1 || rotation == 3;
    FormatRequest fq{};
    fq.VendorCmdVersion = device_->VendorCmdVersion;
    fq.FormatMode = EncodeFormatMode(device_);
    fq.PreferYuv = view_->PreferYuv != 0;
    fq.Rgb24Refresh = rgb_refresh_;
    fq.AxisWidth = static_cast<uint32_t>(turned ? height_ : width_);
    const FormatChoice format = ChooseFormat(fq);
    last_format_ = format.Format;
    if (format.ForceFull) {
      flip = kFlipFull;
      rect = whole;
    }

    StagingSpace staging{};
    switch (ReserveStaging(view_, StagingNeed(format.Format, static_cast<uint32_t>(width_),
                                              static_cast<uint32_t>(height_), jpeg_overflow_),
                           &staging)) {
      case StagingResult::Ready: break;
      case StagingResult::Stopped: return false;
      case StagingResult::TooSmall: return true;
    }

    ShapeRequest sq{};
    sq.Rect = AlignToGrid(rect, width_, height_);
    sq.FlipMode = flip;
    sq.Rotation = rotation;
    sq.Format = format.Format;
    sq.ModeWidth = width_;
    sq.ModeHeight = height_;
    sq.DeviceWidth = view_->Modes.DeviceWidth;
    sq.MaxPixels = device_->MaxPixels;
    sq.Band = view_->BandRect;
    sq.LastFullLayout = last_full_layout_;
    const ShapeChoice shape = ChooseShape(sq);
    view_->BandRect = shape.Band;
    const bool full = shape.Shape == UpdateShape::Full;

    const bool jpeg = format.Format == kSurfaceJpeg || view_->Modes.BitsPerPixel == 16;
    uint32_t space = staging.Space;
    if (jpeg) space = space > kJpegRounding ? space - kJpegRounding : 0;
    RegionRect region{shape.Rect.left, shape.Rect.top, shape.Rect.right, shape.Rect.bottom};
    uint32_t patch[kPatchParamCount] = {};
    view_->LastPacketLength = 0;
    NTSTATUS status;
    if (rotation == 0) {
      status = EncodeRegion(view_, mem_->pSourceBuf, staging.Packet, space,
                            &view_->LastPacketLength, &region, format.Format, quality, full,
                            adaptive_, patch);
    } else {
      AlignRectForRotation(view_, &region, 0, 0, width_, height_);
      status = EncodeRegionRotated(view_, mem_->pSourceBuf, staging.Packet, space,
                                   &view_->LastPacketLength, &region, format.Format, quality,
                                   full, adaptive_, patch);
    }
    const uint32_t length = view_->LastPacketLength;
    if (NT_SUCCESS(status) && (length == 0 || length > staging.Space)) status = STATUS_UNSUCCESSFUL;
    if (!NT_SUCCESS(status)) {
      TracePoint(kTraceEntry, kTraceError, kTraceUnitPipeline, kMsgEncodeFailed,
                 {view_->Index, format.Format, static_cast<uint32_t>(status)});
      if (status == STATUS_INSUFFICIENT_RESOURCES && format.Format == kSurfaceJpeg)
        jpeg_overflow_ = true;
      RequestFullRefresh(view_);
      return true;
    }
    if (format.Format == kSurfaceJpeg) jpeg_overflow_ = false;

    if (!WaitConsumed(view_)) return false;
    FrameHandoff handoff{};
    if (full) {
      handoff.PacketKind = protocol::ToWire(protocol::FramePacketKind::FullView0) + view_->Index;
    } else if (shape.Shape == UpdateShape::Band) {
      handoff.PacketKind = protocol::ToWire(protocol::FramePacketKind::RectView0) + view_->Index;
    } else {
      handoff.PacketKind = protocol::ToWire(protocol::FramePacketKind::JpegPatch);
    }
    if (!full && !full_refresh) {
      // A refresh asked for meanwhile (a failed send) replaces this update anyway; a refresh
      // of the whole screen goes, whatever its shape.
      LockUntimed(device_, view_->DirtyLock);
      const bool refresh = view_->FullRefresh != 0;
      Unlock(device_, view_->DirtyLock);
      if (refresh) {
        TracePoint(kTraceEntry, kTraceInfo, kTraceUnitPipeline, kMsgDropped,
                   {view_->Index, handoff.PacketKind});
        return true;
      }
    }
    handoff.left = region.left;
    handoff.top = region.top;
    handoff.right = region.right;
    handoff.bottom = region.bottom;
    handoff.Length = length;
    handoff.SurfaceFormat = format.Format;
    for (uint32_t i = 0; i < kPatchParamCount; ++i) handoff.Patch[i] = patch[i];
    HandOff(view_, handoff);
    if (full) {
      // The next band starts from the top of the screen again.
      view_->BandRect.left = view_->BandRect.top = view_->BandRect.bottom = 0;
      last_full_layout_ = format.Format == kSurfaceJpeg ? kSurfaceSemiPlanar : format.Format;
    }
    return true;
  }

  void Finish() {
    LockUntimed(device_, view_->EncodeStateLock);
    view_->Modes.OutputWanted = 0;
    view_->OutputChanged = 0;
    Unlock(device_, view_->EncodeStateLock);
    LockUntimed(device_, view_->DirtyLock);
    ClearDirtyRects(view_);
    Unlock(device_, view_->DirtyLock);
    if (!device_->Closing.load()) SetOutputEnable(device_, view_->Index, false);
  }

  ViewContext* const view_;
  SorvikDevice* const device_;
  SystemMemObj* const mem_;
  int32_t width_ = 0, height_ = 0;  // the mode the thread started with
  bool output_ = false;             // the output as last switched
  uint32_t last_format_ = kSurfaceRgb24;
  DWORD timeout_ = INFINITE;
  bool idle_done_ = false;
  bool rgb_refresh_ = false;    // the idle refresh of a view with three staging frames
  bool jpeg_overflow_ = false;  // the last JPEG did not fit its room
  bool adaptive_ = false;
  uint64_t frequency_ = 0;
  uint32_t last_full_layout_ = 0;  // of the last full frame handed off, 0 when unknown
};

}  // namespace

DWORD WINAPI EncodeThread(LPVOID parameter) {
  EncodeLoop(static_cast<ViewContext*>(parameter)).Run();
  return 0;
}

void RequestViewOutput(ViewContext* view, bool on) {
  SorvikDevice* device = view->Owner;
  LockUntimed(device, view->EncodeStateLock);
  if ((view->Modes.OutputWanted != 0) != on) {
    view->Modes.OutputWanted = on ? 1 : 0;
    view->OutputChanged = 1;
  }
  Unlock(device, view->EncodeStateLock);
  if (view->DirtyEvent) SetEvent(view->DirtyEvent);
}

}  // namespace vorn::display
