#include "sim/chip/bulk_out.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "protocol/byte_order.h"

namespace vorn::chip {

BulkOutReassembler::BulkOutReassembler(ViolationLog& violations) : violations_(violations) {}

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
                current_.type, static_cast<uint32_t>(current_.payload.size()),
                current_.total_length);
  violations_.Add(text);
  in_message_ = false;
  awaiting_header_ = false;
  current_ = BusMessage{};
}

bool BulkOutReassembler::BeginSlice(const uint8_t* p) {
  Header h = Parse(p);
  if (!in_message_) {
    current_ = BusMessage{};
    std::memcpy(current_.header.data(), p, BusMessage::kHeaderSize);
    current_.type = h.type;
    current_.total_length = h.total;
    current_.address = h.address;
    in_message_ = true;
    if (h.total > kMaxMessageLength) {
      Violation("message longer than the chip accepts");
      return false;
    }
    current_.payload.reserve(h.total);
  } else if (h.type != current_.type || h.total != current_.total_length ||
             h.address != current_.address) {
    Violation("slice header does not match its message");
    return false;
  }
  if (h.slice_offset != current_.payload.size()) {
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
  ++current_.slices;
  awaiting_header_ = false;
  more_ = h.more;
  slice_remaining_ = h.slice_length;
  return true;
}

void BulkOutReassembler::Finish() {
  in_message_ = false;
  ++completed_;
  recent_.push_back(std::move(current_));
  if (recent_.size() > kKeptMessages) recent_.pop_front();
  current_ = BusMessage{};
}

void BulkOutReassembler::Feed(const uint8_t* data, uint32_t length) {
  std::vector<BusMessage> done;
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
        current_.payload.insert(current_.payload.end(), data + pos, data + pos + n);
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
  for (const BusMessage& m : done) sink(m);
}

void BulkOutReassembler::Reset() {
  std::lock_guard<std::mutex> guard(lock_);
  in_message_ = false;
  awaiting_header_ = false;
  current_ = BusMessage{};
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
  return {recent_.begin(), recent_.end()};
}

}  // namespace vorn::chip
