// The chip's frame memory and what it makes of display messages. Every type-0 message lands at
// its address (descriptor and payload), every type-7 message is copied row by row into its two
// planes; the store keeps per view the last full frame and the last decoded rectangle, gives
// the picture a monitor shows, and acknowledges each type-0 message with its sequence on the
// interrupt endpoint. It checks what a device could not survive: planes or payloads outside
// frame memory, planes in the rectangle ring, descriptor lengths that do not add up,
// sequences that skip, and payloads that overwrite a ring payload not yet acknowledged.
// Acknowledgements can be made to lag, be held until released, or be dropped.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/chip/bulk_out.h"
#include "sim/chip/interrupt_queue.h"
#include "sim/chip/violation_log.h"

namespace vorn::chip {

// How a frame or rectangle stands in frame memory.
struct StoredFrame {
  uint32_t kind = 0;    // PacketKind of the message that made it
  uint32_t format = 0;  // SurfaceFormat of the payload (13: JPEG, decoded into the planes)
  uint32_t layout = 0;  // SurfaceFormat of the planes
  uint32_t planes[3] = {};
  uint32_t strides[2] = {};
  uint32_t x = 0, y = 0;  // a rectangle's position; a full frame's centring offset
  uint32_t width = 0, height = 0;
  uint32_t sequence = 0;
  bool decoded = false;  // a JPEG payload whose samples now stand in the planes
};

// What became of the JPEG payloads (full frames, rectangles and patches).
struct JpegCounts {
  uint64_t decoded = 0;
  uint64_t undecoded = 0;  // this build has no decoder: the payload was only stored
  uint64_t failed = 0;     // damaged, of another size than its target, or not YCbCr
  std::string last_failure;
};

// A picture as BGRA, 4 bytes a pixel, rows packed.
struct Picture {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> bgra;
};

class FrameStore {
 public:
  static constexpr uint32_t kRingSize = 10u << 20;
  static constexpr uint32_t kRingTopGap = 2048;

  FrameStore(uint32_t memory_bytes, ViolationLog& violations, InterruptQueue& interrupts);

  // The bulk OUT sink: one complete message.
  void OnMessage(const BusMessage& m);
  // The host configured the device again: a new session's frames may number from anew.
  void NewSession();

  uint32_t MemorySize() const { return size_; }
  // Bytes of frame memory (zero where nothing was written); clipped to the memory.
  std::vector<uint8_t> Read(uint32_t address, uint32_t length) const;
  // Where payloads may not put planes; by default the ring of the plain layout.
  void SetRing(uint32_t start, uint32_t end);
  // The size a view's monitor is driven at; a full frame whose descriptor does not carry its
  // size is taken to be this size (else the size its strides and planes give).
  void SetMode(int view, uint32_t width, uint32_t height);
  // Where the size comes from when no mode was set: the timing the host last set on the view,
  // as {width, height}, {0, 0} for none. Called with the store's lock held.
  using ModeSource = std::function<std::pair<uint32_t, uint32_t>(int view)>;
  void SetModeSource(ModeSource source);

  std::optional<StoredFrame> LastFull(int view) const;
  std::optional<StoredFrame> LastRect(int view) const;
  // What the monitor of |view| shows: the last full frame with the last rectangle over it.
  // Nothing before the first full frame, or when the frame or rectangle is a JPEG stream that
  // was not decoded. JPEG patches show as the samples they left in the full frame's planes.
  std::optional<Picture> Shown(int view) const;

  // Acknowledgements: |lag| messages behind (0: at once); held ones wait for ReleaseAcks,
  // which sends every pending one; the next |count| ones are dropped.
  void SetAckLag(uint32_t lag);
  void HoldAcks(bool hold);
  void DropAcks(uint32_t count);
  void ReleaseAcks();
  std::vector<uint32_t> AckedSequences() const;
  size_t PendingAcks() const;
  uint64_t Messages() const;
  // Full frames of |view| stored so far; cheap enough to be polled while frames arrive.
  uint64_t FullFrames(int view) const;
  JpegCounts Jpeg() const;

 private:
  struct InFlight {
    uint32_t sequence, address, length;
  };

  void Write(uint32_t address, const uint8_t* data, uint32_t length);
  uint8_t At(uint32_t address) const;
  void Violation(std::string what);
  bool CheckRange(const char* what, uint64_t address, uint64_t length);
  bool CheckPlane(const char* what, uint64_t address, uint64_t stride, uint64_t rows,
                  uint64_t row_bytes);
  void CheckOverwrite(uint32_t address, uint32_t length);
  void OnDisplay(const BusMessage& m, std::vector<InterruptQueue::Packet>* out);
  void OnTwoPlane(const BusMessage& m);
  void Acknowledge(uint32_t sequence, std::vector<InterruptQueue::Packet>* out);
  // Sends pending acknowledgements, oldest first, until |keep| are left.
  void SendAcks(size_t keep, std::vector<InterruptQueue::Packet>* out);
  bool CheckFramePlanes(const StoredFrame& f);
  // Decodes the stream into the planes of |target| (its layout, strides, width and height);
  // |adopt_size| lets a frame whose size only its planes gave take the stream's size.
  void DecodeJpegInto(const uint8_t* stream, size_t size, StoredFrame* target, bool adopt_size);
  void JpegFailed(std::string why);

  const uint32_t size_;
  ViolationLog& violations_;
  InterruptQueue& interrupts_;

  mutable std::mutex lock_;
  // Frame memory, zeroed; the system hands out its pages as they are first written.
  struct FreeMemory {
    void operator()(uint8_t* p) const;
  };
  std::unique_ptr<uint8_t[], FreeMemory> memory_;
  uint32_t ring_start_, ring_end_;
  std::optional<StoredFrame> full_[2];
  std::optional<StoredFrame> rect_[2];
  uint32_t mode_[2][2] = {};
  ModeSource mode_source_;
  std::optional<uint32_t> last_sequence_;
  std::deque<InFlight> unacked_;  // oldest first
  uint32_t lag_ = 0;
  bool hold_ = false;
  uint32_t drop_ = 0;
  std::deque<uint32_t> pending_;  // acknowledgements not yet sent, oldest first
  std::vector<uint32_t> acked_;
  uint64_t messages_ = 0;
  std::atomic<uint64_t> full_frames_[2] = {};
  JpegCounts jpeg_;
};

}  // namespace vorn::chip
