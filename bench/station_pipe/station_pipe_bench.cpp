// The station's bulk-OUT pipe measured alone: 1920 x 1080 frame messages (24-bit RGB, the
// largest raw frame the plug-in sends) written by a producer that keeps a few requests in
// flight, through the kernel stand-in and the bus to an adapter that takes every bulk OUT
// byte at once (it reads them into a buffer of its own and looks no further). The pipe itself
// copies no payload, so the ratio to one copy shows its cost on top of the one read the link
// makes anyway. Prints, per way of slicing, the pipe's bytes per second
// and
//   ratio <case> <pipe time per frame / one memory copy of the frame>
// The pipe must never be what limits a USB 3 link (about 400 MB/s): the goal is 1 GB/s.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/kernel/registry.h"
#include "platform/kernel/wdm.h"
#include "platform/usb/bus/usb_bus.h"
#include "protocol/bus_message.h"
#include "sim/chip/chip.h"
#include "station/driver_entry.h"
#include "station/driver_globals.h"
#include "station/station_extension.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace vorn;

constexpr uint8_t kBulkOut = 0x02;
constexpr uint32_t kFramePayload = 48 + 1920u * 1080u * 3u;  // descriptor, then the pixels
constexpr int kInFlight = 4;

// The adapter as the bus sees it; bulk OUT transfers are taken whole: their bytes are read
// into the device's own buffer (as the link would read them from memory) and counted. All the
// rest goes to the chip model.
class ByteSink : public usb::UsbDevice {
 public:
  explicit ByteSink(chip::Chip& chip) : chip_(chip) {}
  void Submit(usb::Transfer& t) override {
    if (t.endpoint != kBulkOut) return chip_.Submit(t);
    bytes_ += t.length;
    if (t.length > scratch_.size()) scratch_.resize(t.length);
    std::memcpy(scratch_.data(), t.buffer, t.length);  // one transfer at a time
    t.actual = t.length;
    t.status = usb::TransferStatus::kSuccess;
    t.complete(t);
  }
  bool Cancel(usb::Transfer& t) override { return chip_.Cancel(t); }
  void ResetEndpoint(uint8_t endpoint) override { chip_.ResetEndpoint(endpoint); }
  bool Connected() const override { return chip_.Connected(); }
  uint64_t Bytes() const { return bytes_; }

 private:
  chip::Chip& chip_;
  std::atomic<uint64_t> bytes_{0};
  std::vector<uint8_t> scratch_;
};

struct Window {
  std::mutex lock;
  std::condition_variable cv;
  int in_flight = 0;
  int failed = 0;
  static void Done(PVOID context, IRP*, ULONG, ULONG, ULONG, NTSTATUS status, ULONG) {
    auto* w = static_cast<Window*>(context);
    std::lock_guard<std::mutex> guard(w->lock);
    --w->in_flight;
    if (status != STATUS_SUCCESS) ++w->failed;
    w->cv.notify_all();
  }
};

double CopySeconds(size_t n) {
  std::vector<uint8_t> a(n, 1), b(n, 2);
  double best = 1e9;
  for (int i = 0; i < 30; ++i) {
    const auto t0 = Clock::now();
    std::memcpy(b.data(), a.data(), n);
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
    a[i] = b[n - 1 - i];  // keeps the copies from being dropped
  }
  return best;
}

struct Case {
  const char* name;
  bool usb3;
  ULONG active_functions;  // 1: whole messages; otherwise sliced by the channel's slice size
};

void Run(const Case& c, double copy) {
  kernel::registry::Reset();
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  DRIVER_OBJECT* driver = kernel::LoadDriver(u"hollin", DriverEntry, &status);
  if (!driver) {
    std::printf("%s: driver did not load (0x%08X)\n", c.name, static_cast<unsigned>(status));
    return;
  }
  kernel::pnp::RegisterDriver(u"USB\\VID_3A5C&PID_0101", driver);
  chip::ProfileOptions options;
  options.usb3 = c.usb3;
  auto chip = std::make_unique<chip::Chip>(chip::MakeProfile(options));
  auto sink = std::make_unique<ByteSink>(*chip);
  auto bus = std::make_unique<usb::UsbBus>();
  DEVICE_OBJECT* pdo = bus->Attach(*sink);
  kernel::pnp::WaitIdle();
  DEVICE_OBJECT* top = pdo ? kernel::pnp::Top(kernel::pnp::FindNode(pdo)) : nullptr;
  if (!top || !station::IsStationDevice(top)) {
    std::printf("%s: station did not start\n", c.name);
  } else {
    station::StationExtension* st = station::Station(top);
    __atomic_store_n(&st->ActiveFunctionCount, c.active_functions, __ATOMIC_SEQ_CST);
    station::PipeOps ops = st->Pipes[station::kBulkOutPipe];
    std::vector<uint8_t> frame(kFramePayload, 0x5A);
    protocol::BusMessageHeader h{};
    h.Type = 0;
    h.TotalLength = kFramePayload;
    h.Slice.SliceLength = kFramePayload;
    Window w;
    auto send = [&](int frames) {
      for (int i = 0; i < frames; ++i) {
        {
          std::unique_lock<std::mutex> guard(w.lock);
          w.cv.wait(guard, [&] { return w.in_flight < kInFlight; });
          ++w.in_flight;
        }
        ULONG id = 0;
        if (ops.WriteAsync(ops.Object, &h, 32, frame.data(), kFramePayload, &id, Window::Done,
                           &w, nullptr) != STATUS_PENDING) {
          std::lock_guard<std::mutex> guard(w.lock);
          --w.in_flight;
          ++w.failed;
        }
      }
      std::unique_lock<std::mutex> guard(w.lock);
      w.cv.wait(guard, [&] { return w.in_flight == 0; });
    };
    send(20);  // warm-up: descriptors allocated, caches warm
    const uint64_t before = sink->Bytes();
    double best = 1e9;
    constexpr int kFrames = 100;
    for (int round = 0; round < 5; ++round) {
      const auto t0 = Clock::now();
      send(kFrames);
      best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count() / kFrames);
    }
    // Every byte of every frame (and its slice headers) reached the device.
    const double per_frame = static_cast<double>(sink->Bytes() - before) / (5 * kFrames);
    std::printf("%s: %.0f MB/s through the pipe (%.3f ms per frame, %.0f bytes on the wire per "
                "frame of %u, %d failed)\n",
                c.name, kFramePayload / best / 1e6, best * 1e3, per_frame, kFramePayload, w.failed);
    std::printf("ratio %s %.3f\n", c.name, best / copy);
  }
  bus.reset();
  kernel::pnp::WaitIdle();
  kernel::WaitWorkIdle();
  kernel::pnp::UnregisterDriver(driver);
  kernel::UnloadDriver(driver);
}

}  // namespace

int main() {
  const double copy = CopySeconds(kFramePayload);
  std::printf("memory copy of one frame message: %.3f ms (%.0f MB/s)\n", copy * 1e3,
              kFramePayload / copy / 1e6);
  const Case cases[] = {
      {"usb3_whole_messages", true, 1},
      {"usb3_slices_102400", true, 2},
      {"usb2_slices_25600", false, 2},
  };
  for (const Case& c : cases) Run(c, copy);
  return 0;
}
