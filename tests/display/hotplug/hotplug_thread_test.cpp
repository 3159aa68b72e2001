// The hot-plug thread on the chip model and the display host: monitors plugged, unplugged and
// bouncing while the adapter runs, followed through the interrupt reader's announcement, the
// once-a-second status polls and the host's AcquireDisplay and ReleaseDisplay.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "display/hotplug/hotplug.h"
#include "platform/win32/synch.h"
#include "protocol/capability_block.h"
#include "protocol/vendor_request.h"
#include "sim/chip/edid_blob.h"
#include "sim/chip/monitor_plug.h"
#include "tests/display/display_fixture.h"

namespace vorn::display::testing {
namespace {

constexpr int64_t kSecondNs = 1'000'000'000;

class HotplugTest : public DisplayTest {
 protected:
  host::Adapter& Started(chip::ChipProfile profile) {
    chip_ = &AddChip(std::move(profile));
    adapter_ = &AddAdapter(*chip_);
    EXPECT_TRUE(adapter_->Open());
    EXPECT_EQ(adapter_->Start(), STATUS_SUCCESS);
    return *adapter_;
  }
  SorvikDevice* Device() { return adapter_->handle(); }
  ViewContext* View(int i) { return &Device()->Views[i]; }
  // Monitor-status requests of |view| the chip answered so far.
  uint32_t StatusReads(int view) const { return chip_->monitor_flaps().Requests(view); }
  // Waits (in real time) until |view| has answered |n| status requests.
  bool WaitForReads(int view, uint32_t n) {
    return Eventually([&] { return StatusReads(view) >= n; });
  }
  // The host's records of |view|, in the order of the acquires.
  std::vector<host::DisplayRecord> Records(int view) const {
    std::vector<host::DisplayRecord> out;
    for (const host::DisplayRecord& r : adapter_->Displays())
      if (r.live == &adapter_->handle()->Views[view].Display) out.push_back(r);
    return out;
  }
  // Stops the thread through the host (PowerEvent 3): once it returns, whatever the thread
  // did is finished and can be read.
  void StopThreads() { ASSERT_EQ(adapter_->PowerEvent(kPowerEventStop), STATUS_SUCCESS); }

