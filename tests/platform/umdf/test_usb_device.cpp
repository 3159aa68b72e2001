#include "tests/platform/umdf/test_usb_device.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace vorn::umdf::testing {

std::vector<uint8_t> DeviceDescriptor(uint16_t bcd_usb, uint8_t i_product) {
  return {18,
          1,
          static_cast<uint8_t>(bcd_usb),
          static_cast<uint8_t>(bcd_usb >> 8),
          0,
          0,
          0,
          64,
          0x34,
          0x12,
          0x78,
          0x56,
          0x00,
          0x01,
          1,
          i_product,
          3,
          1};
}

std::vector<uint8_t> ConfigurationDescriptor(const std::vector<EndpointSpec>& endpoints,
                                             int interfaces, uint8_t attributes) {
  std::vector<uint8_t> d = {9, 2, 0, 0, static_cast<uint8_t>(interfaces), 1, 0, attributes, 250};
  for (int i = 0; i < interfaces; ++i) {
    const auto& eps = i == 0 ? endpoints : std::vector<EndpointSpec>{{0x85, 2, 512}};
    d.insert(d.end(),
             {9, 4, static_cast<uint8_t>(i), 0, static_cast<uint8_t>(eps.size()), 0xFF, 0, 0, 0});
    for (const EndpointSpec& e : eps)
      d.insert(d.end(), {7, 5, e.address, e.attributes, static_cast<uint8_t>(e.max_packet),
                         static_cast<uint8_t>(e.max_packet >> 8), 1});
  }
  d[2] = static_cast<uint8_t>(d.size());
  d[3] = static_cast<uint8_t>(d.size() >> 8);
  return d;
}

std::vector<uint8_t> StringDescriptor(std::u16string_view text) {
  std::vector<uint8_t> d = {static_cast<uint8_t>(2 + 2 * text.size()), 3};
  for (char16_t c : text) {
    d.push_back(static_cast<uint8_t>(c));
    d.push_back(static_cast<uint8_t>(c >> 8));
  }
  return d;
}

std::vector<EndpointSpec> DisplayEndpoints() {
  return {{0x02, 2, 512}, {0x83, 3, 64}, {0x81, 2, 512}};
}

TestUsbDevice::TestUsbDevice()
    : device_descriptor(DeviceDescriptor(0x0200, 2)),
      configuration(ConfigurationDescriptor(DisplayEndpoints())) {}

namespace {
void Complete(usb::Transfer& t, usb::TransferStatus status) {
  t.status = status;
  t.complete(t);
}
}  // namespace

void TestUsbDevice::Submit(usb::Transfer& t) {
  std::unique_lock<std::mutex> lock(lock_);
  if (!connected_) {
    lock.unlock();
    Complete(t, usb::TransferStatus::kDeviceGone);
    return;
  }
  if (t.endpoint == 0) {
    control_log_.push_back(t.setup);
    if (hold_control) {
      pending_.push_back(&t);
      changed_.notify_all();
      return;
    }
    lock.unlock();
    const uint8_t type = t.setup.bmRequestType & 0x60;
    if (type == usb::kTypeStandard && t.setup.bRequest == usb::kRequestGetDescriptor) {
      const uint8_t kind = static_cast<uint8_t>(t.setup.wValue >> 8);
      const uint8_t index = static_cast<uint8_t>(t.setup.wValue);
      const std::vector<uint8_t>* source = nullptr;
      if (kind == usb::kDescriptorDevice) source = &device_descriptor;
      if (kind == usb::kDescriptorConfiguration) source = &configuration;
      if (kind == usb::kDescriptorString && strings.count(index)) source = &strings.at(index);
      if (source == nullptr) return Complete(t, usb::TransferStatus::kStall);
      t.actual = static_cast<uint32_t>(std::min<size_t>(t.length, source->size()));
      std::memcpy(t.buffer, source->data(), t.actual);
      return Complete(t, usb::TransferStatus::kSuccess);
    }
    if (type == usb::kTypeStandard) return Complete(t, usb::TransferStatus::kSuccess);
    if (!on_control) return Complete(t, usb::TransferStatus::kStall);
    return Complete(t, on_control(t));
  }
  if ((t.endpoint & usb::kEndpointDirIn) == 0) {
    if (hold_bulk) {
      pending_.push_back(&t);
      changed_.notify_all();
      return;
    }
    if (bulk_result == usb::TransferStatus::kSuccess) {
      writes_.emplace_back(t.buffer, t.buffer + t.length);
      t.actual = t.length;
    }
    const usb::TransferStatus result = bulk_result;
    lock.unlock();
    return Complete(t, result);
  }
  // IN reads wait for the test.
  pending_.push_back(&t);
  changed_.notify_all();
}

