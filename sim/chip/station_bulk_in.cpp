#include "sim/chip/station_bulk_in.h"

#include <algorithm>
#include <cstring>

namespace vorn::chip {

uint32_t BulkInQueue::Fill(usb::Transfer& t) {
  Queued& q = messages_.front();
  const uint64_t header = protocol::kBusMessageHeaderSize;
  const uint64_t payload = q.message.payload.size();
  const uint64_t total = header + payload + q.message.generated_bytes;
  uint64_t n = std::min<uint64_t>(t.length, total - q.sent);
  if (q.reads < q.message.read_limits.size()) n = std::min<uint64_t>(n, q.message.read_limits[q.reads]);
  ++q.reads;
  if (!t.buffer) n = 0;
  for (uint64_t done = 0; done < n;) {
    const uint64_t at = q.sent + done;
    uint64_t piece;
    if (at < header) {
      piece = std::min(n - done, header - at);
      std::memcpy(t.buffer + done, q.header + at, piece);
    } else if (at < header + payload) {
      piece = std::min(n - done, header + payload - at);
      std::memcpy(t.buffer + done, q.message.payload.data() + (at - header), piece);
    } else {
      piece = n - done;
      std::memset(t.buffer + done, kGeneratedByte, piece);
    }
    done += piece;
  }
  q.sent += n;
  sent_bytes_ += n;
  ++read_count_;
  if (q.sent == total) messages_.pop_front();
  return static_cast<uint32_t>(n);
}

void BulkInQueue::Submit(usb::Transfer& t) {
  std::unique_lock<std::mutex> guard(lock_);
  if (closed_) {
    const usb::TransferStatus status = closed_status_;
    guard.unlock();
    t.actual = 0;
    t.status = status;
    t.complete(t);
    return;
  }
  if (messages_.empty() || !reads_.empty()) {
    reads_.push_back(&t);
    return;
  }
  t.actual = Fill(t);
  guard.unlock();
  t.status = usb::TransferStatus::kSuccess;
  t.complete(t);
}

bool BulkInQueue::Cancel(usb::Transfer& t) {
  std::unique_lock<std::mutex> guard(lock_);
  auto it = std::find(reads_.begin(), reads_.end(), &t);
  if (it == reads_.end()) return false;
  reads_.erase(it);
  guard.unlock();
  t.actual = 0;
  t.status = usb::TransferStatus::kCancelled;
  t.complete(t);
  return true;
}

void BulkInQueue::Push(BulkInMessage message) {
  std::vector<usb::Transfer*> served;
  {
    std::lock_guard<std::mutex> guard(lock_);
    Queued q;
    protocol::EncodeBusMessageHeader(message.header, q.header);
    q.message = std::move(message);
    messages_.push_back(std::move(q));
    // Reads that waited take what is there now, oldest first.
    while (!reads_.empty() && !messages_.empty()) {
      usb::Transfer* t = reads_.front();
      reads_.pop_front();
      t->actual = Fill(*t);
      served.push_back(t);
    }
  }
  for (usb::Transfer* t : served) {
    t->status = usb::TransferStatus::kSuccess;
    t->complete(*t);
  }
}

void BulkInQueue::Flush(usb::TransferStatus status) {
  std::deque<usb::Transfer*> reads;
  {
    std::lock_guard<std::mutex> guard(lock_);
    reads.swap(reads_);
    messages_.clear();
  }
  for (usb::Transfer* t : reads) {
    t->actual = 0;
    t->status = status;
    t->complete(*t);
  }
}

void BulkInQueue::Close(usb::TransferStatus status) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    closed_ = true;
    closed_status_ = status;
  }
  Flush(status);
}

size_t BulkInQueue::WaitingReads() const {
  std::lock_guard<std::mutex> guard(lock_);
  return reads_.size();
}

size_t BulkInQueue::QueuedMessages() const {
  std::lock_guard<std::mutex> guard(lock_);
  return messages_.size();
}

uint64_t BulkInQueue::SentBytes() const {
  std::lock_guard<std::mutex> guard(lock_);
  return sent_bytes_;
}

uint64_t BulkInQueue::Reads() const {
  std::lock_guard<std::mutex> guard(lock_);
  return read_count_;
}

}  // namespace vorn::chip
