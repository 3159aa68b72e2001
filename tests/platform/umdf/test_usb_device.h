// A small scriptable USB device for the WDF table's tests: canned descriptors, vendor
// requests answered by a handler, bulk OUT writes recorded, interrupt IN reads held until the
// test feeds or fails them. Any transfer can be held instead (it then ends only by Cancel).
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "platform/usb/usb_device.h"

namespace vorn::umdf::testing {

struct EndpointSpec {
  uint8_t address;
  uint8_t attributes;  // 2 bulk, 3 interrupt
  uint16_t max_packet;
};

// Descriptor bytes of a device with the given bcdUSB and a configuration holding
// |interfaces| interfaces, the first of which has |endpoints|.
std::vector<uint8_t> DeviceDescriptor(uint16_t bcd_usb, uint8_t i_product);
std::vector<uint8_t> ConfigurationDescriptor(const std::vector<EndpointSpec>& endpoints,
                                             int interfaces = 1, uint8_t attributes = 0xC0);
std::vector<uint8_t> StringDescriptor(std::u16string_view text);

// The adapter's usual endpoints: bulk OUT 0x02, interrupt IN 0x83 (64), bulk IN 0x81.
std::vector<EndpointSpec> DisplayEndpoints();

class TestUsbDevice : public usb::UsbDevice {
 public:
  TestUsbDevice();

  void Submit(usb::Transfer& t) override;
  bool Cancel(usb::Transfer& t) override;
  void ResetEndpoint(uint8_t endpoint) override;
  bool Connected() const override;

  // Script. Descriptors are served from these; SET_CONFIGURATION always succeeds.
  std::vector<uint8_t> device_descriptor;
  std::vector<uint8_t> configuration;
  std::map<uint8_t, std::vector<uint8_t>> strings;  // by index

  // Vendor and class requests: fills the data stage, sets |actual| and returns the status.
  std::function<usb::TransferStatus(usb::Transfer&)> on_control;
  // Result of bulk OUT writes (the bytes are recorded on success).
  usb::TransferStatus bulk_result = usb::TransferStatus::kSuccess;
  // Held transfers end only when cancelled.
  bool hold_control = false;
  bool hold_bulk = false;

  void SetConnected(bool connected);

  // Completes the oldest pending interrupt read with |data| (success) or with |status|.
  // Returns false when no read is pending.
  bool FeedInterrupt(const std::vector<uint8_t>& data);
  bool FailInterrupt(usb::TransferStatus status);
  // Waits (real time, bounded) until |count| reads are pending on |endpoint|.
  bool WaitPendingReads(uint8_t endpoint, size_t count);
  size_t PendingCount() const;

  std::vector<std::vector<uint8_t>> Writes() const;
  std::vector<uint8_t> Resets() const;
  size_t CancelCount() const;
  std::vector<usb::SetupPacket> ControlLog() const;

 private:
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::deque<usb::Transfer*> pending_;  // held transfers and interrupt reads
  std::vector<std::vector<uint8_t>> writes_;
  std::vector<uint8_t> resets_;
  std::vector<usb::SetupPacket> control_log_;
  size_t cancels_ = 0;
  bool connected_ = true;
};

}  // namespace vorn::umdf::testing
