#include "display/frames/frame_packet.h"

#include <cstring>

namespace vorn::display {
namespace {

using protocol::FrameDescriptor;
using protocol::FramePacketKind;
using protocol::SurfaceFormat;
using protocol::ToWire;

constexpr uint32_t kDescriptor = protocol::kFrameDescriptorSize;
constexpr uint32_t kPayload = protocol::kFramePayloadOffset;
constexpr uint32_t kHeader = protocol::kBusMessageHeaderSize;
constexpr uint32_t kFieldMax = 0xFFFF;

constexpr uint32_t F4 = ToWire(SurfaceFormat::Planar420);
constexpr uint32_t F6 = ToWire(SurfaceFormat::SemiPlanar420);
constexpr uint32_t F9 = ToWire(SurfaceFormat::Rgb24);
constexpr uint32_t F13 = ToWire(SurfaceFormat::Jpeg420);

constexpr uint32_t CeilDiv(uint32_t v, uint32_t d) { return (v + d - 1) / d; }

// Sizes that fit the 16-bit descriptor fields, strides included (a 24-bit row is the widest).
bool SizeFits(uint32_t w, uint32_t h) {
  return w > 0 && h > 0 && w <= kFieldMax && h <= kFieldMax && Rgb24Stride(w) <= kFieldMax;
}

bool JpegLengthFits(uint32_t length) {
  return length >= kMinJpegMessage && length % 1024 == 0;
}

// JPEG full frame decode target: 16-pixel blocks.
struct JpegFullTarget {
  uint32_t stride;
  uint64_t luma;
};
JpegFullTarget JpegFull(uint32_t w, uint32_t h) {
  const uint32_t c = CeilDiv(w, 16), r = CeilDiv(h, 16);
  return {16 * c, uint64_t{256} * c * r};
}
// JPEG rectangle decode target: 32-pixel blocks, plane 2 one KiB past the block count.
struct JpegRectTarget {
  uint32_t stride;
  uint64_t plane2;
  uint64_t chroma;
};
JpegRectTarget JpegRect(uint32_t w, uint32_t h) {
  const uint32_t c = CeilDiv(w, 32), r = CeilDiv(h, 32);
  return {32 * c, (uint64_t{c} * r + 1) * 1024, uint64_t{512} * c * r};
}

void Finish(uint8_t* message, const FrameDescriptor& d, uint32_t address, uint32_t length) {
  InitCommandHeader(message, ToWire(protocol::BusMessageType::Display), length - kHeader,
                    address);
  protocol::EncodeFrameDescriptor(
      d, protocol::MutableByteSpan(message + protocol::kFrameDescriptorOffset, kDescriptor));
}

FrameDescriptor Common(const FrameMessage& m, uint32_t kind, uint32_t layout) {
  FrameDescriptor d;
  d.PacketKind = kind;
  d.PayloadLength = m.Length - kPayload;
  d.Sequence = m.Sequence;
  d.Layout = layout;
  d.DescriptorFlags = m.Flags;
  return d;
}

bool InsideFrame(const FramePlanes& f, uint32_t x, uint32_t y, uint32_t w, uint32_t h) {
  return w > 0 && h > 0 && uint64_t{x} + w <= f.Width && uint64_t{y} + h <= f.Height;
}

}  // namespace

uint64_t RawPlaneBytes(uint32_t format, uint32_t w, uint32_t h) {
  const uint64_t a = Align16(w);
  switch (format) {
    case F4: return uint64_t{Align16(h)} * a + uint64_t{Align16(w / 2)} * h;
    case F6: return a * h + a * (h / 2);
    case F9: return uint64_t{h} * Rgb24Stride(w);
    default: return 0;
  }
}

uint64_t RawMessageLength(uint32_t format, uint32_t w, uint32_t h) {
  const uint64_t planes = RawPlaneBytes(format, w, h);
  return planes ? kPayload + planes : 0;
}

void InitCommandHeader(uint8_t* message, uint32_t type, uint32_t totalLength, uint32_t address) {
  if (!message) return;
  protocol::BusMessageHeader h;
  h.Type = type;
  h.TotalLength = totalLength;
  h.Address = address;
  h.Slice.SliceLength = totalLength;
  protocol::EncodeBusMessageHeader(h, protocol::MutableByteSpan(message, kHeader));
}

uint64_t FullFrameSlotBytes(uint32_t format, uint32_t w, uint32_t h) {
  switch (format) {
    case F4:
    case F6: return kDescriptor + RawPlaneBytes(format, w, h);
    case F9: return 2 * kDescriptor + RawPlaneBytes(format, w, h);
    case F13: {
      const JpegFullTarget t = JpegFull(w, h);
      return kDescriptor + t.luma + t.luma / 2;
    }
    default: return 0;
  }
}

uint64_t RectSlotBytes(uint32_t format, uint32_t w, uint32_t h) {
  switch (format) {
    case F6: return kDescriptor + RawPlaneBytes(format, w, h);
    case F13: {
      const JpegRectTarget t = JpegRect(w, h);
      return t.plane2 + t.chroma;
    }
    default: return 0;
  }
}

NTSTATUS FillFullFrame(uint8_t* message, const FrameMessage& m, FramePlanes* placed) {
  if (!message || !placed || m.View > 1 || !SizeFits(m.Width, m.Height))
    return STATUS_INVALID_PARAMETER;
  const uint32_t w = m.Width, h = m.Height, s = m.Slot;
  const bool jpeg = m.Format == F13;
  if (jpeg ? !JpegLengthFits(m.Length) : m.Length != RawMessageLength(m.Format, w, h))
    return STATUS_INVALID_PARAMETER;
  const uint64_t occupied = FullFrameSlotBytes(m.Format, w, h);
  if (occupied > m.SlotCapacity || uint64_t{s} + occupied > 0xFFFFFFFFu)
    return STATUS_UNSUCCESSFUL;

  FramePlanes p{};
  p.Width = w;
  p.Height = h;
  uint32_t address = s;
  const uint32_t plane1 = s + kDescriptor;
  switch (m.Format) {
    case F4:
      p.Layout = F4;
      p.Stride[0] = static_cast<uint16_t>(Align16(w));
      p.Stride[1] = static_cast<uint16_t>(Align16(w / 2));
      p.Plane[0] = plane1;
      p.Plane[1] = plane1 + Align16(h) * p.Stride[0];
      p.Plane[2] = p.Plane[1] + (p.Stride[1] * h) / 2;
      break;
    case F6:
      p.Layout = F6;
      p.Stride[0] = p.Stride[1] = static_cast<uint16_t>(Align16(w));
      p.Plane[0] = plane1;
      p.Plane[1] = plane1 + p.Stride[0] * h;
      p.Plane[2] = plane1;
      break;
    case F9:
      p.Layout = F9;
      address = s + kDescriptor;
      p.Stride[0] = static_cast<uint16_t>(Rgb24Stride(w));
      p.Plane[0] = p.Plane[1] = s + 2 * kDescriptor;
      break;
    case F13: {
      const JpegFullTarget t = JpegFull(w, h);
      p.Layout = F6;
      p.Stride[0] = p.Stride[1] = static_cast<uint16_t>(t.stride);
      p.Plane[0] = plane1;
      p.Plane[1] = static_cast<uint32_t>(plane1 + t.luma);
      address = m.RingAddress;
      break;
    }
    default: return STATUS_INVALID_PARAMETER;
  }

  FrameDescriptor d = Common(m, ToWire(FramePacketKind::FullView0) + m.View, p.Layout);
  d.Full.Stride1 = p.Stride[0];
  d.Full.Stride2 = p.Stride[1];
  d.Full.Plane1 = p.Plane[0];
  d.Full.Plane2 = p.Plane[1];
  d.Full.Plane3 = p.Plane[2];
  d.Full.Format = m.Format;
  if (m.OffsetX || m.OffsetY) {
    d.Full.OffsetX = m.OffsetX;
    d.Full.OffsetY = m.OffsetY;
    d.Full.Width = static_cast<uint16_t>(w);
    d.Full.Height = static_cast<uint16_t>(h);
  }
  Finish(message, d, address, m.Length);
  *placed = p;
  return STATUS_SUCCESS;
}

NTSTATUS FillRect(uint8_t* message, const FrameMessage& m) {
  if (!message || m.View > 1 || !SizeFits(m.Width, m.Height) || m.X > kFieldMax ||
      m.Y > kFieldMax)
    return STATUS_INVALID_PARAMETER;
  const uint32_t w = m.Width, h = m.Height, s = m.Slot;
  const bool jpeg = m.Format == F13;
  if (m.Format != F6 && !jpeg) return STATUS_INVALID_PARAMETER;
  if (jpeg ? !JpegLengthFits(m.Length) : m.Length != RawMessageLength(m.Format, w, h))
    return STATUS_INVALID_PARAMETER;
  const uint64_t occupied = RectSlotBytes(m.Format, w, h);
  if (occupied > m.SlotCapacity || uint64_t{s} + occupied > 0xFFFFFFFFu)
    return STATUS_UNSUCCESSFUL;

  FrameDescriptor d = Common(m, ToWire(FramePacketKind::RectView0) + m.View, F6);
  d.Rect.X = static_cast<uint16_t>(m.X);
  d.Rect.Y = static_cast<uint16_t>(m.Y);
  d.Rect.Width = static_cast<uint16_t>(w);
  d.Rect.Height = static_cast<uint16_t>(h);
  d.Rect.Format = m.Format;
  uint32_t address = s;
  if (jpeg) {
    const JpegRectTarget t = JpegRect(w, h);
    d.Rect.Stride1 = d.Rect.Stride2 = static_cast<uint16_t>(t.stride);
    d.Rect.Plane1 = s;
    d.Rect.Plane2 = static_cast<uint32_t>(s + t.plane2);
    address = m.RingAddress;
  } else {
    d.Rect.Stride1 = d.Rect.Stride2 = static_cast<uint16_t>(Align16(w));
    d.Rect.Plane1 = s + kDescriptor;
    d.Rect.Plane2 = d.Rect.Plane1 + Align16(w) * h;
    d.Rect.Plane3 = d.Rect.Plane1;
  }
  Finish(message, d, address, m.Length);
  return STATUS_SUCCESS;
}

NTSTATUS FillJpegPatch(uint8_t* message, const FrameMessage& m, const FramePlanes& last) {
  if (!message || m.Format != F13 || !JpegLengthFits(m.Length) ||
      !InsideFrame(last, m.X, m.Y, m.Width, m.Height))
    return STATUS_INVALID_PARAMETER;
  const uint32_t x = m.X, y = m.Y;
  FrameDescriptor d = Common(m, ToWire(FramePacketKind::JpegPatch), last.Layout);
  d.Patch.Width = static_cast<uint16_t>(m.Width);
  d.Patch.Height = static_cast<uint16_t>(m.Height);
  d.Patch.Stride1 = last.Stride[0];
  d.Patch.Stride2 = last.Stride[1];
  d.Patch.Format = F13;
  switch (last.Layout) {
    case F4: {
      const uint32_t c = (y / 2) * last.Stride[1] + x / 2;
      d.Patch.Dest1 = last.Plane[0] + y * last.Stride[0] + x;
      d.Patch.Dest2 = last.Plane[1] + c;
      d.Patch.Dest3 = last.Plane[2] + c;
      break;
    }
    case F6:
      d.Patch.Dest1 = last.Plane[0] + y * last.Stride[0] + x;
      d.Patch.Dest2 = last.Plane[1] + (y / 2) * last.Stride[1] + (x / 2) * 2;
      break;
    case F9: d.Patch.Dest1 = last.Plane[0] + y * last.Stride[0] + 3 * x; break;
    default: return STATUS_INVALID_PARAMETER;  // no full frame yet
  }
  Finish(message, d, m.RingAddress, m.Length);
  return STATUS_SUCCESS;
}

NTSTATUS FillTwoPlane(uint8_t* message, uint32_t format, uint32_t x, uint32_t y, uint32_t w,
                      uint32_t h, const FramePlanes& last, uint32_t* length) {
  if (!message || !length || format != last.Layout || !InsideFrame(last, x, y, w, h))
    return STATUS_INVALID_PARAMETER;
  protocol::BusMessageHeader hd;
  hd.Type = ToWire(protocol::BusMessageType::TwoPlane);
  hd.TwoPlane = protocol::BusTwoPlaneFields{};
  uint32_t width = 0, height = 0;
  if (format == F6) {
    hd.Address = last.Plane[0] + y * last.Stride[0] + x;
    hd.TwoPlane.AddressB = last.Plane[1] + (y / 2) * last.Stride[1] + (x / 2) * 2;
    hd.TwoPlane.StrideA = last.Stride[0];
    hd.TwoPlane.StrideB = last.Stride[1];
    width = w;
    height = h;
  } else if (format == F9) {
    if (x % 48 || h % 3) return STATUS_INVALID_PARAMETER;
    const uint32_t t = last.Stride[0];
    hd.Address = last.Plane[0] + 3 * x + y * t;
    hd.TwoPlane.AddressB = hd.Address + (2 * h / 3) * t;
    hd.TwoPlane.StrideA = hd.TwoPlane.StrideB = static_cast<uint16_t>(t);
    width = 3 * w;
    height = 2 * h / 3;
  } else {
    return STATUS_INVALID_PARAMETER;
  }
  if (width > kFieldMax || height > kFieldMax) return STATUS_INVALID_PARAMETER;
  hd.TwoPlane.Width = static_cast<uint16_t>(width);
  hd.TwoPlane.Height = static_cast<uint16_t>(height);
  hd.TotalLength = width * height + width * (height / 2);
  protocol::EncodeBusMessageHeader(hd, protocol::MutableByteSpan(message, kHeader));
  *length = kHeader + hd.TotalLength;
  return STATUS_SUCCESS;
}

}  // namespace vorn::display
