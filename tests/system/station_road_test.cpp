// The whole station road: a station started over the chip model makes its display child, the
// PnP manager binds the host's upper driver to it by its hardware id, the display host opens
// the plug-in on the child's USB device, and a desktop in RGB reaches the monitor through the
// station's bulk-OUT pipe while the acknowledgements come back through its interrupt pipe.
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

  std::unique_ptr<usb::ChildUsbDriver> upper_;
};

TEST_F(StationRoadTest, DesktopInRgbReachesTheMonitorAndTheReaderStopsWhileTheStationIsStopped) {
  ULONG support = 1;
  SetParameter(u"SupportPDOs", REG_DWORD, &support, 4);
  chip::Chip chip(sim::RoadProfile());
  chip.UseStationBulkOut(true);
  chip.functions().SetFunction(0, 0x1D5C, 0x2000, u"Display");
  std::string error;
  std::unique_ptr<sim::RoadDisplay> display = sim::RoadDisplay::Make(chip, &error);
  ASSERT_NE(display, nullptr) << error;
  Boot();

  std::mutex lock;
  usb::ChildUsbDevice* child = nullptr;
  int arrivals = 0, leavings = 0;
  upper_ = std::make_unique<usb::ChildUsbDriver>(
      u"vornhostupper", kDisplayChildId,
      [&](usb::ChildUsbDevice* d) {
        std::lock_guard<std::mutex> guard(lock);
        child = d;
        ++arrivals;
      },
      [&](usb::ChildUsbDevice*) {
        // The child goes: the host drops its adapter (closing it if still open) first.
        display->Drop();
        std::lock_guard<std::mutex> guard(lock);
        child = nullptr;
        ++leavings;
      });
  ASSERT_NE(upper_->driver(), nullptr);

  kernel::pnp::DevNode* node = Attach(chip);
  ASSERT_NE(node, nullptr);
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> guard(lock);
    return child != nullptr;
  })) << "the host's driver is bound to the display child and handed its device";
  usb::ChildUsbDevice* device;
  {
    std::lock_guard<std::mutex> guard(lock);
    device = child;
  }
  ASSERT_TRUE(display->Bind(device, &error)) << error;
  ASSERT_TRUE(display->Present(3));
  EXPECT_TRUE(WaitFor([&] { return display->CaughtUp(); }))
      << "the monitor shows the desktop, every frame acknowledged";
  // The frames went as the station's slices on channel 0, and the acknowledgements came up
  // through the station's interrupt pipe to the plug-in's reads on the child.
  EXPECT_GT(chip.station_bulk_out().Completed(0), 0u);
  EXPECT_GT(display->BulkOutTransfers(), 0u);
  EXPECT_FALSE(chip.frames().AckedSequences().empty());
  EXPECT_TRUE(WaitFor([&] { return display->InterruptPackets() > 0; }));
  EXPECT_TRUE(chip.violations().Messages().empty());

  // While the station is stopped the child ends the plug-in's interrupt read with the one
  // status on which its reader stops.
  ASSERT_EQ(kernel::pnp::Stop(node), STATUS_SUCCESS);
  EXPECT_TRUE(WaitFor([&] { return display->LastInterruptStatus() == STATUS_INVALID_DEVICE_STATE; }));
  EXPECT_TRUE(display->Bound());

  EXPECT_EQ(display->Close(), STATUS_SUCCESS);
  EXPECT_EQ(kernel::pnp::Remove(node), STATUS_SUCCESS);
  kernel::pnp::WaitIdle();
  std::lock_guard<std::mutex> guard(lock);
  EXPECT_EQ(arrivals, 1);
  EXPECT_EQ(leavings, 1);
  EXPECT_EQ(child, nullptr);
}

}  // namespace
}  // namespace vorn::station::testing
