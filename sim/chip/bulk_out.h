// The chip's bulk OUT side: reassembles the stream of transfers on endpoint 0x02 into whole
// messages. A message is a 32-byte header and then its payload; the payload may follow in the
// same transfer or in later ones, and may be cut into slices that each come behind a header
// of their own (slice length, slice offset, more-slices flag). Two-plane writes (type 7) carry
// no slice fields: their payload simply follows the one header. Whatever does not add up is
// counted as a violation and the partial message is dropped.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
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
  // Called with every completed message, on the thread that fed its last byte.
  void SetSink(std::function<void(const BusMessage&)> sink);

  uint64_t Completed() const;
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

  mutable std::mutex lock_;
  ViolationLog& violations_;
  std::function<void(const BusMessage&)> sink_;
  bool in_message_ = false;
  bool awaiting_header_ = false;  // between slices
  bool more_ = false;
  uint32_t slice_remaining_ = 0;
  BusMessage current_;
  uint64_t completed_ = 0;
  std::deque<BusMessage> recent_;
};

}  // namespace vorn::chip
