#include "sim/chip/panel_requests.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "protocol/byte_order.h"
#include "protocol/vendor_request.h"

namespace vorn::chip {
namespace {

constexpr uint32_t kLanguageBlockBytes = protocol::kVendorChunkSize;
constexpr uint8_t kNightLightOn = 1;
constexpr uint8_t kNightLightOther = 3;
constexpr uint16_t kNightLightLevelFlag = 0x100;

uint32_t Answer(uint8_t* data, uint32_t length, const uint8_t* from, size_t size) {
  uint32_t n = static_cast<uint32_t>(std::min<size_t>(length, size));
  if (n && data) std::memcpy(data, from, n);
  return data ? n : 0;
}

}  // namespace

PanelRequests::PanelRequests(ViolationLog& violations) : violations_(violations) {}

bool PanelRequests::Owns(const usb::SetupPacket& s) {
  switch (s.bRequest) {
    case protocol::ReqSetCameraTouch:
    case protocol::ReqSetLanguageIndex:
    case protocol::ReqSetBrightness:
    case protocol::ReqSetPanelDword:
    case protocol::ReqSetLanguageData:
    case protocol::ReqSaveLanguageData:
    case protocol::ReqSetThirdPartyMode:
    case protocol::ReqSetRotation:
    case protocol::ReqGetCameraTouch:
    case protocol::ReqGetBrightness:
    case protocol::ReqGetLanguageIndex:
    case protocol::ReqGetPanelSecurityKey:
    case protocol::ReqGetPanelDword:
    case protocol::ReqResetChip:
      return true;
    case protocol::ReqGammaControl: {
      const uint8_t mode = s.wValue & 0xFF;
      return mode == kNightLightOn || mode == kNightLightOther;
    }
    default:
      return false;
  }
}

usb::TransferStatus PanelRequests::Refuse(const usb::SetupPacket& s, const char* why) {
  char text[128];
  std::snprintf(text, sizeof text,
                "panel request 0x%02X (value 0x%04X, index 0x%04X, length %u): %s", s.bRequest,
                s.wValue, s.wIndex, s.wLength, why);
  violations_.Add(text);
  return usb::TransferStatus::kStall;
}

usb::TransferStatus PanelRequests::Handle(const usb::SetupPacket& s, uint8_t* data,
                                          uint32_t length, uint32_t* actual) {
  *actual = 0;
  const protocol::VendorRequestInfo* info = protocol::FindVendorRequest(s.bRequest);
  if (!info || !Owns(s)) return Refuse(s, "not a panel request");
  const bool in = info->Direction == protocol::VendorDirection::In;
  if (s.bmRequestType != (in ? protocol::kVendorRequestTypeIn : protocol::kVendorRequestTypeOut))
    return Refuse(s, "wrong request type for the code");
  if (length > s.wLength) return Refuse(s, "data stage longer than wLength");
  if (!protocol::MatchesVendorSetup(*info, info->Direction, s.wValue, s.wIndex, s.wLength))
    return Refuse(s, "setup does not match the request");
  if (length < info->MinLength || (info->MinLength && !data))
    return Refuse(s, "data stage shorter than the request needs");

  std::lock_guard<std::mutex> guard(lock_);
  switch (s.bRequest) {
    case protocol::ReqSetCameraTouch:
      if (s.wValue > 1) return Refuse(s, "neither camera nor touch");
      (s.wValue == 0 ? state_.camera : state_.touch) = static_cast<uint8_t>(s.wIndex);
      return usb::TransferStatus::kSuccess;
    case protocol::ReqGetCameraTouch: {
      if (s.wValue > 1) return Refuse(s, "neither camera nor touch");
      const uint8_t v = s.wValue == 0 ? state_.camera : state_.touch;
      *actual = Answer(data, length, &v, 1);
      return usb::TransferStatus::kSuccess;
    }
    case protocol::ReqSetBrightness:
      if (s.wValue > 0xFF) return Refuse(s, "brightness above 255");
      state_.brightness = static_cast<uint8_t>(s.wValue);
      return usb::TransferStatus::kSuccess;
    case protocol::ReqGetBrightness:
      *actual = Answer(data, length, &state_.brightness, 1);
      return usb::TransferStatus::kSuccess;
    case protocol::ReqSetPanelDword:
      state_.dword = protocol::LoadLe32(data);
      *actual = length;
      return usb::TransferStatus::kSuccess;
    case protocol::ReqGetPanelDword: {
      uint8_t v[4];
      protocol::StoreLe32(v, state_.dword);
      *actual = Answer(data, length, v, sizeof v);
      return usb::TransferStatus::kSuccess;
    }
    case protocol::ReqSetRotation:
      if (s.wIndex > 3) return Refuse(s, "rotation above 3");
      if (s.wValue > 1) return Refuse(s, "rotation flag neither 0 nor 1");
      state_.rotation = static_cast<uint8_t>(s.wIndex);
      state_.rotation_flag = static_cast<uint8_t>(s.wValue);
      return usb::TransferStatus::kSuccess;
    case protocol::ReqGetPanelSecurityKey:
      *actual = Answer(data, length, state_.security_key.data(), state_.security_key.size());
      return usb::TransferStatus::kSuccess;
    case protocol::ReqGetLanguageIndex: {
      if (s.wValue > 1) return Refuse(s, "language index selector neither 0 nor 1");
      const auto& answer = state_.language_index_answer[s.wValue];
      *actual = Answer(data, length, answer.data(), answer.size());
      return usb::TransferStatus::kSuccess;
    }
    case protocol::ReqSetLanguageIndex:
      state_.language_index = s.wValue;
      return usb::TransferStatus::kSuccess;
    case protocol::ReqSetLanguageData: {
      usb::TransferStatus st = LanguageBlock(s, data, length);
      if (st == usb::TransferStatus::kSuccess) *actual = length;
      return st;
    }
    case protocol::ReqSaveLanguageData:
      ++state_.saves;
      ++state_.pending_saves;
      return usb::TransferStatus::kSuccess;
    case protocol::ReqGammaControl: {
      const uint8_t view = static_cast<uint8_t>(s.wValue >> 8);
      const uint8_t mode = s.wValue & 0xFF;
      if (view > 1) return Refuse(s, "no such view");
      if (mode == kNightLightOn && (s.wIndex & 0xFF00) != kNightLightLevelFlag)
        return Refuse(s, "night light on without its level");
      if (mode != kNightLightOn && s.wIndex != 0) return Refuse(s, "night light mode with an index");
      state_.night_light_mode[view] = mode;
      state_.night_light_level[view] = mode == kNightLightOn ? s.wIndex & 0xFF : 0;
      return usb::TransferStatus::kSuccess;
    }
    case protocol::ReqSetThirdPartyMode:
      state_.third_party_mode = s.wValue;
      return usb::TransferStatus::kSuccess;
    case protocol::ReqResetChip:
      ++state_.resets;
      return usb::TransferStatus::kSuccess;
    default:
      return Refuse(s, "not a panel request");
  }
}

// Block i of n (wIndex = language << 8 | i, wValue = n): blocks come in order from 0, every
// one but the last 512 bytes; the language is kept once its last block is in.
usb::TransferStatus PanelRequests::LanguageBlock(const usb::SetupPacket& s, const uint8_t* data,
                                                 uint32_t length) {
  const uint8_t language = static_cast<uint8_t>(s.wIndex >> 8);
  const uint16_t block = s.wIndex & 0xFF;
  const uint16_t blocks = s.wValue;
  if (blocks == 0 || block >= blocks) return Refuse(s, "block outside the block count");
  if (block == 0) {
    receiving_ = true;
    receiving_index_ = language;
    receiving_blocks_ = blocks;
    next_block_ = 0;
    received_.clear();
  }
  if (!receiving_ || language != receiving_index_ || blocks != receiving_blocks_ ||
      block != next_block_) {
    receiving_ = false;
    return Refuse(s, "language block out of order");
  }
  const bool last = block + 1 == blocks;
  if (!last && length != kLanguageBlockBytes) {
    receiving_ = false;
    return Refuse(s, "a language block before the last is not 512 bytes");
  }
  received_.insert(received_.end(), data, data + length);
  ++next_block_;
  if (last) {
    state_.languages[language] = std::move(received_);
    received_.clear();
    receiving_ = false;
  }
  return usb::TransferStatus::kSuccess;
}

PanelState PanelRequests::State() const {
  std::lock_guard<std::mutex> guard(lock_);
  return state_;
}

void PanelRequests::SetState(const PanelState& state) {
  std::lock_guard<std::mutex> guard(lock_);
  state_ = state;
}

bool PanelRequests::TakePendingSave() {
  std::lock_guard<std::mutex> guard(lock_);
  if (state_.pending_saves == 0) return false;
  --state_.pending_saves;
  return true;
}

}  // namespace vorn::chip
