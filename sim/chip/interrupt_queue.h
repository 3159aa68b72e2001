// The chip's interrupt IN endpoint: reads the host posts wait here until a packet is queued
// (by a test, or later by the chip itself: acknowledgements, monitor and refresh events).
// Each packet completes exactly one read; packets queued while no read waits are kept in order.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/usb/usb_device.h"
#include "sim/chip/capture.h"

namespace vorn::chip {

class InterruptQueue {
 public:
  static constexpr uint32_t kPacketSize = 64;
  using Packet = std::array<uint8_t, kPacketSize>;

  // Takes a read. Completes it at once when a packet waits; otherwise keeps it.
  void Submit(usb::Transfer& t);
  // Ends a kept read with kCancelled; false when |t| is not kept here.
  bool Cancel(usb::Transfer& t);
  // Queues a packet; completes the oldest waiting read with it, if any.
  void Push(const Packet& packet);
  // The same with only the first |length| bytes moved: a broken device's short completion.
  void PushShort(const Packet& packet, uint32_t length);
  // Ends every kept read with |status| (the device left the bus) and drops queued packets.
  void Flush(usb::TransferStatus status);
  // Flush for good: every later read ends with |status| at once (a read that raced with the
  // device leaving the bus is not kept for ever).
  void Close(usb::TransferStatus status);

  size_t WaitingReads() const;
  size_t QueuedPackets() const;
  // Packets that completed a read so far.
  uint64_t Delivered() const;

  // Where each packet sent is recorded (the chip's capture); set before reads are posted.
  void SetCapture(Capture* capture) { capture_ = capture; }

 private:
  struct Queued {
    Packet bytes;
    uint32_t length;
  };
  void Deliver(usb::Transfer& t, const Queued& p);

  mutable std::mutex lock_;
  std::deque<usb::Transfer*> reads_;
  std::deque<Queued> packets_;
  uint64_t delivered_ = 0;
  bool closed_ = false;
  usb::TransferStatus closed_status_ = usb::TransferStatus::kDeviceGone;
  Capture* capture_ = nullptr;
};

}  // namespace vorn::chip
