#include "sim/chip/vendor_requests.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "protocol/capability_block.h"
#include "protocol/vendor_request.h"

namespace vorn::chip {
namespace {

constexpr uint32_t kMaxTimingChunk = 512;
constexpr uint32_t kMaxShapeChunk = 512;
constexpr uint32_t kEdidBlock = 128;
constexpr uint32_t kGammaTableBytes = 256;

}  // namespace

VendorResponder::VendorResponder(const ChipProfile& profile, ViolationLog& violations)
    : profile_(profile), violations_(violations) {}

usb::TransferStatus VendorResponder::Refuse(const usb::SetupPacket& s, const char* why) {
  char text[128];
  std::snprintf(text, sizeof text, "vendor request 0x%02X (value 0x%04X, index 0x%04X, length %u): %s",
                s.bRequest, s.wValue, s.wIndex, s.wLength, why);
  violations_.Add(text);
  return usb::TransferStatus::kStall;
}

uint32_t VendorResponder::Answer(uint8_t* data, uint32_t length, const uint8_t* from, size_t size) {
  uint32_t n = static_cast<uint32_t>(std::min<size_t>(length, size));
  if (n && data) std::memcpy(data, from, n);
  return data ? n : 0;
}

std::array<uint8_t, protocol::kCapabilityBlockSize> VendorResponder::CapabilityBytes() const {
  protocol::CapabilityBlock c;
  c.Magic = profile_.capability_magic;
  c.CapabilityFlags = profile_.capability_flags;
  c.ViewDescriptor[0] = profile_.view_descriptor[0];
  c.ViewDescriptor[1] = profile_.view_descriptor[1];
  c.QualityOverride = profile_.quality_override;
  c.BandwidthLimit = profile_.bandwidth_limit;
  std::array<uint8_t, protocol::kCapabilityBlockSize> b{};
  protocol::EncodeCapabilityBlock(c, b);
  return b;
}

usb::TransferStatus VendorResponder::Handle(const usb::SetupPacket& s, uint8_t* data,
                                            uint32_t length, uint32_t* actual) {
  *actual = 0;
  std::lock_guard<std::mutex> guard(lock_);
  const protocol::VendorRequestInfo* info = protocol::FindVendorRequest(s.bRequest);
  if (!info) return usb::TransferStatus::kStall;  // not a code of this chip
  const bool in = info->Direction == protocol::VendorDirection::In;
  const uint8_t expected = in ? protocol::kVendorRequestTypeIn : protocol::kVendorRequestTypeOut;
  if (s.bmRequestType != expected) return Refuse(s, "wrong request type for the code");
  if (length > s.wLength) return Refuse(s, "data stage longer than wLength");
  if (!protocol::MatchesVendorSetup(*info, info->Direction, s.wValue, s.wIndex, s.wLength))
    return Refuse(s, "setup does not match the request");
  if (in) return HandleIn(s, data, length, actual);
  usb::TransferStatus st = HandleOut(s, data, length);
  if (st == usb::TransferStatus::kSuccess) *actual = length;
  return st;
}

usb::TransferStatus VendorResponder::HandleIn(const usb::SetupPacket& s, uint8_t* data,
                                              uint32_t length, uint32_t* actual) {
  switch (s.bRequest) {
    case protocol::ReqReadCapabilities: {
      auto block = CapabilityBytes();
      *actual = Answer(data, length, block.data(), block.size());
      return usb::TransferStatus::kSuccess;
    }
    case protocol::ReqReadDeviceValue: {
      auto it = profile_.device_values.find(s.wIndex);
      if (it == profile_.device_values.end())
        return AnswerStationDeviceValue(profile_.station, s, data, length, actual);
      uint8_t v[4];
      protocol::StoreLe32(v, it->second);
      *actual = Answer(data, length, v, sizeof v);
      return usb::TransferStatus::kSuccess;
    }
    case protocol::ReqMemorySize:
      *actual = Answer(data, length, &profile_.memory_mib, 1);
      return usb::TransferStatus::kSuccess;
    case protocol::ReqMonitorStatus: {
      if (s.wValue > 1) return Refuse(s, "no such view");
      uint8_t connected = 0;
      if (!flaps_.Next(s.wValue, &connected)) {
        connected = profile_.monitors[s.wValue].connected ? 1 : 0;
        flaps_.CountSteady(s.wValue);
      }
      *actual = Answer(data, length, &connected, 1);
      return usb::TransferStatus::kSuccess;
    }
    case protocol::ReqReadTimings: {
      if (s.wValue > 1) return Refuse(s, "no such view");
      if (s.wLength > kMaxTimingChunk) return Refuse(s, "timing read longer than 512 bytes");
      const auto& table = profile_.timing_tables[s.wValue];
      size_t offset = s.wIndex;
      if (offset > table.size()) offset = table.size();
      *actual = Answer(data, length, table.data() + offset, table.size() - offset);
      return usb::TransferStatus::kSuccess;
    }
    case protocol::ReqReadEdid: {
      if (s.wIndex > 1) return Refuse(s, "no such view");
      if (s.wValue % kEdidBlock != 0) return Refuse(s, "EDID offset not on a block");
      const MonitorProfile& m = profile_.monitors[s.wIndex];
      if (!m.connected || s.wValue >= m.edid.size()) return usb::TransferStatus::kStall;
      *actual = Answer(data, length, m.edid.data() + s.wValue, m.edid.size() - s.wValue);
      return usb::TransferStatus::kSuccess;
    }
    case protocol::ReqIpDeviceInfo:
    case protocol::ReqIpDisplayInfo: {
      const std::vector<uint8_t>& record = s.bRequest == protocol::ReqIpDeviceInfo
                                               ? profile_.ip_device_info
                                               : profile_.ip_display_info;
      if (record.empty()) return usb::TransferStatus::kStall;
      *actual = Answer(data, length, record.data(), record.size());
      return usb::TransferStatus::kSuccess;
    }
    default:
      return AnswerStationRequestIn(profile_.station, s, data, length, actual);
  }
}

usb::TransferStatus VendorResponder::HandleOut(const usb::SetupPacket& s, const uint8_t* data,
                                               uint32_t length) {
  switch (s.bRequest) {
    case protocol::ReqSetOutput: {
      if (s.wValue > 1) return Refuse(s, "no such view");
      ViewSettings& v = views_[s.wValue];
      v.output_on = s.wIndex != 0;
      ++v.output_requests;
      return usb::TransferStatus::kSuccess;
    }
    case protocol::ReqCursorPosition0:
    case protocol::ReqCursorPosition1: {
      ViewSettings& v = views_[s.bRequest == protocol::ReqCursorPosition0 ? 0 : 1];
      v.cursor_x = s.wValue;
      v.cursor_y = s.wIndex;
      return usb::TransferStatus::kSuccess;
    }
    case protocol::ReqCursorShow0:
    case protocol::ReqCursorShow1: {
      ViewSettings& v = views_[s.bRequest == protocol::ReqCursorShow0 ? 0 : 1];
      v.cursor_slot = s.wValue;
      v.cursor_visible = s.wIndex != 0;
      return usb::TransferStatus::kSuccess;
    }
    case protocol::ReqCursorShape0:
    case protocol::ReqCursorShape1: {
      if (length > kMaxShapeChunk) return Refuse(s, "cursor shape chunk longer than 512 bytes");
      ViewSettings& v = views_[s.bRequest == protocol::ReqCursorShape0 ? 0 : 1];
      std::vector<uint8_t>& shape = v.cursor_shapes[s.wValue];
      if (shape.size() < size_t{s.wIndex} + length) shape.resize(size_t{s.wIndex} + length);
      if (length) std::memcpy(shape.data() + s.wIndex, data, length);
      return usb::TransferStatus::kSuccess;
    }
    case protocol::ReqSetTiming: {
      if (s.wValue > 1) return Refuse(s, "no such view");
      ViewSettings& v = views_[s.wValue];
      if (length != v.timing.size() || !data) return Refuse(s, "timing record is not 32 bytes");
      std::memcpy(v.timing.data(), data, v.timing.size());
      v.has_timing = true;
      ++v.timing_requests;
      return usb::TransferStatus::kSuccess;
    }
    case protocol::ReqResetBulkStream:
      ++reset_bulk_stream_;
      return usb::TransferStatus::kSuccess;
    case protocol::ReqGammaControl: {
      uint16_t view = s.wValue >> 8;
      uint8_t mode = s.wValue & 0xFF;
      if (view > 1) return Refuse(s, "no such view");
      if (mode != 0 && mode != 2) return Refuse(s, "gamma mode is neither 0 nor 2");
      views_[view].gamma_mode = mode;
      ++views_[view].gamma_control_requests;
      return usb::TransferStatus::kSuccess;
    }
    case protocol::ReqGammaTable: {
      uint16_t view = s.wValue >> 8;
      if (view > 1) return Refuse(s, "no such view");
      if (s.wIndex != 0x100 && s.wIndex != 0x200 && s.wIndex != 0x400)
        return Refuse(s, "no such gamma table");
      if (length != kGammaTableBytes || !data) return Refuse(s, "gamma table is not 256 bytes");
      views_[view].gamma_tables[s.wIndex].assign(data, data + length);
      return usb::TransferStatus::kSuccess;
    }
    case protocol::ReqStartDisplay:
      ++start_display_;
      return usb::TransferStatus::kSuccess;
    default:
      return AnswerStationRequestOut(profile_.station, s, data, length);
  }
}

ViewSettings VendorResponder::View(int view) const {
  std::lock_guard<std::mutex> guard(lock_);
  return views_[view & 1];
}

uint32_t VendorResponder::StartDisplayCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return start_display_;
}

uint32_t VendorResponder::ResetBulkStreamCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return reset_bulk_stream_;
}

void VendorResponder::SetMonitor(int view, bool connected) {
  std::lock_guard<std::mutex> guard(lock_);
  profile_.monitors[view & 1].connected = connected;
}

void VendorResponder::SetMonitorEdid(int view, std::vector<uint8_t> edid) {
  std::lock_guard<std::mutex> guard(lock_);
  profile_.monitors[view & 1].edid = std::move(edid);
}

bool VendorResponder::MonitorConnected(int view) const {
  std::lock_guard<std::mutex> guard(lock_);
  return profile_.monitors[view & 1].connected;
}

}  // namespace vorn::chip
