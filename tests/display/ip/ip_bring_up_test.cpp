// Bring-up of an adapter with bulk OUT endpoint 0x04 on the chip model: the fixed settings
// and memory layout, the requests it sends, the view built from the display information
// record, and records that do not hold together, which refuse the adapter.
#include "display/device/ip_mode.h"

#include <functional>
#include <memory>
#include <string>

#include "display/frames/device_memory.h"
#include "display/modes/modes.h"
#include "sim/chip/edid_blob.h"
#include "tests/display/ip/ip_fixture.h"

namespace vorn::display::testing {
namespace {

constexpr uint32_t kMiB = 1u << 20;

struct ModeWant {
  uint16_t width, height, refresh;
  bool operator==(const ModeWant&) const = default;
};
void PrintTo(const ModeWant& m, std::ostream* os) {
  *os << m.width << "x" << m.height << "@" << m.refresh;
}

std::vector<ModeWant> ModesOf(const ViewContext& view) {
  std::vector<ModeWant> out;
  for (uint32_t i = 0; i < view.Modes.ModeCount; ++i) {
    const ModeEntry& e = view.Modes.Modes[i];
    EXPECT_TRUE(e.Offered && e.Valid);
    out.push_back({e.Width, e.Height, e.Refresh});
  }
  return out;
}

TEST_F(IpTest, BringsUpWithFixedSettingsOneViewAndTheRecordsModes) {
  const chip::ChipProfile profile = chip::MakeIpProfile();
  chip::Chip& chip = AddChip(profile);
  host::Adapter& a = AddAdapter(chip);
  ASSERT_TRUE(a.Open());
  SorvikDevice* d = a.handle();

  EXPECT_EQ(d->IpMode, 1u);
  EXPECT_NE(d->IpBulkOutput, nullptr);
  EXPECT_NE(d->BulkOutput, nullptr);
  EXPECT_EQ(a.block().ViewCount, 1);
  EXPECT_EQ(a.block().GammaSupported, 0u);  // command set 4
  EXPECT_EQ(d->HwPlatform, 0u);
  EXPECT_EQ(d->VendorCmdVersion, 4u);
  EXPECT_EQ(d->FrameMemorySize, 100 * kMiB);
  EXPECT_EQ(d->JpegQuality, 95u);
  EXPECT_EQ(d->JpegSampling, 3);
  EXPECT_EQ(d->FlipMode, 1u);
  EXPECT_EQ(d->CursorSlotTotal, 5);
  EXPECT_EQ(d->ControlChunkSize, 512);
  EXPECT_EQ(d->FormatMode, 0);
  EXPECT_EQ(d->DetectMonitor, 0);
  EXPECT_EQ(d->MaxPixels, 0u);
  EXPECT_EQ(d->BandwidthLimit, 0);

  const DeviceMemory& m = d->Memory;
  EXPECT_EQ(m.RingStart, 48 * kMiB);
  EXPECT_EQ(m.RingEnd, 100 * kMiB - 2048);
  EXPECT_EQ(m.NextAlloc, 48 * kMiB);
  EXPECT_EQ(m.ViewEnd, 48 * kMiB - 1024);
  EXPECT_EQ(m.Regions[0].Start, 0u);
  EXPECT_EQ(m.Regions[0].End, 48 * kMiB - 1024);
  EXPECT_EQ(m.Regions[1].Start, m.Regions[1].End);

  const ViewContext& v0 = d->Views[0];
  const ViewContext& v1 = d->Views[1];
  EXPECT_EQ(v0.Present, 1);
  EXPECT_EQ(v0.DetectEnabled, 0);
  EXPECT_EQ(v1.Present, 0);
  EXPECT_EQ(v0.Hwc->SlotCount, 5);
  EXPECT_EQ(v0.Hwc->SlotBase, 0);
  EXPECT_EQ(v1.Hwc->SlotBase, 5);

  // The EDID as the record carries it, the modes sorted, their maxima also the table's.
  ASSERT_EQ(v0.EdidSize, profile.monitors[0].edid.size());
  EXPECT_TRUE(std::equal(v0.EdidBuffer, v0.EdidBuffer + v0.EdidSize,
                         profile.monitors[0].edid.begin()));
  EXPECT_EQ(ModesOf(v0), (std::vector<ModeWant>{
                             {1024, 768, 60}, {1280, 720, 60}, {1680, 1050, 60}, {1920, 1080, 60}}));
  EXPECT_EQ(v0.Modes.ModeMaxWidth, 1920u);
  EXPECT_EQ(v0.Modes.ModeMaxHeight, 1080u);
  EXPECT_EQ(v0.Modes.TableMaxWidth, 1920);
  EXPECT_EQ(v0.Modes.TableMaxHeight, 1080);
  EXPECT_NE(v0.SystemFrame, nullptr);
  EXPECT_EQ(v0.Modes.BufferFrameBytes, ModeFrameBytes(1920, 1080));

  // No registry, capability block, device values, memory size or display start: the device
  // information, then the record's head and the whole record.
  const uint16_t total = static_cast<uint16_t>(profile.ip_display_info.size());
  EXPECT_EQ(VendorWire(chip), (std::vector<IpWire>{{0xC0, 0xC8, 0, 0, 8},
                                                   {0xC0, 0xC9, 0, 0, 16},
                                                   {0xC0, 0xC9, 0, 0, total}}));
  EXPECT_EQ(chip.violations().Messages(), std::vector<std::string>{});
}

// Records that hold together, laid out in different ways: what is read and what the view gets.
TEST_F(IpTest, RecordsThatHoldTogetherGiveTheViewTheirEdidAndModes) {
  const std::vector<uint8_t> edid256 = chip::MakeCommonEdid("Vorn IP", true);
  const std::vector<uint8_t> edid128 = chip::MakeEdid("Vorn IP");
  struct Case {
    std::string name;
    std::vector<uint8_t> record;
    uint16_t whole;  // the length of the second read
    std::vector<uint8_t> edid;
    std::vector<ModeWant> modes;
  };
  std::vector<Case> cases;
  cases.push_back({"EDID of 256 at 16, three modes at 272",
                   chip::BuildIpDisplayInfo(edid256, {{1920, 1080, 0, 60}, {1280, 720, 0, 50},
                                                      {1280, 720, 0, 60}}),
                   296, edid256, {{1280, 720, 50}, {1280, 720, 60}, {1920, 1080, 60}}});
  cases.push_back({"mode list before the EDID",
                   chip::BuildIpDisplayInfo(edid128, {{800, 600, 0, 60}}, true), 16 + 8 + 128,
                   edid128, {{800, 600, 60}}});
  cases.push_back({"two identical modes give one entry",
                   chip::BuildIpDisplayInfo(edid128, {{1920, 1080, 7, 60}, {1024, 768, 0, 60},
                                                      {1920, 1080, 9, 60}}),
                   16 + 128 + 24, edid128, {{1024, 768, 60}, {1920, 1080, 60}}});
  cases.push_back({"modes no monitor can show are left out",
                   chip::BuildIpDisplayInfo(edid128, {{0, 600, 0, 60}, {800, 0, 0, 60},
                                                      {800, 600, 0, 0}, {8192, 8192, 0, 60},
                                                      {800, 600, 0, 60}}),
                   16 + 128 + 40, edid128, {{800, 600, 60}}});
  {
    // Four bytes behind the second mode are no third mode.
    std::vector<uint8_t> r = RawRecord(0, 0, 16, 20, 20);
    PutMode(&r, 16, 0, 1280, 1024, 60);
    PutMode(&r, 16, 1, 640, 480, 60);
    cases.push_back({"no EDID, a remainder behind the modes", r, 36, {},
                     {{640, 480, 60}, {1280, 1024, 60}}});
  }
  {
    // The largest record one control transfer carries; modes of zeros are left out.
    std::vector<uint8_t> r = RawRecord(16, 128, 144, 0xFFFF - 144, 0xFFFF - 16);
    std::copy(edid128.begin(), edid128.end(), r.begin() + 16);
    PutMode(&r, 144, 0, 1600, 900, 60);
    PutMode(&r, 144, 8000, 1366, 768, 60);
    cases.push_back({"a record of 0xFFFF bytes", r, 0xFFFF, edid128,
                     {{1366, 768, 60}, {1600, 900, 60}}});
  }

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    chip::Chip& chip = AddChip(WithRecord(c.record));
    host::Adapter& a = AddAdapter(chip);
    ASSERT_TRUE(a.Open());
    const std::vector<IpWire> wire = VendorWire(chip);
    ASSERT_EQ(wire.size(), 3u);
    EXPECT_EQ(wire[1].length, 16);
    EXPECT_EQ(wire[2].length, c.whole);
    const ViewContext& v = a.handle()->Views[0];
    EXPECT_EQ(std::vector<uint8_t>(v.EdidBuffer, v.EdidBuffer + v.EdidSize), c.edid);
    EXPECT_EQ(ModesOf(v), c.modes);
    EXPECT_EQ(a.Close(), STATUS_SUCCESS);
  }
}

// Each mode gets totals of 115 % and 105 % and the pixel rate they give; the host sees them.
TEST_F(IpTest, ModeEntriesCarryTheirTotalsToTheHost) {
  ModeEntry entries[2] = {};
  InitIpModeEntry(entries, 1, 1920, 1080, 60, 7);
  const ModeEntry& e = entries[1];
  EXPECT_EQ(e.Source, 7u);
  EXPECT_EQ(e.BitsPerPixel, 32);
  EXPECT_EQ(e.HorizontalTotal, 2208u);
  EXPECT_EQ(e.VerticalTotal, 1134u);
  EXPECT_EQ(e.PixelRateHz, 150232320u);
  EXPECT_TRUE(e.Offered && e.Valid);
  EXPECT_EQ(entries[0].Valid, 0);

  host::Adapter& a = Opened(WithRecord(chip::BuildIpDisplayInfo(chip::MakeEdid("x"),
                                                                {{1920, 1080, 0, 60}})));
  ASSERT_EQ(a.Start(), STATUS_SUCCESS);
  DisplayInterface* display = a.HeldDisplay();
  ASSERT_NE(display, nullptr);
  std::vector<TargetMode> modes;
  ASSERT_EQ(a.GetModes(display, &modes), STATUS_SUCCESS);
  ASSERT_EQ(modes.size(), 1u);
  EXPECT_EQ(modes[0].Width, 1920u);
  EXPECT_EQ(modes[0].HorizontalTotal, 2208u);
  EXPECT_EQ(modes[0].VerticalTotal, 1134u);
  EXPECT_EQ(modes[0].PixelRateHz, 150232320u);
  EXPECT_EQ(modes[0].RefreshHz, 60u);
  // The host got the EDID unprocessed, and a view of one.
  const std::vector<host::DisplayRecord> held = a.Displays();
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0].edid, chip::MakeEdid("x"));
  EXPECT_EQ(held[0].block.ViewCount, 1u);
  EXPECT_EQ(held[0].block.ViewIndex, 0u);
  EXPECT_EQ(held[0].block.SetGamma, nullptr);
}

