// The whole station road: a station started over the chip model makes its display child, the
// PnP manager binds the host's upper driver to it by its hardware id, the display host opens
// the plug-in on the child's USB device, and a desktop in RGB reaches the monitor through the
// station's bulk-OUT pipe while the acknowledgements come back through its interrupt pipe. A
// stopped station ends the plug-in's interrupt reads with the status on which its reader stops;
// started again, it makes a new display child for the host to open the plug-in on; an adapter
// that leaves mid-frame ends every transfer of the plug-in once.
#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "platform/usb/bus/child_usb_device.h"
#include "station/bus/display_child_module.h"
#include "tests/station/station_machine.h"
#include "tests/system/station_road_display.h"

namespace vorn::station::testing {
namespace {

constexpr char16_t kDisplayChildId[] = u"USB\\VID_1D5C&PID_2000";
const ULONG kTagChildUrb = PoolTag("cUrb");

class StationRoadTest : public StationMachineTest {
 protected:
  void TearDown() override {
    bus_.reset();
    kernel::pnp::WaitIdle();
    kernel::WaitWorkIdle();
    upper_.reset();
    EXPECT_EQ(kernel::pool::Outstanding(kTagDisplayChild).blocks, 0);
    EXPECT_EQ(kernel::pool::Outstanding(kTagChildUrb).blocks, 0);
    StationMachineTest::TearDown();
  }

  // The chip with its display function, the plug-in loaded, the station driver booted and the
  // host's upper driver registered for the display child; then the adapter is attached.
  void Road() {
    ULONG support = 1;
    SetParameter(u"SupportPDOs", REG_DWORD, &support, 4);
    chip_ = std::make_unique<chip::Chip>(sim::RoadProfile());
    chip_->UseStationBulkOut(true);
    chip_->functions().SetFunction(0, 0x1D5C, 0x2000, u"Display");
    std::string error;
    display_ = sim::RoadDisplay::Make(*chip_, &error);
    ASSERT_NE(display_, nullptr) << error;
    Boot();
    upper_ = std::make_unique<usb::ChildUsbDriver>(
        u"vornhostupper", kDisplayChildId,
        [&](usb::ChildUsbDevice* d) {
          std::lock_guard<std::mutex> guard(lock_);
          child_ = d;
          ++arrivals_;
        },
        [&](usb::ChildUsbDevice*) {
          // The child goes: the host drops its adapter (closing it if still open) first.
          display_->Drop();
          std::lock_guard<std::mutex> guard(lock_);
          child_ = nullptr;
          ++leavings_;
        });
    ASSERT_NE(upper_->driver(), nullptr);
    node_ = Attach(*chip_);
    ASSERT_NE(node_, nullptr);
  }

  // Waits until the host's driver has been handed the child's device |arrival| times, then
  // the host opens the plug-in on it.
  void BindWhenHanded(int arrival) {
    ASSERT_TRUE(WaitFor([&] {
      std::lock_guard<std::mutex> guard(lock_);
      return child_ != nullptr && arrivals_ == arrival;
    })) << "the host's driver is bound to the display child and handed its device";
    usb::ChildUsbDevice* device;
    {
      std::lock_guard<std::mutex> guard(lock_);
      device = child_;
    }
    std::string error;
    ASSERT_TRUE(display_->Bind(device, &error)) << error;
  }

  // A further desktop reaches the monitor, every frame acknowledged through the interrupt
  // pipe to the plug-in's reads.
  void DesktopReachesTheMonitor() {
    const uint64_t packets = display_->InterruptPackets();
    const size_t slices = chip_->station_bulk_out().Completed(0);
    ASSERT_TRUE(display_->Present(3));
    EXPECT_TRUE(WaitFor([&] { return display_->CaughtUp(); }))
        << "the monitor shows the desktop, every frame acknowledged; acknowledged "
        << chip_->frames().AckedSequences().size() << ", pending " << chip_->frames().PendingAcks()
        << ", messages on channel 0 " << chip_->station_bulk_out().Completed(0);
    EXPECT_GT(chip_->station_bulk_out().Completed(0), slices);
    EXPECT_GT(display_->BulkOutTransfers(), 0u);
    EXPECT_FALSE(chip_->frames().AckedSequences().empty());
    EXPECT_TRUE(WaitFor([&] { return display_->InterruptPackets() > packets; }));
    for (const std::string& m : chip_->violations().Messages()) ADD_FAILURE() << "chip: " << m;
  }

  int Arrivals() {
    std::lock_guard<std::mutex> guard(lock_);
    return arrivals_;
  }
  int Leavings() {
    std::lock_guard<std::mutex> guard(lock_);
    return leavings_;
  }

