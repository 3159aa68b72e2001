#include "sim/chip/audio_records.h"

#include <algorithm>
#include <cstring>

#include "protocol/byte_order.h"
#include "protocol/vendor_request.h"

namespace vorn::chip {
namespace {

void Put32(uint8_t* p, int32_t v) { protocol::StoreLe32(p, static_cast<uint32_t>(v)); }

std::array<uint8_t, kAudioStreamRecordBytes> StreamRecord(uint32_t jack, const AudioStreamSetup& s) {
  std::array<uint8_t, kAudioStreamRecordBytes> r{};
  r[0] = s.stream_index ? *s.stream_index : static_cast<uint8_t>(jack);
  r[1] = s.can_report ? 1 : 0;
  protocol::StoreLe16(&r[2], static_cast<uint16_t>(s.units.size()));
  protocol::StoreLe16(&r[4], s.format_count ? *s.format_count : static_cast<uint16_t>(s.formats.size()));
  protocol::StoreLe16(&r[6], s.default_format);
  protocol::StoreLe32(&r[12], s.tag);
  return r;
}

std::array<uint8_t, kAudioFeatureRecordBytes> FeatureRecord(const AudioUnit& u) {
  std::array<uint8_t, kAudioFeatureRecordBytes> r{};
  r[0] = u.mask;
  for (size_t c = 0; c < u.values.size(); ++c) Put32(&r[8 + 4 * c], u.values[c]);
  return r;
}

uint32_t CopyOut(uint8_t* data, uint32_t length, const uint8_t* source, size_t size) {
  uint32_t n = std::min<uint32_t>(length, static_cast<uint32_t>(size));
  if (data && n) std::memcpy(data, source, n);
  return data ? n : 0;
}

}  // namespace

AudioStreamSetup RenderSetup(std::vector<uint32_t> rates) {
  AudioStreamSetup s;
  for (uint32_t r : rates) s.formats.push_back({r, 16, 2});
  AudioUnit volume;
  volume.kind = 0;
  volume.value8 = 0;
  volume.value12 = 31;
  volume.values = {31, 31};
  AudioUnit mute;
  mute.kind = 1;
  s.units = {volume, mute};
  s.tag = 0x11;
  return s;
}

AudioStreamSetup CaptureSetup(std::vector<uint32_t> rates) {
  AudioStreamSetup s;
  for (uint32_t r : rates) s.formats.push_back({r, 16, 2});
  AudioUnit volume;
  volume.kind = 3;
  volume.value4 = 0x100;    // 1 dB
  volume.value8 = -0x3000;  // -48 dB
  volume.value12 = 0xC00;   // +12 dB
  AudioUnit mute;
  mute.kind = 1;
  s.units = {volume, mute};
  s.tag = 0x22;
  return s;
}

int32_t AudioFeatureWrite::Value(uint32_t channel_index) const {
  if (channel_index >= 8) return 0;
  return static_cast<int32_t>(protocol::LoadLe32(&record[8 + 4 * channel_index]));
}

uint32_t AudioStateWrite::Tag() const { return protocol::LoadLe32(&record[12]); }

void AudioRecords::SetStream(uint32_t jack, AudioStreamSetup setup) {
  std::lock_guard<std::mutex> guard(lock_);
  if (jack > 1) return;
  jacks_[jack].features.clear();
  for (const AudioUnit& u : setup.units) jacks_[jack].features.push_back(FeatureRecord(u));
  jacks_[jack].setup = std::move(setup);
}

void AudioRecords::ClearStream(uint32_t jack) {
  std::lock_guard<std::mutex> guard(lock_);
  if (jack <= 1) jacks_[jack] = Jack{};
}

std::vector<AudioFeatureWrite> AudioRecords::FeatureWrites() const {
  std::lock_guard<std::mutex> guard(lock_);
  return feature_writes_;
}

std::vector<AudioStateWrite> AudioRecords::StateWrites() const {
  std::lock_guard<std::mutex> guard(lock_);
  return state_writes_;
}

void AudioRecords::ClearWrites() {
  std::lock_guard<std::mutex> guard(lock_);
  feature_writes_.clear();
  state_writes_.clear();
}

std::array<uint8_t, kAudioFeatureRecordBytes> AudioRecords::Feature(uint32_t jack, uint16_t unit) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (jack > 1 || unit >= jacks_[jack].features.size()) return {};
  return jacks_[jack].features[unit];
}

