// The display child as a USB device for a host above it: transfers become URBs on the
// child's stack, and end with the child's own statuses, which the host's status mapping
// carries up unchanged.
#include <gtest/gtest.h>

#include "platform/usb/bus/child_usb_device.h"
#include "protocol/vendor_request.h"
#include "tests/station/urb_child_fixture.h"

namespace vorn::station::testing {
namespace {

using usb::Transfer;
using usb::TransferStatus;

constexpr auto kBound = std::chrono::seconds(30);

Transfer Control(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint8_t* buffer,
                 uint16_t length) {
  Transfer t;
  t.setup = {type, request, value, index, length};
  t.buffer = buffer;
  t.length = length;
  return t;
}

class ChildUsbDeviceTest : public DisplayChildTest {};

TEST_F(ChildUsbDeviceTest, TransfersTravelAsUrbsAndComeBackWithTheChildsStatuses) {
  ChildPdoExtension* child = Start();
  ASSERT_NE(child, nullptr);
  usb::ChildUsbDevice device(child_pdo_);
  EXPECT_TRUE(device.Connected());

  uint8_t descriptor[18] = {};
  Transfer get = Control(0x80, usb::kRequestGetDescriptor, 0x0100, 0, descriptor, 18);
  EXPECT_EQ(usb::RunSync(device, get, kBound), TransferStatus::kSuccess);
  EXPECT_EQ(get.actual, 18u);
  EXPECT_EQ(descriptor[0], 0x12);
  EXPECT_EQ(descriptor[8], 0x5C);

  Transfer configure = Control(0x00, usb::kRequestSetConfiguration, 1, 0, nullptr, 0);
  EXPECT_EQ(usb::RunSync(device, configure, kBound), TransferStatus::kSuccess);

  uint8_t memory = 0;
  Transfer vendor = Control(0xC0, protocol::ReqMemorySize, 0, 0, &memory, 1);
  EXPECT_EQ(usb::RunSync(device, vendor, kBound), TransferStatus::kSuccess);
  EXPECT_EQ(memory, 64);

  auto message = MessageBytes(0, 64, 0, 64);
  Transfer out;
  out.endpoint = 0x02;
  out.buffer = message.data();
  out.length = static_cast<uint32_t>(message.size());
  EXPECT_EQ(usb::RunSync(device, out, kBound), TransferStatus::kSuccess);
  EXPECT_EQ(out.actual, message.size());
  EXPECT_TRUE(WaitFor([&] { return chip_->station_bulk_out().Completed(0) == 1; }));

  // A refused transfer carries the child's NTSTATUS up, as the host reports it.
  uint8_t small[63];
  Transfer bad_read;
  bad_read.endpoint = 0x83;
  bad_read.buffer = small;
  bad_read.length = 63;
  EXPECT_EQ(usb::RunSync(device, bad_read, kBound), TransferStatus::kError);
  EXPECT_TRUE(bad_read.has_system_status);
  EXPECT_EQ(bad_read.system_status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(bad_read.usbd_status, USBD_STATUS_DATA_BUFFER_ERROR);

  // A waiting interrupt read is cancelled through its IRP.
  uint8_t packet[64];
  Transfer read;
  read.endpoint = 0x83;
  read.buffer = packet;
  read.length = 64;
  std::atomic<bool> done{false};
  read.complete = [&](Transfer&) { done = true; };
  device.Submit(read);
  EXPECT_TRUE(device.Cancel(read));
  EXPECT_TRUE(WaitFor([&] { return done.load(); }));
  EXPECT_EQ(read.status, TransferStatus::kCancelled);
  EXPECT_EQ(read.system_status, STATUS_CANCELLED);

  // Stopped, the child answers every transfer as not connected.
  child->Ops->Stop(child->ModuleContext);
  Transfer stopped = read;
  stopped.complete = nullptr;
  EXPECT_EQ(usb::RunSync(device, stopped, kBound), TransferStatus::kDeviceGone);
  EXPECT_EQ(stopped.system_status, STATUS_DEVICE_NOT_CONNECTED);
  ASSERT_EQ(child->Ops->Start(child->ModuleContext), STATUS_SUCCESS);
}

}  // namespace
}  // namespace vorn::station::testing