  std::unique_ptr<chip::Chip> chip_;
  std::unique_ptr<sim::RoadDisplay> display_;
  std::unique_ptr<usb::ChildUsbDriver> upper_;
  kernel::pnp::DevNode* node_ = nullptr;
  std::mutex lock_;
  usb::ChildUsbDevice* child_ = nullptr;
  int arrivals_ = 0, leavings_ = 0;
};

TEST_F(StationRoadTest, DesktopInRgbReachesTheMonitorAndTheReaderStopsWhileTheStationIsStopped) {
  ASSERT_NO_FATAL_FAILURE(Road());
  ASSERT_NO_FATAL_FAILURE(BindWhenHanded(1));
  ASSERT_NO_FATAL_FAILURE(DesktopReachesTheMonitor());

  // While the station is stopped the child ends the plug-in's interrupt read with the one
  // status on which its reader stops.
  ASSERT_EQ(kernel::pnp::Stop(node_), STATUS_SUCCESS);
  EXPECT_TRUE(WaitFor([&] { return display_->LastInterruptStatus() == STATUS_INVALID_DEVICE_STATE; }));
  EXPECT_TRUE(display_->Bound());

  EXPECT_EQ(display_->Close(), STATUS_SUCCESS);
  EXPECT_EQ(kernel::pnp::Remove(node_), STATUS_SUCCESS);
  kernel::pnp::WaitIdle();
  std::lock_guard<std::mutex> guard(lock_);
  EXPECT_EQ(arrivals_, 1);
  EXPECT_EQ(leavings_, 1);
  EXPECT_EQ(child_, nullptr);
}

TEST_F(StationRoadTest, AfterAStopAndStartTheDisplayChildComesBackAndThePluginRunsOnIt) {
  ASSERT_NO_FATAL_FAILURE(Road());
  ASSERT_NO_FATAL_FAILURE(BindWhenHanded(1));
  ASSERT_NO_FATAL_FAILURE(DesktopReachesTheMonitor());

  ASSERT_EQ(kernel::pnp::Stop(node_), STATUS_SUCCESS);
  EXPECT_TRUE(WaitFor([&] { return display_->LastInterruptStatus() == STATUS_INVALID_DEVICE_STATE; }))
      << "the reader stops while the station is stopped";
  EXPECT_TRUE(display_->Bound());
  EXPECT_EQ(Leavings(), 0) << "the child stays until the station starts again";

  // Started again, the station reports its old child no more: the host lets go of the
  // adapter on it, the system removes it, and the station makes a new display child, to
  // which the host's driver is bound and handed a device again.
  ASSERT_EQ(kernel::pnp::Start(node_), STATUS_SUCCESS);
  ASSERT_NO_FATAL_FAILURE(BindWhenHanded(2));
  EXPECT_EQ(Leavings(), 1);
  EXPECT_EQ(kernel::pool::Outstanding(kTagDisplayChild).blocks, 4)
      << "one display child's object, descriptors and interface list";
  // The plug-in opened on the new child reads its interrupt pipe again.
  ASSERT_NO_FATAL_FAILURE(DesktopReachesTheMonitor());

  EXPECT_EQ(display_->Close(), STATUS_SUCCESS);
  EXPECT_EQ(kernel::pnp::Remove(node_), STATUS_SUCCESS);
  kernel::pnp::WaitIdle();
  std::lock_guard<std::mutex> guard(lock_);
  EXPECT_EQ(arrivals_, 2);
  EXPECT_EQ(leavings_, 2);
  EXPECT_EQ(child_, nullptr);
}

TEST_F(StationRoadTest, TheAdapterLeavingMidFrameEndsEveryTransferOnceAndThePluginStopsCleanly) {
  ASSERT_NO_FATAL_FAILURE(Road());
  ASSERT_NO_FATAL_FAILURE(BindWhenHanded(1));
  ASSERT_NO_FATAL_FAILURE(DesktopReachesTheMonitor());

  // The chip keeps the next frame's data on the wire; no stand-in time-out may end it first.
  clock::ScopedSpeed real_time(1);
  const size_t held = chip_->HeldTransfers();
  chip_->script().OnEndpoint(0x02, {chip::ScriptKind::kTimeOut, 1, 0});
  ASSERT_TRUE(display_->Present(1));
  ASSERT_TRUE(WaitFor([&] { return chip_->HeldTransfers() > held; })) << "a frame is on the wire";

  // The adapter leaves the bus: the frame's transfer fails with the device gone, the host
  // lets go of the adapter and the plug-in closes with nothing of it left on the child.
  chip_->Unplug();
  bus_->Detach(*chip_);
  ASSERT_TRUE(WaitFor([&] { return Leavings() == 1; })) << "the host let go of the adapter";
  EXPECT_FALSE(display_->Bound());
  const auto [submitted, ended] = display_->TransfersSubmittedAndEnded();
  EXPECT_EQ(submitted, ended) << "every transfer of the plug-in ended";
  const std::vector<int32_t> failed = display_->FailedOutStatuses();
  ASSERT_FALSE(failed.empty()) << "the frame on the wire did not go";
  EXPECT_EQ(failed.front(), STATUS_DEVICE_NOT_CONNECTED) << std::hex << failed.front();
  kernel::pnp::WaitIdle();
  std::lock_guard<std::mutex> guard(lock_);
  EXPECT_EQ(arrivals_, 1);
  EXPECT_EQ(child_, nullptr);
}

}  // namespace
}  // namespace vorn::station::testing
