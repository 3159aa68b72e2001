#include "display/send/send_thread.h"

#include <atomic>

#include "display/views/dirty_rects.h"
#include "display/frames/frame_ack.h"
#include "display/send/packet_builders.h"
#include "display/send/send_trace.h"
#include "display/device/trace.h"
#include "platform/win32/performance_counter.h"
#include "platform/win32/synch.h"

namespace vorn::display {
namespace {

constexpr uint8_t kNoLimit = 255;
constexpr uint8_t kResyncFlags = protocol::kDescriptorFlagFirstPass;
// While a present view has no hand-off events yet, the loop looks again this often.
constexpr DWORD kEventPollMs = 50;

bool Signalled(HANDLE event) { return event && WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

HANDLE ReadyOf(const ViewContext& view) {
  return view.SystemMem ? view.SystemMem->ReadyEvent : nullptr;
}

// After the ring overran: forget every payload in flight and send both views whole.
void Resync(SorvikDevice* device, ViewContext* failed) {
  TracePoint(kTraceBringUp, kTraceInfo, kTraceUnitPipeline, kMsgResync, {failed->Index});
  if (device->AckRing.Lock) {
    LockUntimed(device, device->AckRing.Lock);
    ClearFrameAckRing(&device->AckRing);
    Unlock(device, device->AckRing.Lock);
  }
  for (ViewContext& view : device->Views)
    if (view.DirtyLock) RequestFullRefresh(&view);
}

}  // namespace

uint32_t PacingSleepMs(uint8_t limit, uint64_t elapsedTicks, uint64_t frequency,
                       uint32_t lastLength) {
  if (limit == 0 || limit == kNoLimit || frequency == 0) return 0;
  const uint64_t elapsed = elapsedTicks * 1000 / frequency;
  const uint64_t target = lastLength / (uint32_t{limit} * 1000u);
  return target > elapsed ? static_cast<uint32_t>(target - elapsed) : 0;
}

NTSTATUS SendHandoff(ViewContext* view, uint8_t* staging, uint32_t stagingSize,
                     const FrameHandoff& h, uint8_t flags) {
  const uint32_t index = view->Index;
  // The packet must lie in the ring the encode thread wrote it into.
  if (!staging || h.Offset > stagingSize || h.Length > stagingSize - h.Offset ||
      h.Length < protocol::kBusMessageHeaderSize || h.right < h.left || h.bottom < h.top) {
    TracePoint(kTraceBringUp, kTraceError, kTraceUnitPipeline, kMsgBadHandoff,
               {index, h.PacketKind, h.SurfaceFormat, h.Length});
    return STATUS_UNSUCCESSFUL;
  }
  uint8_t* packet = staging + h.Offset;
  const uint32_t w = static_cast<uint32_t>(h.right - h.left);
  const uint32_t ht = static_cast<uint32_t>(h.bottom - h.top);
  const uint32_t x = static_cast<uint32_t>(h.left), y = static_cast<uint32_t>(h.top);
  const uint32_t f = h.SurfaceFormat;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  bool built = true;
  if (h.PacketKind == protocol::ToWire(protocol::FramePacketKind::FullView0) + index) {
    if (f == kSurfaceRgb24)
      status = BuildFull9(view, packet, h.Length, w, ht, flags);
    else if (f == kSurfacePlanar || f == kSurfaceSemiPlanar)
      status = BuildFullRaw(view, packet, h.Length, w, ht, flags, f);
    else if (f == kSurfaceJpeg)
      status = BuildFullJpeg(view, packet, h.Length, w, ht, flags);
    else
      built = false;
  } else if (h.PacketKind == protocol::ToWire(protocol::FramePacketKind::RectView0) + index) {
    if (f == kSurfaceSemiPlanar)
      status = BuildRectRaw(view, packet, h.Length, x, y, w, ht, flags, f);
    else if (f == kSurfaceJpeg)
      status = BuildRectJpeg(view, packet, h.Length, x, y, w, ht, flags);
    else
      built = false;
  } else if (h.PacketKind == protocol::ToWire(protocol::FramePacketKind::JpegPatch)) {
    if (f == kSurfaceJpeg)
      status = BuildPatchJpeg(view, packet, h.Length, h.left, h.top, h.right, h.bottom, flags);
    else if (f == kSurfaceSemiPlanar)
      status = BuildPatch6(view, packet, h.Length, h.left, h.top, h.right, h.bottom);
    else if (f == kSurfaceRgb24)
      status = BuildPatch9(view, packet, h.Length, h.left, h.top, h.right, h.bottom, h.Patch);
    else
      built = false;
  } else {
    built = false;
  }
  if (!built) {
    TracePoint(kTraceBringUp, kTraceError, kTraceUnitPipeline, kMsgBadHandoff,
               {index, h.PacketKind, f, h.Length});
    return STATUS_UNSUCCESSFUL;
  }
  if (!NT_SUCCESS(status))
    TracePoint(kTraceBringUp, kTraceError, kTraceUnitPipeline, kMsgBuildFailed,
               {index, h.PacketKind, f, static_cast<uint32_t>(status)});
  return status;
}

DWORD WINAPI SendThread(LPVOID parameter) {
  auto* device = static_cast<SorvikDevice*>(parameter);
  LARGE_INTEGER frequency{};
  QueryPerformanceFrequency(&frequency);
  bool resync_pending = false;

  for (;;) {
    HANDLE events[1 + kViewCountMax];
    DWORD count = 0;
    events[count++] = device->SendThread.StopEvent;
    bool all_events = true;
    for (const ViewContext& view : device->Views) {
      if (HANDLE ready = ReadyOf(view))
        events[count++] = ready;
      else if (view.Present)
        all_events = false;
    }
    const DWORD which =
        WaitForMultipleObjects(count, events, FALSE, all_events ? INFINITE : kEventPollMs);
    if (which == WAIT_OBJECT_0) return 0;
    if (which == WAIT_TIMEOUT) continue;
    if (which == WAIT_FAILED) {
      // A view's events went away under the thread: only the stop event is waited on then.
      if (WaitForSingleObject(device->SendThread.StopEvent, kEventPollMs) == WAIT_OBJECT_0)
        return 0;
      continue;
    }

    const uint8_t format_mode = std::atomic_ref<uint8_t>(device->FormatMode).load();
    const uint8_t flags = resync_pending && format_mode == 0 ? kResyncFlags : 0;
    resync_pending = false;
    const uint8_t limit = device->BandwidthLimit;
    LARGE_INTEGER start{};
    if (limit != 0 && limit != kNoLimit) QueryPerformanceCounter(&start);

    uint32_t last_length = 0;
    bool overran = false;
    for (ViewContext& view : device->Views) {
      SystemMemObj* mem = view.SystemMem;
      if (!mem || !Signalled(mem->ReadyEvent)) continue;
      ResetEvent(mem->ReadyEvent);
      LockUntimed(device, mem->HandoffLock);
      const FrameHandoff handoff = mem->Handoff;
      uint8_t* staging = mem->Staging;
      const uint32_t staging_size = mem->StagingSize;
      Unlock(device, mem->HandoffLock);
      last_length = handoff.Length;

      const NTSTATUS status = SendHandoff(&view, staging, staging_size, handoff, flags);
      if (!NT_SUCCESS(status)) {
        RequestFullRefresh(&view);
        if (status == STATUS_INSUFFICIENT_RESOURCES) {
          Resync(device, &view);
          // Only this view's packet is released here: the other view's, if it waits, is
          // still to be sent and its staging space must stay untouched until then.
          SetEvent(mem->ConsumedEvent);
          resync_pending = true;
          overran = true;
          break;
        }
      }
      SetEvent(mem->ConsumedEvent);
    }
    if (overran) continue;

    if (limit != 0 && limit != kNoLimit) {
      LARGE_INTEGER now{};
      QueryPerformanceCounter(&now);
      const uint32_t ms =
          PacingSleepMs(limit, static_cast<uint64_t>(now.QuadPart - start.QuadPart),
                        static_cast<uint64_t>(frequency.QuadPart), last_length);
      if (ms) Sleep(ms);
    }
  }
}

}  // namespace vorn::display
