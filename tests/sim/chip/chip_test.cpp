// The adapter chip model through its USB face: descriptors, vendor requests, stored settings,
// scripts, bulk OUT reassembly and the interrupt queue.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "protocol/bus_message.h"
#include "protocol/capability_block.h"
#include "protocol/vendor_request.h"
#include "sim/chip/chip.h"

namespace vorn::chip {
namespace {

using usb::TransferStatus;

struct Result {
  TransferStatus status;
  std::vector<uint8_t> data;
};

Result Control(Chip& chip, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
               uint16_t length, std::vector<uint8_t> out = {}) {
  std::vector<uint8_t> buffer = out.empty() ? std::vector<uint8_t>(length) : out;
  usb::Transfer t;
  t.setup = {type, request, value, index, length};
  t.buffer = buffer.empty() ? nullptr : buffer.data();
  t.length = static_cast<uint32_t>(buffer.size());
  TransferStatus st = usb::RunSync(chip, t, std::chrono::milliseconds(200));
  buffer.resize(t.actual);
  return {st, buffer};
}

Result VendorIn(Chip& chip, uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
  return Control(chip, protocol::kVendorRequestTypeIn, request, value, index, length);
}

TransferStatus VendorOut(Chip& chip, uint8_t request, uint16_t value, uint16_t index,
                         std::vector<uint8_t> data = {}) {
  return Control(chip, protocol::kVendorRequestTypeOut, request, value, index,
                 static_cast<uint16_t>(data.size()), data)
      .status;
}

Result Descriptor(Chip& chip, uint8_t type, uint8_t index, uint16_t length, uint16_t lang = 0) {
  return Control(chip, usb::kDirIn, usb::kRequestGetDescriptor,
                 static_cast<uint16_t>((type << 8) | index), lang, length);
}

TransferStatus BulkOut(Chip& chip, std::vector<uint8_t> data) {
  usb::Transfer t;
  t.endpoint = kEndpointBulkOut;
  t.buffer = data.data();
  t.length = static_cast<uint32_t>(data.size());
  return usb::RunSync(chip, t, std::chrono::milliseconds(200));
}

std::vector<uint8_t> Header(uint32_t type, uint32_t total, uint32_t slice_length,
                            uint32_t slice_offset, bool more) {
  protocol::BusMessageHeader h;
  h.Type = type;
  h.TotalLength = total;
  h.Address = 0x1000;
  if (type != 7) {
    h.Slice.SliceLength = slice_length;
    h.Slice.SliceOffset = slice_offset;
    h.Slice.MoreSlices = more ? 1 : 0;
  }
  std::vector<uint8_t> out(32);
  protocol::EncodeBusMessageHeader(h, out);
  return out;
}

std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
  return v;
}

std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Endpoint addresses of the configuration descriptor, in order.
std::vector<uint8_t> Endpoints(const std::vector<uint8_t>& config) {
  std::vector<uint8_t> eps;
  for (size_t i = 0; i + 1 < config.size() && config[i] > 0; i += config[i])
    if (config[i + 1] == usb::kDescriptorEndpoint) eps.push_back(config[i + 2]);
  return eps;
}

TEST(ChipDescriptors, FollowTheProfile) {
  struct Case {
    bool usb3;
    bool ip_endpoint;
    uint16_t bcd;
    std::vector<uint8_t> endpoints;
  } cases[] = {
      {false, false, 0x0200, {0x81, 0x02, 0x83}},
      {true, false, 0x0300, {0x81, 0x02, 0x83}},
      {true, true, 0x0300, {0x81, 0x02, 0x83, 0x04}},
  };
  for (const Case& c : cases) {
    ChipProfile p = MakeProfile({2, 64, c.usb3});
    p.has_ip_endpoint = c.ip_endpoint;
    Chip chip(p);
    Result dev = Descriptor(chip, usb::kDescriptorDevice, 0, 18);
    ASSERT_EQ(dev.status, TransferStatus::kSuccess);
    ASSERT_EQ(dev.data.size(), 18u);
    EXPECT_EQ(dev.data[2] | (dev.data[3] << 8), c.bcd);
    EXPECT_EQ(dev.data[15], kStringProduct);
    Result head = Descriptor(chip, usb::kDescriptorConfiguration, 0, 9);
    ASSERT_EQ(head.data.size(), 9u);
    uint16_t total = static_cast<uint16_t>(head.data[2] | (head.data[3] << 8));
    Result config = Descriptor(chip, usb::kDescriptorConfiguration, 0, total);
    ASSERT_EQ(config.data.size(), total);
    EXPECT_EQ(Endpoints(config.data), c.endpoints) << "usb3 " << c.usb3;
    EXPECT_EQ(Descriptor(chip, usb::kDescriptorBos, 0, 5).status,
              c.usb3 ? TransferStatus::kSuccess : TransferStatus::kStall);
  }
}

TEST(ChipDescriptors, ProductStringAndItsAbsence) {
  ChipProfile p = MakeProfile({1, 64, false});
  p.product = u"Station";
  Chip chip(p);
  Result s = Descriptor(chip, usb::kDescriptorString, kStringProduct, 255, kLanguageEnglishUs);
  ASSERT_EQ(s.status, TransferStatus::kSuccess);
  ASSERT_EQ(s.data.size(), 2u + 2 * 7);
  EXPECT_EQ(s.data[2], 'S');

  p.has_product_string = false;
  Chip bare(p);
  EXPECT_EQ(Descriptor(bare, usb::kDescriptorDevice, 0, 18).data[15], 0);
  EXPECT_EQ(Descriptor(bare, usb::kDescriptorString, kStringProduct, 255, kLanguageEnglishUs).status,
            TransferStatus::kStall);
}

TEST(ChipVendor, AnswersFromTheProfile) {
  ChipProfile p = MakeProfile({2, 64, true});
  p.capability_flags = 0x1234;
  p.quality_override = 77;
  Chip chip(p);

  Result cap = VendorIn(chip, protocol::ReqReadCapabilities, 0, 0, 112);
  ASSERT_EQ(cap.data.size(), 112u);
  protocol::CapabilityBlock block;
  ASSERT_TRUE(protocol::DecodeCapabilityBlock(cap.data, &block));
  EXPECT_EQ(block.Magic, protocol::kCapabilityMagic);
  EXPECT_EQ(block.CapabilityFlags, 0x1234u);
  EXPECT_EQ(block.ViewDescriptor[0], p.view_descriptor[0]);
  EXPECT_EQ(block.QualityOverride, 77);

  Result version = VendorIn(chip, protocol::ReqReadDeviceValue, 0, protocol::DeviceValueVendorCmdVersion, 4);
  ASSERT_EQ(version.data.size(), 4u);
  EXPECT_EQ(protocol::LoadLe32(version.data.data()), 8u);
  EXPECT_EQ(VendorIn(chip, protocol::ReqMemorySize, 0, 0, 1).data, std::vector<uint8_t>{64});
  EXPECT_EQ(VendorIn(chip, protocol::ReqMonitorStatus, 1, 0, 1).data, std::vector<uint8_t>{1});

  // EDID by block and view; timings by byte offset.
  Result edid = VendorIn(chip, protocol::ReqReadEdid, 0, 1, 128);
  EXPECT_EQ(edid.data, p.monitors[1].edid);
  EXPECT_EQ(VendorIn(chip, protocol::ReqReadEdid, 128, 1, 128).status, TransferStatus::kStall);
  Result timings = VendorIn(chip, protocol::ReqReadTimings, 0, 64, 64);
  ASSERT_EQ(timings.data.size(), 64u);
  EXPECT_TRUE(std::equal(timings.data.begin(), timings.data.end(), p.timing_tables[0].begin() + 64));

  chip.SetMonitor(1, false);
  EXPECT_EQ(VendorIn(chip, protocol::ReqMonitorStatus, 1, 0, 1).data, std::vector<uint8_t>{0});
  EXPECT_EQ(chip.violations().Count(), 0u);
}

TEST(ChipVendor, StoresSettingsPerViewAndCountsBadRequests) {
  Chip chip(MakeProfile({2, 64, true}));
  EXPECT_EQ(VendorOut(chip, protocol::ReqSetOutput, 1, 1), TransferStatus::kSuccess);
  EXPECT_EQ(VendorOut(chip, protocol::ReqSetTiming, 0, 0, Bytes(32, 3)), TransferStatus::kSuccess);
  EXPECT_EQ(VendorOut(chip, protocol::ReqGammaControl, (1 << 8) + 2, 0), TransferStatus::kSuccess);
  EXPECT_EQ(VendorOut(chip, protocol::ReqStartDisplay, 0, 0), TransferStatus::kSuccess);
  EXPECT_TRUE(chip.View(1).output_on);
  EXPECT_FALSE(chip.View(0).output_on);
  EXPECT_TRUE(chip.View(0).has_timing);
  EXPECT_EQ(chip.View(0).timing[0], 3);
  EXPECT_EQ(chip.View(1).gamma_mode, 2);
  EXPECT_EQ(chip.StartDisplayCount(), 1u);
  EXPECT_EQ(chip.violations().Count(), 0u);

  // A timing record of the wrong size, a view that does not exist, an IN code sent OUT.
  EXPECT_EQ(VendorOut(chip, protocol::ReqSetTiming, 0, 0, Bytes(31, 0)), TransferStatus::kStall);
  EXPECT_EQ(VendorOut(chip, protocol::ReqSetOutput, 2, 1), TransferStatus::kStall);
  EXPECT_EQ(VendorOut(chip, protocol::ReqMemorySize, 0, 0), TransferStatus::kStall);
  EXPECT_EQ(chip.violations().Count(), 3u);
  EXPECT_EQ(chip.log().CountVendor(protocol::ReqSetTiming), 2u);
}

TEST(ChipScript, StallFailShortTimeOutGone) {
  clock::ScopedSpeed fast(1000);
  Chip chip(MakeProfile({1, 64, true}));
  RequestScript& s = chip.script();
  s.OnRequest(protocol::ReqReadCapabilities, {ScriptKind::kStall, 1});
  s.OnRequest(protocol::ReqReadCapabilities, {ScriptKind::kFail, 1});
  s.OnRequest(protocol::ReqReadCapabilities, {ScriptKind::kShort, 1, 10});
  s.OnRequest(protocol::ReqReadCapabilities, {ScriptKind::kTimeOut, 1});
  EXPECT_EQ(VendorIn(chip, protocol::ReqReadCapabilities, 0, 0, 112).status, TransferStatus::kStall);
  EXPECT_EQ(VendorIn(chip, protocol::ReqReadCapabilities, 0, 0, 112).status, TransferStatus::kError);
  Result shortened = VendorIn(chip, protocol::ReqReadCapabilities, 0, 0, 112);
  EXPECT_EQ(shortened.status, TransferStatus::kSuccess);
  EXPECT_EQ(shortened.data.size(), 10u);
  // A time-out holds the transfer until the host cancels it.
  EXPECT_EQ(VendorIn(chip, protocol::ReqReadCapabilities, 0, 0, 112).status, TransferStatus::kCancelled);
  EXPECT_EQ(chip.HeldTransfers(), 0u);
  EXPECT_EQ(VendorIn(chip, protocol::ReqReadCapabilities, 0, 0, 112).data.size(), 112u);

  s.OnRequest(protocol::ReqMemorySize, {ScriptKind::kGone, 1});
  EXPECT_EQ(VendorIn(chip, protocol::ReqMemorySize, 0, 0, 1).status, TransferStatus::kDeviceGone);
  EXPECT_FALSE(chip.Connected());
  EXPECT_EQ(Descriptor(chip, usb::kDescriptorDevice, 0, 18).status, TransferStatus::kDeviceGone);

  auto log = chip.log().VendorRequests();
  ASSERT_GE(log.size(), 6u);
  EXPECT_EQ(log[3].status, TransferStatus::kCancelled);
}

TEST(ChipBulkOut, ReassemblesWholeAndSlicedMessages) {
  Chip chip(MakeProfile({1, 64, true}));
  // The payloads are arbitrary bytes, not frames: reassembly alone, without frame decoding.
  chip.bulk_out().SetSink(nullptr);
  const std::vector<uint8_t> payload = Bytes(1000, 1);

  // The plug-in's form: the header alone, then the payload in chunks.
  EXPECT_EQ(BulkOut(chip, Header(0, 1000, 1000, 0, false)), TransferStatus::kSuccess);
  EXPECT_TRUE(chip.bulk_out().InMessage());
  BulkOut(chip, {payload.begin(), payload.begin() + 600});
  BulkOut(chip, {payload.begin() + 600, payload.end()});

  // The station's form: each slice behind its own header.
  BulkOut(chip, Cat(Header(0, 1000, 400, 0, true), {payload.begin(), payload.begin() + 400}));
  BulkOut(chip, Cat(Header(0, 1000, 600, 400, false), {payload.begin() + 400, payload.end()}));

  // A two-plane write: one header, the payload follows in pieces.
  BulkOut(chip, Cat(Header(7, 1000, 0, 0, false), {payload.begin(), payload.begin() + 10}));
  BulkOut(chip, {payload.begin() + 10, payload.end()});

  ASSERT_EQ(chip.bulk_out().Completed(), 3u);
  for (const BusMessage& m : chip.bulk_out().Recent()) EXPECT_EQ(m.payload, payload);
  EXPECT_EQ(chip.bulk_out().Recent()[1].slices, 2u);
  EXPECT_EQ(chip.violations().Count(), 0u);
}

// Buffers of messages that left the recent list serve later ones: neither the sink nor the
// recent list may see a byte of another message, whatever the order of sizes.
TEST(ChipBulkOut, ReusedBuffersHoldOnlyTheirOwnMessage) {
  Chip chip(MakeProfile({1, 64, true}));
  std::vector<std::vector<uint8_t>> seen;
  chip.bulk_out().SetSink([&](const BusMessage& m) { seen.push_back(m.payload); });
  std::vector<std::vector<uint8_t>> sent;
  for (uint32_t i = 0; i < 3 * BulkOutReassembler::kKeptMessages; ++i) {
    const uint32_t length = i % 3 == 0 ? 5000 : i % 3 == 1 ? 7 : 900;
    sent.push_back(Bytes(length, static_cast<uint8_t>(i)));
    BulkOut(chip, Cat(Header(0, length, length, 0, false), sent.back()));
  }
  ASSERT_EQ(seen, sent);
  const std::vector<BusMessage> recent = chip.bulk_out().Recent();
  ASSERT_EQ(recent.size(), BulkOutReassembler::kKeptMessages);
  for (size_t k = 0; k < recent.size(); ++k)
    EXPECT_EQ(recent[k].payload, sent[sent.size() - recent.size() + k]) << k;
}

TEST(ChipBulkOut, CountsViolationsAndRecovers) {
  Chip chip(MakeProfile({1, 64, true}));
  BulkOut(chip, Bytes(16, 0));  // too short for a header
  BulkOut(chip, Cat(Header(0, 100, 40, 0, true), Bytes(40, 0)));
  BulkOut(chip, Cat(Header(0, 100, 60, 50, false), Bytes(60, 0)));  // gap in the offsets
  BulkOut(chip, Header(0, 100, 50, 0, false));  // last slice ending early
  EXPECT_EQ(chip.violations().Count(), 3u);
  // After the stream reset the next message goes through.
  chip.bulk_out().Reset();
  BulkOut(chip, Cat(Header(0, 8, 8, 0, false), Bytes(8, 0)));
  EXPECT_EQ(chip.bulk_out().Completed(), 1u);
}

TEST(ChipInterrupt, ReadsWaitForPacketsAndCancel) {
  Chip chip(MakeProfile({1, 64, true}));
  InterruptQueue::Packet p{};
  p[0] = 0x04;
  chip.interrupts().Push(p);  // queued before any read

  std::vector<uint8_t> buffer(64);
  usb::Transfer t;
  t.endpoint = kEndpointInterrupt;
  t.buffer = buffer.data();
  t.length = 64;
  EXPECT_EQ(usb::RunSync(chip, t, std::chrono::milliseconds(100)), TransferStatus::kSuccess);
  EXPECT_EQ(t.actual, 64u);
  EXPECT_EQ(buffer[0], 0x04);

  bool timed_out = false;
  {
    clock::ScopedSpeed fast(1000);
    EXPECT_EQ(usb::RunSync(chip, t, std::chrono::milliseconds(500), &timed_out),
              TransferStatus::kCancelled);
  }
  EXPECT_TRUE(timed_out);
  EXPECT_EQ(chip.interrupts().WaitingReads(), 0u);
  EXPECT_EQ(chip.interrupts().Delivered(), 1u);
}

}  // namespace
}  // namespace vorn::chip
