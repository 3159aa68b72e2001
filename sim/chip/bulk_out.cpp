#include "sim/chip/bulk_out.h"

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "protocol/byte_order.h"

namespace vorn::chip {
namespace {

uint64_t ThreadCpuNanoseconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

}  // namespace

BulkOutReassembler::BulkOutReassembler(ViolationLog& violations)
    : violations_(violations), current_(std::make_shared<BusMessage>()) {}

void BulkOutReassembler::StartMessage() {
  current_ = std::make_shared<BusMessage>();
  current_->payload.swap(spare_);
  current_->payload.clear();
}

BulkOutReassembler::Header BulkOutReassembler::Parse(const uint8_t* p) {
  Header h;
  h.type = protocol::LoadLe32(p + 0);
  h.total = protocol::LoadLe32(p + 4);
  h.address = protocol::LoadLe32(p + 8);
  h.slice_length = protocol::LoadLe32(p + 12);
  h.slice_offset = protocol::LoadLe32(p + 16);
  h.more = p[20] != 0;
  if (h.type == kTwoPlaneType) {  // one header, the whole payload behind it
    h.slice_length = h.total;
    h.slice_offset = 0;
    h.more = false;
  }
  return h;
}

void BulkOutReassembler::Violation(const char* what) {
  char text[160];
  std::snprintf(text, sizeof text, "bulk OUT: %s (message type %u, %u of %u bytes)", what,
                current_->type, static_cast<uint32_t>(current_->payload.size()),
                current_->total_length);
  violations_.Add(text);
  in_message_ = false;
  awaiting_header_ = false;
  current_->payload.clear();  // the next message starts on this buffer
}

bool BulkOutReassembler::BeginSlice(const uint8_t* p) {
  Header h = Parse(p);
  if (!in_message_) {
    BusMessage& m = *current_;
    m.payload.clear();
    m.slices = 0;
    std::memcpy(m.header.data(), p, BusMessage::kHeaderSize);
    m.type = h.type;
    m.total_length = h.total;
    m.address = h.address;
    in_message_ = true;
    if (h.total > kMaxMessageLength) {
      Violation("message longer than the chip accepts");
      return false;
    }
    m.payload.reserve(h.total);
  } else if (h.type != current_->type || h.total != current_->total_length ||
             h.address != current_->address) {
    Violation("slice header does not match its message");
    return false;
  }
  if (h.slice_offset != current_->payload.size()) {
    Violation("slice offset is not where the previous slice ended");
    return false;
  }
  if (h.slice_length > h.total - h.slice_offset) {
    Violation("slice runs past the message end");
    return false;
  }
  if (!h.more && h.slice_offset + h.slice_length != h.total) {
    Violation("last slice ends before the message does");
    return false;
  }
  if (h.more && h.slice_offset + h.slice_length == h.total) {
    Violation("more slices announced after the last byte");
    return false;
  }
  ++current_->slices;
  awaiting_header_ = false;
  more_ = h.more;
  slice_remaining_ = h.slice_length;
  return true;
}

void BulkOutReassembler::Finish() {
  in_message_ = false;
  ++completed_;
  recent_.push_back(current_);
  if (recent_.size() > kKeptMessages) {
    // The oldest message's buffer serves again unless someone still holds the message.
    std::shared_ptr<const BusMessage> old = std::move(recent_.front());
    recent_.pop_front();
    if (old.use_count() == 1 && old->payload.capacity() > spare_.capacity())
      spare_ = std::move(std::const_pointer_cast<BusMessage>(old)->payload);
  }
  StartMessage();
}

void BulkOutReassembler::Feed(const uint8_t* data, uint32_t length) {
  if (!measure_cpu_) {
    FeedMessages(data, length);
    return;
  }
  const uint64_t start = ThreadCpuNanoseconds();
  FeedMessages(data, length);
  cpu_ns_ += ThreadCpuNanoseconds() - start;
}

void BulkOutReassembler::FeedMessages(const uint8_t* data, uint32_t length) {
  std::vector<std::shared_ptr<const BusMessage>> done;
  std::function<void(const BusMessage&)> sink;
  {
    std::lock_guard<std::mutex> guard(lock_);
    uint32_t pos = 0;
    while (pos < length) {
      if (!in_message_ || awaiting_header_) {
        if (length - pos < BusMessage::kHeaderSize) {
          Violation("transfer too short for a message header");
          break;
        }
        bool ok = BeginSlice(data + pos);
        pos += BusMessage::kHeaderSize;
        if (!ok) break;
      } else {
        uint32_t n = std::min(length - pos, slice_remaining_);
        current_->payload.insert(current_->payload.end(), data + pos, data + pos + n);
        pos += n;
        slice_remaining_ -= n;
      }
      if (in_message_ && !awaiting_header_ && slice_remaining_ == 0) {
        if (more_) {
          awaiting_header_ = true;
        } else {
          Finish();
          if (sink_) done.push_back(recent_.back());
        }
      }
    }
    sink = sink_;
  }
  for (const auto& m : done) sink(*m);
}

void BulkOutReassembler::Reset() {
  std::lock_guard<std::mutex> guard(lock_);
  in_message_ = false;
  awaiting_header_ = false;
  current_->payload.clear();
}

void BulkOutReassembler::SetSink(std::function<void(const BusMessage&)> sink) {
  std::lock_guard<std::mutex> guard(lock_);
  sink_ = std::move(sink);
}

uint64_t BulkOutReassembler::Completed() const {
  std::lock_guard<std::mutex> guard(lock_);
  return completed_;
}

bool BulkOutReassembler::InMessage() const {
  std::lock_guard<std::mutex> guard(lock_);
  return in_message_;
}

std::vector<BusMessage> BulkOutReassembler::Recent() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<BusMessage> out;
  out.reserve(recent_.size());
  for (const auto& m : recent_) out.push_back(*m);
  return out;
}

}  // namespace vorn::chip
