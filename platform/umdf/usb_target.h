// The USB target device, its one configured interface and its pipes.
//
// A target is bound at creation to the host's UsbDevice and reads the device and
// configuration descriptors then; the configuration is parsed again at selection, which
// creates the interface and one pipe per endpoint of its alternate setting 0. Both the
// target and each pipe are I/O targets: started from birth, stoppable, and a pipe's
// continuous reader runs while its target is started.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/umdf/object.h"
#include "platform/umdf/status_map.h"
#include "platform/usb/usb_device.h"

namespace vorn::umdf {

class ContinuousReader;
class Interface;

// Descriptor reads of the framework itself and calls without send options wait this long.
constexpr clock::Duration kDefaultRequestTimeout = std::chrono::seconds(5);
// What a pipe reports as its largest transfer; writes are not cut to it.
constexpr ULONG kMaximumTransferSize = 0x400000;
// The longest read the continuous reader makes (header and trailer included).
constexpr size_t kMaxReaderBufferSize = 0x10000;

// Started state shared by both kinds of I/O target.
class IoTarget : public Object {
 public:
  IoTarget(HostState* host, Kind kind, bool caller_owned) : Object(host, kind, caller_owned) {}
  bool started() const { return started_.load(); }
  void set_started(bool started) { started_.store(started); }

 private:
  std::atomic<bool> started_{true};
};

class UsbTarget : public IoTarget {
 public:
  UsbTarget(HostState* host, usb::UsbDevice* device)
      : IoTarget(host, Kind::kUsbDevice, true), device_(device) {}
  usb::UsbDevice& device() const { return *device_; }

  USB_DEVICE_DESCRIPTOR device_descriptor{};
  std::vector<uint8_t> configuration;  // the whole configuration descriptor set
  std::atomic<Interface*> configured{nullptr};

  // Runs one transfer on the device and waits up to |timeout| (zero: no limit).
  UsbResult Run(usb::Transfer& transfer, clock::Duration timeout);

 private:
  usb::UsbDevice* device_;
};

struct EndpointInfo {
  uint8_t address = 0;
  uint8_t attributes = 0;
  uint16_t max_packet_size = 0;
  uint8_t interval = 0;
  WDF_USB_PIPE_TYPE type = WdfUsbPipeTypeInvalid;
};

class Pipe : public IoTarget {
 public:
  Pipe(HostState* host, UsbTarget* target, const EndpointInfo& endpoint);
  ~Pipe() override;

  UsbTarget& target() const { return *target_; }
  const EndpointInfo& endpoint() const { return endpoint_; }
  bool is_in() const { return (endpoint_.address & usb::kEndpointDirIn) != 0; }

  std::atomic<bool> no_max_packet_size_check{false};

  // Guards |reader|'s creation against starts and stops.
  std::mutex reader_lock;
  std::unique_ptr<ContinuousReader> reader;

  void Shutdown() override;

 private:
  UsbTarget* target_;
  EndpointInfo endpoint_;
};

class Interface : public Object {
 public:
  Interface(HostState* host, uint8_t number)
      : Object(host, Kind::kInterface, false), number_(number) {}
  uint8_t number() const { return number_; }
  std::vector<Pipe*> pipes;  // fixed once the interface is published

 private:
  uint8_t number_;
};

}  // namespace vorn::umdf
