// The streaming half of the audio class client stand-in: what the system's audio class
// driver does with an audio device's isochronous endpoints once it has selected alternate
// setting 1. It keeps a number of isochronous URBs in flight on one pipe, each covering
// |ms_per_urb| one-millisecond packets, and submits the next one as the bus interface's frame
// number comes within |lead_ms| of where the stream stands: OUT URBs carry the data a
// source callback gives them, IN URBs hand what came back to a sink callback with their
// packet descriptors. Stop cancels every URB in flight and waits for each to complete.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/kernel/irp.h"
#include "platform/kernel/sync.h"
#include "platform/kernel/usb.h"

namespace vorn::usb {

struct IsochStreamSettings {
  DEVICE_OBJECT* target = nullptr;  // the device the URBs are sent to
  USBD_PIPE_HANDLE pipe = nullptr;
  bool in = false;                  // IN (capture) or OUT (render)
  uint32_t rate = 48000;            // frames per second
  uint32_t frame_bytes = 4;         // bytes per frame (channels × bytes per sample)
  uint32_t ms_per_urb = 10;         // packets per URB, one per millisecond
  uint32_t depth = 8;               // URBs in flight at most
  uint32_t lead_ms = 80;            // how far ahead of the frame number a URB may be sent
  // The bus interface's frame counter (its QueryBusTime).
  std::function<NTSTATUS(ULONG* frame)> query_bus_time;
  // OUT: fills |bytes| bytes for the URB about to go. IN: a completed URB's buffer and packets.
  std::function<void(uint8_t* buffer, uint32_t bytes)> source;
  std::function<void(const uint8_t* buffer, const USBD_ISO_PACKET_DESCRIPTOR* packets,
                     uint32_t count, NTSTATUS status)> sink;
};

struct IsochStreamCounts {
  uint64_t submitted = 0;
  uint64_t succeeded = 0;
  uint64_t cancelled = 0;
  uint64_t failed = 0;        // any other completion status, or refused at submission
  NTSTATUS last_failure = 0;  // the status of the last failure
  uint64_t bytes = 0;         // sent (OUT) or received (IN) by URBs that succeeded
  uint64_t late = 0;          // URBs sent after the frame number passed where they start
};

// Where the stream stands on the bus's frame counter, as the device gave its URBs their start
// frames: what a driver of the clock waits for.
struct IsochStreamProgress {
  bool started = false;   // a URB has been taken and given its start frame
  ULONG first_start = 0;  // the first such URB's start frame
  ULONG next_start = 0;   // the frame after the last URB taken: the next URB starts there
};

class IsochStream {
 public:
  IsochStream();
  ~IsochStream();
  IsochStream(const IsochStream&) = delete;
  IsochStream& operator=(const IsochStream&) = delete;

  // Starts streaming; false when already running or the settings cannot be used.
  bool Start(const IsochStreamSettings& settings);
  // Cancels the URBs in flight, waits until every one has completed and ends the stream.
  void Stop();
  // Stops sending new URBs after the ones already sent; Stop still ends the stream.
  void Drain() { draining_ = true; }

  IsochStreamCounts Counts() const;
  IsochStreamProgress Progress() const;
  // URBs sent and not yet completed.
  uint32_t InFlight() const { return in_flight_.load(); }

  struct Slot;

 private:
  void Run();
  bool Submit(Slot& slot);
  void Collect(Slot& slot);
  uint32_t NextUrbBytes();
  ULONG Frame() const;

  IsochStreamSettings settings_;
  std::vector<std::unique_ptr<Slot>> slots_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> draining_{false};
  std::atomic<uint32_t> in_flight_{0};
  KEVENT wake_{};
  mutable std::mutex lock_;
  IsochStreamCounts counts_;
  IsochStreamProgress progress_;
  uint64_t sent_ = 0;          // URBs sent
  uint64_t packets_sent_ = 0;  // packets of the stream so far: the byte count of each follows
  bool have_next_start_ = false;
  ULONG next_start_ = 0;       // frame where the stream stands after the last URB sent
};

}  // namespace vorn::usb