struct Hostile {
  const char* name;
  std::vector<uint8_t> record;
  NTSTATUS head;      // CheckIpDisplayInfoHead over the first answer
  size_t requests;    // display information requests the open sent
};
void PrintTo(const Hostile& h, std::ostream* os) { *os << h.name; }

std::vector<Hostile> HostileRecords() {
  std::vector<Hostile> out;
  auto add = [&](const char* name, std::vector<uint8_t> r, NTSTATUS head, size_t requests) {
    out.push_back({name, std::move(r), head, requests});
  };
  add("first answer of 15 bytes", std::vector<uint8_t>(15, 0x10), STATUS_DATA_ERROR, 1);
  add("EDID over the head", RawRecord(8, 128, 136, 8, 128), STATUS_DATA_ERROR, 1);
  add("mode list over the head", RawRecord(16, 128, 4, 8, 128), STATUS_DATA_ERROR, 1);
  add("mode list inside the EDID", RawRecord(16, 128, 32, 8, 128), STATUS_DATA_ERROR, 1);
  add("EDID runs into the mode list", RawRecord(16, 128, 140, 8, 140), STATUS_DATA_ERROR, 1);
  add("mode list runs into the EDID", RawRecord(40, 128, 16, 32, 152), STATUS_DATA_ERROR, 1);
  add("EDID wraps 32 bits", RawRecord(0xFFFFFF80u, 0x100, 16, 8, 8), STATUS_DATA_ERROR, 1);
  add("mode list wraps 32 bits", RawRecord(16, 0, 0xFFFFFFF8u, 0x10, 8), STATUS_DATA_ERROR, 1);
  add("EDID size wraps 32 bits", RawRecord(16, 0xFFFFFFF0u, 16, 8, 8), STATUS_DATA_ERROR, 1);
  add("EDID beyond 0xFFFF", RawRecord(0x10000, 128, 16, 8, 8), STATUS_DATA_ERROR, 1);
  add("mode list ends at 0x10000", RawRecord(16, 0, 16, 0xFFF0, 8), STATUS_DATA_ERROR, 1);
  {
    // The head promises four modes, the device gives two.
    std::vector<uint8_t> r = RawRecord(0, 0, 16, 32, 16);
    PutMode(&r, 16, 0, 800, 600, 60);
    PutMode(&r, 16, 1, 640, 480, 60);
    add("whole record shorter than its head", r, STATUS_SUCCESS, 2);
  }
  return out;
}

