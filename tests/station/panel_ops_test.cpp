// The panel handlers against the chip model: the requests each one sends (codes, setup
// values, lengths and data as the chip logged them), what it answers, the command-set gate,
// the save and its busy state, and failures in the middle of a multi-request operation.
#include <cstring>
#include <functional>
#include <numeric>
#include <ostream>

#include "protocol/panel_property.h"
#include "protocol/vendor_request.h"
#include "station/panel_ops.h"
#include "tests/station/pipe_machine.h"

namespace vorn::station::testing {
namespace {

using chip::Chip;
using chip::ScriptAction;
using chip::ScriptKind;

struct Sent {
  uint8_t code;
  bool in;
  uint16_t value;
  uint16_t index;
  uint16_t length;
  bool operator==(const Sent&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Sent& s) {
  char text[80];
  std::snprintf(text, sizeof text, "{0x%02X %s value 0x%04X index 0x%04X length %u}", s.code,
                s.in ? "IN" : "OUT", s.value, s.index, s.length);
  return os << text;
}

using Call = std::function<NTSTATUS(StationExtension*, UCHAR* output)>;

struct PanelCase {
  const char* name;
  Call call;
  NTSTATUS status;
  std::vector<Sent> sent;
  std::vector<uint8_t> output;  // the start of the output buffer afterwards (getters)
};
void PrintTo(const PanelCase& c, std::ostream* os) { *os << c.name; }

std::array<UCHAR, 16> Property(uint32_t id, uint32_t value) {
  std::array<UCHAR, 16> r{};
  protocol::PanelPropertyRequest p;
  p.Id = id;
  p.Value = value;
  protocol::EncodePanelPropertyRequest(p, r);
  return r;
}
Call Set(uint32_t id, uint32_t value) {
  return [=](StationExtension* s, UCHAR*) { return SetPanelProperty(s, Property(id, value).data()); };
}
Call Get(uint32_t id) {
  return [=](StationExtension* s, UCHAR* out) {
    protocol::StoreLe32(out, id);
    return GetPanelProperty(s, id, out);
  };
}
Call NightLight(UCHAR view, UCHAR mode, UCHAR level) {
  return [=](StationExtension* s, UCHAR*) {
    const UCHAR input[4] = {view, mode, level, 0xEE};
    return NightLightControl(s, input);
  };
}
std::vector<UCHAR> Ramp(UCHAR view, UCHAR mode) {
  std::vector<UCHAR> ramp(772);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<UCHAR>(i * 7 + i / 256);
  ramp[0] = view;
  ramp[1] = mode;
  return ramp;
}
Call Tables(UCHAR view, UCHAR mode) {
  return [=](StationExtension* s, UCHAR*) { return SetNightLightTables(s, Ramp(view, mode).data()); };
}
std::vector<UCHAR> LanguageBytes(size_t n) {
  std::vector<UCHAR> data(n);
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<UCHAR>(i ^ (i >> 9));
  return data;
}
Call Language(ULONG index, size_t length) {
  return [=](StationExtension* s, UCHAR*) {
    std::vector<UCHAR> data = LanguageBytes(length);
    return SetLanguageData(s, index, data.data(), static_cast<ULONG>(length));
  };
}
std::vector<Sent> LanguageBlocks(uint16_t index, size_t length) {
  std::vector<Sent> out;
  const uint16_t blocks = static_cast<uint16_t>((length + 511) / 512);
  for (uint16_t i = 0; i < blocks; ++i)
    out.push_back({0x1A, false, blocks, static_cast<uint16_t>(index << 8 | i),
                   static_cast<uint16_t>(std::min<size_t>(512, length - i * 512u))});
  return out;
}

// What the panel answers in these tests.
chip::PanelState Arranged() {
  chip::PanelState p;
  p.camera = 7;
  p.touch = 9;
  p.brightness = 42;
  p.dword = 0x11223344;
  return p;
}

const PanelCase kCases[] = {
    {"BrightnessEighty", Set(3, 80), STATUS_SUCCESS, {{0x18, true, 80, 0, 0}}, {}},
    {"CameraTakesTheLowSixteenBits", Set(1, 0x101FF), STATUS_SUCCESS, {{0x16, true, 0, 0x1FF, 0}}, {}},
    {"TouchOn", Set(2, 1), STATUS_SUCCESS, {{0x16, true, 1, 1, 0}}, {}},
    {"PanelDwordSendsItsFourBytes", Set(4, 0xA1B2C3D4), STATUS_SUCCESS, {{0x19, false, 0, 0, 4}}, {}},
    {"RotationThree", Set(5, protocol::PanelRotationValue(3, 0)), STATUS_SUCCESS, {{0x1F, true, 0, 3, 0}}, {}},
    {"RotationTwoWithItsFlag", Set(5, protocol::PanelRotationValue(2, 1)), STATUS_SUCCESS, {{0x1F, true, 1, 2, 0}}, {}},
    {"RotationFourIsRefused", Set(5, 4), STATUS_INVALID_PARAMETER, {}, {}},
    {"RotationFlagTwoIsRefused", Set(5, protocol::PanelRotationValue(1, 2)), STATUS_INVALID_PARAMETER, {}, {}},
    {"SetOfAnUnknownIdIsRefused", Set(6, 1), STATUS_INVALID_PARAMETER, {}, {}},
    {"SetOfIdZeroIsRefused", Set(0, 1), STATUS_INVALID_PARAMETER, {}, {}},
    {"GetCamera", Get(1), STATUS_SUCCESS, {{0x8B, true, 0, 0, 1}}, {7}},
    {"GetTouch", Get(2), STATUS_SUCCESS, {{0x8B, true, 1, 0, 1}}, {9}},
    {"GetBrightness", Get(3), STATUS_SUCCESS, {{0x8C, true, 0, 0, 1}}, {42}},
    {"GetPanelDword", Get(4), STATUS_SUCCESS, {{0x8F, true, 0, 0, 4}}, {0x44, 0x33, 0x22, 0x11}},
    {"RotationHasNoGet", Get(5), STATUS_INVALID_PARAMETER, {}, {5, 0, 0, 0}},
    {"SecurityKey", [](StationExtension* s, UCHAR* out) { return GetPanelSecurityKey(s, out); },
     STATUS_SUCCESS, {{0x8E, true, 0, 0, 16}},
     {0x5E, 0xC0, 0x4B, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD}},
    {"LanguageIndexOne", [](StationExtension* s, UCHAR* out) { return GetLanguageIndex(s, 1, out); },
     STATUS_SUCCESS, {{0x8D, true, 1, 0, 8}}, {'L', 'I', 'D', 'X', 1, 4, 5, 6}},
    {"LanguageIndexOtherSelectorsReadZero",
     [](StationExtension* s, UCHAR* out) { return GetLanguageIndex(s, 2, out); }, STATUS_SUCCESS,
     {{0x8D, true, 0, 0, 8}}, {'L', 'I', 'D', 'X', 0, 1, 2, 3}},
    {"SetLanguageIndexLowSixteenBits",
     [](StationExtension* s, UCHAR*) { return SetLanguageIndex(s, 0x10007); }, STATUS_SUCCESS,
     {{0x17, false, 7, 0, 0}}, {}},
    {"LanguageDataOf1025BytesInThreeBlocks", Language(2, 1025), STATUS_SUCCESS, LanguageBlocks(2, 1025), {}},
    {"LanguageDataOfOneBlock", Language(0xFF, 512), STATUS_SUCCESS, LanguageBlocks(0xFF, 512), {}},
    {"LanguageDataOf256Blocks", Language(1, 256 * 512), STATUS_SUCCESS, LanguageBlocks(1, 256 * 512), {}},
    {"LanguageDataOfNothingSendsNothing", Language(1, 0), STATUS_SUCCESS, {}, {}},
    {"LanguageDataOver256BlocksIsRefused", Language(1, 256 * 512 + 1), STATUS_INVALID_PARAMETER, {}, {}},
    {"LanguageIndexAbove255IsRefused", Language(0x100, 10), STATUS_INVALID_PARAMETER, {}, {}},
    {"Save", [](StationExtension* s, UCHAR*) { return SaveLanguageData(s); }, STATUS_SUCCESS,
     {{0x1B, false, 0, 0, 0}}, {}},
    {"NightLightOnWithLevelForViewOne", NightLight(1, 1, 5), STATUS_SUCCESS, {{0x1C, false, 0x0101, 0x0105, 0}}, {}},
    {"NightLightModeThree", NightLight(0, 3, 9), STATUS_SUCCESS, {{0x1C, false, 0x0003, 0, 0}}, {}},
    {"NightLightOff", NightLight(1, 0, 9), STATUS_SUCCESS, {{0x1C, false, 0x0100, 0, 0}}, {}},
    {"NightLightModeFourIsRefused", NightLight(0, 4, 0), STATUS_INVALID_PARAMETER, {}, {}},
    {"TablesModeOneSendsThreeTablesLastFirst", Tables(0, 1), STATUS_SUCCESS,
     {{0x1D, false, 0, 0x100, 256}, {0x1D, false, 0, 0x200, 256}, {0x1D, false, 0, 0x400, 256}}, {}},
    {"TablesOtherModeIsOneControl", Tables(1, 2), STATUS_SUCCESS, {{0x1C, false, 0x0102, 0, 0}}, {}},
    {"ThirdPartyVersion", [](StationExtension* s, UCHAR* out) { return GetThirdPartyVersion(s, out); },
     STATUS_SUCCESS, {{0xB0, true, 0, 6, 4}}, {0x04, 0x00, 0x01, 0x00}},
    {"ResetChip", [](StationExtension* s, UCHAR*) { return ResetChip(s); }, STATUS_SUCCESS,
     {{0x30, false, 0, 0, 0}}, {}},
    {"ThirdPartyModeLowSixteenBits",
     [](StationExtension* s, UCHAR*) { return SetThirdPartyMode(s, 0x20005); }, STATUS_SUCCESS,
     {{0x1E, false, 5, 0, 0}}, {}},
};

bool IsPanelTraffic(const chip::LoggedRequest& r) {
  const usb::SetupPacket& s = r.setup;
  return chip::PanelRequests::Owns(s) || s.bRequest == protocol::ReqGammaControl ||
         s.bRequest == protocol::ReqGammaTable ||
         (s.bRequest == protocol::ReqReadDeviceValue &&
          s.wIndex == protocol::DeviceValueThirdPartyVersion);
}

class PanelOpsTest : public StationMachineTest {
 protected:
  void Start(uint32_t cmd_version) {
    chip::ChipProfile p = chip::MakeProfile({});
    p.device_values[chip::kDeviceValueCmdVersion] = cmd_version;
    chip_ = std::make_unique<Chip>(std::move(p));
    chip_->panel().SetState(Arranged());
    Boot();
    node_ = Attach(*chip_);
    ASSERT_NE(node_, nullptr);
    station_ = Ext(node_);
    ASSERT_NE(station_, nullptr);
    ASSERT_TRUE(StationServesRequests(station_));
    ASSERT_EQ(station_->VendorCmdVersion, cmd_version);
    chip_->log().Clear();
  }
  void TearDown() override {
    if (chip_) {
      EXPECT_EQ(chip_->violations().Messages(), std::vector<std::string>{});
    }
    if (bus_ && node_) bus_->Detach(*chip_);
    bus_.reset();
    StationMachineTest::TearDown();
  }
  std::vector<chip::LoggedRequest> PanelTraffic() const {
    std::vector<chip::LoggedRequest> out;
    for (const chip::LoggedRequest& r : chip_->log().VendorRequests())
      if (IsPanelTraffic(r)) out.push_back(r);
    return out;
  }
  std::vector<Sent> SentRequests() const {
    std::vector<Sent> out;
    for (const chip::LoggedRequest& r : PanelTraffic())
      out.push_back({r.setup.bRequest, (r.setup.bmRequestType & usb::kDirIn) != 0, r.setup.wValue,
                     r.setup.wIndex, r.setup.wLength});
    return out;
  }
  bool Busy() const { return KeReadStateEvent(&station_->PanelBusyEvent) != 0; }

