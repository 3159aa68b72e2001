// A started station on a chip model for the pipe tests: the driver loaded, one adapter
// attached and started, its pipe tables at hand, and the adapter unplugged again before the
// chip goes away. Also the recorder of interrupt waits, each with a buffer of its own.
#pragma once

#include <array>
#include <chrono>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "protocol/interrupt_packet.h"
#include "sim/chip/interrupt_events.h"
#include "sim/chip/station_events.h"
#include "station/pipes/bulk_in_pipe.h"
#include "station/pipes/interrupt_pipe.h"
#include "tests/station/station_machine.h"

namespace vorn::station::testing {

// Waits up to 30 s of real time for |done|.
template <class F>
bool Eventually(F done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return done();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// Every completed interrupt wait, in the order the callbacks ran.
class WaitRecorder {
 public:
  struct Done {
    ULONG request_id;
    ULONG bytes;
    ULONG reserved;
    NTSTATUS status;
    ULONG usbd_status;
    std::array<UCHAR, 64> packet;
    int calls;  // of this wait's callback: exactly once
  };
  struct Wait {
    WaitRecorder* recorder;
    std::array<UCHAR, 64> buffer;
    ULONG request_id = 0;
    int calls = 0;
  };

  // Queues one wait on |channel|; its status.
  NTSTATUS Post(const PipeOps& pipe, ULONG channel) {
    Wait* w;
    {
      std::lock_guard<std::mutex> guard(lock_);
      waits_.push_back(Wait{this, {}, 0, 0});
      w = &waits_.back();
    }
    ULONG id = 0;
    NTSTATUS status = pipe.WaitInterruptMessage(pipe.Object, channel, w->buffer.data(), 64, &id,
                                                Callback, w, this);
    std::lock_guard<std::mutex> guard(lock_);
    w->request_id = id;
    return status;
  }

  std::vector<Done> Completed() const {
    std::lock_guard<std::mutex> guard(lock_);
    return done_;
  }
  size_t Count() const {
    std::lock_guard<std::mutex> guard(lock_);
    return done_.size();
  }

  // Called by each completed wait once recorded; may post again (at DISPATCH_LEVEL).
  std::function<void(const Done&)> on_done;

 private:
  static void Callback(PVOID context, PVOID data, ULONG id, ULONG bytes, ULONG reserved,
                       NTSTATUS status, ULONG usbd) {
    auto* w = static_cast<Wait*>(context);
    auto* self = static_cast<WaitRecorder*>(data);
    Done d;
    {
      std::lock_guard<std::mutex> guard(self->lock_);
      d = Done{id, bytes, reserved, status, usbd, w->buffer, ++w->calls};
      self->done_.push_back(d);
    }
    if (self->on_done) self->on_done(d);
  }

  mutable std::mutex lock_;
  std::deque<Wait> waits_;  // stable addresses
  std::vector<Done> done_;
};

inline ULONG AckOf(const std::array<UCHAR, 64>& packet) {
  return protocol::LoadLe32(packet.data() + offsetof(protocol::INT_IN_PACKET, AckSequence));
}

class PipeMachineTest : public StationMachineTest {
 protected:
  // Boots the driver and starts the station on |chip_|. Parameters and bus options are set
  // before.
  void Start(usb::BusOptions options = {}) {
    Boot();
    bus_ = std::make_unique<usb::UsbBus>(options);
    node_ = Attach(chip_);
    ASSERT_NE(node_, nullptr);
    station_ = Ext(node_);
    ASSERT_NE(station_, nullptr);
    ASSERT_TRUE(StationServesRequests(station_));
    ASSERT_NE(Interrupt().Object, nullptr);
    ASSERT_NE(BulkIn().Object, nullptr);
  }

  void TearDown() override {
    Unplug();
    StationMachineTest::TearDown();
  }

  // The adapter leaves the bus; the station is surprise-removed and its pipes destroyed.
  void Unplug() {
    if (bus_ && node_) {
      bus_->Detach(chip_);
      kernel::pnp::WaitIdle();
    }
    node_ = nullptr;
    station_ = nullptr;
  }

  const PipeOps& Interrupt() const { return station_->Pipes[kInterruptPipe]; }
  const PipeOps& BulkIn() const { return station_->Pipes[kBulkInPipe]; }

  InterruptPipeCounters InterruptCounters() const {
    InterruptPipeCounters c{};
    EXPECT_EQ(QueryInterruptPipeCounters(Interrupt().Object, &c), STATUS_SUCCESS);
    return c;
  }
  BulkInPipeCounters BulkInCounters() const {
    BulkInPipeCounters c{};
    EXPECT_EQ(QueryBulkInPipeCounters(BulkIn().Object, &c), STATUS_SUCCESS);
    return c;
  }
  // Waits until the interrupt pipe has taken |n| reads in all (whole or short).
  bool InterruptReadsReach(ULONG n) {
    return Eventually([&] {
      InterruptPipeCounters c = InterruptCounters();
      return c.Packets + c.ShortReads >= n;
    });
  }

  // Declared before the station goes, so that the waits flushed at its removal are recorded.
  WaitRecorder display_waits_;
  WaitRecorder system_waits_;
  chip::Chip chip_{chip::MakeProfile({})};
  kernel::pnp::DevNode* node_ = nullptr;
  StationExtension* station_ = nullptr;
};

}  // namespace vorn::station::testing