class IpHostileRecordTest : public IpTest, public ::testing::WithParamInterface<Hostile> {};

// A record that does not hold together refuses the adapter, with nothing of it left behind.
TEST_P(IpHostileRecordTest, RefusesTheAdapter) {
  const Hostile& h = GetParam();
  const uint32_t first = static_cast<uint32_t>(std::min<size_t>(16, h.record.size()));
  uint32_t total = 0;
  EXPECT_EQ(CheckIpDisplayInfoHead(h.record.data(), first, nullptr, &total), h.head);

  const Resources before = Stable();
  chip::Chip& chip = AddChip(WithRecord(h.record));
  host::Adapter& a = AddAdapter(chip);
  EXPECT_FALSE(a.Open());
  EXPECT_EQ(chip.log().CountVendor(protocol::ReqIpDisplayInfo), h.requests);
  EXPECT_EQ(chip.interrupts().WaitingReads(), 0u);
  EXPECT_EQ(Settled(before), before);
}

INSTANTIATE_TEST_SUITE_P(Records, IpHostileRecordTest, ::testing::ValuesIn(HostileRecords()),
                         [](const ::testing::TestParamInfo<Hostile>& info) {
                           std::string n;
                           for (const char* p = info.param.name; *p; ++p)
                             n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           return n;
                         });

