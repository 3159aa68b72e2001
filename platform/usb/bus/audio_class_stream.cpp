#include "platform/usb/bus/audio_class_stream.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/kernel/timer.h"

namespace vorn::usb {

struct IsochStream::Slot {
  KEVENT* wake = nullptr;
  IRP* irp = nullptr;
  std::vector<uint8_t> urb_block;
  std::vector<uint8_t> buffer;
  bool busy = false;              // sent and not yet collected (the stream's thread only)
  uint64_t sequence = 0;          // order of sending: URBs are collected in this order
  std::atomic<bool> done{false};  // completed, waiting to be collected
  std::atomic<NTSTATUS> status{STATUS_SUCCESS};
  URB* Urb() { return reinterpret_cast<URB*>(urb_block.data()); }
};

namespace {

constexpr uint32_t kPacketSlack = 8;  // an IN packet has this much room above a millisecond
constexpr LONGLONG kPoll100ns = -10000;  // 1 ms: how often the frame number is looked at

NTSTATUS IsochDone(DEVICE_OBJECT*, IRP* irp, PVOID context) {
  auto* slot = static_cast<IsochStream::Slot*>(context);
  slot->status.store(irp->IoStatus.Status);
  KEVENT* wake = slot->wake;
  slot->done.store(true);
  KeSetEvent(wake, 0, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

IsochStream::IsochStream() = default;
IsochStream::~IsochStream() { Stop(); }

bool IsochStream::Start(const IsochStreamSettings& s) {
  if (running_.load() || thread_.joinable()) return false;
  if (!s.target || !s.pipe || !s.query_bus_time || s.rate == 0 || s.frame_bytes == 0 || s.ms_per_urb == 0 ||
      s.depth == 0 || (s.in ? !s.sink : !s.source))
    return false;
  settings_ = s;
  const uint32_t per_ms = (s.rate + 999) / 1000 * s.frame_bytes;
  const uint32_t capacity = s.in ? per_ms + kPacketSlack * s.frame_bytes : per_ms + s.frame_bytes;
  const size_t urb_bytes =
      offsetof(_URB_ISOCH_TRANSFER, IsoPacket) + size_t{s.ms_per_urb} * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
  slots_.clear();
  for (uint32_t i = 0; i < s.depth; ++i) {
    auto slot = std::make_unique<Slot>();
    slot->wake = &wake_;
    slot->irp = IoAllocateIrp(static_cast<CCHAR>(s.target->StackSize + 1), FALSE);
    if (!slot->irp) {
      for (auto& made : slots_) IoFreeIrp(made->irp);
      slots_.clear();
      return false;
    }
    slot->urb_block.assign(std::max(urb_bytes, sizeof(_URB_ISOCH_TRANSFER)), 0);
    slot->buffer.assign(size_t{capacity} * s.ms_per_urb, 0);
    slots_.push_back(std::move(slot));
  }
  KeInitializeEvent(&wake_, SynchronizationEvent, FALSE);
  {
    std::lock_guard<std::mutex> guard(lock_);
    counts_ = {};
    progress_ = {};
  }
  packets_sent_ = 0;
  have_next_start_ = false;
  draining_ = false;
  running_ = true;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void IsochStream::Stop() {
  if (!thread_.joinable()) return;
  running_ = false;
  KeSetEvent(&wake_, 0, FALSE);
  thread_.join();
  for (auto& slot : slots_) IoFreeIrp(slot->irp);
  slots_.clear();
}

IsochStreamCounts IsochStream::Counts() const {
  std::lock_guard<std::mutex> guard(lock_);
  return counts_;
}

IsochStreamProgress IsochStream::Progress() const {
  std::lock_guard<std::mutex> guard(lock_);
  return progress_;
}

ULONG IsochStream::Frame() const {
  ULONG frame = 0;
  if (settings_.query_bus_time) settings_.query_bus_time(&frame);
  return frame;
}

// The bytes of the next URB's packets: each millisecond carries the frames due in it, so a
// rate that is no multiple of 1000 alternates packet sizes without drifting.
uint32_t IsochStream::NextUrbBytes() {
  const uint64_t first = packets_sent_;
  const uint64_t last = first + settings_.ms_per_urb;
  const uint64_t frames = last * settings_.rate / 1000 - first * settings_.rate / 1000;
  return static_cast<uint32_t>(frames * settings_.frame_bytes);
}

bool IsochStream::Submit(Slot& slot) {
  const IsochStreamSettings& s = settings_;
  std::fill(slot.urb_block.begin(), slot.urb_block.end(), 0);
  auto& u = slot.Urb()->UrbIsochronousTransfer;
  u.Hdr.Length = static_cast<USHORT>(slot.urb_block.size());
  u.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
  u.PipeHandle = s.pipe;
  u.TransferFlags = s.in ? USBD_TRANSFER_DIRECTION_IN : 0;
  u.TransferBuffer = slot.buffer.data();
  u.NumberOfPackets = s.ms_per_urb;
  uint32_t bytes;
  if (s.in) {
    bytes = static_cast<uint32_t>(slot.buffer.size());
    const uint32_t packet = bytes / s.ms_per_urb;
    for (uint32_t i = 0; i < s.ms_per_urb; ++i) u.IsoPacket[i].Offset = i * packet;
  } else {
    bytes = std::min<uint32_t>(NextUrbBytes(), static_cast<uint32_t>(slot.buffer.size()));
    s.source(slot.buffer.data(), bytes);
    uint32_t at = 0;
    for (uint32_t i = 0; i < s.ms_per_urb; ++i) {
      const uint64_t k = packets_sent_ + i;
      const uint32_t n =
          static_cast<uint32_t>(((k + 1) * s.rate / 1000 - k * s.rate / 1000) * s.frame_bytes);
      u.IsoPacket[i].Offset = at;
      u.IsoPacket[i].Length = n;
      at += n;
    }
  }
  u.TransferBufferLength = bytes;
  packets_sent_ += s.ms_per_urb;

  IoReuseIrp(slot.irp, STATUS_SUCCESS);
  IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(slot.irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = slot.Urb();
  IoSetCompletionRoutine(slot.irp, IsochDone, &slot, TRUE, TRUE, TRUE);
  slot.done.store(false);
  slot.busy = true;
  slot.sequence = ++sent_;
  ++in_flight_;
  {
    std::lock_guard<std::mutex> guard(lock_);
    ++counts_.submitted;
  }
  const NTSTATUS sent = IoCallDriver(s.target, slot.irp);
  // The device gave the URB its start frame while taking it, on this thread.
  if (sent == STATUS_PENDING || NT_SUCCESS(sent)) {
    next_start_ = u.StartFrame + s.ms_per_urb;
    have_next_start_ = true;
    std::lock_guard<std::mutex> guard(lock_);
    if (!progress_.started) progress_.first_start = u.StartFrame;
    progress_.started = true;
    progress_.next_start = next_start_;
  }
  return true;
}

void IsochStream::Collect(Slot& slot) {
  const NTSTATUS status = slot.status.load();
  auto& u = slot.Urb()->UrbIsochronousTransfer;
  slot.busy = false;
  --in_flight_;
  std::lock_guard<std::mutex> guard(lock_);
  if (NT_SUCCESS(status)) {
    ++counts_.succeeded;
    counts_.bytes += u.TransferBufferLength;
  } else if (status == STATUS_CANCELLED) {
    ++counts_.cancelled;
  } else {
    ++counts_.failed;
    counts_.last_failure = status;
  }
  if (settings_.in) {
    // The sink reads outside the lock; the slot is not sent again before it returns.
    lock_.unlock();
    settings_.sink(slot.buffer.data(), u.IsoPacket, u.NumberOfPackets, status);
    lock_.lock();
  }
}

void IsochStream::Run() {
  LARGE_INTEGER poll;
  poll.QuadPart = kPoll100ns;
  // The oldest URB sent is collected first, and only once it is done, so the sink sees the
  // stream in the order it was sent even when several complete at once.
  auto oldest = [this]() -> Slot* {
    Slot* first = nullptr;
    for (auto& slot : slots_)
      if (slot->busy && (!first || slot->sequence < first->sequence)) first = slot.get();
    return first;
  };
  while (running_.load()) {
    for (Slot* slot = oldest(); slot && slot->done.load(); slot = oldest()) Collect(*slot);
    if (!draining_.load()) {
      for (auto& slot : slots_) {
        if (slot->busy || !running_.load()) continue;
        // Paced by the frame number: no further ahead of the bus than the lead allows.
        const ULONG frame = Frame();
        if (have_next_start_ &&
            static_cast<LONG>(next_start_ - frame) > static_cast<LONG>(settings_.lead_ms))
          break;
        if (have_next_start_ && static_cast<LONG>(frame - next_start_) > 0) {
          std::lock_guard<std::mutex> guard(lock_);
          ++counts_.late;
        }
        Submit(*slot);
      }
    }
    KeWaitForSingleObject(&wake_, Executive, KernelMode, FALSE, &poll);
  }
  // Stop: every URB still in flight is cancelled and waited for.
  for (auto& slot : slots_)
    if (slot->busy && !slot->done.load()) IoCancelIrp(slot->irp);
  for (Slot* slot = oldest(); slot; slot = oldest()) {
    while (!slot->done.load()) KeWaitForSingleObject(&wake_, Executive, KernelMode, FALSE, &poll);
    Collect(*slot);
  }
}

}  // namespace vorn::usb