bool AudioRecords::AnswerIn(const usb::SetupPacket& s, uint8_t* data, uint32_t length,
                            uint32_t* actual, usb::TransferStatus* status) {
  Jack* jack = s.wIndex < 2 ? &jacks_[s.wIndex] : nullptr;
  const AudioStreamSetup* setup = jack && jack->setup ? &*jack->setup : nullptr;
  *actual = 0;
  *status = usb::TransferStatus::kStall;
  switch (s.bRequest) {
    case protocol::ReqReadJackInfo: {
      if (!setup) return false;  // the station functions' jack record answers
      auto r = StreamRecord(s.wIndex, *setup);
      *actual = CopyOut(data, length, r.data(), r.size());
      break;
    }
    case protocol::ReqReadAudioFormats: {
      if (!setup) return true;
      std::vector<uint8_t> bytes(setup->formats.size() * kAudioFormatRecordBytes);
      for (size_t f = 0; f < setup->formats.size(); ++f) {
        uint8_t* p = &bytes[f * kAudioFormatRecordBytes];
        protocol::StoreLe32(p, setup->formats[f].rate);
        p[6] = setup->formats[f].bits;
        p[7] = setup->formats[f].channels;
      }
      *actual = CopyOut(data, length, bytes.data(), bytes.size());
      break;
    }
    case protocol::ReqReadAudioUnit: {
      if (!setup || s.wValue >= setup->units.size()) return true;
      const AudioUnit& u = setup->units[s.wValue];
      uint8_t r[kAudioUnitRecordBytes] = {u.kind};
      Put32(&r[4], u.value4);
      Put32(&r[8], u.value8);
      Put32(&r[12], u.value12);
      *actual = CopyOut(data, length, r, sizeof r);
      break;
    }
    case protocol::ReqReadAudioUnitValues: {
      if (!setup || s.wValue >= jack->features.size()) return true;
      const auto& r = jack->features[s.wValue];
      *actual = CopyOut(data, length, r.data(), r.size());
      break;
    }
    default:
      return false;
  }
  *status = usb::TransferStatus::kSuccess;
  return true;
}

bool AudioRecords::Answer(const usb::SetupPacket& s, uint8_t* data, uint32_t length,
                          uint32_t* actual, usb::TransferStatus* status) {
  const bool in = (s.bmRequestType & usb::kDirIn) != 0;
  std::lock_guard<std::mutex> guard(lock_);
  switch (s.bRequest) {
    case protocol::ReqReadJackInfo:
    case protocol::ReqReadAudioFormats:
    case protocol::ReqReadAudioUnit:
    case protocol::ReqReadAudioUnitValues:
      if (!in) {
        *actual = 0;
        *status = usb::TransferStatus::kStall;
        return s.bRequest != protocol::ReqReadJackInfo;
      }
      return AnswerIn(s, data, length, actual, status);
    case protocol::ReqSetAudioFeature:
    case protocol::ReqSetAudioStreamState:
      break;
    default:
      return false;
  }
  *actual = 0;
  *status = usb::TransferStatus::kStall;
  Jack* jack = s.wIndex < 2 ? &jacks_[s.wIndex] : nullptr;
  if (in || !data || !jack || !jack->setup) return true;
  if (s.bRequest == protocol::ReqSetAudioFeature) {
    if (length != kAudioFeatureRecordBytes || s.wValue >= jack->features.size()) return true;
    AudioFeatureWrite w;
    w.jack = s.wIndex;
    w.unit = s.wValue;
    std::memcpy(w.record.data(), data, kAudioFeatureRecordBytes);
    // The channels the mask names take their new values.
    auto& kept = jack->features[s.wValue];
    for (uint32_t c = 0; c < 8; ++c)
      if (w.Mask() & (1u << c)) std::memcpy(&kept[8 + 4 * c], &w.record[8 + 4 * c], 4);
    feature_writes_.push_back(w);
  } else {
    if (length != kAudioStateRecordBytes || s.wValue != 0) return true;
    AudioStateWrite w;
    w.jack = s.wIndex;
    std::memcpy(w.record.data(), data, kAudioStateRecordBytes);
    state_writes_.push_back(w);
  }
  *actual = length;
  *status = usb::TransferStatus::kSuccess;
  return true;
}

}  // namespace vorn::chip
