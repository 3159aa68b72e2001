#include "tests/platform/usb/test_usb_device.h"

#include <algorithm>
#include <cstring>

namespace vorn::usb::testing {

TestUsbDevice::TestUsbDevice() {
  device_descriptor_ = {18, 1, 0x00, 0x02, 0xFF, 0, 0, 64, 0x7C, 0x3A, 0x5E, 0x0A, 0x01, 0x00, 1, 2, 0, 1};
  config_ = {9, 2, 39, 0, 1, 1, 0, 0xA0, 50,
             9, 4, 0, 0, 3, 0xFF, 0, 0, 0,
             7, 5, 0x02, 2, 0x00, 0x02, 0,
             7, 5, 0x81, 2, 0x00, 0x02, 0,
             7, 5, 0x83, 3, 0x40, 0x00, 1};
  worker_ = std::thread([this] { Worker(); });
}

TestUsbDevice::~TestUsbDevice() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_ = true;
  }
  cv_.notify_all();
  worker_.join();
}

void TestUsbDevice::Finish(Transfer* t, TransferStatus status, uint32_t actual) {
  t->status = status;
  t->actual = actual;
  t->complete(*t);
}

void TestUsbDevice::Submit(Transfer& t) {
  std::unique_lock<std::mutex> lock(lock_);
  if (!connected_) {
    lock.unlock();
    Finish(&t, TransferStatus::kDeviceGone, 0);
    return;
  }
  if (t.endpoint & kEndpointDirIn) {
    waiting_.push_back(&t);
    return;
  }
  to_finish_.push_back(&t);
  cv_.notify_all();
}

void TestUsbDevice::Worker() {
  std::unique_lock<std::mutex> lock(lock_);
  for (;;) {
    cv_.wait(lock, [&] { return stop_ || !to_finish_.empty(); });
    if (to_finish_.empty()) return;
    Transfer* t = to_finish_.front();
    to_finish_.pop_front();
    TransferStatus status = TransferStatus::kSuccess;
    uint32_t actual = t->length;
    if (t->endpoint == 0) {
      control_log_.push_back(t->setup);
      const SetupPacket& s = t->setup;
      if (s.bRequest == kRequestGetDescriptor && (s.bmRequestType & 0x60) == kTypeStandard) {
        const auto& d = (s.wValue >> 8) == kDescriptorDevice ? device_descriptor_ : config_;
        if ((s.wValue >> 8) != kDescriptorDevice && (s.wValue >> 8) != kDescriptorConfiguration) {
          status = TransferStatus::kStall;
          actual = 0;
        } else {
          actual = std::min<uint32_t>(t->length, static_cast<uint32_t>(d.size()));
          std::memcpy(t->buffer, d.data(), actual);
        }
      } else if ((s.bmRequestType & 0x60) == kTypeVendor && s.bRequest == 0xEE) {
        status = TransferStatus::kStall;
        actual = 0;
      } else if ((s.bmRequestType & kDirIn) && t->length) {
        for (uint32_t i = 0; i < t->length; ++i) t->buffer[i] = static_cast<uint8_t>(s.bRequest + i);
      }
    } else {
      auto& w = written_[t->endpoint];
      w.insert(w.end(), t->buffer, t->buffer + t->length);
    }
    lock.unlock();
    Finish(t, status, actual);
    lock.lock();
  }
}

bool TestUsbDevice::Cancel(Transfer& t) {
  std::unique_lock<std::mutex> lock(lock_);
  auto it = std::find(waiting_.begin(), waiting_.end(), &t);
  if (it == waiting_.end()) return false;
  waiting_.erase(it);
  lock.unlock();
  Finish(&t, TransferStatus::kCancelled, 0);
  return true;
}

void TestUsbDevice::ResetEndpoint(uint8_t) {
  std::lock_guard<std::mutex> guard(lock_);
  ++resets_;
}

bool TestUsbDevice::Connected() const {
  std::lock_guard<std::mutex> guard(lock_);
  return connected_;
}

bool TestUsbDevice::Feed(uint8_t endpoint, const std::vector<uint8_t>& data) {
  std::unique_lock<std::mutex> lock(lock_);
  auto it = std::find_if(waiting_.begin(), waiting_.end(), [&](Transfer* t) { return t->endpoint == endpoint; });
  if (it == waiting_.end()) return false;
  Transfer* t = *it;
  waiting_.erase(it);
  lock.unlock();
  uint32_t n = std::min<uint32_t>(t->length, static_cast<uint32_t>(data.size()));
  std::memcpy(t->buffer, data.data(), n);
  Finish(t, TransferStatus::kSuccess, n);
  return true;
}

void TestUsbDevice::Unplug() {
  std::deque<Transfer*> held;
  {
    std::lock_guard<std::mutex> guard(lock_);
    connected_ = false;
    held.swap(waiting_);
  }
  for (Transfer* t : held) Finish(t, TransferStatus::kDeviceGone, 0);
}

size_t TestUsbDevice::Waiting() {
  std::lock_guard<std::mutex> guard(lock_);
  return waiting_.size();
}

std::vector<SetupPacket> TestUsbDevice::ControlLog() {
  std::lock_guard<std::mutex> guard(lock_);
  return control_log_;
}

std::vector<uint8_t> TestUsbDevice::Written(uint8_t endpoint) {
  std::lock_guard<std::mutex> guard(lock_);
  return written_[endpoint];
}

}  // namespace vorn::usb::testing
