// The chip's bulk OUT side as the station driver feeds it: slices of messages of different
// channels interleave on the wire, each slice behind a header of its own (slice length, slice
// offset, more-slices flag), and the chip puts each channel's message together from its
// slices. A two-plane message (type 7) carries no slice fields: its one header is followed by
// the whole payload, which must arrive in one piece, with nothing of another message between
// its bytes. Whatever does not add up is counted as a violation and the partial message of
// that channel is dropped. A header may arrive split over transfers. Every completed message is recorded by channel.
//
// Each payload is copied once, from the transfers into the message; the sink and the list of
// a channel's recent messages share that one message, and the buffer of a message that has
// left the list is taken up again by the channel's next one, so a stream of large frames
// costs no fresh allocation.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/chip/bulk_out.h"
#include "sim/chip/violation_log.h"

namespace vorn::chip {

class StationBulkOut {
 public:
  static constexpr uint32_t kChannels = 10;
  static constexpr size_t kKeptPerChannel = 8;

  explicit StationBulkOut(ViolationLog& violations);

  // One transfer's bytes, in order.
  void Feed(const uint8_t* data, uint32_t length);
  // Drops every partial message (the host reset the bulk stream).
  void Reset();
  // Called with every completed message, on the thread that fed its last byte.
  void SetSink(std::function<void(const BusMessage&)> sink);
  // The microphone type shares the audio channel unless this is set.
  void SetStandaloneMic(bool on);
  // With measuring on, the processor time of the feeding threads spent in Feed (reassembly
  // and the sink: counting and storing) is added up, so that a benchmark can tell the model's
  // share of the station's bulk writes from the station's own.
  void MeasureCpu(bool on) { measure_cpu_ = on; }
  uint64_t CpuNanoseconds() const { return cpu_ns_; }

  // What channel |c| delivered: completed messages, their payload bytes, and the last
  // kKeptPerChannel messages, oldest first.
  uint64_t Completed(uint32_t channel) const;
  uint64_t PayloadBytes(uint32_t channel) const;
  std::vector<BusMessage> Delivered(uint32_t channel) const;
  // Every slice header as it arrived, oldest first (at most 4096 kept), with its channel.
  struct SliceRecord {
    uint32_t channel;
    uint32_t type, total, slice_length, slice_offset;
    bool more;
  };
  std::vector<SliceRecord> Slices() const;
  // Whether a message of |channel| is partly received.
  bool InMessage(uint32_t channel) const;
  // Two-plane messages that had the bytes of another message inside them, as far as the chip
  // could tell (a header of another channel where their payload continued).
  uint64_t TwoPlaneBreaks() const;

 private:
  struct Partial {
    bool active = false;
    BusMessage message;
  };
  void Violation(uint32_t channel, const char* what);
  bool BeginSlice(const uint8_t* p);
  void Finish(uint32_t channel, std::vector<std::shared_ptr<BusMessage>>* done);
  void FeedSlices(const uint8_t* data, uint32_t length);
  uint32_t ChannelOf(uint32_t type) const;

  mutable std::mutex lock_;
  ViolationLog& violations_;
  std::function<void(const BusMessage&)> sink_;
  bool standalone_mic_ = false;
  std::array<Partial, kChannels> partial_;
  // The slice being received: its channel and the payload bytes still to come.
  bool in_slice_ = false;
  uint32_t slice_channel_ = 0;
  uint32_t slice_remaining_ = 0;
  bool slice_more_ = false;
  uint8_t header_[BusMessage::kHeaderSize] = {};
  uint32_t header_have_ = 0;  // header bytes gathered so far
  std::array<uint64_t, kChannels> completed_{};
  std::array<uint64_t, kChannels> bytes_{};
  std::array<std::deque<std::shared_ptr<BusMessage>>, kChannels> kept_;
  // Per channel, an empty buffer with room, from a message that left kept_.
  std::array<std::vector<uint8_t>, kChannels> spare_;
  std::atomic<bool> measure_cpu_{false};
  std::atomic<uint64_t> cpu_ns_{0};
  std::deque<SliceRecord> slices_;
  uint64_t two_plane_breaks_ = 0;
};

}  // namespace vorn::chip
