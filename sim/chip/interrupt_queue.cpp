#include "sim/chip/interrupt_queue.h"

#include <algorithm>
#include <cstring>

namespace vorn::chip {

void InterruptQueue::Deliver(usb::Transfer& t, const Queued& p) {
  uint32_t n = std::min<uint32_t>(t.length, p.length);
  if (capture_) capture_->Record(kCaptureInterrupt, t.endpoint, p.bytes.data(), t.buffer ? n : 0);
  if (t.buffer && n) std::memcpy(t.buffer, p.bytes.data(), n);
  t.actual = t.buffer ? n : 0;
  t.status = usb::TransferStatus::kSuccess;
  t.complete(t);
}

void InterruptQueue::Submit(usb::Transfer& t) {
  std::unique_lock<std::mutex> guard(lock_);
  if (closed_) {
    const usb::TransferStatus status = closed_status_;
    guard.unlock();
    t.actual = 0;
    t.status = status;
    t.complete(t);
    return;
  }
  if (packets_.empty()) {
    reads_.push_back(&t);
    return;
  }
  Queued p = packets_.front();
  packets_.pop_front();
  ++delivered_;
  guard.unlock();
  Deliver(t, p);
}

bool InterruptQueue::Cancel(usb::Transfer& t) {
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

void InterruptQueue::Push(const Packet& packet) { PushShort(packet, kPacketSize); }

void InterruptQueue::PushShort(const Packet& packet, uint32_t length) {
  const Queued queued{packet, std::min(length, kPacketSize)};
  std::unique_lock<std::mutex> guard(lock_);
  if (reads_.empty()) {
    packets_.push_back(queued);
    return;
  }
  usb::Transfer* t = reads_.front();
  reads_.pop_front();
  ++delivered_;
  guard.unlock();
  Deliver(*t, queued);
}

void InterruptQueue::Flush(usb::TransferStatus status) {
  std::deque<usb::Transfer*> reads;
  {
    std::lock_guard<std::mutex> guard(lock_);
    reads.swap(reads_);
    packets_.clear();
  }
  for (usb::Transfer* t : reads) {
    t->actual = 0;
    t->status = status;
    t->complete(*t);
  }
}

void InterruptQueue::Close(usb::TransferStatus status) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    closed_ = true;
    closed_status_ = status;
  }
  Flush(status);
}

size_t InterruptQueue::WaitingReads() const {
  std::lock_guard<std::mutex> guard(lock_);
  return reads_.size();
}

size_t InterruptQueue::QueuedPackets() const {
  std::lock_guard<std::mutex> guard(lock_);
  return packets_.size();
}

uint64_t InterruptQueue::Delivered() const {
  std::lock_guard<std::mutex> guard(lock_);
  return delivered_;
}

}  // namespace vorn::chip
