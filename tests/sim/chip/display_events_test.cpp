// The chip's display events on its interrupt endpoint and its answers for command-packet
// adapters, read the way the host reads them.
#include <gtest/gtest.h>

#include <vector>

#include "protocol/interrupt_packet.h"
#include "protocol/vendor_request.h"
#include "sim/chip/chip.h"
#include "sim/chip/interrupt_events.h"

namespace vorn::chip {
namespace {

using usb::TransferStatus;

struct Read {
  TransferStatus status;
  std::vector<uint8_t> bytes;
};

Read InterruptRead(Chip& chip) {
  Read r{TransferStatus::kPending, std::vector<uint8_t>(64, 0xEE)};
  usb::Transfer t;
  t.endpoint = kEndpointInterrupt;
  t.buffer = r.bytes.data();
  t.length = 64;
  r.status = usb::RunSync(chip, t, std::chrono::milliseconds(200));
  r.bytes.resize(t.actual);
  return r;
}

Read VendorIn(Chip& chip, uint8_t request, uint16_t length) {
  Read r{TransferStatus::kPending, std::vector<uint8_t>(length)};
  usb::Transfer t;
  t.endpoint = 0;
  t.setup = {protocol::kVendorRequestTypeIn, request, 0, 0, length};
  t.buffer = r.bytes.data();
  t.length = length;
  r.status = usb::RunSync(chip, t, std::chrono::milliseconds(200));
  r.bytes.resize(t.actual);
  return r;
}

TEST(ChipDisplayEvents, RaisedAsDisplayPackets) {
  Chip chip(MakeProfile({2, 64, true}));
  chip.RaiseFrameAck(0x01020304);
  chip.RaiseMonitorChange(1, false);
  chip.RaiseRefresh();
  chip.interrupts().PushShort(FrameAckPacket(9), 20);
  struct Expect {
    uint8_t events;
    uint32_t sequence;
  } expected[] = {{0x04, 0x01020304}, {0x02, 0}, {0x10, 0}};
  for (const Expect& e : expected) {
    Read r = InterruptRead(chip);
    ASSERT_EQ(r.status, TransferStatus::kSuccess);
    protocol::INT_IN_PACKET k;
    ASSERT_TRUE(protocol::DecodeIntInPacket(r.bytes, &k));
    EXPECT_EQ(k.PacketFlags, protocol::kPacketFlagDisplay);
    EXPECT_EQ(k.EventBits, e.events);
    EXPECT_EQ(k.AckSequence, e.sequence);
  }
  Read shortened = InterruptRead(chip);
  EXPECT_EQ(shortened.status, TransferStatus::kSuccess);
  EXPECT_EQ(shortened.bytes.size(), 20u);
  // The monitor change is what the status request reports from then on.
  Read status = VendorIn(chip, protocol::ReqMonitorStatus, 1);
  EXPECT_EQ(status.bytes, std::vector<uint8_t>{1}) << "view 0 stays connected";
  usb::Transfer t;
  uint8_t connected = 0xEE;
  t.setup = {protocol::kVendorRequestTypeIn, protocol::ReqMonitorStatus, 1, 0, 1};
  t.buffer = &connected;
  t.length = 1;
  EXPECT_EQ(usb::RunSync(chip, t, std::chrono::milliseconds(200)), TransferStatus::kSuccess);
  EXPECT_EQ(connected, 0);
  EXPECT_EQ(chip.violations().Count(), 0u);
}

TEST(ChipDisplayEvents, CommandPacketAdapterInformation) {
  ChipProfile p = MakeProfile({1, 64, true});
  Chip without(p);
  EXPECT_EQ(VendorIn(without, protocol::ReqIpDeviceInfo, 8).status, TransferStatus::kStall);
  p.ip_device_info = {8, 7, 6, 5, 4, 3, 2, 1};
  p.ip_display_info = std::vector<uint8_t>(300, 0x33);
  Chip chip(p);
  EXPECT_EQ(VendorIn(chip, protocol::ReqIpDeviceInfo, 8).bytes, p.ip_device_info);
  EXPECT_EQ(VendorIn(chip, protocol::ReqIpDisplayInfo, 16).bytes.size(), 16u);
  EXPECT_EQ(VendorIn(chip, protocol::ReqIpDisplayInfo, 300).bytes, p.ip_display_info);
  EXPECT_EQ(chip.violations().Count(), 0u);
}

}  // namespace
}  // namespace vorn::chip