bool TestUsbDevice::Cancel(usb::Transfer& t) {
  std::unique_lock<std::mutex> lock(lock_);
  auto found = std::find(pending_.begin(), pending_.end(), &t);
  if (found == pending_.end()) return false;
  pending_.erase(found);
  ++cancels_;
  changed_.notify_all();
  lock.unlock();
  Complete(t, usb::TransferStatus::kCancelled);
  return true;
}

void TestUsbDevice::ResetEndpoint(uint8_t endpoint) {
  std::lock_guard<std::mutex> guard(lock_);
  resets_.push_back(endpoint);
}

bool TestUsbDevice::Connected() const {
  std::lock_guard<std::mutex> guard(lock_);
  return connected_;
}

void TestUsbDevice::SetConnected(bool connected) {
  std::deque<usb::Transfer*> gone;
  {
    std::lock_guard<std::mutex> guard(lock_);
    connected_ = connected;
    if (!connected) gone.swap(pending_);
    changed_.notify_all();
  }
  for (usb::Transfer* t : gone) Complete(*t, usb::TransferStatus::kDeviceGone);
}

bool TestUsbDevice::FeedInterrupt(const std::vector<uint8_t>& data) {
  usb::Transfer* t = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = std::find_if(pending_.begin(), pending_.end(),
                              [](usb::Transfer* p) { return (p->endpoint & 0x80) != 0; });
    if (found == pending_.end()) return false;
    t = *found;
    pending_.erase(found);
    changed_.notify_all();
  }
  t->actual = static_cast<uint32_t>(std::min<size_t>(t->length, data.size()));
  std::memcpy(t->buffer, data.data(), t->actual);
  Complete(*t, usb::TransferStatus::kSuccess);
  return true;
}

bool TestUsbDevice::FailInterrupt(usb::TransferStatus status) {
  usb::Transfer* t = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = std::find_if(pending_.begin(), pending_.end(),
                              [](usb::Transfer* p) { return (p->endpoint & 0x80) != 0; });
    if (found == pending_.end()) return false;
    t = *found;
    pending_.erase(found);
    changed_.notify_all();
  }
  Complete(*t, status);
  return true;
}

bool TestUsbDevice::WaitPendingReads(uint8_t endpoint, size_t count) {
  std::unique_lock<std::mutex> lock(lock_);
  return changed_.wait_for(lock, std::chrono::seconds(20), [&] {
    return static_cast<size_t>(
               std::count_if(pending_.begin(), pending_.end(),
                             [&](usb::Transfer* p) { return p->endpoint == endpoint; })) == count;
  });
}

size_t TestUsbDevice::PendingCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return pending_.size();
}

std::vector<std::vector<uint8_t>> TestUsbDevice::Writes() const {
  std::lock_guard<std::mutex> guard(lock_);
  return writes_;
}

std::vector<uint8_t> TestUsbDevice::Resets() const {
  std::lock_guard<std::mutex> guard(lock_);
  return resets_;
}

size_t TestUsbDevice::CancelCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return cancels_;
}

std::vector<usb::SetupPacket> TestUsbDevice::ControlLog() const {
  std::lock_guard<std::mutex> guard(lock_);
  return control_log_;
}

}  // namespace vorn::umdf::testing
