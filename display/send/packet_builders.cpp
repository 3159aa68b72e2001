#include "display/send/packet_builders.h"

#include <atomic>
#include <cstring>

#include "display/device/bulk_write.h"
#include "display/frames/device_memory.h"
#include "display/send/send_trace.h"
#include "display/device/trace.h"

namespace vorn::display {
namespace {

constexpr uint32_t kHeader = protocol::kBusMessageHeaderSize;
constexpr uint32_t kDescriptorEnd = protocol::kFramePayloadOffset;
constexpr uint32_t F9 = 9, F13 = 13;

void Trace(uint16_t id, std::initializer_list<uint32_t> args) {
  TracePoint(kTraceBringUp, kTraceError, kTraceUnitPipeline, id, args);
}

// FrameSequence is the send thread's; tests and the interrupt reader only read it.
uint32_t DrawSequence(SorvikDevice* device) {
  return std::atomic_ref<uint32_t>(device->FrameSequence).fetch_add(1) + 1;
}

// A message of which nothing reached the device gives its number back, so the device sees no
// gap in the sequence it acknowledges by. Once its header went out the number stays used: the
// device may acknowledge it.
void ReturnSequence(SorvikDevice* device, uint32_t sequence) {
  uint32_t expected = sequence;
  std::atomic_ref<uint32_t>(device->FrameSequence).compare_exchange_strong(expected, sequence - 1);
}

enum class Target : uint8_t { Full, Rect, Patch };

// The type-0 messages: full frames, band rectangles and JPEG patches.
NTSTATUS BuildDisplay(ViewContext* view, uint8_t* packet, uint32_t length, Target target,
                      uint32_t x, uint32_t y, uint32_t width, uint32_t height, uint8_t flags,
                      uint32_t format) {
  SorvikDevice* device = view->Owner;
  if (!packet || length < kDescriptorEnd) return STATUS_INVALID_PARAMETER;
  std::memset(packet + kHeader, 0, kDescriptorEnd - kHeader);
  DeviceMemory* memory = &device->Memory;
  const uint32_t index = view->Index;

  FrameMessage m{};
  m.View = index;
  m.Format = format;
  m.X = x;
  m.Y = y;
  m.Width = width;
  m.Height = height;
  m.Length = length;
  m.Flags = flags;
  uint32_t slot = 0;
  if (target != Target::Patch) {
    NTSTATUS status = PickFreeSlot(memory, index, &m.Slot, &slot);
    if (!NT_SUCCESS(status)) {
      Trace(kMsgNoSlot, {index, static_cast<uint32_t>(status)});
      return status;
    }
    m.SlotCapacity = SlotCapacity(&memory->Regions[index], slot);
  }
  const bool jpeg = format == F13;
  if (jpeg) {
    NTSTATUS status = AllocRingSpace(memory, length - kHeader, &m.RingAddress);
    if (!NT_SUCCESS(status)) {
      Trace(kMsgNoRingSpace, {index, length - kHeader, static_cast<uint32_t>(status)});
      return status;
    }
  }
  if (target == Target::Full && (view->Modes.OffsetX || view->Modes.OffsetY)) {
    m.OffsetX = static_cast<uint16_t>(view->Modes.OffsetX);
    m.OffsetY = static_cast<uint16_t>(view->Modes.OffsetY);
  }
  m.Sequence = DrawSequence(device);

  FramePlanes placed{};
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  switch (target) {
    case Target::Full: status = FillFullFrame(packet, m, &placed); break;
    case Target::Rect: status = FillRect(packet, m); break;
    case Target::Patch: status = FillJpegPatch(packet, m, view->LastFull); break;
  }
  bool reached = false;
  if (NT_SUCCESS(status)) status = SendMessage(device, packet, length, &reached);
  if (!NT_SUCCESS(status)) {
    if (!reached) {
      ReturnSequence(device, m.Sequence);
    } else if (jpeg) {
      // The header and descriptor went out: the device may still take the payload's place
      // in the ring and acknowledge this number, so the number stays used and the place
      // stays booked until an acknowledgement releases it.
      RecordInFlight(memory, m.RingAddress, length - kHeader, m.Sequence);
    }
    return status;
  }

  if (target == Target::Full) {
    view->LastFull = placed;
    MarkSlotBusy(memory, index, slot, kSlotTagFull);
  } else if (target == Target::Rect) {
    MarkSlotBusy(memory, index, slot, kSlotTagRect);
  }
  if (jpeg) RecordInFlight(memory, m.RingAddress, length - kHeader, m.Sequence);
  return STATUS_SUCCESS;
}

// The type-7 messages: the payload goes straight into the planes of the last full frame.
NTSTATUS BuildTwoPlane(ViewContext* view, uint8_t* packet, uint32_t length, uint32_t format,
                       uint32_t x, uint32_t y, uint32_t width, uint32_t height) {
  if (!packet || length < kHeader) return STATUS_INVALID_PARAMETER;
  uint32_t expected = 0;
  NTSTATUS status =
      FillTwoPlane(packet, format, x, y, width, height, view->LastFull, &expected);
  if (!NT_SUCCESS(status) || expected != length) {
    Trace(kMsgBadPatch, {view->Index, width, height});
    return STATUS_INVALID_PARAMETER;
  }
  return SendMessage(view->Owner, packet, length);
}

bool NegativeSize(ViewContext* view, int32_t left, int32_t top, int32_t right, int32_t bottom) {
  if (right - left >= 0 && bottom - top >= 0 && left >= 0 && top >= 0) return false;
  Trace(kMsgBadPatch, {view->Index, static_cast<uint32_t>(right - left),
                       static_cast<uint32_t>(bottom - top)});
  return true;
}

}  // namespace

NTSTATUS SendMessage(SorvikDevice* device, const uint8_t* packet, uint32_t length,
                     bool* reached) {
  if (reached) *reached = false;
  if (device->IpMode || device->SingleTransfer) {
    NTSTATUS status = BulkWrite(device, device->BulkOutput, packet, length);
    if (NT_SUCCESS(status)) return STATUS_SUCCESS;
    Trace(kMsgSingleFailed, {0, length, static_cast<uint32_t>(status)});
    return STATUS_UNSUCCESSFUL;
  }
  // The header goes out as a transfer of its own, then the rest of the message in place.
  NTSTATUS status = BulkWrite(device, device->BulkOutput, packet, kHeader);
  if (NT_SUCCESS(status)) {
    if (reached) *reached = true;
    status = BulkWrite(device, device->BulkOutput, packet + kHeader, length - kHeader);
  }
  if (NT_SUCCESS(status)) return STATUS_SUCCESS;
  Trace(kMsgSendFailed, {0, length, static_cast<uint32_t>(status)});
  ResetPipe(device, device->BulkOutput);
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS BuildFullRaw(ViewContext* view, uint8_t* packet, uint32_t length, uint32_t width,
                      uint32_t height, uint8_t flags, uint32_t format) {
  if (format != kSurfacePlanar && format != kSurfaceSemiPlanar) return STATUS_INVALID_PARAMETER;
  return BuildDisplay(view, packet, length, Target::Full, 0, 0, width, height, flags, format);
}

NTSTATUS BuildFull9(ViewContext* view, uint8_t* packet, uint32_t length, uint32_t width,
                    uint32_t height, uint8_t flags) {
  return BuildDisplay(view, packet, length, Target::Full, 0, 0, width, height, flags, F9);
}

NTSTATUS BuildFullJpeg(ViewContext* view, uint8_t* packet, uint32_t length, uint32_t width,
                       uint32_t height, uint8_t flags) {
  return BuildDisplay(view, packet, length, Target::Full, 0, 0, width, height, flags, F13);
}

NTSTATUS BuildRectRaw(ViewContext* view, uint8_t* packet, uint32_t length, uint32_t x, uint32_t y,
                      uint32_t width, uint32_t height, uint8_t flags, uint32_t format) {
  if (format != kSurfaceSemiPlanar) return STATUS_INVALID_PARAMETER;
  return BuildDisplay(view, packet, length, Target::Rect, x, y, width, height, flags, format);
}

NTSTATUS BuildRectJpeg(ViewContext* view, uint8_t* packet, uint32_t length, uint32_t x,
                       uint32_t y, uint32_t width, uint32_t height, uint8_t flags) {
  return BuildDisplay(view, packet, length, Target::Rect, x, y, width, height, flags, F13);
}

NTSTATUS BuildPatchJpeg(ViewContext* view, uint8_t* packet, uint32_t length, int32_t left,
                        int32_t top, int32_t right, int32_t bottom, uint8_t flags) {
  if (NegativeSize(view, left, top, right, bottom)) return STATUS_INVALID_PARAMETER;
  return BuildDisplay(view, packet, length, Target::Patch, static_cast<uint32_t>(left),
                      static_cast<uint32_t>(top), static_cast<uint32_t>(right - left),
                      static_cast<uint32_t>(bottom - top), flags, F13);
}

NTSTATUS BuildPatch6(ViewContext* view, uint8_t* packet, uint32_t length, int32_t left,
                     int32_t top, int32_t right, int32_t bottom) {
  if (NegativeSize(view, left, top, right, bottom)) return STATUS_INVALID_PARAMETER;
  return BuildTwoPlane(view, packet, length, kSurfaceSemiPlanar, static_cast<uint32_t>(left),
                       static_cast<uint32_t>(top), static_cast<uint32_t>(right - left),
                       static_cast<uint32_t>(bottom - top));
}

NTSTATUS BuildPatch9(ViewContext* view, uint8_t* packet, uint32_t length, int32_t left,
                     int32_t top, int32_t right, int32_t bottom, const uint32_t params[9]) {
  if (NegativeSize(view, left, top, right, bottom) || !params) return STATUS_INVALID_PARAMETER;
  // The snapped rectangle and the frame stride the encoder laid the rows out for.
  if (params[4] != view->LastFull.Stride[0]) {
    Trace(kMsgBadPatch, {view->Index, params[2], params[3]});
    return STATUS_INVALID_PARAMETER;
  }
  return BuildTwoPlane(view, packet, length, kSurfaceRgb24, params[0], params[1], params[2],
                       params[3]);
}

}  // namespace vorn::display