// The chip model behind a device that answers the whole display information record with
// another head than the first read gave: the mode list size at the second read is |mode_size|.
class ChangingHead : public usb::UsbDevice {
 public:
  ChangingHead(chip::Chip& chip, uint32_t mode_size) : chip_(chip), mode_size_(mode_size) {}
  void Submit(usb::Transfer& t) override {
    if (t.endpoint == 0 && t.setup.bRequest == protocol::ReqIpDisplayInfo && t.setup.wLength > 16) {
      auto done = std::make_shared<std::function<void(usb::Transfer&)>>(std::move(t.complete));
      const uint32_t size = mode_size_;
      t.complete = [done, size](usb::Transfer& x) {
        if (x.buffer && x.actual >= 16) protocol::StoreLe32(x.buffer + 12, size);
        (*done)(x);
      };
    }
    chip_.Submit(t);
  }
  bool Cancel(usb::Transfer& t) override { return chip_.Cancel(t); }
  void ResetEndpoint(uint8_t endpoint) override { chip_.ResetEndpoint(endpoint); }
  bool Connected() const override { return chip_.Connected(); }

 private:
  chip::Chip& chip_;
  const uint32_t mode_size_;
};

// A whole record whose head is not the one first read refuses the adapter, even where the new
// head would hold together by itself.
TEST_F(IpTest, AWholeRecordWithAnotherHeadRefusesTheAdapter) {
  chip::Chip& chip = AddChip(chip::MakeIpProfile());  // four modes
  const Resources before = Stable();
  {
    ChangingHead changed(chip, 8);  // one mode in the second answer
    host::Adapter& a = host_.AddAdapter(&changed);
    EXPECT_FALSE(a.Open());
    EXPECT_EQ(chip.log().CountVendor(protocol::ReqIpDisplayInfo), 2u);
    host_.RemoveAdapter(a);
  }
  EXPECT_EQ(Settled(before), before);
  // The same device giving the head it first gave opens.
  ChangingHead same(chip, 32);
  host::Adapter& b = host_.AddAdapter(&same);
  ASSERT_TRUE(b.Open());
  EXPECT_EQ(b.handle()->Views[0].Modes.ModeCount, 4u);
  host_.RemoveAdapter(b);
}

// Without a record (the request stalls) or without modes the adapter opens, its view offers
// nothing, Start hands the host no display and still starts the send thread.
TEST_F(IpTest, WithoutARecordOrModesTheViewOffersNothing) {
  struct Case {
    const char* name;
    std::vector<uint8_t> record;
    size_t requests;
  } cases[] = {
      {"no record", {}, 1},
      {"a mode list of size 0", RawRecord(16, 128, 144, 0, 128), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    chip::Chip& chip = AddChip(WithRecord(c.record));
    host::Adapter& a = AddAdapter(chip);
    ASSERT_TRUE(a.Open());
    EXPECT_EQ(chip.log().CountVendor(protocol::ReqIpDisplayInfo), c.requests);
    EXPECT_EQ(a.handle()->Views[0].Modes.ModeCount, 0u);
    EXPECT_EQ(a.Start(), STATUS_SUCCESS);
    EXPECT_TRUE(a.Displays().empty());
    EXPECT_EQ(a.handle()->SendThread.Running, 1);
    EXPECT_EQ(a.Close(), STATUS_SUCCESS);
  }
  uint32_t total = 0;
  const std::vector<uint8_t> empty = RawRecord(16, 128, 144, 0, 128);
  EXPECT_EQ(CheckIpDisplayInfoHead(empty.data(), 16, nullptr, &total),
            STATUS_INSUFFICIENT_RESOURCES);
}

}  // namespace
}  // namespace vorn::display::testing
