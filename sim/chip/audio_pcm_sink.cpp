#include "sim/chip/audio_pcm_sink.h"

#include <algorithm>

#include "protocol/bus_message.h"
#include "protocol/byte_order.h"

namespace vorn::chip {
namespace {

// A plain audio header: the whole payload in its one slice and nothing else set.
bool PlainAudioHeader(const BusMessage& m) {
  const uint8_t* h = m.header.data();
  const uint32_t length = static_cast<uint32_t>(m.payload.size());
  if (m.slices != 1 || protocol::LoadLe32(h + 4) != length || protocol::LoadLe32(h + 12) != length)
    return false;
  return std::all_of(h + 8, h + 12, [](uint8_t b) { return b == 0; }) &&
         std::all_of(h + 16, h + 32, [](uint8_t b) { return b == 0; });
}

}  // namespace

void AudioPcmSink::OnMessage(const BusMessage& m) {
  if (m.type != protocol::ToWire(protocol::BusMessageType::Audio)) return;
  const bool plain = PlainAudioHeader(m);
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!plain) ++irregular_;
    const size_t room = kMaxKeptBytes - std::min(kMaxKeptBytes, pcm_.size());
    const size_t kept = std::min(room, m.payload.size());
    pcm_.insert(pcm_.end(), m.payload.begin(), m.payload.begin() + static_cast<ptrdiff_t>(kept));
    played_ += m.payload.size();
    ++messages_;
    lengths_.push_back(static_cast<uint32_t>(m.payload.size()));
    if (lengths_.size() > kKeptLengths) lengths_.pop_front();
  }
  played_cv_.notify_all();
}

uint64_t AudioPcmSink::IrregularHeaders() const {
  std::lock_guard<std::mutex> guard(lock_);
  return irregular_;
}

uint64_t AudioPcmSink::PlayedBytes() const {
  std::lock_guard<std::mutex> guard(lock_);
  return played_;
}

uint64_t AudioPcmSink::Messages() const {
  std::lock_guard<std::mutex> guard(lock_);
  return messages_;
}

std::vector<uint8_t> AudioPcmSink::Played() const {
  std::lock_guard<std::mutex> guard(lock_);
  return pcm_;
}

std::vector<uint32_t> AudioPcmSink::MessageLengths() const {
  std::lock_guard<std::mutex> guard(lock_);
  return {lengths_.begin(), lengths_.end()};
}

void AudioPcmSink::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  pcm_.clear();
  lengths_.clear();
  played_ = 0;
  messages_ = 0;
  irregular_ = 0;
}

bool AudioPcmSink::WaitForPlayed(uint64_t bytes, std::chrono::milliseconds real_timeout) const {
  std::unique_lock<std::mutex> guard(lock_);
  return played_cv_.wait_for(guard, real_timeout, [&] { return played_ >= bytes; });
}

}  // namespace vorn::chip
