// Black full frames: the first picture of a view, and the one after its output is switched on.
#include <cstring>

#include "display/encode/encode_thread.h"
#include "display/encode/staging.h"
#include "display/send/send_trace.h"
#include "display/device/trace.h"
#include "jpeg/codec/encode_frame_jpeg.h"
#include "platform/win32/synch.h"

namespace vorn::display {
namespace {

constexpr uint32_t kRoom = protocol::kFramePayloadOffset;
// The JPEG output capacity leaves the room in front, the 1024-byte trailer and the rounding
// of the message length to 1 KiB, so the message never reaches past the staging space.
constexpr uint32_t kJpegReserve = kRoom + kJpegTrailer + 1023;

struct Blank {
  uint32_t Format;
  uint32_t Length;
};

// The FormatMode the black frame follows: 24-bit RGB only on devices that take it.
uint8_t BlankMode(const SorvikDevice* device) {
  const uint8_t mode = EncodeFormatMode(device);
  if (mode == kFormatModeRgb && device->VendorCmdVersion < kRectCommandVersion)
    return kFormatModeYuv;
  return mode;
}

uint64_t BlankNeed(uint8_t mode, uint32_t w, uint32_t h) {
  switch (mode) {
    case kFormatModeRgb: return RawMessageLength(kSurfaceRgb24, w, h);
    case kFormatModeYuv: return RawMessageLength(kSurfaceSemiPlanar, w, h);
    default: return 2 * uint64_t{w} * h;
  }
}

// Writes the black frame at |s|; false when the JPEG encoder failed.
bool WriteBlank(ViewContext* view, uint8_t mode, uint32_t w, uint32_t h, const StagingSpace& s,
                Blank* out) {
  SorvikDevice* device = view->Owner;
  uint8_t* payload = s.Packet + kRoom;
  if (mode == kFormatModeRgb) {
    // Rows of the stride the descriptor gives, not of 3 x width.
    const uint64_t length = RawMessageLength(kSurfaceRgb24, w, h);
    std::memset(payload, 0, static_cast<size_t>(length - kRoom));
    *out = {kSurfaceRgb24, static_cast<uint32_t>(length)};
    return true;
  }
  if (mode == kFormatModeYuv) {
    const uint32_t stride = Align16(w);
    const size_t luma = size_t{stride} * h;
    std::memset(payload, 0, luma);
    std::memset(payload + luma, 128, size_t{stride} * (h / 2));
    *out = {kSurfaceSemiPlanar, static_cast<uint32_t>(RawMessageLength(kSurfaceSemiPlanar, w, h))};
    return true;
  }
  SystemMemObj* mem = view->SystemMem;
  const size_t pixels = size_t{w} * h * 3;
  if (!mem->pSourceBuf || pixels > mem->SourceBufSize || s.Space <= kJpegReserve) return false;
  std::memset(mem->pSourceBuf, 0, pixels);
  jpeg::JpegEncodeRequest request;
  request.width = w;
  request.height = h;
  request.pixelFormat = jpeg::PixelFormatBgr24;
  request.pixels = mem->pSourceBuf;
  request.stride = static_cast<int32_t>(w * 3);
  request.quality = static_cast<int32_t>(device->JpegQuality);
  request.sampling = device->JpegSampling;
  request.output = payload;
  request.outputCapacity = static_cast<int32_t>(s.Space - kJpegReserve);
  if (jpeg::EncodeFrameJpeg(&request) != jpeg::JpegEncodeOk || request.outputLength <= 0)
    return false;
  const uint32_t n = static_cast<uint32_t>(request.outputLength);
  const uint32_t length = static_cast<uint32_t>(JpegMessageLength(n));
  std::memset(payload + n, 0, length - kRoom - n);
  *out = {kSurfaceJpeg, length};
  return true;
}

}  // namespace

NTSTATUS SendBlankFrame(ViewContext* view, uint32_t* layout) {
  if (layout) *layout = 0;
  const uint32_t w = view->Modes.DeviceWidth, h = view->Modes.DeviceHeight;
  if (!view->SystemMem || w == 0 || h == 0) return STATUS_UNSUCCESSFUL;
  const uint8_t mode = BlankMode(view->Owner);
  StagingSpace space{};
  switch (ReserveStaging(view, BlankNeed(mode, w, h), &space)) {
    case StagingResult::Ready: break;
    case StagingResult::Stopped: return STATUS_SUCCESS;
    case StagingResult::TooSmall: return STATUS_UNSUCCESSFUL;
  }
  Blank blank{};
  if (!WriteBlank(view, mode, w, h, space, &blank)) {
    TracePoint(kTraceEntry, kTraceError, kTraceUnitPipeline, kMsgBlankFailed,
               {view->Index, static_cast<uint32_t>(STATUS_UNSUCCESSFUL)});
    return STATUS_UNSUCCESSFUL;
  }
  if (!WaitConsumed(view)) return STATUS_SUCCESS;
  FrameHandoff handoff{};
  handoff.PacketKind = protocol::ToWire(protocol::FramePacketKind::FullView0) + view->Index;
  handoff.right = static_cast<int32_t>(w);
  handoff.bottom = static_cast<int32_t>(h);
  handoff.Length = blank.Length;
  handoff.SurfaceFormat = blank.Format;
  HandOff(view, handoff);
  if (layout) *layout = blank.Format == kSurfaceJpeg ? kSurfaceSemiPlanar : blank.Format;
  return STATUS_SUCCESS;
}

NTSTATUS SendInitialBlankFrame(ViewContext* view, uint32_t* layout) {
  uint32_t handed = 0;
  NTSTATUS status = SendBlankFrame(view, &handed);
  if (layout) *layout = handed;
  // The same frame twice more, but only when there was one.
  if (!NT_SUCCESS(status) || handed == 0) return status;
  for (int i = 0; i < 2; ++i) {
    if (!WaitConsumed(view)) break;
    ResetEvent(view->SystemMem->ConsumedEvent);
    SetEvent(view->SystemMem->ReadyEvent);
  }
  return STATUS_SUCCESS;
}

}  // namespace vorn::display
