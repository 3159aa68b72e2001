// The chip's traffic record: each kind of transfer read back from the file exactly as it
// crossed the bus, in order, and files cut short reported as such.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "protocol/vendor_request.h"
#include "sim/chip/chip.h"
#include "sim/chip/interrupt_events.h"

namespace vorn::chip {
namespace {

using usb::TransferStatus;

std::string TempPath(const char* name) {
  return ::testing::TempDir() + "vorn_" + name + "_" + std::to_string(getpid()) + ".cap";
}

TransferStatus RunOne(Chip& chip, usb::Transfer& t) {
  return usb::RunSync(chip, t, std::chrono::milliseconds(500));
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 13);
  return v;
}

std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(Capture, RecordsEachTransferExactlyAndInOrder) {
  const std::string path = TempPath("order");
  Chip chip(MakeProfile({1, 64, true}));
  chip.bulk_out().SetSink(nullptr);  // arbitrary payload bytes: reassembly only
  ASSERT_TRUE(chip.capture().Open(path));

  // A vendor OUT request with a data stage, then a vendor IN request answered by the chip.
  std::vector<uint8_t> gamma = Pattern(256, 3);
  usb::Transfer out;
  out.setup = {protocol::kVendorRequestTypeOut, protocol::ReqGammaTable, 0, 0x200, 256};
  out.buffer = gamma.data();
  out.length = 256;
  ASSERT_EQ(RunOne(chip, out), TransferStatus::kSuccess);
  std::vector<uint8_t> answer(1, 0xEE);
  usb::Transfer in;
  in.setup = {protocol::kVendorRequestTypeIn, protocol::ReqMemorySize, 0, 0, 1};
  in.buffer = answer.data();
  in.length = 1;
  ASSERT_EQ(RunOne(chip, in), TransferStatus::kSuccess);
  answer.resize(in.actual);

  // A bulk message in two transfers: the header alone, then the payload.
  std::vector<uint8_t> header(32, 0);
  header[4] = 100;   // total length
  header[12] = 100;  // slice length
  const std::vector<uint8_t> payload = Pattern(100, 9);
  for (const std::vector<uint8_t>* part : std::vector<const std::vector<uint8_t>*>{&header, &payload}) {
    usb::Transfer b;
    b.endpoint = kEndpointBulkOut;
    b.buffer = const_cast<uint8_t*>(part->data());
    b.length = static_cast<uint32_t>(part->size());
    ASSERT_EQ(RunOne(chip, b), TransferStatus::kSuccess);
  }

  // An interrupt packet the chip sends, and a pipe reset.
  chip.RaiseFrameAck(0x01020304);
  std::vector<uint8_t> packet(64);
  usb::Transfer irq;
  irq.endpoint = kEndpointInterrupt;
  irq.buffer = packet.data();
  irq.length = 64;
  ASSERT_EQ(RunOne(chip, irq), TransferStatus::kSuccess);
  chip.ResetEndpoint(kEndpointBulkOut);
  ASSERT_TRUE(chip.capture().Close());

  std::vector<CaptureRecord> records;
  std::string error;
  ASSERT_TRUE(ReadCaptureFile(path, &records, &error)) << error;
  std::remove(path.c_str());
  ASSERT_EQ(records.size(), 6u);
  const std::array<uint8_t, 8> out_setup = EncodeSetup(out.setup);
  const std::array<uint8_t, 8> in_setup = EncodeSetup(in.setup);
  EXPECT_EQ(records[0].Tag(), "CTRL");
  EXPECT_EQ(records[0].endpoint, 0u);
  EXPECT_EQ(records[0].data, Cat({out_setup.begin(), out_setup.end()}, gamma));
  EXPECT_EQ(records[1].Tag(), "CTRL");
  EXPECT_EQ(records[1].data, Cat({in_setup.begin(), in_setup.end()}, answer));
  ASSERT_EQ(answer, std::vector<uint8_t>{64});
  EXPECT_EQ(records[2].Tag(), "BLKO");
  EXPECT_EQ(records[2].endpoint, kEndpointBulkOut);
  EXPECT_EQ(records[2].data, header);
  EXPECT_EQ(records[3].Tag(), "BLKO");
  EXPECT_EQ(records[3].data, payload);
  EXPECT_EQ(records[4].Tag(), "INTI");
  EXPECT_EQ(records[4].endpoint, kEndpointInterrupt);
  const InterruptQueue::Packet ack = FrameAckPacket(0x01020304);
  EXPECT_EQ(records[4].data, std::vector<uint8_t>(ack.begin(), ack.end()));
  EXPECT_EQ(records[4].data, packet);
  EXPECT_EQ(records[5].Tag(), "RSET");
  EXPECT_EQ(records[5].endpoint, kEndpointBulkOut);
  EXPECT_TRUE(records[5].data.empty());
  EXPECT_EQ(chip.violations().Count(), 0u);
}

TEST(Capture, StalledRequestKeepsItsSetupWithoutData) {
  const std::string path = TempPath("stall");
  Chip chip(MakeProfile({1, 64, true}));
  ASSERT_TRUE(chip.capture().Open(path));
  chip.script().OnRequest(protocol::ReqMemorySize, {ScriptKind::kStall, 1});
  std::vector<uint8_t> answer(1, 0xEE);
  usb::Transfer in;
  in.setup = {protocol::kVendorRequestTypeIn, protocol::ReqMemorySize, 0, 0, 1};
  in.buffer = answer.data();
  in.length = 1;
  EXPECT_EQ(RunOne(chip, in), TransferStatus::kStall);
  // Nothing is recorded once the capture is closed.
  chip.ResetEndpoint(kEndpointBulkOut);
  ASSERT_TRUE(chip.capture().Close());
  chip.ResetEndpoint(kEndpointBulkOut);
  std::vector<CaptureRecord> records;
  ASSERT_TRUE(ReadCaptureFile(path, &records));
  std::remove(path.c_str());
  ASSERT_EQ(records.size(), 2u);
  const std::array<uint8_t, 8> setup = EncodeSetup(in.setup);
  EXPECT_EQ(records[0].data, std::vector<uint8_t>(setup.begin(), setup.end()));
  EXPECT_EQ(records[1].Tag(), "RSET");
}

TEST(Capture, CutShortFilesKeepTheWholeRecordsAndSayWhere) {
  std::vector<uint8_t> file = {'R', 'S', 'E', 'T', 2, 0, 0, 0, 0, 0, 0, 0,
                               'B', 'L', 'K', 'O', 2, 0, 0, 0, 3, 0, 0, 0, 7, 8, 9};
  std::vector<CaptureRecord> records;
  std::string error;
  ASSERT_TRUE(ParseCapture(file.data(), file.size(), &records, &error)) << error;
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].data, (std::vector<uint8_t>{7, 8, 9}));

  struct Case {
    size_t keep;
    size_t records;
  };
  for (Case c : {Case{26, 1}, Case{13, 1}, Case{5, 0}}) {
    records.clear();
    error.clear();
    EXPECT_FALSE(ParseCapture(file.data(), c.keep, &records, &error)) << c.keep;
    EXPECT_EQ(records.size(), c.records) << c.keep;
    EXPECT_FALSE(error.empty());
  }
  // A length far beyond the file, as a hostile file would give.
  file[20] = 0xFF;
  file[23] = 0xFF;
  records.clear();
  EXPECT_FALSE(ParseCapture(file.data(), file.size(), &records, &error));
  EXPECT_EQ(records.size(), 1u);
  EXPECT_FALSE(ReadCaptureFile("/nonexistent/dir/file.cap", &records, &error));
}

TEST(Capture, RefusesAFileItCannotCreate) {
  Capture c;
  std::string error;
  EXPECT_FALSE(c.Open("/nonexistent/dir/file.cap", &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(c.IsOpen());
  uint8_t b = 1;
  c.Record(kCaptureBulkOut, 2, &b, 1);
  EXPECT_EQ(c.Records(), 0u);
}

}  // namespace
}  // namespace vorn::chip
