// The plug-in's vendor request wrappers against the chip model: what goes on the wire, the
// device lock, chunked timing reads, EDID block reads, failures of the device and the answers
// given locally in IpMode.
#include "display/device/vendor_requests.h"

#include <array>
#include <functional>
#include <numeric>

#include "protocol/vendor_request.h"
#include "sim/chip/edid_blob.h"
#include "sim/chip/timing_table.h"
#include "tests/display/display_fixture.h"

namespace vorn::display::testing {
namespace {

using chip::MakeProfile;
using chip::ScriptAction;
using chip::ScriptKind;

struct Wire {
  uint8_t type, code;
  uint16_t value, index, length;
  bool operator==(const Wire&) const = default;
};

void PrintTo(const Wire& w, std::ostream* os) {
  *os << std::hex << "{0x" << int{w.type} << " 0x" << int{w.code} << " v 0x" << w.value
      << " i 0x" << w.index << " len 0x" << w.length << "}";
}

std::vector<Wire> WireOf(const chip::Chip& chip_const) {
  auto& chip = const_cast<chip::Chip&>(chip_const);
  std::vector<Wire> out;
  for (const auto& e : chip.log().VendorRequests())
    out.push_back({e.setup.bmRequestType, e.setup.bRequest, e.setup.wValue, e.setup.wIndex,
                   e.setup.wLength});
  return out;
}

// A chip profile with |records| timing records per view (the standard table repeated).
chip::ChipProfile WithTimings(uint32_t records) {
  chip::ChipProfile p = MakeProfile({2, 64, true});
  const std::vector<uint8_t> standard = chip::StandardTimingTable();
  for (int v = 0; v < 2; ++v) {
    std::vector<uint8_t> table;
    for (uint32_t r = 0; r < records; ++r) {
      const size_t at = (r % (standard.size() / 32)) * 32;
      table.insert(table.end(), standard.begin() + at, standard.begin() + at + 32);
      table[table.size() - 32 + 5] = static_cast<uint8_t>(r);  // tell records apart
    }
    p.timing_tables[v] = table;
    p.view_descriptor[v] = chip::MakeViewDescriptor(2, records);
  }
  return p;
}

// An EDID of 1 + |extensions| blocks whose byte 126 says |count|; block 0 checksummed.
std::vector<uint8_t> Edid(uint32_t extensions, uint8_t count) {
  std::vector<uint8_t> e = chip::MakeEdid("Vorn Test");
  e[126] = count;
  e[127] = 0;
  e[127] = static_cast<uint8_t>(0x100 - std::accumulate(e.begin(), e.end(), 0u) % 0x100);
  for (uint32_t b = 1; b <= extensions; ++b)
    for (uint32_t i = 0; i < 128; ++i) e.push_back(static_cast<uint8_t>(b * 16 + i));
  return e;
}

class VendorRequestTest : public DisplayTest {
 protected:
  // An opened adapter whose log holds nothing from the bring-up.
  SorvikDevice* OpenQuiet(chip::ChipProfile p = MakeProfile({2, 64, true})) {
    chip_ = &AddChip(std::move(p));
    adapter_ = &AddAdapter(*chip_);
    EXPECT_TRUE(adapter_->Open());
    chip_->log().Clear();
    return adapter_->handle();
  }
  chip::Chip* chip_ = nullptr;
  host::Adapter* adapter_ = nullptr;
};

TEST_F(VendorRequestTest, EachWrapperPutsItsRequestOnTheWire) {
  SorvikDevice* d = OpenQuiet();
  uint8_t byte = 0, value[4] = {}, caps[112] = {}, edid[512] = {}, timings[64] = {};
  std::array<uint8_t, 32> record{};
  record[8] = 0x80;
  std::array<uint8_t, 256> table{};
  uint32_t edid_size = sizeof edid;
  struct Case {
    const char* what;
    std::function<NTSTATUS()> call;
    std::vector<Wire> wire;
  } cases[] = {
      {"output on", [&] { return SetOutputEnable(d, 1, true); }, {{0x40, 0x03, 1, 1, 0}}},
      {"output off", [&] { return SetOutputEnable(d, 0, false); }, {{0x40, 0x03, 0, 0, 0}}},
      {"timing", [&] { return SetTiming(d, 1, record.data(), 32); }, {{0x40, 0x12, 1, 0, 32}}},
      {"reset bulk stream", [&] { return ResetBulkStream(d); }, {{0x40, 0x14, 0, 0, 0}}},
      {"start display", [&] { return StartDisplay(d); }, {{0x40, 0x31, 0, 0, 0}}},
      {"monitor status", [&] { return QueryMonitorStatus(d, 1, &byte); }, {{0xC0, 0x87, 1, 0, 1}}},
      {"memory size", [&] { return QueryMemorySize(d, &byte); }, {{0xC0, 0x88, 0, 0, 1}}},
      {"timing table", [&] { return ReadTimingTable(d, 1, 2, timings, 32); },
       {{0xC0, 0x89, 1, 0, 64}}},
      {"device value", [&] { return ReadDeviceValue(d, 4, value, 4); }, {{0xC0, 0xB0, 0, 4, 4}}},
      {"capabilities", [&] { return ReadCapabilityBlock(d, caps, 0, 112); },
       {{0xC0, 0xB3, 0, 0, 112}}},
      {"edid", [&] { return ReadEdidBlocks(d, 1, edid, &edid_size); }, {{0xC0, 0x80, 0, 1, 128}}},
      {"gamma control", [&] { return SendGammaControl(d, 1, 2); }, {{0x40, 0x1C, 0x102, 0, 0}}},
      {"gamma table", [&] { return SendGammaTable(d, 1, 0x200, table.data()); },
       {{0x40, 0x1D, 0x100, 0x200, 256}}},
      {"cursor position 0", [&] { return SendCursorPosition(d, 0, -5, 7); },
       {{0x40, 0x04, 0xFFFA, 7, 0}}},
      {"cursor position 1", [&] { return SendCursorPosition(d, 1, 3, -1); },
       {{0x40, 0x06, 3, 0xFFFE, 0}}},
      {"cursor show 0", [&] { return SendCursorShow(d, 0, 2, 1); }, {{0x40, 0x05, 2, 1, 0}}},
      {"cursor show 1", [&] { return SendCursorShow(d, 1, 7, 0); }, {{0x40, 0x07, 7, 0, 0}}},
      {"cursor shape 1", [&] { return SendCursorShape(d, 1, 6, caps, 100); },
       {{0x40, 0x11, 6, 0, 100}}},
  };
  for (const Case& c : cases) {
    chip_->log().Clear();
    EXPECT_TRUE(NT_SUCCESS(c.call())) << c.what;
    EXPECT_EQ(WireOf(*chip_), c.wire) << c.what;
  }
  EXPECT_EQ(chip_->violations().Count(), 0u) << chip_->violations().Count();
  // What the chip took: the timing record, the table and the cursor position as sent.
  EXPECT_EQ(chip_->View(1).timing, record);
  EXPECT_EQ(chip_->View(1).gamma_tables[0x200].size(), 256u);
  EXPECT_EQ(chip_->View(1).cursor_y, 0xFFFE);
}

TEST_F(VendorRequestTest, LockNotHadWithinFiveSecondsSendsNothing) {
  SorvikDevice* d = OpenQuiet();
  uint8_t byte = 0x5A, buffer[1024];
  std::memset(buffer, 0xEE, sizeof buffer);
  uint32_t size = 77;
  std::array<uint8_t, 32> record{};
  std::function<NTSTATUS()> calls[] = {
      [&] { return QueryMonitorStatus(d, 0, &byte); },
      [&] { return ReadTimingTable(d, 0, 6, buffer, 32); },
      [&] { return ReadEdidBlocks(d, 0, buffer, &size); },
      [&] { return SetTiming(d, 0, record.data(), 32); },
      [&] { return SetOutputEnable(d, 0, true); },
      [&] { return SendCursorShape(d, 0, 1, buffer, 1000); },
      [&] { return StartDisplay(d); },
  };
  ASSERT_EQ(AcquireDeviceLock(d), STATUS_SUCCESS);  // another thread's request in progress
  for (auto& call : calls) EXPECT_EQ(call(), STATUS_UNSUCCESSFUL);
  ReleaseDeviceLock(d);
  EXPECT_TRUE(chip_->log().VendorRequests().empty());
  EXPECT_EQ(byte, 0x5A);
  EXPECT_EQ(size, 77u);
  // The lock is free again for the next request.
  EXPECT_EQ(QueryMonitorStatus(d, 0, &byte), STATUS_SUCCESS);
  EXPECT_EQ(byte, 1);
}

TEST_F(VendorRequestTest, TimingTableInChunksOfWholeRecords) {
  struct Case {
    uint32_t records;
    std::vector<std::pair<uint16_t, uint16_t>> requests;  // wIndex, wLength
  } cases[] = {
      {10, {{0, 320}}},
      {16, {{0, 512}}},
      {40, {{0, 512}, {512, 512}, {1024, 256}}},
  };
  for (const Case& c : cases) {
    SorvikDevice* d = OpenQuiet(WithTimings(c.records));
    std::vector<uint8_t> buffer(c.records * 32, 0xAA);
    EXPECT_EQ(ReadTimingTable(d, 1, c.records, buffer.data(), 32), STATUS_SUCCESS);
    std::vector<std::pair<uint16_t, uint16_t>> seen;
    for (const Wire& w : WireOf(*chip_)) {
      EXPECT_EQ(w.value, 1) << c.records;
      seen.emplace_back(w.index, w.length);
    }
    EXPECT_EQ(seen, c.requests) << c.records;
    EXPECT_EQ(buffer, chip_->profile().timing_tables[1]) << c.records;
    EXPECT_EQ(chip_->violations().Count(), 0u);
  }
}

TEST_F(VendorRequestTest, TimingTableFailuresAndShortAnswers) {
  struct Case {
    const char* what;
    ScriptKind kind;
    NTSTATUS status;
    size_t requests;
  } cases[] = {
      // The second request comes short: the read fails and nothing but what came is set.
      {"short", ScriptKind::kShort, STATUS_DEVICE_DATA_ERROR, 2},
      {"stall", ScriptKind::kStall, STATUS_UNSUCCESSFUL, 2},
      {"time-out", ScriptKind::kTimeOut, STATUS_IO_TIMEOUT, 2},
  };
  for (const Case& c : cases) {
    SorvikDevice* d = OpenQuiet(WithTimings(40));
    chip_->script().OnRequest(protocol::ReqReadTimings, {ScriptKind::kNormal, 1});
    chip_->script().OnRequest(protocol::ReqReadTimings, {c.kind, 1, 100});
    std::vector<uint8_t> buffer(40 * 32, 0xAA);
    EXPECT_EQ(ReadTimingTable(d, 0, 40, buffer.data(), 32), c.status) << c.what;
    EXPECT_EQ(chip_->log().CountVendor(protocol::ReqReadTimings), c.requests) << c.what;
    const auto& table = chip_->profile().timing_tables[0];
    EXPECT_TRUE(std::equal(table.begin(), table.begin() + 512, buffer.begin())) << c.what;
    const size_t came = c.kind == ScriptKind::kShort ? 100 : 0;
    EXPECT_TRUE(std::equal(table.begin() + 512, table.begin() + 512 + came, buffer.begin() + 512));
    // Never the 0xAA the caller left: the buffer was zeroed first.
    EXPECT_TRUE(std::all_of(buffer.begin() + 512 + came, buffer.end(), [](uint8_t b) { return b == 0; }))
        << c.what;
    EXPECT_EQ(chip_->HeldTransfers(), 0u);
  }
  SorvikDevice* d = OpenQuiet(WithTimings(6));
  std::vector<uint8_t> buffer(6 * 600);
  EXPECT_EQ(ReadTimingTable(d, 0, 6, nullptr, 32), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(ReadTimingTable(d, 0, 6, buffer.data(), 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ReadTimingTable(d, 0, 6, buffer.data(), 600), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ReadTimingTable(d, 0, 0, buffer.data(), 32), STATUS_SUCCESS);
  EXPECT_TRUE(chip_->log().VendorRequests().empty());
}

TEST_F(VendorRequestTest, EdidBlocks) {
  std::vector<uint8_t> bad_sum = Edid(0, 0);
  bad_sum[127] ^= 1;
  std::vector<uint8_t> no_header = Edid(0, 0);
  no_header[0] = 0x01;
  no_header[127] = static_cast<uint8_t>(no_header[127] - 1);
  struct Case {
    const char* what;
    std::vector<uint8_t> edid;
    uint32_t capacity;
    NTSTATUS status;
    size_t requests;
    uint32_t size;  // as returned (0 = untouched)
    uint32_t copied;
  } cases[] = {
      {"one block", Edid(0, 0), 1024, STATUS_SUCCESS, 1, 128, 128},
      {"bad checksum", bad_sum, 1024, STATUS_UNSUCCESSFUL, 1, 0, 0},
      {"no header", no_header, 1024, STATUS_SUCCESS, 1, 0, 0},
      {"six blocks", Edid(5, 5), 1024, STATUS_SUCCESS, 6, 768, 768},
      {"six blocks, small buffer", Edid(5, 5), 256, STATUS_SUCCESS, 6, 768, 256},
      {"count 9 reads eight", Edid(9, 9), 1024, STATUS_SUCCESS, 8, 1024, 1024},
      {"missing extension", Edid(1, 2), 1024, STATUS_UNSUCCESSFUL, 3, 0, 0},
  };
  for (const Case& c : cases) {
    chip::ChipProfile p = MakeProfile({2, 64, true});
    p.monitors[1].edid = c.edid;
    SorvikDevice* d = OpenQuiet(p);
    std::vector<uint8_t> buffer(1024, 0xEE);
    uint32_t size = c.capacity;
    const uint32_t expect_size = c.size == 0 ? size : c.size;
    EXPECT_EQ(ReadEdidBlocks(d, 1, buffer.data(), &size), c.status) << c.what;
    EXPECT_EQ(size, expect_size) << c.what;
    std::vector<uint16_t> offsets;
    for (const Wire& w : WireOf(*chip_)) {
      EXPECT_EQ(w.index, 1) << c.what;
      offsets.push_back(w.value);
    }
    ASSERT_EQ(offsets.size(), c.requests) << c.what;
    for (size_t i = 0; i < offsets.size(); ++i) EXPECT_EQ(offsets[i], i * 128) << c.what;
    EXPECT_TRUE(std::equal(c.edid.begin(), c.edid.begin() + c.copied, buffer.begin())) << c.what;
    EXPECT_TRUE(std::all_of(buffer.begin() + c.copied, buffer.end(), [](uint8_t b) { return b == 0xEE; }))
        << c.what;
    EXPECT_EQ(chip_->violations().Count(), 0u) << c.what;
  }
}

TEST_F(VendorRequestTest, EdidShortBlocksAreFailures) {
  struct Case {
    const char* what;
    uint32_t short_request;  // 0-based
    NTSTATUS status;
  } cases[] = {
      {"block 0 short", 0, STATUS_UNSUCCESSFUL},
      {"extension short", 2, STATUS_DEVICE_DATA_ERROR},
  };
  for (const Case& c : cases) {
    chip::ChipProfile p = MakeProfile({2, 64, true});
    p.monitors[0].edid = Edid(3, 3);
    SorvikDevice* d = OpenQuiet(p);
    for (uint32_t i = 0; i < c.short_request; ++i)
      chip_->script().OnRequest(protocol::ReqReadEdid, {ScriptKind::kNormal, 1});
    chip_->script().OnRequest(protocol::ReqReadEdid, {ScriptKind::kShort, 1, 127});
    std::vector<uint8_t> buffer(1024, 0xEE);
    uint32_t size = 1024;
    EXPECT_EQ(ReadEdidBlocks(d, 0, buffer.data(), &size), c.status) << c.what;
    EXPECT_EQ(size, 1024u) << c.what;
    EXPECT_EQ(buffer[0], 0xEE) << c.what;
  }
}

TEST_F(VendorRequestTest, DeviceFailuresReachTheCaller) {
  struct Case {
    ScriptKind kind;
    NTSTATUS status;
  } cases[] = {
      {ScriptKind::kStall, STATUS_UNSUCCESSFUL},
      {ScriptKind::kFail, STATUS_DEVICE_DATA_ERROR},
      {ScriptKind::kTimeOut, STATUS_IO_TIMEOUT},
      {ScriptKind::kShort, STATUS_DEVICE_DATA_ERROR},  // no byte came
      {ScriptKind::kGone, STATUS_DEVICE_NOT_CONNECTED},
  };
  for (const Case& c : cases) {
    SorvikDevice* d = OpenQuiet();
    chip_->script().OnRequest(protocol::ReqMonitorStatus, {c.kind, 1, 0});
    uint8_t connected = 0x5A;
    EXPECT_EQ(QueryMonitorStatus(d, 0, &connected), c.status) << static_cast<int>(c.kind);
    EXPECT_EQ(connected, 0x5A) << "a failed status leaves the last value";
    EXPECT_EQ(chip_->HeldTransfers(), 0u) << "the timed-out request was cancelled";
    EXPECT_EQ(chip_->log().CountVendor(protocol::ReqMonitorStatus), 1u) << "never retried";
  }
}

TEST_F(VendorRequestTest, CursorShapeInChunksUnderOneLock) {
  SorvikDevice* d = OpenQuiet();
  std::vector<uint8_t> shape(1000);
  for (size_t i = 0; i < shape.size(); ++i) shape[i] = static_cast<uint8_t>(i * 7);
  EXPECT_EQ(SendCursorShape(d, 0, 3, shape.data(), 1000), STATUS_SUCCESS);
  EXPECT_EQ(WireOf(*chip_), (std::vector<Wire>{{0x40, 0x10, 3, 0, 512}, {0x40, 0x10, 3, 512, 488}}));
  EXPECT_EQ(chip_->View(0).cursor_shapes[3], shape);

  // A stalled chunk ends the upload.
  chip_->log().Clear();
  chip_->script().OnRequest(protocol::ReqCursorShape1, {ScriptKind::kStall, 1});
  EXPECT_EQ(SendCursorShape(d, 1, 5, shape.data(), 1000), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(chip_->log().VendorRequests().size(), 1u);

  // A 128 x 128 image would put its last 8 bytes at offset 0x10000, which wIndex cannot carry
  // (it would land on the header): its last 512 bytes go at 65032 instead.
  chip_->log().Clear();
  std::vector<uint8_t> big(8 + 128 * 128 * 4);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 13 + i / 256);
  EXPECT_EQ(SendCursorShape(d, 0, 1, big.data(), static_cast<uint32_t>(big.size())),
            STATUS_SUCCESS);
  const std::vector<Wire> sent = WireOf(*chip_);
  ASSERT_EQ(sent.size(), 129u);
  EXPECT_EQ(sent[127], (Wire{0x40, 0x10, 1, 65024, 512}));
  EXPECT_EQ(sent[128], (Wire{0x40, 0x10, 1, 65032, 512}));
  EXPECT_EQ(chip_->View(0).cursor_shapes[1], big);

  // Past that nothing can address the end of the record.
  chip_->log().Clear();
  std::vector<uint8_t> huge(0x10000 + 512);
  EXPECT_EQ(SendCursorShape(d, 0, 1, huge.data(), static_cast<uint32_t>(huge.size())),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SendCursorShape(d, 2, 1, shape.data(), 10), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(chip_->log().VendorRequests().empty());
}

TEST_F(VendorRequestTest, IpModeAnswersLocally) {
  SorvikDevice* d = OpenQuiet(MakeProfile({1, 64, true}));
  d->IpMode = 1;
  std::array<uint8_t, 32> record{};
  uint8_t connected = 0;
  EXPECT_EQ(SetOutputEnable(d, 0, true), kOutputEnableLocal);
  EXPECT_EQ(SetTiming(d, 0, record.data(), 32), STATUS_SUCCESS);
  EXPECT_EQ(SetTiming(d, 0, nullptr, 3), STATUS_SUCCESS);
  EXPECT_EQ(QueryMonitorStatus(d, 0, &connected), STATUS_SUCCESS);
  EXPECT_EQ(connected, 1);
  // Monitor status needs no lock there.
  ASSERT_EQ(AcquireDeviceLock(d), STATUS_SUCCESS);
  connected = 0;
  EXPECT_EQ(QueryMonitorStatus(d, 0, &connected), STATUS_SUCCESS);
  EXPECT_EQ(connected, 1);
  ReleaseDeviceLock(d);
  // Without an endpoint 0x04 a cursor packet has nowhere to go.
  EXPECT_EQ(SendCursorPosition(d, 0, 1, 1), STATUS_INVALID_DEVICE_STATE);
  d->IpMode = 0;
  EXPECT_TRUE(chip_->log().Snapshot().empty());
  EXPECT_EQ(chip_->View(0).output_requests, 0u);
}

TEST_F(VendorRequestTest, IpDeviceAndDisplayInformation) {
  chip::ChipProfile p = MakeProfile({1, 64, true});
  p.ip_device_info = {1, 2, 3, 4, 5, 6, 7, 8};
  p.ip_display_info.resize(40);
  for (size_t i = 0; i < p.ip_display_info.size(); ++i) p.ip_display_info[i] = static_cast<uint8_t>(i);
  SorvikDevice* d = OpenQuiet(p);
  uint8_t info[8] = {};
  EXPECT_EQ(ReadIpDeviceInfo(d, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ReadIpDeviceInfo(d, info), STATUS_SUCCESS);
  EXPECT_TRUE(std::equal(std::begin(info), std::end(info), p.ip_device_info.begin()));
  uint8_t record[40] = {};
  ULONG moved = 0;
  EXPECT_EQ(ReadIpDisplayInfoBytes(d, record, 16, &moved), STATUS_SUCCESS);
  EXPECT_EQ(moved, 16u);
  EXPECT_EQ(ReadIpDisplayInfoBytes(d, record, 40, &moved), STATUS_SUCCESS);
  EXPECT_EQ(moved, 40u);
  EXPECT_EQ(record[39], 39);
  EXPECT_EQ(WireOf(*chip_), (std::vector<Wire>{{0xC0, 0xC8, 0, 0, 8},
                                               {0xC0, 0xC9, 0, 0, 16},
                                               {0xC0, 0xC9, 0, 0, 40}}));
}

}  // namespace
}  // namespace vorn::display::testing
