// The chip's frame memory fed through its bulk OUT reassembly: what it reports as a protocol
// violation, and how it acknowledges display messages when told to lag, hold or drop.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/bus_message.h"
#include "protocol/frame_descriptor.h"
#include "protocol/interrupt_packet.h"
#include "protocol/timing.h"
#include "protocol/vendor_request.h"
#include "sim/chip/chip.h"

namespace vorn::chip {
namespace {

constexpr uint32_t kMiB = 1u << 20;
constexpr uint32_t kRing = 54 * kMiB;  // the ring of a 64 MiB adapter

// A full frame of view 0, 64 x 16 pixels of layout 6 at |slot|, or, with |ring| set, a JPEG
// patch there into such a frame.
std::vector<uint8_t> Display(uint32_t sequence, uint32_t address, bool patch = false) {
  protocol::FrameDescriptor d;
  d.Sequence = sequence;
  d.Layout = 6;
  uint32_t payload = 64 * 16 + 64 * 8;
  if (patch) {
    d.PacketKind = 7;
    d.Patch.Width = d.Patch.Height = 16;
    d.Patch.Stride1 = d.Patch.Stride2 = 64;
    d.Patch.Dest1 = 0x1000;
    d.Patch.Dest2 = 0x1400;
    d.Patch.Format = 13;
    payload = 2048 - 80;
  } else {
    d.PacketKind = 3;
    d.Full.Stride1 = d.Full.Stride2 = 64;
    d.Full.Plane1 = address + 48;
    d.Full.Plane2 = address + 48 + 64 * 16;
    d.Full.Plane3 = address + 48;
    d.Full.Format = 6;
  }
  d.PayloadLength = payload;
  std::vector<uint8_t> m(80 + payload, 0x5A);
  protocol::BusMessageHeader h;
  h.Type = 0;
  h.TotalLength = 48 + payload;
  h.Address = address;
  h.Slice.SliceLength = h.TotalLength;
  protocol::EncodeBusMessageHeader(h, m);
  protocol::EncodeFrameDescriptor(d, protocol::MutableByteSpan(m).subspan(32));
  return m;
}

std::vector<uint8_t> TwoPlane(uint32_t a, uint32_t b, uint16_t width, uint16_t height,
                              size_t payload) {
  protocol::BusMessageHeader h;
  h.Type = 7;
  h.TwoPlane = {};
  h.Address = a;
  h.TwoPlane.AddressB = b;
  h.TwoPlane.StrideA = h.TwoPlane.StrideB = 64;
  h.TwoPlane.Width = width;
  h.TwoPlane.Height = height;
  h.TotalLength = static_cast<uint32_t>(payload);
  std::vector<uint8_t> m(32 + payload, 0x33);
  protocol::EncodeBusMessageHeader(h, m);
  return m;
}

void Feed(Chip& chip, const std::vector<uint8_t>& m) {
  chip.bulk_out().Feed(m.data(), static_cast<uint32_t>(m.size()));
}

TEST(ChipFrames, ReportsWhatADeviceCouldNotSurvive) {
  struct Case {
    const char* what;
    std::vector<std::vector<uint8_t>> messages;
    const char* violation;  // nullptr: none
  } cases[] = {
      {"sound frames and a patch", {Display(1, 0), Display(2, 0x10000), TwoPlane(0x30, 0x430, 16, 4, 96)},
       nullptr},
      {"skipped sequence", {Display(1, 0), Display(3, 0)}, "sequence 3 after 1"},
      {"planes in the ring", {Display(1, kRing + 4096)}, "in the rectangle ring"},
      {"beyond memory", {Display(1, 64 * kMiB - 100)}, "beyond frame memory"},
      {"payload length", {[] {
                            auto m = Display(1, 0);
                            protocol::StoreLe32(&m[36], 5);
                            return m;
                          }()},
       "PayloadLength 5"},
      {"two-plane length", {TwoPlane(0, 0x400, 16, 4, 95)}, "two-plane write of 95"},
      {"two-plane stride", {TwoPlane(0, 0x400, 100, 4, 600)}, "stride 64 below"},
  };
  for (const Case& c : cases) {
    Chip chip(MakeProfile({1, 64, true}));
    for (const auto& m : c.messages) Feed(chip, m);
    const auto v = chip.violations().Messages();
    if (!c.violation) {
      EXPECT_EQ(v, std::vector<std::string>{}) << c.what;
      continue;
    }
    ASSERT_FALSE(v.empty()) << c.what;
    EXPECT_NE(v[0].find(c.violation), std::string::npos) << c.what << ": " << v[0];
  }
}

TEST(ChipFrames, ConfiguringTheDeviceAgainLetsANewSessionNumberItsFramesFromAnew) {
  Chip chip(MakeProfile({1, 64, true}));
  Feed(chip, Display(1, 0));
  Feed(chip, Display(2, 0));
  usb::Transfer t{};
  t.endpoint = 0;
  t.setup = usb::SetupPacket{usb::kTypeStandard | usb::kRecipientDevice, usb::kRequestSetConfiguration, 1, 0, 0};
  t.complete = [](usb::Transfer&) {};
  chip.Submit(t);
  ASSERT_EQ(t.status, usb::TransferStatus::kSuccess);
  Feed(chip, Display(1, 0));
  Feed(chip, Display(2, 0));
  EXPECT_EQ(chip.violations().Count(), 0u);
  Feed(chip, Display(1, 0));  // the same session again
  ASSERT_EQ(chip.violations().Count(), 1u);
  EXPECT_NE(chip.violations().Messages()[0].find("sequence 1 after 2"), std::string::npos);
}

TEST(ChipFrames, AcknowledgesEachDisplayMessageAsScripted) {
  Chip chip(MakeProfile({1, 64, true}));
  FrameStore& f = chip.frames();
  Feed(chip, Display(1, 0));
  ASSERT_EQ(chip.interrupts().QueuedPackets(), 1u);
  f.SetAckLag(2);
  for (uint32_t s = 2; s <= 5; ++s) Feed(chip, Display(s, 0));
  EXPECT_EQ(f.AckedSequences(), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(f.PendingAcks(), 2u);
  f.SetAckLag(0);
  f.DropAcks(1);
  Feed(chip, Display(6, 0));  // dropped; 4 and 5 still wait
  f.ReleaseAcks();
  EXPECT_EQ(f.AckedSequences(), (std::vector<uint32_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(chip.interrupts().QueuedPackets(), 5u);
  EXPECT_EQ(chip.violations().Count(), 0u);

  // The packets are display acknowledgements carrying the sequence.
  usb::Transfer t{};
  uint8_t buffer[64] = {};
  t.endpoint = 0x81;
  t.buffer = buffer;
  t.length = sizeof buffer;
  t.complete = [](usb::Transfer&) {};
  chip.interrupts().Submit(t);
  protocol::INT_IN_PACKET k;
  ASSERT_TRUE(protocol::DecodeIntInPacket(protocol::ByteSpan(buffer, t.actual), &k));
  EXPECT_EQ(k.PacketFlags, protocol::kPacketFlagDisplay);
  EXPECT_EQ(k.EventBits, protocol::kEventFrameAck);
  EXPECT_EQ(k.AckSequence, 1u);
}

TEST(ChipFrames, OverwritingAnUnacknowledgedRingPayloadIsReported) {
  Chip chip(MakeProfile({1, 64, true}));
  chip.frames().HoldAcks(true);
  Feed(chip, Display(1, 0));
  Feed(chip, Display(2, kRing, true));
  Feed(chip, Display(3, kRing + 2048, true));  // next to it: fine
  EXPECT_EQ(chip.violations().Count(), 0u);
  Feed(chip, Display(4, kRing + 1024, true));
  ASSERT_EQ(chip.violations().Count(), 2u);  // over both
  EXPECT_NE(chip.violations().Messages()[0].find("sequence 2"), std::string::npos);
  chip.violations().Clear();
  chip.frames().ReleaseAcks();
  Feed(chip, Display(5, kRing, true));  // acknowledged now
  EXPECT_EQ(chip.violations().Count(), 0u);
}

TEST(ChipFrames, AFrameWithoutItsSizeTakesTheTimingOfItsView) {
  Chip chip(MakeProfile({1, 64, true}));
  Feed(chip, Display(1, 0));  // no timing yet: the size the strides and planes give
  ASSERT_TRUE(chip.frames().LastFull(0));
  EXPECT_EQ(chip.frames().LastFull(0)->width, 64u);
  EXPECT_EQ(chip.frames().LastFull(0)->height, 16u);

  protocol::TimingRecord r;
  r.Width = 60;
  r.Height = 14;
  std::vector<uint8_t> record(32);
  ASSERT_TRUE(protocol::EncodeTimingRecord(r, record));
  usb::Transfer t{};
  t.setup = {protocol::kVendorRequestTypeOut, protocol::ReqSetTiming, 0, 0, 32};
  t.buffer = record.data();
  t.length = 32;
  t.complete = [](usb::Transfer&) {};
  chip.Submit(t);
  ASSERT_EQ(t.status, usb::TransferStatus::kSuccess);
  Feed(chip, Display(2, 0));
  EXPECT_EQ(chip.frames().LastFull(0)->width, 60u);
  EXPECT_EQ(chip.frames().LastFull(0)->height, 14u);
  auto shown = chip.frames().Shown(0);
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->bgra.size(), 60u * 14 * 4);
  EXPECT_EQ(chip.violations().Count(), 0u);
}

}  // namespace
}  // namespace vorn::chip
