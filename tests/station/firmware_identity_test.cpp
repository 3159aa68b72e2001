// The firmware identity a station reads at start, the device id write and the NS computer
// information, against the chip model's station-side answers (scripted per item).
#include <cstring>

#include "protocol/guids.h"
#include "protocol/vendor_request.h"
#include "sim/chip/station_device.h"
#include "tests/station/station_machine.h"

namespace vorn::station::testing {
namespace {

namespace pnp = kernel::pnp;
namespace registry = kernel::registry;
using chip::Chip;
using chip::ScriptAction;
using chip::ScriptKind;

constexpr ULONG kFirst = 0x80;

class FirmwareIdentityTest : public StationMachineTest {
 protected:
  StationExtension* Start(chip::ChipProfile profile) {
    chip_ = std::make_unique<Chip>(std::move(profile));
    arrange_(*chip_);
    Boot();
    node_ = Attach(*chip_);
    StationExtension* s = node_ ? Ext(node_) : nullptr;
    EXPECT_NE(s, nullptr);
    return s;
  }
  void TearDown() override {
    bus_.reset();
    StationMachineTest::TearDown();
  }
  static WString Serial() {
    WString serial;
    registry::GetString(StationKey(kFirst), u"SerialNumber", &serial);
    return serial;
  }
  static std::vector<uint8_t> Binary(WStringView name) {
    registry::Value v;
    if (!registry::GetValue(StationKey(kFirst), name, &v)) return {};
    return v.data;
  }

