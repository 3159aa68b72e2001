// Internal records of the bus: ports, pipes, URBs in flight, the completion and chaos threads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "platform/usb/bus/usb_bus.h"

namespace vorn::usb {

struct Port;

struct Pipe {
  Port* port;
  uint8_t endpoint;
  uint8_t type;  // USBD_PIPE_TYPE
  uint16_t max_packet;
  uint8_t interval;
  ULONG max_transfer;  // the MaximumTransferSize the driver chose at selection
};

// One URB in flight on the device.
struct Work {
  Transfer transfer;
  IRP* irp = nullptr;
  URB* urb = nullptr;
  Port* port = nullptr;
  bool cancellable = false;     // bulk and interrupt may be cancelled by chaos
  std::atomic<bool> submitted{false};
  std::atomic<bool> cancel_requested{false};
  std::atomic<bool> finished{false};
  bool complete_inline = false;
};

struct Port {
  UsbBus::Impl* bus = nullptr;
  UsbDevice* device = nullptr;
  DEVICE_OBJECT* pdo = nullptr;
  int number = 0;
  AttachOptions options;
  USB_DEVICE_DESCRIPTOR device_descriptor{};
  std::vector<uint8_t> config;  // the whole configuration descriptor set
  std::atomic<bool> reported{true};  // still on the bus (read by URBs without the bus lock)
  std::atomic<bool> removed{false};  // REMOVE received
  std::vector<std::unique_ptr<Pipe>> pipes;
  uint8_t configuration_value = 0;
  std::mutex lock;  // pending, pipes
  std::condition_variable idle_cv;
  std::map<IRP*, std::shared_ptr<Work>> pending;
  int completing = 0;  // taken out of pending, IRP not yet completed
  PVOID wait_wake = nullptr;  // IRP*, exchanged atomically
};

struct DeviceExtension {
  bool is_root;
  UsbBus::Impl* bus;
  Port* port;
};

struct UsbBus::Impl {
  BusOptions options;
  DRIVER_OBJECT* driver = nullptr;
  DEVICE_OBJECT* root = nullptr;
  kernel::pnp::DevNode* root_node = nullptr;
  std::mutex lock;  // ports
  std::vector<Port*> ports;
  int next_port = 1;
  // Completion thread.
  std::mutex done_lock;
  std::condition_variable done_cv;
  std::deque<std::shared_ptr<Work>> done;
  bool stopping = false;
  std::thread completion_thread;
  // Chaos: delayed submissions and cancellations.
  std::mutex chaos_lock;
  std::condition_variable chaos_cv;
  std::multimap<std::chrono::steady_clock::time_point, std::pair<std::shared_ptr<Work>, bool>> chaos_queue;
  std::thread chaos_thread;
  Port* chaos_acting_on = nullptr;  // the port whose entry the chaos thread is acting on
  std::mt19937_64 rng;
  std::mutex counter_lock;
  BusCounters counters;

  int Random(int below);  // 0 .. below-1
  void Count(uint64_t BusCounters::*field);
  void CompletionLoop();
  void ChaosLoop();
  void Submit(const std::shared_ptr<Work>& w);
  void StartTransfer(const std::shared_ptr<Work>& w);
  void TransferDone(const std::shared_ptr<Work>& w);
  void FinishIrp(const std::shared_ptr<Work>& w);
  void CancelAll(Port* port, bool wait);
  // Drops the port's chaos entries and waits until the chaos thread no longer touches it.
  void PurgeChaos(Port* port);
};

// Dispatch routines.
NTSTATUS BusPnp(DEVICE_OBJECT* device, IRP* irp);
NTSTATUS BusPower(DEVICE_OBJECT* device, IRP* irp);
NTSTATUS BusInternalControl(DEVICE_OBJECT* device, IRP* irp);
NTSTATUS BusCreateClose(DEVICE_OBJECT* device, IRP* irp);

inline DeviceExtension* Ext(DEVICE_OBJECT* d) { return static_cast<DeviceExtension*>(d->DeviceExtension); }

// Takes the cancel routine back before completing; when a cancel already took it, waits until
// that cancel has left the cancel spin lock, so completion never races IoCancelIrp.
inline void TakeBackFromCancel(IRP* irp) {
  if (!IoSetCancelRoutine(irp, nullptr)) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoReleaseCancelSpinLock(irql);
  }
}
inline bool Cancelled(IRP* irp) { return __atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) != 0; }

// Completes |irp| with |status| and Information 0 at once.
NTSTATUS CompleteNow(IRP* irp, NTSTATUS status, ULONG_PTR information = 0);

}  // namespace vorn::usb
