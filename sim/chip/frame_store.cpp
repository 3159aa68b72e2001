#include "sim/chip/frame_store.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "protocol/bus_message.h"
#include "protocol/frame_descriptor.h"
#include "protocol/interrupt_packet.h"
#include "sim/chip/jpeg_decode.h"

namespace vorn::chip {
namespace {

using protocol::FrameDescriptor;
using protocol::FrameDescriptorForm;
using protocol::SurfaceFormat;
using protocol::ToWire;

constexpr uint32_t kDescriptor = protocol::kFrameDescriptorSize;
constexpr uint32_t kLayout4 = ToWire(SurfaceFormat::Planar420);
constexpr uint32_t kLayout6 = ToWire(SurfaceFormat::SemiPlanar420);
constexpr uint32_t kLayout9 = ToWire(SurfaceFormat::Rgb24);
constexpr uint32_t kJpeg = ToWire(SurfaceFormat::Jpeg420);

uint8_t Clamp(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

// Full-range BT.601, 16-bit fixed point.
void YccToBgra(int y, int cb, int cr, uint8_t* out) {
  cb -= 128;
  cr -= 128;
  out[0] = Clamp(y + ((116130 * cb + 32768) >> 16));
  out[1] = Clamp(y - ((22554 * cb + 46802 * cr + 32768) >> 16));
  out[2] = Clamp(y + ((91881 * cr + 32768) >> 16));
  out[3] = 0xFF;
}

}  // namespace

FrameStore::FrameStore(uint32_t memory_bytes, ViolationLog& violations,
                       InterruptQueue& interrupts)
    : size_(memory_bytes),
      violations_(violations),
      interrupts_(interrupts),
      memory_(static_cast<uint8_t*>(std::calloc(memory_bytes ? memory_bytes : 1, 1))) {
  if (!memory_) std::abort();  // a test machine without the memory cannot model the chip
  ring_start_ = size_ > kRingSize ? size_ - kRingSize : 0;
  ring_end_ = size_ > kRingTopGap ? size_ - kRingTopGap : 0;
}

void FrameStore::Violation(std::string what) { violations_.Add("frame: " + std::move(what)); }

void FrameStore::FreeMemory::operator()(uint8_t* p) const { std::free(p); }

// Callers have checked the range; what would still fall outside memory is dropped.
void FrameStore::Write(uint32_t address, const uint8_t* data, uint32_t length) {
  if (address >= size_) return;
  std::memcpy(memory_.get() + address, data, std::min(length, size_ - address));
}

uint8_t FrameStore::At(uint32_t address) const { return address < size_ ? memory_[address] : 0; }

std::vector<uint8_t> FrameStore::Read(uint32_t address, uint32_t length) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (address >= size_) return {};
  length = std::min(length, size_ - address);
  return std::vector<uint8_t>(memory_.get() + address, memory_.get() + address + length);
}

void FrameStore::SetRing(uint32_t start, uint32_t end) {
  std::lock_guard<std::mutex> guard(lock_);
  ring_start_ = start;
  ring_end_ = end;
}

void FrameStore::SetMode(int view, uint32_t width, uint32_t height) {
  std::lock_guard<std::mutex> guard(lock_);
  if (view < 0 || view > 1) return;
  mode_[view][0] = width;
  mode_[view][1] = height;
}

void FrameStore::NewSession() {
  std::lock_guard<std::mutex> guard(lock_);
  last_sequence_.reset();
}

void FrameStore::SetModeSource(ModeSource source) {
  std::lock_guard<std::mutex> guard(lock_);
  mode_source_ = std::move(source);
}

bool FrameStore::CheckRange(const char* what, uint64_t address, uint64_t length) {
  if (address + length > size_) {
    Violation(std::string(what) + " beyond frame memory at " + std::to_string(address) + " + " +
              std::to_string(length));
    return false;
  }
  return true;
}

// A plane of |rows| rows of |row_bytes| at |stride| must lie in frame memory and outside the
// ring, and its rows may not overlap.
bool FrameStore::CheckPlane(const char* what, uint64_t address, uint64_t stride, uint64_t rows,
                            uint64_t row_bytes) {
  if (rows == 0 || row_bytes == 0) return true;
  if (rows > 1 && stride < row_bytes) {
    Violation(std::string(what) + ": stride " + std::to_string(stride) + " below its row of " +
              std::to_string(row_bytes));
    return false;
  }
  const uint64_t extent = (rows - 1) * stride + row_bytes;
  if (!CheckRange(what, address, extent)) return false;
  if (address < ring_end_ && address + extent > ring_start_) {
    Violation(std::string(what) + " in the rectangle ring at " + std::to_string(address));
    return false;
  }
  return true;
}

bool FrameStore::CheckFramePlanes(const StoredFrame& f) {
  const uint64_t w = f.width, h = f.height, hc = (h + 1) / 2, wc = (w + 1) / 2;
  switch (f.layout) {
    case kLayout4:
      return CheckPlane("Y plane", f.planes[0], f.strides[0], h, w) &&
             CheckPlane("Cb plane", f.planes[1], f.strides[1], hc, wc) &&
             CheckPlane("Cr plane", f.planes[2], f.strides[1], hc, wc);
    case kLayout6:
      return CheckPlane("Y plane", f.planes[0], f.strides[0], h, w) &&
             CheckPlane("CbCr plane", f.planes[1], f.strides[1], hc, 2 * wc);
    case kLayout9: return CheckPlane("RGB plane", f.planes[0], f.strides[0], h, 3 * w);
    default:
      Violation("unknown layout " + std::to_string(f.layout));
      return false;
  }
}

// A write over a ring payload the device has not acknowledged destroys a frame it has still
// to decode.
void FrameStore::CheckOverwrite(uint32_t address, uint32_t length) {
  for (const InFlight& p : unacked_) {
    if (uint64_t{address} < uint64_t{p.address} + p.length &&
        uint64_t{p.address} < uint64_t{address} + length)
      Violation("overwrites the unacknowledged payload of sequence " +
                std::to_string(p.sequence) + " at " + std::to_string(p.address));
  }
}

void FrameStore::OnMessage(const BusMessage& m) {
  std::vector<InterruptQueue::Packet> acks;
  {
    std::lock_guard<std::mutex> guard(lock_);
    ++messages_;
    if (m.type == ToWire(protocol::BusMessageType::Display))
      OnDisplay(m, &acks);
    else if (m.type == ToWire(protocol::BusMessageType::TwoPlane))
      OnTwoPlane(m);
  }
  // Outside the lock: a completed read may run the host's handler, which may look back here.
  for (const auto& p : acks) interrupts_.Push(p);
}

void FrameStore::OnDisplay(const BusMessage& m, std::vector<InterruptQueue::Packet>* acks) {
  FrameDescriptor d;
  if (m.payload.size() < kDescriptor ||
      !protocol::DecodeFrameDescriptor(protocol::ByteSpan(m.payload.data(), kDescriptor), &d)) {
    Violation("display message without a valid descriptor");
    return;
  }
  if (uint64_t{d.PayloadLength} + kDescriptor != m.payload.size())
    Violation("PayloadLength " + std::to_string(d.PayloadLength) + " in a message of " +
              std::to_string(m.payload.size()));
  if (last_sequence_ && d.Sequence != *last_sequence_ + 1)
    Violation("sequence " + std::to_string(d.Sequence) + " after " +
              std::to_string(*last_sequence_));
  last_sequence_ = d.Sequence;

  const uint32_t length = static_cast<uint32_t>(m.payload.size());
  if (CheckRange("display message", m.address, length)) {
    CheckOverwrite(m.address, length);
    Write(m.address, m.payload.data(), length);
  }
  const bool in_ring = m.address < ring_end_ && m.address >= ring_start_;

  const FrameDescriptorForm form = protocol::FormOfPacketKind(d.PacketKind);
  StoredFrame f;
  f.kind = d.PacketKind;
  f.layout = d.Layout;
  f.sequence = d.Sequence;
  if (form == FrameDescriptorForm::Full) {
    const int view = d.PacketKind == ToWire(protocol::FramePacketKind::FullView0) ? 0 : 1;
    f.format = d.Full.Format;
    f.planes[0] = d.Full.Plane1;
    f.planes[1] = d.Full.Plane2;
    f.planes[2] = d.Full.Plane3;
    f.strides[0] = d.Full.Stride1;
    f.strides[1] = d.Full.Stride2;
    f.x = d.Full.OffsetX;
    f.y = d.Full.OffsetY;
    bool size_from_planes = false;
    if (d.Full.Width && d.Full.Height) {
      f.width = d.Full.Width;
      f.height = d.Full.Height;
    } else if (mode_[view][0] && mode_[view][1]) {
      f.width = mode_[view][0];
      f.height = mode_[view][1];
    } else if (auto m = mode_source_ ? mode_source_(view) : std::pair<uint32_t, uint32_t>{};
               m.first && m.second) {
      f.width = m.first;
      f.height = m.second;
    } else if (f.strides[0]) {  // what the planes give
      size_from_planes = true;
      f.width = f.layout == kLayout9 ? f.strides[0] / 3 : f.strides[0];
      if (f.layout == kLayout9) f.height = d.PayloadLength / f.strides[0];
      else if (f.layout == kLayout4 && f.strides[1] && f.planes[2] > f.planes[1])
        f.height = 2 * (f.planes[2] - f.planes[1]) / f.strides[1];
      else if (f.planes[1] > f.planes[0]) f.height = (f.planes[1] - f.planes[0]) / f.strides[0];
    }
    if (CheckFramePlanes(f)) {
      if (f.format == kJpeg)
        DecodeJpegInto(m.payload.data() + kDescriptor, m.payload.size() - kDescriptor, &f,
                       size_from_planes);
      full_[view] = f;
      rect_[view].reset();
      full_frames_[view].fetch_add(1, std::memory_order_release);
    }
  } else if (form == FrameDescriptorForm::Rect) {
    const int view = d.PacketKind == ToWire(protocol::FramePacketKind::RectView0) ? 0 : 1;
    f.format = d.Rect.Format;
    f.x = d.Rect.X;
    f.y = d.Rect.Y;
    f.width = d.Rect.Width;
    f.height = d.Rect.Height;
    f.planes[0] = d.Rect.Plane1;
    f.planes[1] = d.Rect.Plane2;
    f.planes[2] = d.Rect.Plane3;
    f.strides[0] = d.Rect.Stride1;
    f.strides[1] = d.Rect.Stride2;
    if (CheckFramePlanes(f)) {
      if (f.format == kJpeg)
        DecodeJpegInto(m.payload.data() + kDescriptor, m.payload.size() - kDescriptor, &f, false);
      rect_[view] = f;
    }
  } else {  // a JPEG patch: its decoded samples go into a last full frame
    f.format = d.Patch.Format;
    f.width = d.Patch.Width;
    f.height = d.Patch.Height;
    f.planes[0] = d.Patch.Dest1;
    f.planes[1] = d.Patch.Dest2;
    f.planes[2] = d.Patch.Dest3;
    f.strides[0] = d.Patch.Stride1;
    f.strides[1] = d.Patch.Stride2;
    if (CheckFramePlanes(f) && f.format == kJpeg)
      DecodeJpegInto(m.payload.data() + kDescriptor, m.payload.size() - kDescriptor, &f, false);
  }
  if (in_ring) unacked_.push_back({d.Sequence, m.address, length});
  Acknowledge(d.Sequence, acks);
}

void FrameStore::JpegFailed(std::string why) {
  ++jpeg_.failed;
  jpeg_.last_failure = std::move(why);
}

void FrameStore::DecodeJpegInto(const uint8_t* stream, size_t size, StoredFrame* t,
                                bool adopt_size) {
  if (!JpegDecoderAvailable()) {
    ++jpeg_.undecoded;
    return;
  }
  const bool rgb = t->layout == kLayout9;
  if (t->layout != kLayout4 && t->layout != kLayout6 && !rgb) {
    JpegFailed("JPEG into layout " + std::to_string(t->layout));
    return;
  }
  DecodedJpeg image;
  std::string error;
  if (!DecodeJpeg(stream, size, t->width, t->height, rgb, &image, &error)) {
    JpegFailed(std::move(error));
    return;
  }
  if (image.width != t->width || image.height != t->height) {
    if (!adopt_size) {
      JpegFailed("stream of " + std::to_string(image.width) + " x " +
                 std::to_string(image.height) + " for a target of " + std::to_string(t->width) +
                 " x " + std::to_string(t->height));
      return;
    }
    t->width = image.width;  // smaller than what the planes hold, so it fits them
    t->height = image.height;
  }
  const uint32_t w = image.width, h = image.height, cw = (w + 1) / 2, ch = (h + 1) / 2;
  if (rgb) {
    for (uint32_t r = 0; r < h; ++r)
      Write(t->planes[0] + r * t->strides[0], &image.bgr[size_t{r} * 3 * w], 3 * w);
  } else {
    for (uint32_t r = 0; r < h; ++r)
      Write(t->planes[0] + r * t->strides[0], &image.y[size_t{r} * w], w);
    std::vector<uint8_t> pairs(2 * size_t{cw});
    for (uint32_t r = 0; r < ch; ++r) {
      const uint8_t* cb = &image.cb[size_t{r} * cw];
      const uint8_t* cr = &image.cr[size_t{r} * cw];
      if (t->layout == kLayout4) {
        Write(t->planes[1] + r * t->strides[1], cb, cw);
        Write(t->planes[2] + r * t->strides[1], cr, cw);
      } else {
        for (uint32_t x = 0; x < cw; ++x) {
          pairs[2 * x] = cb[x];
          pairs[2 * x + 1] = cr[x];
        }
        Write(t->planes[1] + r * t->strides[1], pairs.data(), 2 * cw);
      }
    }
  }
  t->decoded = true;
  ++jpeg_.decoded;
}

void FrameStore::OnTwoPlane(const BusMessage& m) {
  protocol::BusMessageHeader h;
  protocol::DecodeBusMessageHeader(protocol::ByteSpan(m.header.data(), m.header.size()), &h);
  const uint32_t w = h.TwoPlane.Width, rows_a = h.TwoPlane.Height, rows_b = rows_a / 2;
  if (uint64_t{w} * rows_a + uint64_t{w} * rows_b != m.payload.size()) {
    Violation("two-plane write of " + std::to_string(m.payload.size()) + " bytes for " +
              std::to_string(w) + " x " + std::to_string(rows_a));
    return;
  }
  if (!CheckPlane("plane A", h.Address, h.TwoPlane.StrideA, rows_a, w) ||
      !CheckPlane("plane B", h.TwoPlane.AddressB, h.TwoPlane.StrideB, rows_b, w))
    return;
  const uint8_t* p = m.payload.data();
  for (uint32_t r = 0; r < rows_a; ++r, p += w) {
    CheckOverwrite(h.Address + r * h.TwoPlane.StrideA, w);
    Write(h.Address + r * h.TwoPlane.StrideA, p, w);
  }
  for (uint32_t r = 0; r < rows_b; ++r, p += w) {
    CheckOverwrite(h.TwoPlane.AddressB + r * h.TwoPlane.StrideB, w);
    Write(h.TwoPlane.AddressB + r * h.TwoPlane.StrideB, p, w);
  }
}

void FrameStore::Acknowledge(uint32_t sequence, std::vector<InterruptQueue::Packet>* out) {
  if (drop_) {
    // A dropped acknowledgement still frees the payload on the device's side.
    --drop_;
    std::erase_if(unacked_, [&](const InFlight& p) { return p.sequence == sequence; });
    return;
  }
  pending_.push_back(sequence);
  if (!hold_) SendAcks(lag_, out);
}

void FrameStore::SendAcks(size_t keep, std::vector<InterruptQueue::Packet>* out) {
  while (pending_.size() > keep) {
    const uint32_t s = pending_.front();
    pending_.pop_front();
    acked_.push_back(s);
    std::erase_if(unacked_, [&](const InFlight& p) { return p.sequence == s; });
    protocol::INT_IN_PACKET k;
    k.PacketFlags = protocol::kPacketFlagDisplay;
    k.EventBits = protocol::kEventFrameAck;
    k.AckSequence = s;
    InterruptQueue::Packet packet{};
    protocol::EncodeIntInPacket(k, protocol::MutableByteSpan(packet.data(), packet.size()));
    out->push_back(packet);
  }
}

void FrameStore::SetAckLag(uint32_t lag) {
  std::lock_guard<std::mutex> guard(lock_);
  lag_ = lag;
}

void FrameStore::HoldAcks(bool hold) {
  std::lock_guard<std::mutex> guard(lock_);
  hold_ = hold;
}

void FrameStore::DropAcks(uint32_t count) {
  std::lock_guard<std::mutex> guard(lock_);
  drop_ = count;
}

void FrameStore::ReleaseAcks() {
  std::vector<InterruptQueue::Packet> acks;
  {
    std::lock_guard<std::mutex> guard(lock_);
    SendAcks(0, &acks);
  }
  for (const auto& p : acks) interrupts_.Push(p);
}

std::vector<uint32_t> FrameStore::AckedSequences() const {
  std::lock_guard<std::mutex> guard(lock_);
  return acked_;
}

size_t FrameStore::PendingAcks() const {
  std::lock_guard<std::mutex> guard(lock_);
  return pending_.size();
}

uint64_t FrameStore::Messages() const {
  std::lock_guard<std::mutex> guard(lock_);
  return messages_;
}

uint64_t FrameStore::FullFrames(int view) const {
  return view == 0 || view == 1 ? full_frames_[view].load(std::memory_order_acquire) : 0;
}

JpegCounts FrameStore::Jpeg() const {
  std::lock_guard<std::mutex> guard(lock_);
  return jpeg_;
}

std::optional<StoredFrame> FrameStore::LastFull(int view) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (view < 0 || view > 1) return std::nullopt;
  return full_[view];
}

