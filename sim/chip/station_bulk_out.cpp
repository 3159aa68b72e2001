#include "sim/chip/station_bulk_out.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "protocol/byte_order.h"
#include "protocol/channels.h"

namespace vorn::chip {
namespace {

constexpr size_t kKeptSlices = 4096;
constexpr uint32_t kHeader = BusMessage::kHeaderSize;

uint64_t ThreadCpuNanoseconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

struct Fields {
  uint32_t type, total, address, slice_length, slice_offset;
  uint8_t more;
  bool reserved_zero;
};

Fields Parse(const uint8_t* p) {
  Fields f;
  f.type = protocol::LoadLe32(p + 0);
  f.total = protocol::LoadLe32(p + 4);
  f.address = protocol::LoadLe32(p + 8);
  f.slice_length = protocol::LoadLe32(p + 12);
  f.slice_offset = protocol::LoadLe32(p + 16);
  f.more = p[20];
  f.reserved_zero = p[21] == 0 && p[22] == 0 && p[23] == 0;
  if (f.type == BulkOutReassembler::kTwoPlaneType) {  // one header, the whole payload behind it
    f.slice_length = f.total;
    f.slice_offset = 0;
    f.more = 0;
    f.reserved_zero = true;
  }
  return f;
}

}  // namespace

StationBulkOut::StationBulkOut(ViolationLog& violations) : violations_(violations) {}

uint32_t StationBulkOut::ChannelOf(uint32_t type) const {
  return protocol::MessageTypeToChannel(type, standalone_mic_);
}

void StationBulkOut::Violation(uint32_t channel, const char* what) {
  char text[200];
  const BusMessage& m = partial_[channel].message;
  std::snprintf(text, sizeof text,
                "station bulk OUT: %s (channel %u, message type %u, %u of %u bytes)", what,
                channel, m.type, static_cast<uint32_t>(m.payload.size()), m.total_length);
  violations_.Add(text);
  partial_[channel] = Partial{};
  in_slice_ = false;
  header_have_ = 0;
}

bool StationBulkOut::BeginSlice(const uint8_t* p) {
  Fields f = Parse(p);
  uint32_t channel = ChannelOf(f.type);
  if (!protocol::IsBusChannel(channel)) {
    char text[120];
    std::snprintf(text, sizeof text, "station bulk OUT: header of message type %u, no channel",
                  f.type);
    violations_.Add(text);
    in_slice_ = false;
    return false;
  }
  if (slices_.size() == kKeptSlices) slices_.pop_front();
  slices_.push_back({channel, f.type, f.total, f.slice_length, f.slice_offset, f.more != 0});
  Partial& part = partial_[channel];
  if (part.active && f.slice_offset == 0 && part.message.payload.size() != 0) {
    Violation(channel, "new message before the last one of its channel ended");
  }
  if (!part.active) {
    part = Partial{};
    part.active = true;
    std::memcpy(part.message.header.data(), p, kHeader);
    part.message.type = f.type;
    part.message.total_length = f.total;
    part.message.address = f.address;
    if (f.total > BulkOutReassembler::kMaxMessageLength) {
      Violation(channel, "message longer than the chip accepts");
      return false;
    }
    if (f.total == 0) {
      Violation(channel, "message without payload");
      return false;
    }
    // The buffer of a message that left the channel's list, if there is one.
    part.message.payload = std::move(spare_[channel]);
    part.message.payload.clear();
    spare_[channel] = {};
    part.message.payload.reserve(f.total);
  } else if (f.type != part.message.type || f.total != part.message.total_length ||
             f.address != part.message.address) {
    Violation(channel, "slice header does not match its message");
    return false;
  }
  if (!f.reserved_zero || f.more > 1) {
    Violation(channel, "slice header with stray bytes");
    return false;
  }
  if (f.slice_offset != part.message.payload.size()) {
    Violation(channel, "slice offset is not where the previous slice ended");
    return false;
  }
  if (f.slice_length == 0 || f.slice_length > f.total - f.slice_offset) {
    Violation(channel, "slice empty or past the message end");
    return false;
  }
  const bool ends = f.slice_offset + f.slice_length == f.total;
  if (!f.more && !ends) {
    Violation(channel, "last slice ends before the message does");
    return false;
  }
  if (f.more && ends) {
    Violation(channel, "more slices announced after the last byte");
    return false;
  }
  ++part.message.slices;
  in_slice_ = true;
  slice_channel_ = channel;
  slice_remaining_ = f.slice_length;
  slice_more_ = f.more != 0;
  return true;
}

void StationBulkOut::Finish(uint32_t channel, std::vector<std::shared_ptr<BusMessage>>* done) {
  Partial& part = partial_[channel];
  ++completed_[channel];
  bytes_[channel] += part.message.payload.size();
  auto message = std::make_shared<BusMessage>(std::move(part.message));
  if (sink_) done->push_back(message);
  kept_[channel].push_back(std::move(message));
  if (kept_[channel].size() > kKeptPerChannel) {
    // The oldest message's buffer serves again unless the sink's caller still holds it.
    std::shared_ptr<BusMessage> old = std::move(kept_[channel].front());
    kept_[channel].pop_front();
    if (old.use_count() == 1 && old->payload.capacity() > spare_[channel].capacity())
      spare_[channel] = std::move(old->payload);
  }
  part = Partial{};
}

void StationBulkOut::Feed(const uint8_t* data, uint32_t length) {
  if (!measure_cpu_) {
    FeedSlices(data, length);
    return;
  }
  const uint64_t start = ThreadCpuNanoseconds();
  FeedSlices(data, length);
  cpu_ns_ += ThreadCpuNanoseconds() - start;
}

void StationBulkOut::FeedSlices(const uint8_t* data, uint32_t length) {
  std::vector<std::shared_ptr<BusMessage>> done;
  std::function<void(const BusMessage&)> sink;
  {
    std::lock_guard<std::mutex> guard(lock_);
    // A transfer that starts inside a two-plane payload with what is plainly the header of a
    // message of another channel: something was sent in the middle of the two-plane message.
    if (in_slice_ && header_have_ == 0 && slice_channel_ == ChannelOf(BulkOutReassembler::kTwoPlaneType) &&
        length >= kHeader) {
      Fields f = Parse(data);
      uint32_t channel = ChannelOf(f.type);
      if (protocol::IsBusChannel(channel) && channel != slice_channel_ && f.total > 0 &&
          f.slice_length > 0 && f.reserved_zero && f.more <= 1 &&
          f.slice_length <= f.total && f.slice_offset <= f.total - f.slice_length) {
        ++two_plane_breaks_;
        Violation(slice_channel_, "two-plane message interrupted by another message");
      }
    }
    uint32_t pos = 0;
    while (pos < length) {
      if (!in_slice_) {
        // A header may come in more than one transfer (a short transfer on the host side).
        uint32_t n = std::min(length - pos, kHeader - header_have_);
        std::memcpy(header_ + header_have_, data + pos, n);
        header_have_ += n;
        pos += n;
        if (header_have_ < kHeader) break;
        header_have_ = 0;
        if (!BeginSlice(header_)) break;
      } else {
        uint32_t n = std::min(length - pos, slice_remaining_);
        std::vector<uint8_t>& payload = partial_[slice_channel_].message.payload;
        payload.insert(payload.end(), data + pos, data + pos + n);
        pos += n;
        slice_remaining_ -= n;
      }
      if (in_slice_ && slice_remaining_ == 0) {
        in_slice_ = false;
        if (!slice_more_) Finish(slice_channel_, &done);
      }
    }
    sink = sink_;
  }
  if (sink)
    for (const auto& m : done) sink(*m);
}

void StationBulkOut::Reset() {
  std::lock_guard<std::mutex> guard(lock_);
  partial_.fill(Partial{});
  in_slice_ = false;
  header_have_ = 0;
}

void StationBulkOut::SetSink(std::function<void(const BusMessage&)> sink) {
  std::lock_guard<std::mutex> guard(lock_);
  sink_ = std::move(sink);
}

void StationBulkOut::SetStandaloneMic(bool on) {
  std::lock_guard<std::mutex> guard(lock_);
  standalone_mic_ = on;
}

uint64_t StationBulkOut::Completed(uint32_t channel) const {
  std::lock_guard<std::mutex> guard(lock_);
  return channel < kChannels ? completed_[channel] : 0;
}

uint64_t StationBulkOut::PayloadBytes(uint32_t channel) const {
  std::lock_guard<std::mutex> guard(lock_);
  return channel < kChannels ? bytes_[channel] : 0;
}

std::vector<BusMessage> StationBulkOut::Delivered(uint32_t channel) const {
  std::lock_guard<std::mutex> guard(lock_);
  if (channel >= kChannels) return {};
  std::vector<BusMessage> out;
  out.reserve(kept_[channel].size());
  for (const auto& m : kept_[channel]) out.push_back(*m);
  return out;
}

std::vector<StationBulkOut::SliceRecord> StationBulkOut::Slices() const {
  std::lock_guard<std::mutex> guard(lock_);
  return {slices_.begin(), slices_.end()};
}

bool StationBulkOut::InMessage(uint32_t channel) const {
  std::lock_guard<std::mutex> guard(lock_);
  return channel < kChannels && partial_[channel].active;
}

uint64_t StationBulkOut::TwoPlaneBreaks() const {
  std::lock_guard<std::mutex> guard(lock_);
  return two_plane_breaks_;
}

}  // namespace vorn::chip
