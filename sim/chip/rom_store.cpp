#include "sim/chip/rom_store.h"

#include <algorithm>
#include <functional>
#include <string>

#include "protocol/bus_message.h"
#include "protocol/byte_order.h"
#include "protocol/interrupt_packet.h"
#include "protocol/vendor_request.h"
#include "sim/chip/station_events.h"

namespace vorn::chip {
namespace {

constexpr uint32_t kRomBlockUnit = 0x10000;
constexpr uint32_t kReadRequestBytes = 2;

}  // namespace

RomStore::RomStore(InterruptQueue& interrupts, BulkInQueue& bulk_in, ViolationLog& violations)
    : interrupts_(interrupts), bulk_in_(bulk_in), violations_(violations) {}

void RomStore::SetSize(uint32_t bytes) {
  std::lock_guard<std::mutex> guard(lock_);
  size_ = bytes;
}

uint32_t RomStore::Size() const {
  std::lock_guard<std::mutex> guard(lock_);
  return size_;
}

std::vector<uint8_t>* RomStore::Store(uint8_t target) {
  if (target == kRomTargetImage) return &image_;
  if (target == kRomTargetBoot) return &boot_;
  return nullptr;
}

void RomStore::OnMessage(const BusMessage& m) {
  if (m.type != protocol::ToWire(protocol::BusMessageType::Rom)) return;
  RomBlock block;
  block.kind = m.header[24];
  block.target = m.header[25];
  block.tag = protocol::LoadLe16(&m.header[26]);
  block.offset = protocol::LoadLe32(&m.header[28]);
  block.length = static_cast<uint32_t>(m.payload.size());
  block.slices = m.slices;
  BurnOutcome outcome;
  uint32_t reports;
  std::function<void(const RomBlock&)> hook;
  {
    std::lock_guard<std::mutex> guard(lock_);
    blocks_.push_back(block);
    outcome = outcome_;
    if (!queued_.empty()) {
      outcome = queued_.front();
      queued_.pop_front();
    }
    reports = progress_reports_;
    hook = hook_;
    std::vector<uint8_t>* store = Store(block.target);
    const uint64_t end = uint64_t{block.offset} + block.length;
    // A block the ROM cannot take is answered as a failed burn (a bad block is the chip's to
    // refuse, not a fault of the bus).
    if (block.kind != 2 || !store || end > size_ || (block.tag & 0xFF00) != 0x0500) {
      ++refused_;
      outcome = outcome == BurnOutcome::kNoResult ? outcome : BurnOutcome::kFailure;
    } else if (outcome != BurnOutcome::kFailure) {
      if (store->size() < end) store->resize(static_cast<size_t>(end), kRomErasedByte);
      std::copy(m.payload.begin(), m.payload.end(), store->begin() + block.offset);
    }
  }
  if (hook) hook(block);
  if (outcome == BurnOutcome::kNoResult) return;
  for (uint32_t i = 1; i <= reports; ++i)
    interrupts_.Push(SystemPacket(kRomBurnProgress, protocol::kRomReplyBurnResult,
                                  static_cast<uint32_t>(uint64_t{block.length} * i / (reports + 1))));
  if (outcome == BurnOutcome::kFailure)
    interrupts_.Push(SystemPacket(kRomBurnFailure, protocol::kRomReplyBurnResult, 0));
  else
    interrupts_.Push(SystemPacket(0, protocol::kRomReplyBurnResult, block.offset + block.length));
}

bool RomStore::Answer(const usb::SetupPacket& s, const uint8_t* data, uint32_t length,
                      usb::TransferStatus* status) {
  if (s.bRequest == protocol::ReqResetChip) {
    std::lock_guard<std::mutex> guard(lock_);
    ++resets_;
    *status = usb::TransferStatus::kSuccess;
    return true;
  }
  if (s.bRequest != protocol::ReqReadRom) return false;
  if (!data || length != kReadRequestBytes) {
    violations_.Add("ROM read request with " + std::to_string(length) + " data bytes");
    *status = usb::TransferStatus::kStall;
    return true;
  }
  const uint32_t size = uint32_t{s.wValue} * kRomBlockUnit;
  const uint32_t offset = uint32_t{s.wIndex} * kRomBlockUnit;
  const uint16_t sequence = protocol::LoadLe16(data);
  BulkInMessage reply;
  {
    std::lock_guard<std::mutex> guard(lock_);
    ++reads_;
    if (size == 0 || uint64_t{offset} + size > size_) {
      violations_.Add("ROM read of " + std::to_string(size) + " bytes at " +
                      std::to_string(offset) + " of a ROM of " + std::to_string(size_));
      *status = usb::TransferStatus::kStall;
      return true;
    }
    *status = usb::TransferStatus::kSuccess;
    if (!answer_reads_) return true;
    reply.header.Type = protocol::ToWire(protocol::BusMessageType::RomReply);
    reply.header.TotalLength = size;
    protocol::StoreLe16(reply.header.TypeSpecific + 2, static_cast<uint16_t>(sequence + read_skew_));
    reply.payload.assign(size, kRomErasedByte);
    const size_t have = image_.size() > offset ? std::min<size_t>(image_.size() - offset, size) : 0;
    std::copy_n(image_.begin() + offset, have, reply.payload.begin());
  }
  bulk_in_.Push(std::move(reply));
  return true;
}

void RomStore::QueueBurnOutcome(BurnOutcome outcome) {
  std::lock_guard<std::mutex> guard(lock_);
  queued_.push_back(outcome);
}

void RomStore::SetBurnOutcome(BurnOutcome outcome) {
  std::lock_guard<std::mutex> guard(lock_);
  outcome_ = outcome;
}

void RomStore::SetProgressReports(uint32_t n) {
  std::lock_guard<std::mutex> guard(lock_);
  progress_reports_ = n;
}

void RomStore::SetBurnHook(std::function<void(const RomBlock&)> hook) {
  std::lock_guard<std::mutex> guard(lock_);
  hook_ = std::move(hook);
}

void RomStore::SetReadReplies(bool answer, uint16_t skew) {
  std::lock_guard<std::mutex> guard(lock_);
  answer_reads_ = answer;
  read_skew_ = skew;
}

std::vector<uint8_t> RomStore::Contents(uint8_t target) const {
  std::lock_guard<std::mutex> guard(lock_);
  return target == kRomTargetBoot ? boot_ : target == kRomTargetImage ? image_
                                                                        : std::vector<uint8_t>{};
}

void RomStore::SetContents(uint8_t target, std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> guard(lock_);
  if (std::vector<uint8_t>* store = Store(target)) *store = std::move(bytes);
}

std::vector<RomBlock> RomStore::Blocks() const {
  std::lock_guard<std::mutex> guard(lock_);
  return blocks_;
}

uint32_t RomStore::Resets() const {
  std::lock_guard<std::mutex> guard(lock_);
  return resets_;
}

uint32_t RomStore::RefusedBlocks() const {
  std::lock_guard<std::mutex> guard(lock_);
  return refused_;
}

uint32_t RomStore::Reads() const {
  std::lock_guard<std::mutex> guard(lock_);
  return reads_;
}

}  // namespace vorn::chip
