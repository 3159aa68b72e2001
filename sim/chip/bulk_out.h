// The chip's bulk OUT side: reassembles the stream of transfers on endpoint 0x02 into whole
// messages. A message is a 32-byte header and then its payload; the payload may follow in the
// same transfer or in later ones, and may be cut into slices that each come behind a header
// of their own (slice length, slice offset, more-slices flag). Two-plane writes (type 7) carry
// no slice fields: their payload simply follows the one header. Whatever does not add up is
// counted as a violation and the partial message is dropped.
//
// Each payload is copied once, from the transfers into the message; the sink and the list of
// recent messages share that one message, and the buffer of a message that has left the list
// is taken up again by a later one, so a stream of large frames costs no fresh allocation.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "sim/chip/violation_log.h"

namespace vorn::chip {

struct BusMessage {
  static constexpr uint32_t kHeaderSize = 32;
  std::array<uint8_t, kHeaderSize> header{};  // the first header of the message
  uint32_t type = 0;
  uint32_t total_length = 0;
  uint32_t address = 0;
  uint32_t slices = 0;  // headers the message came with
  std::vector<uint8_t> payload;
};

class BulkOutReassembler {
 public:
  static constexpr uint32_t kTwoPlaneType = 7;
  static constexpr uint32_t kMaxMessageLength = 256u << 20;
  static constexpr size_t kKeptMessages = 8;

  explicit BulkOutReassembler(ViolationLog& violations);

  // One transfer's bytes, in order.
  void Feed(const uint8_t* data, uint32_t length);
  // Drops a partial message (the host reset the bulk stream).
  void Reset();
  // Called with every completed message, on the thread that fed its last byte. The message
  // is the reassembler's own and stays valid only for the call.
  void SetSink(std::function<void(const BusMessage&)> sink);

  uint64_t Completed() const;
  // With measuring on, the processor time of the feeding threads spent in Feed (reassembly
  // and the sink: counting and storing) is added up, so that a benchmark can tell the model's
  // share of the host's bulk writes, which run on the host's threads, from the host's own.
  void MeasureCpu(bool on) { measure_cpu_ = on; }
  uint64_t CpuNanoseconds() const { return cpu_ns_; }
  bool InMessage() const;
  // The last completed messages, oldest first (at most kKeptMessages).
  std::vector<BusMessage> Recent() const;

 private:
  struct Header {
    uint32_t type, total, address, slice_length, slice_offset;
    bool more;
  };
  static Header Parse(const uint8_t* p);
  void Violation(const char* what);
  bool BeginSlice(const uint8_t* p);
  void Finish();
  void FeedMessages(const uint8_t* data, uint32_t length);
  // A fresh message for the next header, on the buffer of a message no one holds any more.
  void StartMessage();

  mutable std::mutex lock_;
  ViolationLog& violations_;
  std::function<void(const BusMessage&)> sink_;
  bool in_message_ = false;
  bool awaiting_header_ = false;  // between slices
  bool more_ = false;
  uint32_t slice_remaining_ = 0;
  std::shared_ptr<BusMessage> current_;
  uint64_t completed_ = 0;
  std::deque<std::shared_ptr<const BusMessage>> recent_;
  std::vector<uint8_t> spare_;
  std::atomic<bool> measure_cpu_{false};
  std::atomic<uint64_t> cpu_ns_{0};  // an empty buffer with room, from a message that left recent_
};

}  // namespace vorn::chip
