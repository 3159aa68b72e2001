// The code tables: message types to channels, control codes, vendor requests, GUIDs.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>

#include "protocol/channels.h"
#include "protocol/control_codes.h"
#include "protocol/guids.h"
#include "protocol/vendor_request.h"

namespace vorn::protocol {
namespace {

TEST(Channels, EveryMessageTypeMapsAsTheChannelTableSays) {
  const struct {
    uint32_t type;
    uint32_t shared;      // StandaloneMic 0
    uint32_t standalone;  // StandaloneMic set
  } cases[] = {
      {0, 0, 0},
      {1, kNoBusChannel, kNoBusChannel},
      {2, 2, 2},
      {3, 3, 3},
      {4, 4, 4},
      {5, 5, 5},
      {6, 6, 6},
      {7, 7, 7},
      {8, kNoBusChannel, kNoBusChannel},
      {9, kNoBusChannel, kNoBusChannel},
      {0x80, kNoBusChannel, kNoBusChannel},
      {0x83, 3, 8},
      {0x84, kNoBusChannel, kNoBusChannel},
      {0x85, 5, 5},
      {0x105, kNoBusChannel, kNoBusChannel},
      {0x7FFFFFFF, kNoBusChannel, kNoBusChannel},
      {0xFFFFFFFF, kNoBusChannel, kNoBusChannel},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MessageTypeToChannel(c.type, false), c.shared) << "type " << c.type;
    EXPECT_EQ(MessageTypeToChannel(c.type, true), c.standalone) << "type " << c.type;
  }
  // Apart from the types above, nothing in the low range has a channel, and no type maps to
  // a channel number outside 0-9.
  size_t mapped = 0;
  for (uint32_t type = 0; type < 0x400; ++type) {
    const uint32_t ch = MessageTypeToChannel(type, false);
    EXPECT_TRUE(IsBusChannel(ch) || ch == kNoBusChannel) << type;
    if (IsBusChannel(ch)) ++mapped;
  }
  EXPECT_EQ(mapped, 9u);
  EXPECT_FALSE(IsBusChannel(kNoBusChannel));
  EXPECT_EQ(kBusChannelDefaults[ToWire(BusChannel::Display)].PriorityLevel, 2);
  EXPECT_EQ(kBusChannelDefaults[ToWire(BusChannel::Nv12)].PriorityLevel, 3);
  EXPECT_EQ(kBusChannelDefaults[ToWire(BusChannel::Audio)].MaxSliceSizeHS, kUnlimitedSliceSize);
}

TEST(ControlCodes, TableHoldsTheTwentyNineCodesWithTheirNames) {
  const uint32_t codes[] = {0x222400, 0x222404, 0x222408, 0x22240C, 0x222410, 0x222414,
                            0x222418, 0x22241C, 0x222420, 0x222424, 0x222429, 0x22242D,
                            0x222431, 0x222435, 0x222438, 0x22243C, 0x222440, 0x222444,
                            0x222448, 0x22244C, 0x222450, 0x222455, 0x222458, 0x22245C,
                            0x222460, 0x222464, 0x222468, 0x22246C, 0x222470};
  const std::set<uint32_t> inDirect = {0x222429, 0x22242D, 0x222431, 0x222435, 0x222455};
  ASSERT_EQ(kControlCodeCount, std::size(codes));
  std::set<std::string> names;
  std::set<uint32_t> seen;
  for (size_t i = 0; i < kControlCodeCount; ++i) {
    const ControlCodeInfo& info = kControlCodes[i];
    EXPECT_EQ(info.Code, codes[i]);
    EXPECT_EQ(ControlCodeMethod(info.Code),
              inDirect.count(info.Code) ? kMethodInDirect : kMethodBuffered)
        << info.Name;
    EXPECT_EQ(std::string(info.Name).rfind("IOCTL_OP_", 0), 0u) << info.Name;
    EXPECT_TRUE(names.insert(info.Name).second) << info.Name;
    EXPECT_TRUE(seen.insert(info.Code).second) << std::hex << info.Code;
    EXPECT_EQ(FindControlCode(info.Code), &info);
  }
  const struct {
    uint32_t code;
    const char* name;
  } named[] = {
      {IOCTL_OP_Set_PanelProperty, "IOCTL_OP_Set_PanelProperty"},
      {IOCTL_OP_Set_Language_Data, "IOCTL_OP_Set_Language_Data"},
      {IOCTL_OP_DDI_GET_3rdPARTY_VERSION, "IOCTL_OP_DDI_GET_3rdPARTY_VERSION"},
      {IOCTL_OP_HOLLIN_DDI_RESET_VORN, "IOCTL_OP_HOLLIN_DDI_RESET_VORN"},
      {IOCTL_OP_SEND_MESSAGE, "IOCTL_OP_SEND_MESSAGE"},
  };
  for (const auto& n : named) {
    ASSERT_NE(FindControlCode(n.code), nullptr) << n.name;
    EXPECT_STREQ(FindControlCode(n.code)->Name, n.name);
  }
  // The panel library's eleven codes are all served.
  for (uint32_t code : {0x222400u, 0x222440u, 0x222444u, 0x222448u, 0x22244Cu, 0x222450u,
                        0x222455u, 0x222460u, 0x222468u, 0x22246Cu, 0x222470u}) {
    EXPECT_NE(FindControlCode(code), nullptr) << std::hex << code;
  }
  // Neighbours of real codes are not codes of the interface.
  for (uint32_t code : {0x2223FCu, 0x222401u, 0x222428u, 0x22242Cu, 0x222454u, 0x222474u, 0u}) {
    EXPECT_EQ(FindControlCode(code), nullptr) << std::hex << code;
  }
}

TEST(VendorRequests, CodesAndNamesAreUniqueAndFindable) {
  std::set<uint8_t> codes;
  std::set<std::string> names;
  for (const VendorRequestInfo& info : kVendorRequests) {
    EXPECT_TRUE(codes.insert(info.Request).second) << int{info.Request};
    EXPECT_TRUE(names.insert(info.Name).second) << info.Name;
    EXPECT_EQ(std::string(info.Name).rfind("Req", 0), 0u) << info.Name;
    EXPECT_LE(info.MinLength, info.MaxLength) << info.Name;
    EXPECT_EQ(FindVendorRequest(info.Request), &info);
  }
  EXPECT_EQ(FindVendorRequest(0x00), nullptr);
  EXPECT_EQ(FindVendorRequest(0xFF), nullptr);
}

// Direction and data length of each request as the senders use it: a slip of IN for OUT (or a
// length) in the table shows here.
TEST(VendorRequests, DirectionsAndLengthsMatchTheSenders) {
  using D = VendorDirection;
  const struct {
    uint8_t request;
    D direction;
    uint16_t value;
    uint16_t index;
    uint16_t length;
  } sends[] = {
      {ReqSetOutput, D::Out, 1, 1, 0},          {ReqCursorPosition0, D::Out, 10, 0xFFFE, 0},
      {ReqCursorShape1, D::Out, 7, 512, 512},   {ReqSetTiming, D::Out, 0, 0, 32},
      {ReqResetBulkStream, D::Out, 0, 0, 0},    {ReqGammaControl, D::Out, 0x0102, 0, 0},
      {ReqGammaTable, D::Out, 0x0100, 0x400, 256}, {ReqStartDisplay, D::Out, 0, 0, 0},
      {ReqReadEdid, D::In, 256, 1, 128},        {ReqMonitorStatus, D::In, 1, 0, 1},
      {ReqMemorySize, D::In, 0, 0, 1},          {ReqReadTimings, D::In, 0, 1024, 256},
      {ReqReadDeviceValue, D::In, 0, 4, 4},     {ReqReadDeviceValue, D::In, 0, 3, 16},
      {ReqReadCapabilities, D::In, 0, 0, 112},  {ReqIpDeviceInfo, D::In, 0, 0, 8},
      {ReqIpDisplayInfo, D::In, 0, 0, 296},     {ReqSetCameraTouch, D::In, 1, 1, 0},
      {ReqSetBrightness, D::In, 80, 0, 0},      {ReqSetPanelDword, D::Out, 0, 0, 4},
      {ReqSetRotation, D::In, 0, 3, 0},         {ReqGetCameraTouch, D::In, 1, 0, 1},
      {ReqGetBrightness, D::In, 0, 0, 1},       {ReqGetPanelDword, D::In, 0, 0, 4},
      {ReqGetPanelSecurityKey, D::In, 0, 0, 16}, {ReqGetLanguageIndex, D::In, 1, 0, 8},
      {ReqSetLanguageIndex, D::Out, 2, 0, 0},   {ReqSetLanguageData, D::Out, 3, 0x0102, 1},
      {ReqSaveLanguageData, D::Out, 0, 0, 0},   {ReqSetThirdPartyMode, D::Out, 1, 0, 0},
      {ReqReadDeviceValue, D::In, 0, 6, 4},     {ReqResetChip, D::Out, 0, 0, 0},
      {ReqWriteDeviceId, D::Out, 0, 0, 8},      {ReqReadRom, D::Out, 1, 0, 2},
      {ReqReadFunctionInfo, D::In, 0, 3, 132},  {ReqReadRomSize, D::In, 0, 0, 4},
      {ReqNsRead, D::In, 1, 0, 104},            {ReqNsWrite, D::Out, 5, 6, 100},
      {ReqReadJackInfo, D::In, 0, 1, 16},       {ReqReadJackState, D::In, 0, 0, 16},
      {ReqReadAudioUnit, D::In, 2, 0, 16},      {ReqReadAudioUnitValues, D::In, 2, 0, 40},
      {ReqReadAudioFormats, D::In, 0, 1, 96},   {ReqSetAudioFeature, D::Out, 2, 1, 40},
      {ReqSetAudioStreamState, D::Out, 0, 0, 16},
  };
  for (const auto& s : sends) {
    const VendorRequestInfo* info = FindVendorRequest(s.request);
    ASSERT_NE(info, nullptr) << int{s.request};
    EXPECT_TRUE(MatchesVendorSetup(*info, s.direction, s.value, s.index, s.length)) << info->Name;
    const D other = s.direction == D::In ? D::Out : D::In;
    EXPECT_FALSE(MatchesVendorSetup(*info, other, s.value, s.index, s.length)) << info->Name;
  }
  // Fixed values and lengths are held to.
  EXPECT_FALSE(MatchesVendorSetup(*FindVendorRequest(ReqSetTiming), D::Out, 0, 0, 31));
  EXPECT_FALSE(MatchesVendorSetup(*FindVendorRequest(ReqSetTiming), D::Out, 0, 1, 32));
  EXPECT_FALSE(MatchesVendorSetup(*FindVendorRequest(ReqReadCapabilities), D::In, 0, 1, 112));
  EXPECT_FALSE(MatchesVendorSetup(*FindVendorRequest(ReqReadDeviceValue), D::In, 1, 4, 4));
  EXPECT_FALSE(MatchesVendorSetup(*FindVendorRequest(ReqCursorShape0), D::Out, 0, 0, 513));
  EXPECT_FALSE(MatchesVendorSetup(*FindVendorRequest(ReqSetBrightness), D::In, 80, 0, 1));
}

TEST(VendorRequests, DeviceValueSizesAndCursorCoordinates) {
  EXPECT_EQ(DeviceValueSize(DeviceValueHwPlatform), 4u);
  EXPECT_EQ(DeviceValueSize(DeviceValuePrjCode), 16u);
  EXPECT_EQ(DeviceValueSize(DeviceValueVendorCmdVersion), 4u);
  EXPECT_EQ(DeviceValueSize(DeviceValueDeviceId), 8u);
  EXPECT_EQ(DeviceValueSize(DeviceValueThirdPartyVersion), 4u);
  EXPECT_EQ(DeviceValueSize(7), 0u);

  const struct {
    int32_t c;
    uint16_t wire;
  } cases[] = {{0, 0}, {5, 5}, {1919, 1919}, {-1, 0xFFFE}, {-5, 0xFFFA}, {-63, 0xFFC0}};
  for (const auto& c : cases) {
    EXPECT_EQ(CursorCoordinateToWire(c.c), c.wire) << c.c;
    EXPECT_EQ(CursorCoordinateFromWire(c.wire), c.c) << c.c;
  }
}

TEST(Guids, ReadAsTheInterfacesAreRegistered) {
  EXPECT_EQ(GuidToString(kMainControlInterfaceGuid), "{6F1D2A94-5C3B-4E87-A1D6-0B9E7C3F4A21}");
  EXPECT_EQ(GuidToString(kNsControlInterfaceGuid), "{3B8E6C10-9D24-4F6A-B5E3-7C2A1D9F0E84}");
  EXPECT_EQ(GuidToString(kRomInterfaceGuid), "{A7C41E95-2F6B-4D38-9E0C-5B1F8A3D6C72}");
  EXPECT_EQ(GuidToString(kWmiDataBlockGuid), "{5D92F3A8-1C7E-4B05-8F46-E3A0B2C9D517}");
  EXPECT_EQ(GuidToString(kChildInterfaceGuid), "{C2E85B17-6A4D-4F91-B3C8-9D07E1F4A63B}");
  GUID trace{};
  ASSERT_TRUE(GuidFromString("{98f03b06-e5de-4cad-9ff7-6d2ad7b66525}", &trace));
  EXPECT_TRUE(trace == kPlugInTraceControlGuid);
}

}  // namespace
}  // namespace vorn::protocol