  std::function<void(Chip&)> arrange_ = [](Chip&) {};
  std::unique_ptr<Chip> chip_;
  pnp::DevNode* node_ = nullptr;
};

TEST_F(FirmwareIdentityTest, CommandSetThreeReadsTheDeviceIdButNoRomSize) {
  chip::ChipProfile p = chip::MakeProfile({});
  p.device_values[chip::kDeviceValueCmdVersion] = 3;
  StationExtension* s = Start(p);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(Steps(kFirst, u"HalError"), std::vector<ULONG>{});
  EXPECT_EQ(StationDword(kFirst, u"VendorCmdVersion"), 3u);
  EXPECT_EQ(Serial(), u"0012-3456-78ABCDEF");
  EXPECT_EQ(StationDword(kFirst, u"RomSize"), 0u);
  EXPECT_EQ(s->FeatureFlags[0] & 1, 0);
  EXPECT_EQ(chip_->log().CountVendor(protocol::ReqReadRomSize), 0u);
}

TEST_F(FirmwareIdentityTest, ShortAnswersAreZeroFilledAndTheStartGoesOn) {
  chip::ChipProfile p = chip::MakeProfile({});
  p.station.rom_size_mib = 8;
  StationExtension* s = Start(p);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(StationDword(kFirst, u"RomSize"), 0x800000u);
  ASSERT_EQ(std::memcmp(s->PrjCode, "VS3000", 7), 0);

  // Started again, the chip now answers the project code, the device id and the boot code
  // version short: what it sent is used and nothing of the earlier start is left behind.
  auto& items = chip_->device_value_script();
  items.OnRequest(protocol::DeviceValuePrjCode, ScriptAction{ScriptKind::kShort, 1, 2});
  items.OnRequest(protocol::DeviceValueDeviceId, ScriptAction{ScriptKind::kShort, 1, 3});
  items.OnRequest(protocol::DeviceValueBootCodeVersion, ScriptAction{ScriptKind::kShort, 1, 1});
  ASSERT_EQ(pnp::Stop(node_), STATUS_SUCCESS);
  ASSERT_EQ(pnp::Start(node_), STATUS_SUCCESS);
  EXPECT_TRUE(StationServesRequests(s));
  EXPECT_EQ(Steps(kFirst, u"HalError"), std::vector<ULONG>{});
  const UCHAR prj[16] = {'V', 'S'};
  EXPECT_EQ(std::memcmp(s->PrjCode, prj, 16), 0);
  EXPECT_EQ(Binary(u"PrjCode"), std::vector<uint8_t>(prj, prj + 16));
  const UCHAR id[8] = {0xEF, 0xCD, 0xAB};
  EXPECT_EQ(std::memcmp(s->DeviceId, id, 8), 0);
  EXPECT_EQ(Serial(), u"0000-0000-00ABCDEF");
  EXPECT_EQ(s->BootCodeVersion, 0x03u);
  EXPECT_EQ(StationDword(kFirst, u"BootCodeVersion"), 0x03u);
}

struct ItemFault {
  const char* name;
  USHORT item;  // 0xFFFF: the ROM size request
  ScriptKind kind;
  bool start_fails;
};
void PrintTo(const ItemFault& f, std::ostream* os) { *os << f.name; }

class FirmwareItemFaultTest : public FirmwareIdentityTest,
                              public ::testing::WithParamInterface<ItemFault> {};

TEST_P(FirmwareItemFaultTest, AFailingReadEndsTheIdentityExceptTheCommandSetVersion) {
  const ItemFault f = GetParam();
  arrange_ = [f](Chip& c) {
    ScriptAction a{f.kind, ScriptAction::kForever};
    if (f.item == 0xFFFF)
      c.script().OnRequest(protocol::ReqReadRomSize, a);
    else
      c.device_value_script().OnRequest(static_cast<uint8_t>(f.item), a);
  };
  StationExtension* s = Start(chip::MakeProfile({}));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(pnp::Info(node_).state, pnp::NodeState::kStarted);
  if (f.start_fails) {
    EXPECT_EQ(Steps(kFirst, u"HalError"), std::vector<ULONG>{kHalFirmware});
    EXPECT_FALSE(StationServesRequests(s));
  } else {
    EXPECT_EQ(Steps(kFirst, u"HalError"), std::vector<ULONG>{});
    EXPECT_TRUE(StationServesRequests(s));
    EXPECT_EQ(StationDword(kFirst, u"VendorCmdVersion"), 0u);  // the field's earlier content
  }
  EXPECT_EQ(chip_->HeldTransfers(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Items, FirmwareItemFaultTest,
    ::testing::Values(
        ItemFault{"BootCodeStalls", protocol::DeviceValueBootCodeVersion, ScriptKind::kStall, true},
        // No answer at all: the 2 s time-out ends the read, so the start does not hang.
        ItemFault{"BootCodeNeverAnswers", protocol::DeviceValueBootCodeVersion, ScriptKind::kTimeOut, true},
        ItemFault{"ProjectCodeNeverAnswers", protocol::DeviceValuePrjCode, ScriptKind::kTimeOut, true},
        ItemFault{"PlatformFails", protocol::DeviceValueHwPlatform, ScriptKind::kFail, true},
        ItemFault{"DeviceIdStalls", protocol::DeviceValueDeviceId, ScriptKind::kStall, true},
        ItemFault{"RomSizeNeverAnswers", 0xFFFF, ScriptKind::kTimeOut, true},
        ItemFault{"CommandSetStallsAndIsKept", protocol::DeviceValueVendorCmdVersion, ScriptKind::kStall, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FirmwareIdentityTest, ADeviceIdWriteIsReadBackAndPublished) {
  StationExtension* s = Start(chip::MakeProfile({}));
  ASSERT_NE(s, nullptr);
  const UCHAR id[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(WriteDeviceId(s, id), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(s->DeviceId, id, 8), 0);
  EXPECT_EQ(Serial(), u"0807-0605-04030201");
  EXPECT_EQ(s->DeviceIdStale, 0);
  std::vector<chip::LoggedRequest> writes;
  for (const auto& r : chip_->log().VendorRequests())
    if (r.setup.bRequest == protocol::ReqWriteDeviceId) writes.push_back(r);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].data, std::vector<uint8_t>(id, id + 8));

  // A transfer that fails returns its status and leaves the published number alone.
  chip_->script().OnRequest(protocol::ReqWriteDeviceId, ScriptAction{ScriptKind::kStall});
  const UCHAR other[8] = {9};
  EXPECT_FALSE(NT_SUCCESS(WriteDeviceId(s, other)));
  EXPECT_EQ(Serial(), u"0807-0605-04030201");
}

TEST_F(FirmwareIdentityTest, ADeviceIdTheChipReadsBackOtherwiseFailsAndKeepsTheSerialNumber) {
  chip::ChipProfile p = chip::MakeProfile({});
  p.station.device_id_write_skew = 0x100;
  StationExtension* s = Start(p);
  ASSERT_NE(s, nullptr);
  const UCHAR id[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(WriteDeviceId(s, id), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(s->DeviceId[1], 3);  // what the chip holds now
  EXPECT_EQ(Serial(), u"0012-3456-78ABCDEF");
}

struct NsCase {
  const char* name;
  std::vector<uint8_t> block;  // empty: the request stalls
  ULONG cmd_version;
  UCHAR support_ns;
  NTSTATUS status;
  bool written;  // NS_ComputerInfo written
};
void PrintTo(const NsCase& c, std::ostream* os) { *os << c.name; }

class NsComputerInfoTest : public FirmwareIdentityTest,
                           public ::testing::WithParamInterface<NsCase> {};

TEST_P(NsComputerInfoTest, OnlyAValidBlockEntersNsMode) {
  const NsCase& c = GetParam();
  UCHAR support = c.support_ns;
  SetParameter(u"SupportNS", REG_BINARY, &support, 1);
  chip::ChipProfile p = chip::MakeProfile({});
  p.device_values[chip::kDeviceValueCmdVersion] = c.cmd_version;
  p.station.computer_info = c.block;
  StationExtension* s = Start(p);
  ASSERT_NE(s, nullptr);
  // The worker has discovered (and entered NS mode when the block is valid) and chosen its
  // interface.
  ASSERT_TRUE(WaitFor([] {
    return !kernel::interfaces::Enabled(protocol::kMainControlInterfaceGuid).empty() ||
           !kernel::interfaces::Enabled(protocol::kNsControlInterfaceGuid).empty();
  }));
  s->NsMode = 1;  // whatever came before, a failure leaves NS mode
  chip_->log().Clear();
  EXPECT_EQ(ReadNsComputerInfo(s), c.status);
  const bool entered = NT_SUCCESS(c.status);
  EXPECT_EQ(s->NsMode, entered ? 1 : 0);
  EXPECT_EQ(Binary(u"NS_Mode"), entered ? std::vector<uint8_t>{1} : std::vector<uint8_t>{});
  EXPECT_EQ(Binary(u"NS_ComputerInfo"), c.written ? c.block : std::vector<uint8_t>{});
  const bool asked = c.support_ns && c.cmd_version >= 7;
  EXPECT_EQ(chip_->log().CountVendor(protocol::ReqNsRead), asked ? 1u : 0u);
}

std::vector<uint8_t> Block(uint16_t version, uint64_t id, uint16_t at32) {
  return chip::MakeComputerInfo(version, id, at32);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, NsComputerInfoTest,
    ::testing::Values(
        NsCase{"Valid", Block(0x0102, 1, 1), 8, 1, STATUS_SUCCESS, true},
        NsCase{"OldVersion", Block(0x0101, 1, 1), 8, 1, STATUS_UNSUCCESSFUL, true},
        NsCase{"NoHostId", Block(0x0200, 0, 1), 8, 1, STATUS_UNSUCCESSFUL, true},
        NsCase{"ZeroAt32", Block(0x0102, 1, 0), 8, 1, STATUS_UNSUCCESSFUL, true},
        NsCase{"Stalls", {}, 8, 1, STATUS_UNSUCCESSFUL, false},
        NsCase{"CommandSetSix", Block(0x0102, 1, 1), 6, 1, STATUS_UNSUCCESSFUL, false},
        NsCase{"NotSupported", Block(0x0102, 1, 1), 8, 0, STATUS_UNSUCCESSFUL, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FirmwareIdentityTest, StringDescriptorsAreKeptAsSentAndMadeOnesNeverWrap) {
  Boot();
  Chip chip(chip::MakeProfile({}));
  chip::StationDevice device(chip);
  // A manufacturer descriptor whose type byte is not 3 is still the device's text.
  device.ReplaceDescriptor(USB_STRING_DESCRIPTOR_TYPE, 1, {6, 2, 'Q', 0, 'R', 0});
  pnp::DevNode* node = Attach(device);
  StationExtension* s = node ? Ext(node) : nullptr;
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(Steps(kFirst, u"HalError"), std::vector<ULONG>{});
  ASSERT_NE(s->ManufacturerString, nullptr);
  EXPECT_EQ(s->ManufacturerString->bLength, 6);
  EXPECT_EQ(s->ManufacturerString->bDescriptorType, 2);
  EXPECT_EQ(s->ManufacturerString->bString[1], u'R');

  for (size_t chars : {124u, 125u, 126u, 127u, 200u}) {
    std::u16string text(chars, u'x');
    USB_STRING_DESCRIPTOR* d = MakeStringDescriptor(text.c_str());
    ASSERT_NE(d, nullptr);
    const size_t kept = chars < 125 ? chars : 125;
    EXPECT_EQ(d->bLength, kept * 2 + 4) << chars;
    EXPECT_EQ(d->bString[kept - 1], u'x');
    ExFreePoolWithTag(d, kTagString);
  }
  bus_.reset();
}

TEST(FirmwareKeyPath, TheProjectCodeIsAKeyNameOfAtMostSixteenCharacters) {
  struct Case {
    std::vector<uint8_t> code;
    std::u16string name;  // empty: no path
  };
  const Case cases[] = {
      {{'V', 'S', '3', '0', '0', '0'}, u"VS3000"},
      {std::vector<uint8_t>(16, 'A'), std::u16string(16, u'A')},
      {{'A', 'B', '\\', 'C'}, u"AB"},
      {{'A', 0x01, 'C'}, u"A"},
      {{'A', 0xC3, 'C'}, u"A"},
      {{}, u""},
  };
  for (const Case& c : cases) {
    UCHAR code[16] = {};
    if (!c.code.empty()) std::memcpy(code, c.code.data(), c.code.size());
    WCHAR path[kFirmwareKeyPathChars];
    std::memset(path, 0xAA, sizeof path);
    EXPECT_EQ(FormatFirmwareKeyPath(code, path), !c.name.empty());
    std::u16string got(reinterpret_cast<const char16_t*>(path));
    EXPECT_EQ(got, c.name.empty() ? u"" : u"Parameters\\Firmware\\" + c.name);
  }
}

}  // namespace
}  // namespace vorn::station::testing
