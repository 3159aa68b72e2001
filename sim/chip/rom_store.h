// The chip's ROM: two stores (the firmware image, target 0, and the boot code, target 2) that
// the station burns with type-5 blocks on bulk OUT and reads back with vendor request 0x34.
// Each block is burnt at the offset its header names and answered on the interrupt endpoint
// with a burn result (RomReplyKind 5): progress reports (status 0x11) first when asked, then
// status 0 and the bytes burnt, or a failure (status 0x80), or no result at all (a burn that
// never ends). A read is answered on bulk IN with one type-0x85 message of the size asked,
// carrying the request's sequence. A type-5 message that is no ROM block is answered as a
// failed burn. The chip reset (0x30) is counted. Thread-safe.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/usb/usb_device.h"
#include "sim/chip/bulk_out.h"
#include "sim/chip/interrupt_queue.h"
#include "sim/chip/station_bulk_in.h"
#include "sim/chip/violation_log.h"

namespace vorn::chip {

inline constexpr uint8_t kRomTargetImage = 0;
inline constexpr uint8_t kRomTargetBoot = 2;
inline constexpr uint8_t kRomErasedByte = 0xFF;
inline constexpr uint8_t kRomBurnProgress = 0x11;
inline constexpr uint8_t kRomBurnFailure = 0x80;

enum class BurnOutcome { kSuccess, kFailure, kNoResult };

// One block as the chip received it.
struct RomBlock {
  uint8_t kind = 0;    // byte 24, 2 for a write
  uint8_t target = 0;  // byte 25
  uint16_t tag = 0;    // u16 at 26: 0x0500 + the station's write counter
  uint32_t offset = 0; // u32 at 28
  uint32_t length = 0;
  uint32_t slices = 0;
};

class RomStore {
 public:
  RomStore(InterruptQueue& interrupts, BulkInQueue& bulk_in, ViolationLog& violations);

  // The image store's size (the ROM size the chip reports); the boot store is as large.
  void SetSize(uint32_t bytes);
  uint32_t Size() const;

  // A completed bulk OUT message; type-5 messages are burnt, others ignored.
  void OnMessage(const BusMessage& m);
  // Vendor OUT requests 0x34 and 0x30; false for any other request.
  bool Answer(const usb::SetupPacket& s, const uint8_t* data, uint32_t length,
              usb::TransferStatus* status);

  // What the next blocks' burns end with (each outcome for one block, then |then| for all).
  void QueueBurnOutcome(BurnOutcome outcome);
  void SetBurnOutcome(BurnOutcome outcome);
  // Progress reports sent before each result.
  void SetProgressReports(uint32_t n);
  // Called with each block once it is burnt, before its result is raised (a test may unplug
  // the chip here to remove it mid-burn).
  void SetBurnHook(std::function<void(const RomBlock&)> hook);
  // Read replies carry the request's sequence plus |skew|; with |answer| false the chip takes
  // the request and never replies.
  void SetReadReplies(bool answer, uint16_t skew = 0);

  // The store of |target| (erased bytes 0xFF), and a whole new content for it.
  std::vector<uint8_t> Contents(uint8_t target) const;
  void SetContents(uint8_t target, std::vector<uint8_t> bytes);
  std::vector<RomBlock> Blocks() const;
  uint32_t Resets() const;
  uint32_t Reads() const;
  // Type-5 messages that were no ROM block (wrong kind, target, tag or range).
  uint32_t RefusedBlocks() const;

 private:
  std::vector<uint8_t>* Store(uint8_t target);

  InterruptQueue& interrupts_;
  BulkInQueue& bulk_in_;
  ViolationLog& violations_;
  mutable std::mutex lock_;
  uint32_t size_ = 8u << 20;
  std::vector<uint8_t> image_;
  std::vector<uint8_t> boot_;
  std::deque<BurnOutcome> queued_;
  BurnOutcome outcome_ = BurnOutcome::kSuccess;
  uint32_t progress_reports_ = 0;
  std::function<void(const RomBlock&)> hook_;
  bool answer_reads_ = true;
  uint16_t read_skew_ = 0;
  std::vector<RomBlock> blocks_;
  uint32_t resets_ = 0;
  uint32_t reads_ = 0;
  uint32_t refused_ = 0;
};

}  // namespace vorn::chip
