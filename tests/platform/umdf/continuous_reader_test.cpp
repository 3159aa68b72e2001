// The continuous reader: delivery one at a time on one thread, stop while a completion runs,
// and the failure routine's retry decision.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "platform/nt/clock.h"
#include "tests/platform/umdf/wdf_fixture.h"

namespace vorn::umdf::testing {
namespace {

// What the reader's routines saw, plus a gate a test can close to hold a completion.
struct Observer {
  const Wdf* wdf = nullptr;
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::vector<uint8_t>> packets;
  std::set<std::thread::id> threads;
  int running = 0;
  int max_running = 0;
  bool gate_open = true;
  bool in_completion = false;
  std::vector<std::pair<NTSTATUS, USBD_STATUS>> failures;
  BOOLEAN retry = TRUE;

  template <class Pred>
  bool WaitFor(Pred pred) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(20), pred);
  }
};

void ReadComplete(WDFUSBPIPE, WDFMEMORY buffer, size_t bytes, WDFCONTEXT context) {
  auto* o = static_cast<Observer*>(context);
  size_t size = 0;
  auto* data = static_cast<uint8_t*>(o->wdf->Call<WdfMemoryGetBufferTableIndex>(buffer, &size));
  std::unique_lock<std::mutex> guard(o->lock);
  o->threads.insert(std::this_thread::get_id());
  o->max_running = std::max(o->max_running, ++o->running);
  o->in_completion = true;
  o->changed.notify_all();
  o->changed.wait(guard, [o] { return o->gate_open; });
  o->packets.emplace_back(data, data + bytes);
  o->in_completion = false;
  --o->running;
  o->changed.notify_all();
}

Observer* g_failure_observer = nullptr;

BOOLEAN ReadersFailed(WDFUSBPIPE, NTSTATUS status, USBD_STATUS usbd_status) {
  Observer* o = g_failure_observer;
  std::lock_guard<std::mutex> guard(o->lock);
  o->failures.emplace_back(status, usbd_status);
  o->changed.notify_all();
  return o->retry;
}

std::vector<uint8_t> Packet(uint8_t tag) {
  std::vector<uint8_t> p(64, 0);
  p[0] = 0x04;
  p[12] = tag;
  return p;
}

class Reader : public BoundTarget {
 protected:
  void SetUp() override {
    BoundTarget::SetUp();
    observer.wdf = wdf.get();
    g_failure_observer = &observer;
  }
  void TearDown() override {
    BoundTarget::TearDown();
    g_failure_observer = nullptr;
  }

  NTSTATUS Configure(WDFUSBPIPE pipe, size_t length = 64, bool with_failure = true,
                     UCHAR reads = 0) {
    WDF_USB_CONTINUOUS_READER_CONFIG config;
    WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, &ReadComplete, &observer, length);
    config.NumPendingReads = reads;
    if (with_failure) config.EvtUsbTargetPipeReadersFailed = &ReadersFailed;
    return wdf->Call<WdfUsbTargetPipeConfigContinuousReaderTableIndex>(pipe, &config);
  }
  NTSTATUS Start() {
    return wdf->Call<WdfIoTargetStartTableIndex>(WdfUsbTargetPipeAsIoTarget(interrupt_in));
  }
  void Stop() {
    wdf->Call<WdfIoTargetStopTableIndex>(WdfUsbTargetPipeAsIoTarget(interrupt_in),
                                         WdfIoTargetCancelSentIo);
  }
  size_t PacketCount() {
    std::lock_guard<std::mutex> guard(observer.lock);
    return observer.packets.size();
  }

  Observer observer;
};

