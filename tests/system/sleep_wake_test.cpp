// A machine goes to sleep and wakes: the power manager takes every kernel stack (a station on
// its adapter) through the sleep state and back, and the display host, a user-mode stack,
// calls the plug-in's PowerEvent 3 once the kernel stacks have accepted the sleep and before
// any of them leaves D0, and PowerEvent 4 once they are all back. After the wake the station
// runs its tick and worker again, and the desktop's new frames reach the monitor and are
// acknowledged.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/power.h"
#include "tests/station/station_machine.h"
#include "tests/system/sleep_wake_display.h"

namespace vorn::sim {
namespace {

namespace power = kernel::power;
using station::testing::StationMachineTest;

constexpr ULONG kFirst = 0x80;
constexpr int kSteps = 8;
constexpr int kSettleMs = 60000;
constexpr uint32_t kPowerEventStop = 3, kPowerEventRestart = 4;

// What happened around the transition, in order, with the station's tick at that moment.
struct Event {
  std::string what;
  bool tick_running;
  bool operator==(const Event&) const = default;
};
void PrintTo(const Event& e, std::ostream* os) {
  *os << e.what << (e.tick_running ? " (tick running)" : " (tick stopped)");
}

class SleepWakeTest : public StationMachineTest {
 protected:
  void TearDown() override {
    if (listener_) power::RemoveTransitionListener(listener_);
    if (display_) {
      EXPECT_EQ(display_->Close(), STATUS_SUCCESS);
    }
    display_.reset();
    StationMachineTest::TearDown();
  }

  void Record(const char* what, NTSTATUS status) {
    std::lock_guard<std::mutex> guard(lock_);
    events_.push_back({what, station_ && __atomic_load_n(&station_->TimerRunning, __ATOMIC_SEQ_CST) != 0});
    statuses_.push_back(status);
  }

  // The display plug-in's frame lock gives up after 10 s of its clock: slow enough that a
  // conversion under a sanitizer never outlasts it, fast enough for the station's 1.5 s loop.
  clock::ScopedSpeed display_speed_{10};
  chip::Chip station_chip_{chip::MakeProfile({})};
  std::unique_ptr<DisplayRig> display_;
  station::StationExtension* station_ = nullptr;
  int listener_ = 0;
  std::mutex lock_;
  std::vector<Event> events_;
  std::vector<NTSTATUS> statuses_;
};

TEST_F(SleepWakeTest, FramesFlowAgainAfterResumeAndPowerEventsFollowTheSystem) {
  Boot();
  kernel::pnp::DevNode* node = Attach(station_chip_);
  ASSERT_NE(node, nullptr);
  station_ = Ext(node);
  ASSERT_NE(station_, nullptr);
  ASSERT_TRUE(WaitFor([] { return StationDword(kFirst, u"ThdState") == station::kThdServing; }));

  std::string error;
  display_ = DisplayRig::Start(&error);
  ASSERT_NE(display_, nullptr) << error;
  for (int i = 0; i < kSteps; ++i) ASSERT_TRUE(display_->Step());
  ASSERT_TRUE(display_->Settle(kSettleMs));

  DisplayRig* display = display_.get();
  listener_ = power::AddTransitionListener(
      {[&, display](SYSTEM_POWER_STATE) { Record("PowerEvent 3", display->PowerEvent(kPowerEventStop)); },
       [&, display](SYSTEM_POWER_STATE) { Record("PowerEvent 4", display->PowerEvent(kPowerEventRestart)); }});

  const size_t hal = Steps(kFirst, u"HalState").size();
  ASSERT_EQ(power::SetSystemState(PowerSystemSleeping3), STATUS_SUCCESS);
  Record("asleep", STATUS_SUCCESS);
  EXPECT_EQ(station_->DevicePowerState, static_cast<ULONG>(PowerDeviceD2));
  const uint64_t messages_asleep = display_->DisplayMessages();

  ASSERT_EQ(power::SetSystemState(PowerSystemWorking), STATUS_SUCCESS);
  Record("awake", STATUS_SUCCESS);
  // The plug-in stopped before the station's tick and started after it.
  EXPECT_EQ(events_, (std::vector<Event>{{"PowerEvent 3", true},
                                         {"asleep", false},
                                         {"PowerEvent 4", true},
                                         {"awake", true}}));
  EXPECT_EQ(statuses_, std::vector<NTSTATUS>(4, STATUS_SUCCESS));
  std::vector<ULONG> steps = Steps(kFirst, u"HalState");
  EXPECT_EQ(std::vector<ULONG>(steps.begin() + static_cast<std::ptrdiff_t>(hal), steps.end()),
            (std::vector<ULONG>{station::kHalTimerStopped, station::kHalTimerStarting,
                                station::kHalWorkerStarting}));
  EXPECT_TRUE(WaitFor([] { return StationDword(kFirst, u"ThdState") == station::kThdServing; }));

  // The host sets the modes again, the desktop moves on and the monitor follows it.
  ASSERT_TRUE(display_->SetModesAgain());
  for (int i = 0; i < kSteps; ++i) ASSERT_TRUE(display_->Step());
  EXPECT_TRUE(display_->Settle(kSettleMs));
  EXPECT_GT(display_->DisplayMessages(), messages_asleep);
  EXPECT_EQ(display_->DifferingPixels(), 0u);
  EXPECT_EQ(display_->Acks(), display_->DisplayMessages());
  EXPECT_EQ(display_->Violations(), 0u);
  bus_->Detach(station_chip_);
  kernel::pnp::WaitIdle();
}

}  // namespace
}  // namespace vorn::sim
