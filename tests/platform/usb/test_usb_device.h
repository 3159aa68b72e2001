// A small USB device for the bus tests: one configuration with bulk OUT 0x02, bulk IN 0x81
// and interrupt IN 0x83. Control and OUT transfers complete on a thread of its own after a
// short delay; IN transfers wait until the test feeds data (or are cancelled); everything
// ends kDeviceGone once the device is unplugged.
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/usb/usb_device.h"

namespace vorn::usb::testing {

class TestUsbDevice : public UsbDevice {
 public:
  TestUsbDevice();
  ~TestUsbDevice() override;

  void Submit(Transfer& t) override;
  bool Cancel(Transfer& t) override;
  void ResetEndpoint(uint8_t endpoint) override;
  bool Connected() const override;

  // Completes the oldest waiting IN transfer of |endpoint| with |data| (short if shorter).
  bool Feed(uint8_t endpoint, const std::vector<uint8_t>& data);
  void Unplug();
  size_t Waiting();  // IN transfers held
  std::vector<SetupPacket> ControlLog();
  std::vector<uint8_t> Written(uint8_t endpoint);
  int resets() const { return resets_; }

 private:
  void Finish(Transfer* t, TransferStatus status, uint32_t actual);
  void Worker();

  mutable std::mutex lock_;
  std::condition_variable cv_;
  std::vector<uint8_t> device_descriptor_, config_;
  std::deque<Transfer*> waiting_;         // IN transfers held until fed
  std::deque<Transfer*> to_finish_;       // control and OUT transfers
  std::vector<SetupPacket> control_log_;
  std::map<uint8_t, std::vector<uint8_t>> written_;
  bool connected_ = true;
  bool stop_ = false;
  int resets_ = 0;
  std::thread worker_;
};

}  // namespace vorn::usb::testing