TEST_F(Reader, DeliversEachPacketInOrderOneAtATimeOnOneThread) {
  ASSERT_EQ(Configure(interrupt_in), STATUS_SUCCESS);
  EXPECT_EQ(device.PendingCount(), 0u);  // reads start with the target
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_TRUE(device.WaitPendingReads(0x83, kWdfDefaultNumPendingReads));

  // Feed as fast as reads come back: two are pending, completions may overlap on the device
  // side, the routine must still see them one at a time.
  for (uint8_t tag = 1; tag <= 20; ++tag) {
    while (!device.FeedInterrupt(Packet(tag))) std::this_thread::yield();
  }
  ASSERT_TRUE(observer.WaitFor([&] { return observer.packets.size() == 20; }));
  Stop();
  for (uint8_t tag = 1; tag <= 20; ++tag) {
    ASSERT_EQ(observer.packets[tag - 1].size(), 64u);
    EXPECT_EQ(observer.packets[tag - 1][12], tag);
  }
  EXPECT_EQ(observer.max_running, 1);
  EXPECT_EQ(observer.threads.size(), 1u);
  EXPECT_EQ(observer.threads.count(std::this_thread::get_id()), 0u);
  EXPECT_EQ(device.PendingCount(), 0u);
  EXPECT_TRUE(observer.failures.empty());  // the reads cancelled by the stop are no failure
}

TEST_F(Reader, StopWaitsForTheRunningCompletionAndNoneFollows) {
  ASSERT_EQ(Configure(interrupt_in), STATUS_SUCCESS);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_TRUE(device.WaitPendingReads(0x83, 2));
  {
    std::lock_guard<std::mutex> guard(observer.lock);
    observer.gate_open = false;
  }
  ASSERT_TRUE(device.FeedInterrupt(Packet(1)));
  ASSERT_TRUE(observer.WaitFor([&] { return observer.in_completion; }));

  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    Stop();
    stopped = true;
  });
  // The stop cancels the pending read at once but does not return while the routine runs.
  ASSERT_TRUE(device.WaitPendingReads(0x83, 0));
  EXPECT_EQ(device.CancelCount(), 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(stopped.load());
  {
    std::lock_guard<std::mutex> guard(observer.lock);
    observer.gate_open = true;
    observer.changed.notify_all();
  }
  stopper.join();
  EXPECT_TRUE(stopped.load());
  EXPECT_EQ(PacketCount(), 1u);
  // Nothing is pending and nothing more is delivered.
  EXPECT_EQ(device.PendingCount(), 0u);
  EXPECT_FALSE(device.FeedInterrupt(Packet(2)));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(PacketCount(), 1u);

  // Stop and start bring it back; a second stop is harmless.
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_TRUE(device.WaitPendingReads(0x83, 2));
  ASSERT_TRUE(device.FeedInterrupt(Packet(3)));
  ASSERT_TRUE(observer.WaitFor([&] { return observer.packets.size() == 2; }));
  Stop();
  Stop();
  EXPECT_EQ(device.PendingCount(), 0u);
}