  chip::Chip* chip_ = nullptr;
  host::Adapter* adapter_ = nullptr;
};

// One monitor change of view 1 on a two-view adapter whose view 0 stays as it is.
struct ChangeCase {
  const char* name;
  bool detect;                    // monitor detection of the view
  bool before;                    // monitor connected at Start
  bool after;                     // and after the change
  std::vector<uint8_t> bounces;   // readings the connector gives first (empty: none)
  uint32_t thread_reads;          // status requests of the thread until the view settles
  size_t acquires;                // AcquireDisplay calls for the view in all
  bool held;                      // the host holds the view at the end
};

void PrintTo(const ChangeCase& c, std::ostream* os) { *os << c.name; }

const ChangeCase kChanges[] = {
    // Read at the announcement and at three one-second polls, then handed over.
    {"PlugAcquires", true, false, true, {}, 4, 1, true},
    {"UnplugReleases", true, true, false, {}, 4, 1, false},
    // A reading that flips in between starts the count again from that reading.
    {"BouncingPlugAcquiresOnceSettled", true, false, true, {1, 1, 0, 1, 1, 1}, 7, 1, true},
    {"BouncingUnplugReleasesOnceSettled", true, true, false, {0, 1, 1, 0, 0}, 7, 1, false},
    // Without detection only the connected flag follows the monitor: the view was acquired
    // at Start whatever its monitor, and it is never released.
    {"PlugWithDetectionOffOnlySetsTheFlag", false, false, true, {}, 4, 1, true},
    {"UnplugWithDetectionOffNeverReleases", false, true, false, {}, 4, 1, true},
};

class HotplugChangeTest : public HotplugTest, public ::testing::WithParamInterface<ChangeCase> {};

TEST_P(HotplugChangeTest, ViewSettlesAfterFourEqualReadings) {
  const ChangeCase& c = GetParam();
  chip::ChipProfile p = chip::MakeProfile({.views = 2});
  p.monitors[1].connected = c.before;
  if (!c.detect) p.capability_flags &= ~protocol::kCapDetectView1;
  Started(p);
  ASSERT_EQ(View(1)->DetectEnabled, c.detect ? 1 : 0);
  ASSERT_EQ(Records(1).size(), c.before || !c.detect ? 1u : 0u);
  const std::vector<uint8_t> edid = chip::MakeEdid("Swapped", {.width = 1680, .height = 1050});

  const uint32_t reads0 = StatusReads(0), reads1 = StatusReads(1);
  const int64_t announced = clock::NowNs();
  if (!c.bounces.empty())
    chip::FlapMonitor(*chip_, 1, c.bounces, c.after, edid);
  else if (c.after)
    chip::PlugMonitor(*chip_, 1, edid);
  else
    chip::UnplugMonitor(*chip_, 1);

  ASSERT_TRUE(WaitForReads(1, reads1 + c.thread_reads));
  // An acquire reads the status once more itself.
  const bool acquires_now = c.detect && c.after && !c.before;
  if (acquires_now) {
    ASSERT_TRUE(WaitForReads(1, reads1 + c.thread_reads + 1));
  }
  StopThreads();

  EXPECT_EQ(StatusReads(1), reads1 + c.thread_reads + (acquires_now ? 1 : 0));
  // View 0 saw the announcement as well, settled after four readings and was left alone.
  EXPECT_EQ(StatusReads(0), reads0 + 4);
  EXPECT_EQ(chip_->monitor_flaps().Left(1), 0u);
  EXPECT_EQ(View(1)->Connected, c.after ? 1 : 0);
  const auto records = Records(1);
  ASSERT_EQ(records.size(), c.acquires);
  EXPECT_EQ(adapter_->HeldDisplays(), (c.held ? 1u : 0u) + 1u);
  EXPECT_EQ(View(1)->hDisplayContext != 0, c.held);
  const int64_t least = (c.thread_reads - 1) * kSecondNs;  // one poll a second after the first
  if (acquires_now) {
    const host::DisplayRecord& r = records.back();
    EXPECT_GE(r.acquired_ns - announced, least);
    ASSERT_EQ(r.block.EdidSize, edid.size());
    EXPECT_EQ(std::memcmp(r.block.EdidBuffer, edid.data(), edid.size()), 0);
    EXPECT_EQ(r.block.ViewIndex, 1u);
  }
  if (c.before && !c.held) {
    ASSERT_TRUE(records.back().released);
    EXPECT_GE(records.back().released_ns - announced, least);
  } else {
    EXPECT_FALSE(records.empty() ? false : records.back().released);
  }
  EXPECT_FALSE(Records(0).back().released);
  EXPECT_EQ(chip_->violations().Count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Changes, HotplugChangeTest, ::testing::ValuesIn(kChanges),
                         [](const auto& info) { return std::string(info.param.name); });

// A connector that bounces for as long as the test wants: readings alternating 1, 0, ...
std::vector<uint8_t> EndlessBounce() {
  std::vector<uint8_t> r(200000);
  for (size_t i = 0; i < r.size(); ++i) r[i] = i % 2 ? 0 : 1;
  return r;
}

TEST_F(HotplugTest, AnnouncementWhilePollingRestartsEverySettledView) {
  Started(chip::MakeProfile({.views = 2}));
  const uint32_t reads1 = StatusReads(1);
  // View 0 bounces and keeps the thread polling; view 1 settles after four readings and is
  // then skipped by the polls.
  chip::FlapMonitor(*chip_, 0, EndlessBounce(), true);
  ASSERT_TRUE(WaitForReads(1, reads1 + 4));
  const uint32_t before = StatusReads(0);
  ASSERT_TRUE(WaitForReads(0, before + 6));
  EXPECT_EQ(StatusReads(1), reads1 + 4);

  // A second announcement: view 1 starts again at 1 and is read until it settles again.
  chip_->RaiseMonitorChange(1, true);
  ASSERT_TRUE(WaitForReads(1, reads1 + 7));
  const uint32_t later = StatusReads(0);
  ASSERT_TRUE(WaitForReads(0, later + 6));
  StopThreads();
  EXPECT_EQ(StatusReads(1), reads1 + 7);
  EXPECT_GT(chip_->monitor_flaps().Left(0), 0u);
  // A bouncing monitor is never settled: nothing was released or acquired.
  EXPECT_EQ(adapter_->Displays().size(), 2u);
  EXPECT_EQ(adapter_->HeldDisplays(), 2u);
}

// Stopping the device or closing it while the thread polls ends the thread at its next wait.
class HotplugStopTest : public HotplugTest, public ::testing::WithParamInterface<bool> {};

TEST_P(HotplugStopTest, StopWhilePollingEndsTheThread) {
  const bool close = GetParam();
  Started(chip::MakeProfile({.views = 2}));
  const uint32_t base = StatusReads(0);
  chip::FlapMonitor(*chip_, 0, EndlessBounce(), false);
  ASSERT_TRUE(WaitForReads(0, base + 3));
  const SorvikDevice* d = Device();
  EXPECT_TRUE(d->HotplugThread.Running);
  if (close) {
    ASSERT_EQ(adapter_->Close(), STATUS_SUCCESS);
  } else {
    StopThreads();
    EXPECT_FALSE(d->HotplugThread.Running);
    EXPECT_EQ(d->HotplugThread.Thread, nullptr);
  }
  // The thread ended in the middle of the bounces, having settled nothing.
  EXPECT_GT(chip_->monitor_flaps().Left(0), 0u);
  EXPECT_EQ(adapter_->Displays().size(), 2u);
  for (const host::DisplayRecord& r : adapter_->Displays()) EXPECT_FALSE(r.released);
}

INSTANTIATE_TEST_SUITE_P(Stops, HotplugStopTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Close" : "PowerEventStop"; });

TEST_F(HotplugTest, OnlyViewOnePresentIsFollowedAndViewZeroNeverRead) {
  chip::ChipProfile p = chip::MakeProfile({.views = 2});
  p.view_descriptor[0] = 0;
  p.monitors[0] = {};
  Started(p);
  ASSERT_EQ(Device()->ViewCount, 1);
  ASSERT_EQ(Records(1).size(), 1u);

  uint32_t reads = StatusReads(1);
  chip::UnplugMonitor(*chip_, 1);
  ASSERT_TRUE(Eventually([&] { return Records(1).back().released; }));
  EXPECT_EQ(adapter_->HeldDisplays(), 0u);
  ASSERT_TRUE(WaitForReads(1, reads + 4));

  // Another monitor comes to the same output: a second hand-over with its EDID.
  const std::vector<uint8_t> edid = chip::MakeEdid("Second", {.width = 1280, .height = 1024});
  reads = StatusReads(1);
  chip::PlugMonitor(*chip_, 1, edid);
  ASSERT_TRUE(Eventually([&] { return adapter_->HeldDisplays() == 1; }));
  StopThreads();
  EXPECT_EQ(StatusReads(1), reads + 5);
  const auto records = Records(1);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].block.ViewCount, 1u);
  EXPECT_EQ(records[1].block.ViewIndex, 0u);
  ASSERT_EQ(records[1].block.EdidSize, edid.size());
  EXPECT_EQ(std::memcmp(records[1].block.EdidBuffer, edid.data(), edid.size()), 0);
  EXPECT_EQ(StatusReads(0), 0u);
  for (const chip::LoggedRequest& r : chip_->log().VendorRequests())
    if (r.setup.bRequest == protocol::ReqMonitorStatus) {
      EXPECT_EQ(r.setup.wValue, 1);
    }
}

TEST_F(HotplugTest, FailedStatusRequestsAreNoReadings) {
  Started(chip::MakeProfile({.views = 2}));
  const uint32_t reads0 = StatusReads(0);
  // The first eight requests (four of each view) fail; the monitors stay connected.
  chip_->script().OnRequest(protocol::ReqMonitorStatus, {chip::ScriptKind::kFail, 8});
  chip_->RaiseMonitorChange(0, true);
  ASSERT_TRUE(WaitForReads(0, reads0 + 4));
  StopThreads();
  EXPECT_EQ(chip_->log().CountVendor(protocol::ReqMonitorStatus) >= 8u, true);
  // Four failures are not four readings of "no monitor": the view stays with the host.
  EXPECT_EQ(View(0)->Connected, 1);
  EXPECT_EQ(adapter_->HeldDisplays(), 2u);
  for (const host::DisplayRecord& r : adapter_->Displays()) EXPECT_FALSE(r.released);
}

TEST_F(HotplugTest, AnnouncementWhileTheThreadWasStoppedIsFollowedAtItsStart) {
  Started(chip::MakeProfile({.views = 1}));
  SorvikDevice* d = Device();
  StopHotplug(d);
  // The monitor went while no thread ran; the reader's announcement is waiting.
  chip_->SetMonitor(0, false);
  SetEvent(d->MonitorStatusEvent);
  const uint32_t reads = StatusReads(0);
  ASSERT_EQ(StartHotplug(d), STATUS_SUCCESS);
  ASSERT_TRUE(WaitForReads(0, reads + 4));
  StopThreads();
  EXPECT_TRUE(Records(0).back().released);
  EXPECT_EQ(View(0)->Connected, 0);
}

TEST_F(HotplugTest, StartsAreIdempotentIpModeRunsNoThreadAndAFailedStartCanBeRepeated) {
  Started(chip::MakeProfile({.views = 1}));
  SorvikDevice* d = Device();
  HANDLE thread = d->HotplugThread.Thread;
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(StartHotplug(d), STATUS_SUCCESS);
  EXPECT_EQ(d->HotplugThread.Thread, thread);
  StopHotplug(d);
  StopHotplug(d);
  EXPECT_EQ(d->HotplugThread.Thread, nullptr);

  d->IpMode = 1;
  EXPECT_EQ(StartHotplug(d), STATUS_SUCCESS);
  EXPECT_FALSE(d->HotplugThread.Running);
  EXPECT_EQ(d->HotplugThread.Thread, nullptr);
  d->IpMode = 0;

  // A thread that cannot be created leaves the flag clear, so that a later start tries again.
  win32::FailCalls(win32::Fault::kCreateThread, 0, 1);
  EXPECT_EQ(StartHotplug(d), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(d->HotplugThread.Running);
  EXPECT_EQ(d->HotplugThread.Thread, nullptr);
  win32::ClearFaults();
  ASSERT_EQ(StartHotplug(d), STATUS_SUCCESS);
  EXPECT_TRUE(d->HotplugThread.Running);
  // And that thread follows the monitor.
  const uint32_t reads = StatusReads(0);
  chip::UnplugMonitor(*chip_, 0);
  ASSERT_TRUE(WaitForReads(0, reads + 4));
  StopThreads();
  EXPECT_TRUE(Records(0).back().released);
}

}  // namespace
}  // namespace vorn::display::testing