std::optional<StoredFrame> FrameStore::LastRect(int view) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (view < 0 || view > 1) return std::nullopt;
  return rect_[view];
}

std::optional<Picture> FrameStore::Shown(int view) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (view < 0 || view > 1 || !full_[view]) return std::nullopt;
  const StoredFrame& f = *full_[view];
  if ((f.format == kJpeg && !f.decoded) ||
      (rect_[view] && rect_[view]->format == kJpeg && !rect_[view]->decoded))
    return std::nullopt;
  Picture pic;
  pic.width = f.width;
  pic.height = f.height;
  pic.bgra.assign(size_t{f.width} * f.height * 4, 0);
  // Draws |s| with its top-left sample at picture pixel (ox, oy).
  auto draw = [&](const StoredFrame& s, uint32_t ox, uint32_t oy) {
    for (uint32_t y = 0; y < s.height && oy + y < pic.height; ++y) {
      for (uint32_t x = 0; x < s.width && ox + x < pic.width; ++x) {
        uint8_t* out = &pic.bgra[(size_t{oy + y} * pic.width + ox + x) * 4];
        const uint32_t luma = s.planes[0] + y * s.strides[0];
        switch (s.layout) {
          case kLayout4: {
            const uint32_t c = (y / 2) * s.strides[1] + x / 2;
            YccToBgra(At(luma + x), At(s.planes[1] + c), At(s.planes[2] + c), out);
            break;
          }
          case kLayout6: {
            const uint32_t c = s.planes[1] + (y / 2) * s.strides[1] + (x / 2) * 2;
            YccToBgra(At(luma + x), At(c), At(c + 1), out);
            break;
          }
          case kLayout9:
            out[0] = At(luma + 3 * x);
            out[1] = At(luma + 3 * x + 1);
            out[2] = At(luma + 3 * x + 2);
            out[3] = 0xFF;
            break;
        }
      }
    }
  };
  draw(f, 0, 0);
  if (rect_[view]) draw(*rect_[view], rect_[view]->x, rect_[view]->y);
  return pic;
}

}  // namespace vorn::chip
