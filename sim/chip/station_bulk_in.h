// The chip's bulk IN endpoint: messages from the device to the host (captured audio, ROM read
// replies), each a 32-byte BusMessageHeader and its payload, sent in order. A read gets at most
// the rest of the current message (a device ends its transfer with a short packet at the end
// of a message), and never more than the read limit the test gave for that read of the
// message; a read with nothing to send waits for the next message or for Cancel. A message
// is announced to the host separately, through the interrupt endpoint (Chip::SendBulkIn).
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/usb/usb_device.h"
#include "protocol/bus_message.h"

namespace vorn::chip {

inline constexpr uint8_t kGeneratedByte = 0xA5;

struct BulkInMessage {
  protocol::BusMessageHeader header;
  std::vector<uint8_t> payload;
  // A payload of this many bytes of kGeneratedByte after |payload|, so a test can send a huge
  // message without holding it.
  uint64_t generated_bytes = 0;
  // Read i of this message moves at most read_limits[i] bytes (as a device that sends a
  // message in short transfers would); reads past the list move what is asked.
  std::vector<uint32_t> read_limits;
};

class BulkInQueue {
 public:
  void Submit(usb::Transfer& t);
  // Ends a waiting read with kCancelled; false when |t| is not kept here.
  bool Cancel(usb::Transfer& t);
  void Push(BulkInMessage message);
  // Ends every waiting read with |status| and drops every message not yet sent.
  void Flush(usb::TransferStatus status);
  // Flush for good: every later read ends with |status| at once.
  void Close(usb::TransferStatus status);

  size_t WaitingReads() const;
  // Messages not yet sent whole (the current one included).
  size_t QueuedMessages() const;
  // Bytes sent so far, headers included, and the reads that moved them.
  uint64_t SentBytes() const;
  uint64_t Reads() const;

 private:
  struct Queued {
    uint8_t header[protocol::kBusMessageHeaderSize];
    BulkInMessage message;
    uint64_t sent = 0;  // of header + payload + generated
    size_t reads = 0;
  };
  // Moves the next bytes of the front message into |t|. Under lock_; the message is taken off
  // once it has been sent whole.
  uint32_t Fill(usb::Transfer& t);

  mutable std::mutex lock_;
  std::deque<usb::Transfer*> reads_;
  std::deque<Queued> messages_;
  uint64_t sent_bytes_ = 0;
  uint64_t read_count_ = 0;
  bool closed_ = false;
  usb::TransferStatus closed_status_ = usb::TransferStatus::kDeviceGone;
};

}  // namespace vorn::chip