  std::unique_ptr<Chip> chip_;
  kernel::pnp::DevNode* node_ = nullptr;
  StationExtension* station_ = nullptr;
};

class PanelCodeTest : public PanelOpsTest, public ::testing::WithParamInterface<PanelCase> {};

TEST_P(PanelCodeTest, SendsItsRequestsAndAnswers) {
  const PanelCase& c = GetParam();
  Start(8);
  std::array<UCHAR, 32> output;
  output.fill(0xA5);
  EXPECT_EQ(c.call(station_, output.data()), c.status);
  EXPECT_EQ(SentRequests(), c.sent);
  for (const chip::LoggedRequest& r : PanelTraffic())
    EXPECT_EQ(r.status, usb::TransferStatus::kSuccess) << Sent{r.setup.bRequest, false, r.setup.wValue, r.setup.wIndex, r.setup.wLength};
  ASSERT_LE(c.output.size(), output.size());
  EXPECT_EQ(std::vector<uint8_t>(output.begin(), output.begin() + c.output.size()), c.output);
  // A getter writes no more than its answer.
  for (size_t i = std::max<size_t>(c.output.size(), 4); i < output.size(); ++i)
    EXPECT_EQ(output[i], 0xA5) << "byte " << i;
}

INSTANTIATE_TEST_SUITE_P(Codes, PanelCodeTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<PanelCase>& i) { return i.param.name; });

TEST_F(PanelOpsTest, CommandSetSevenRefusesEveryPanelCodeWithoutTouchingTheChip) {
  Start(7);
  for (const PanelCase& c : kCases) {
    SCOPED_TRACE(c.name);
    std::array<UCHAR, 32> output;
    output.fill(0xA5);
    EXPECT_EQ(c.call(station_, output.data()), STATUS_NOT_SUPPORTED);
    if (c.output.empty()) continue;
    for (size_t i = 4; i < output.size(); ++i) EXPECT_EQ(output[i], 0xA5) << "byte " << i;
  }
  EXPECT_EQ(SentRequests(), std::vector<Sent>{});
  EXPECT_FALSE(Busy());
}

TEST_F(PanelOpsTest, ThePanelKeepsWhatTheRequestsCarried) {
  Start(8);
  const std::vector<UCHAR> data = LanguageBytes(1025);
  ASSERT_EQ(SetLanguageData(station_, 3, data.data(), static_cast<ULONG>(data.size())), STATUS_SUCCESS);
  ASSERT_EQ(SetPanelProperty(station_, Property(4, 0xA1B2C3D4).data()), STATUS_SUCCESS);
  ASSERT_EQ(SetPanelProperty(station_, Property(3, 80).data()), STATUS_SUCCESS);
  ASSERT_EQ(SetPanelProperty(station_, Property(5, protocol::PanelRotationValue(2, 1)).data()), STATUS_SUCCESS);
  const std::vector<UCHAR> ramp = Ramp(1, 1);
  ASSERT_EQ(SetNightLightTables(station_, ramp.data()), STATUS_SUCCESS);
  const UCHAR light[4] = {1, 1, 5, 0};
  ASSERT_EQ(NightLightControl(station_, light), STATUS_SUCCESS);

  chip::PanelState p = chip_->panel().State();
  ASSERT_EQ(p.languages.count(3), 1u);
  EXPECT_EQ(p.languages[3], data);
  EXPECT_EQ(p.dword, 0xA1B2C3D4u);
  EXPECT_EQ(p.brightness, 80);
  EXPECT_EQ(p.rotation, 2);
  EXPECT_EQ(p.rotation_flag, 1);
  EXPECT_EQ(p.night_light_mode[1], 1);
  EXPECT_EQ(p.night_light_level[1], 5);
  const chip::ViewSettings view = chip_->View(1);
  const std::pair<uint16_t, size_t> tables[] = {{0x100, 516}, {0x200, 260}, {0x400, 4}};
  for (const auto& [index, offset] : tables) {
    SCOPED_TRACE(index);
    ASSERT_EQ(view.gamma_tables.count(index), 1u);
    EXPECT_EQ(view.gamma_tables.at(index),
              std::vector<uint8_t>(ramp.begin() + offset, ramp.begin() + offset + 256));
  }
  // What was set reads back.
  UCHAR out[4];
  ASSERT_EQ(GetPanelProperty(station_, 4, out), STATUS_SUCCESS);
  EXPECT_EQ(protocol::LoadLe32(out), 0xA1B2C3D4u);
}

TEST_F(PanelOpsTest, ASaveIsBusyUntilTheChipReportsItsEnd) {
  Start(8);
  EXPECT_FALSE(Busy());  // not busy before any save
  ASSERT_EQ(SaveLanguageData(station_), STATUS_SUCCESS);
  EXPECT_TRUE(Busy());
  ASSERT_TRUE(chip_->FinishPanelSave());
  EXPECT_TRUE(Eventually([&] { return !Busy(); }));
  EXPECT_FALSE(chip_->FinishPanelSave());
}

TEST_F(PanelOpsTest, AFailedSaveReportsItsStatusAndLeavesTheStationNotBusy) {
  Start(8);
  chip_->script().OnRequest(protocol::ReqSaveLanguageData, ScriptAction{ScriptKind::kStall});
  NTSTATUS status = SaveLanguageData(station_);
  EXPECT_FALSE(NT_SUCCESS(status)) << std::hex << status;
  EXPECT_FALSE(Busy());
  EXPECT_EQ(chip_->panel().State().saves, 0u);
}

// The first failing request ends a multi-request operation with its status; nothing after it
// is sent.
struct FailureCase {
  const char* name;
  Call call;
  uint8_t failing_code;
  uint32_t pass_first;  // requests of that code that go through before the failure
  size_t sent;          // panel requests the chip sees in all
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class PanelFailureTest : public PanelOpsTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(PanelFailureTest, EndsAtTheFirstFailure) {
  const FailureCase& c = GetParam();
  Start(8);
  if (c.pass_first)
    chip_->script().OnRequest(c.failing_code, ScriptAction{ScriptKind::kNormal, c.pass_first});
  chip_->script().OnRequest(c.failing_code, ScriptAction{ScriptKind::kStall});
  std::array<UCHAR, 16> output;
  output.fill(0xA5);
  const NTSTATUS status = c.call(station_, output.data());
  EXPECT_FALSE(NT_SUCCESS(status)) << std::hex << status;
  EXPECT_EQ(PanelTraffic().size(), c.sent);
  EXPECT_EQ(PanelTraffic().back().status, usb::TransferStatus::kStall);
}

const FailureCase kFailures[] = {
    {"SecondLanguageBlock", Language(2, 1025), protocol::ReqSetLanguageData, 1, 2},
    {"FirstNightLightTable", Tables(0, 1), protocol::ReqGammaTable, 0, 1},
    {"ThirdNightLightTable", Tables(0, 1), protocol::ReqGammaTable, 2, 3},
    {"Brightness", Set(3, 10), protocol::ReqSetBrightness, 0, 1},
};
INSTANTIATE_TEST_SUITE_P(Failures, PanelFailureTest, ::testing::ValuesIn(kFailures),
                         [](const ::testing::TestParamInfo<FailureCase>& i) { return i.param.name; });

TEST_F(PanelOpsTest, AFailedThirdPartyVersionReadIsZeroAndSentOnce) {
  Start(8);
  chip_->device_value_script().OnRequest(protocol::DeviceValueThirdPartyVersion,
                                         ScriptAction{ScriptKind::kStall});
  UCHAR out[8];
  std::memset(out, 0xA5, sizeof out);
  EXPECT_FALSE(NT_SUCCESS(GetThirdPartyVersion(station_, out)));
  EXPECT_EQ(protocol::LoadLe32(out), 0u);
  EXPECT_EQ(out[4], 0xA5);
  EXPECT_EQ(PanelTraffic().size(), 1u);
  // And the next read asks the chip again instead of a cache.
  ASSERT_EQ(GetThirdPartyVersion(station_, out), STATUS_SUCCESS);
  EXPECT_EQ(protocol::LoadLe32(out), 0x00010004u);
  EXPECT_EQ(PanelTraffic().size(), 2u);
}

}  // namespace
}  // namespace vorn::station::testing