TEST_F(Reader, FailureRoutineRetryResetsThePipeAndReadsAgain) {
  clock::ScopedSpeed fast(1000);
  ASSERT_EQ(Configure(interrupt_in), STATUS_SUCCESS);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_TRUE(device.WaitPendingReads(0x83, 2));
  ASSERT_TRUE(device.FailInterrupt(usb::TransferStatus::kDeviceGone));
  ASSERT_TRUE(observer.WaitFor([&] { return observer.failures.size() == 1; }));
  EXPECT_EQ(observer.failures[0].first, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(observer.failures[0].second, USBD_STATUS_DEVICE_GONE);
  // The other read was cancelled, the pipe reset, then both reads went out again.
  ASSERT_TRUE(device.WaitPendingReads(0x83, 2));
  EXPECT_EQ(device.CancelCount(), 1u);
  EXPECT_EQ(device.Resets(), std::vector<uint8_t>{0x83});
  ASSERT_TRUE(device.FeedInterrupt(Packet(9)));
  ASSERT_TRUE(observer.WaitFor([&] { return observer.packets.size() == 1; }));
  Stop();
  EXPECT_EQ(observer.failures.size(), 1u);
}

TEST_F(Reader, FailureRoutineFalseLeavesTheReaderStoppedUntilStopAndStart) {
  clock::ScopedSpeed fast(1000);
  observer.retry = FALSE;
  ASSERT_EQ(Configure(interrupt_in), STATUS_SUCCESS);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_TRUE(device.WaitPendingReads(0x83, 2));
  ASSERT_TRUE(device.FailInterrupt(usb::TransferStatus::kStall));
  ASSERT_TRUE(observer.WaitFor([&] { return observer.failures.size() == 1; }));
  EXPECT_EQ(observer.failures[0].first, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(observer.failures[0].second, USBD_STATUS_STALL_PID);
  ASSERT_TRUE(device.WaitPendingReads(0x83, 0));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(device.PendingCount(), 0u);
  EXPECT_TRUE(device.Resets().empty());

  // A start of the still started target changes nothing.
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(device.PendingCount(), 0u);
  Stop();
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_TRUE(device.WaitPendingReads(0x83, 2));
  Stop();
}

TEST_F(Reader, DataThatCameBeforeAFailureIsStillDelivered) {
  clock::ScopedSpeed fast(1000);
  observer.retry = FALSE;
  ASSERT_EQ(Configure(interrupt_in, 64, true, 3), STATUS_SUCCESS);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_TRUE(device.WaitPendingReads(0x83, 3));
  // Hold the reader in the first completion; meanwhile one read fails and the next one
  // brings data, so the failure is handled with data queued behind it.
  {
    std::lock_guard<std::mutex> guard(observer.lock);
    observer.gate_open = false;
  }
  ASSERT_TRUE(device.FeedInterrupt(Packet(1)));
  ASSERT_TRUE(observer.WaitFor([&] { return observer.in_completion; }));
  ASSERT_TRUE(device.FailInterrupt(usb::TransferStatus::kError));
  ASSERT_TRUE(device.FeedInterrupt(Packet(2)));
  {
    std::lock_guard<std::mutex> guard(observer.lock);
    observer.gate_open = true;
    observer.changed.notify_all();
  }
  ASSERT_TRUE(observer.WaitFor([&] { return observer.failures.size() == 1; }));
  EXPECT_EQ(observer.failures[0].first, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(observer.failures[0].second, USBD_STATUS_XACT_ERROR);
  ASSERT_EQ(PacketCount(), 2u);
  EXPECT_EQ(observer.packets[1][12], 2);
  Stop();
}

TEST_F(Reader, ConfigurationRules) {
  EXPECT_EQ(Configure(bulk_out), STATUS_INVALID_DEVICE_REQUEST);
  // 32 bytes on a pipe of 64-byte packets needs the packet size check off.
  EXPECT_EQ(Configure(interrupt_in, 32), STATUS_INVALID_BUFFER_SIZE);
  wdf->Call<WdfUsbTargetPipeSetNoMaximumPacketSizeCheckTableIndex>(interrupt_in);
  EXPECT_EQ(Configure(interrupt_in, 32), STATUS_SUCCESS);
  EXPECT_EQ(Configure(interrupt_in), STATUS_INVALID_DEVICE_STATE);  // once per pipe
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_TRUE(device.WaitPendingReads(0x83, 2));
  // A completion longer than asked for is cut to the transfer length.
  ASSERT_TRUE(device.FeedInterrupt(Packet(5)));
  ASSERT_TRUE(observer.WaitFor([&] { return observer.packets.size() == 1; }));
  EXPECT_EQ(observer.packets[0].size(), 32u);
  // Destroying the host with the reader running stops it first (TearDown).
}

TEST_F(Reader, NoFailureRoutineMeansRetry) {
  clock::ScopedSpeed fast(1000);
  ASSERT_EQ(Configure(interrupt_in, 64, false), STATUS_SUCCESS);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  ASSERT_TRUE(device.WaitPendingReads(0x83, 2));
  ASSERT_TRUE(device.FailInterrupt(usb::TransferStatus::kError));
  ASSERT_TRUE(device.WaitPendingReads(0x83, 2));
  EXPECT_EQ(device.Resets().size(), 1u);
  Stop();
}

}  // namespace
}  // namespace vorn::umdf::testing
