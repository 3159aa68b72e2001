// The 29 control codes as an application sends them: each row's buffer checks in their order,
// its gates, the bytes returned (never more than the output holds) and the Win32 error a
// failure reads as; the rows whose handlers other modules own answer exactly as those
// handlers do.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "protocol/byte_order.h"
#include "protocol/control_codes.h"
#include "station/driver_globals.h"
#include "station/panel_ops.h"
#include "station/rom.h"
#include "tests/station/control_fixture.h"

namespace vorn::station::testing {
namespace {

using namespace protocol;

constexpr UCHAR kFill = 0xA5;  // what the output holds before the call

struct CodeCase {
  const char* name;
  ULONG code;
  ULONG in;
  ULONG out;
  // Fills the input (in bytes, zeroed first) and readies the station.
  std::function<void(UCHAR* input, StationExtension* s)> prepare = nullptr;
  // The answer: a status the driver gives (the Win32 error follows from it) or, for a row of
  // another module, the status its handler gives when called directly right after.
  NTSTATUS status = STATUS_SUCCESS;
  std::function<NTSTATUS(StationExtension* s, UCHAR* input)> handler = nullptr;
  DWORD bytes = 0;  // returned on success
  // Further checks of the output and the station; undoes what prepare changed.
  std::function<void(const UCHAR* output, StationExtension* s)> check = nullptr;
};

void None(UCHAR*, StationExtension*) {}

class ControlCodeTest : public ControlTest {
 protected:
  void Run(const CodeCase& c) {
    SCOPED_TRACE(c.name);
    std::vector<UCHAR> input(c.in ? c.in : 1, 0);
    std::vector<UCHAR> output(c.out ? c.out : 1, kFill);
    if (c.prepare) c.prepare(input.data(), station_);
    std::vector<UCHAR> sent = input;
    IoctlResult r = Ioctl(handle_, c.code, c.in ? input.data() : nullptr, c.in,
                          c.out ? output.data() : nullptr, c.out);
    NTSTATUS expected = c.handler ? c.handler(station_, sent.data()) : c.status;
    EXPECT_EQ(r.ok, NT_SUCCESS(expected) ? TRUE : FALSE);
    EXPECT_EQ(r.error, win32::Win32ErrorFromNtStatus(expected));
    EXPECT_EQ(r.bytes, NT_SUCCESS(expected) ? c.bytes : 0u);
    EXPECT_LE(r.bytes, c.out);
    if (c.check) c.check(output.data(), station_);
  }
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

TEST_F(ControlCodeTest, EveryRow) {
  ASSERT_NE(Start(Profile(8)), nullptr);
  handle_ = Open(u"\\roothub");
  ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
  StationExtension* st = station_;
  const auto clear_feature = [](UCHAR*, StationExtension* s) { s->FeatureFlags[0] &= ~1u; };
  const auto restore_feature = [](const UCHAR*, StationExtension* s) { s->FeatureFlags[0] |= 1u; };
  const auto first_u32 = [](ULONG v) {
    return [v](UCHAR* in, StationExtension*) { StoreLe32(in, v); };
  };
  ASSERT_EQ(st->FeatureFlags[0] & 1, 1) << "command set 8 has the device id feature";
  ASSERT_EQ(g_StationGlobals->DriverModel, 1u);

  const CodeCase cases[] = {
      // 0x222400: the version record from the station's own data.
      {"DdiVersionOutputOf39", IOCTL_OP_DDI_GET_DDI_VERSION, 0, 39, None, STATUS_BUFFER_TOO_SMALL},
      {"DdiVersion", IOCTL_OP_DDI_GET_DDI_VERSION, 0, 48, None, STATUS_SUCCESS, nullptr, 40,
       [](const UCHAR* out, StationExtension* s) {
         EXPECT_EQ(LoadLe32(out), 0x16100401u);
         EXPECT_EQ(LoadLe16(out + 4), 0x015C);
         EXPECT_EQ(out[6], 0x80);
         EXPECT_EQ(out[7], s->HwPlatform & 0xFF);
         EXPECT_EQ(LoadLe32(out + 8), s->BootCodeVersion);
         EXPECT_EQ(LoadLe32(out + 12), s->ImageCodeVersion);
         EXPECT_EQ(std::memcmp(out + 16, "VS3000\0\0\0\0\0\0\0\0\0\0", 16), 0);
         EXPECT_EQ(LoadLe64(out + 32), 0x0012345678ABCDEFull);
         for (int i = 40; i < 48; ++i) EXPECT_EQ(out[i], kFill) << "past the record, byte " << i;
       }},
      // 0x222404, 0x222408, 0x22240C: the ROM module's flags, result and paths.
      {"RomFlagsInputOf7", IOCTL_OP_ROM_AUTO_UPDATE_FLAGS, 7, 8, None, STATUS_BUFFER_TOO_SMALL},
      {"RomFlagsGet", IOCTL_OP_ROM_AUTO_UPDATE_FLAGS, 8, 8, None, 0,
       [](StationExtension* s, UCHAR* in) { return GetRomAutoUpdateFlags(s, in[1], &in[2]); }, 8},
      {"RomFlagsSetIntoAShortOutput", IOCTL_OP_ROM_AUTO_UPDATE_FLAGS, 8, 3,
       [](UCHAR* in, StationExtension*) { in[0] = 1, in[2] = 3; }, 0,
       [](StationExtension* s, UCHAR* in) { return SetRomAutoUpdateFlags(s, in[1], in[2]); }, 3},
      {"RomResultOutputOf15", IOCTL_OP_GET_ROM_RESULT, 0, 15, None, STATUS_BUFFER_TOO_SMALL},
      {"RomResult", IOCTL_OP_GET_ROM_RESULT, 0, 16, None, 0,
       [](StationExtension* s, UCHAR*) {
         UCHAR out[16];
         return GetRomResult(s, out);
       },
       16},
      {"RomPathInputOf523", IOCTL_OP_ROM_PATH, 523, 524, None, STATUS_BUFFER_TOO_SMALL},
      {"RomPathGetOutputOf523", IOCTL_OP_ROM_PATH, 524, 523, None, STATUS_BUFFER_TOO_SMALL},
      {"RomPathGet", IOCTL_OP_ROM_PATH, 524, 524, None, 0,
       [](StationExtension* s, UCHAR* in) {
         return GetRomPath(s, in[1], in + 8, reinterpret_cast<WCHAR*>(in + 24), 500);
       },
       524},
      {"RomPathSetWithoutOutput", IOCTL_OP_ROM_PATH, 524, 0,
       [](UCHAR* in, StationExtension*) { in[0] = 1; }, 0,
       [](StationExtension* s, UCHAR* in) {
         return SetRomPath(s, in[1], in + 8, reinterpret_cast<WCHAR*>(in + 24), 500);
       },
       0},
      // 0x222410-0x22241C: feature flags, and what bit 0 gates.
      {"FeatureFlagsOutputOf7", IOCTL_OP_GET_FEATURE_FLAGS, 0, 7, None, STATUS_BUFFER_TOO_SMALL},
      {"FeatureFlags", IOCTL_OP_GET_FEATURE_FLAGS, 0, 8, None, STATUS_SUCCESS, nullptr, 8,
       [](const UCHAR* out, StationExtension* s) {
         EXPECT_EQ(std::memcmp(out, s->FeatureFlags, 8), 0);
       }},
      {"SetDeviceIdInputOf7", IOCTL_OP_SET_DEVICE_ID, 7, 8, None, STATUS_BUFFER_TOO_SMALL},
      {"SetDeviceIdWithoutTheFeature", IOCTL_OP_SET_DEVICE_ID, 8, 8, clear_feature,
       STATUS_NOT_SUPPORTED, nullptr, 0, restore_feature},
      {"SetDeviceIdWithoutOutput", IOCTL_OP_SET_DEVICE_ID, 8, 0,
       [](UCHAR* in, StationExtension*) { StoreLe64(in, 0x0102030405060708ull); }, STATUS_SUCCESS,
       nullptr, 0,
       [](const UCHAR*, StationExtension* s) {
         EXPECT_EQ(LoadLe64(s->DeviceId), 0x0102030405060708ull) << "read back from the chip";
       }},
      {"RomSizeOutputOf3", IOCTL_OP_GET_ROM_SIZE, 0, 3, None, STATUS_BUFFER_TOO_SMALL},
      {"RomSizeWithoutTheFeature", IOCTL_OP_GET_ROM_SIZE, 0, 4, clear_feature,
       STATUS_NOT_SUPPORTED, nullptr, 0, restore_feature},
      {"RomSize", IOCTL_OP_GET_ROM_SIZE, 0, 4,
       [](UCHAR*, StationExtension* s) { s->RomSize = 0x00800000; }, STATUS_SUCCESS, nullptr, 4,
       [](const UCHAR* out, StationExtension*) { EXPECT_EQ(LoadLe32(out), 0x00800000u); }},
      {"ReadRomWithoutTheFeature", IOCTL_OP_READ_ROM, 0, 64, clear_feature, STATUS_NOT_SUPPORTED,
       nullptr, 0, restore_feature},
      {"ReadRom", IOCTL_OP_READ_ROM, 0, 64,
       [](UCHAR*, StationExtension* s) { s->RomReadSequence = 41; }, 0,
       [](StationExtension* s, UCHAR*) {
         EXPECT_EQ(s->RomReadSequence, 42) << "one sequence number per read";
         UCHAR out[64];
         ULONG bytes = 0;
         NTSTATUS status = RomRead(s, out, 0, 64, 42, &bytes);
         EXPECT_EQ(bytes, 0u);
         return status;
       },
       0},
      // 0x222420: the driver-wide model, written to the registry only when it changes.
      {"DriverModelInputOf11", IOCTL_OP_DRIVER_MODEL, 11, 12, None, STATUS_BUFFER_TOO_SMALL},
      {"DriverModelGetOutputOf11", IOCTL_OP_DRIVER_MODEL, 12, 11, None, STATUS_BUFFER_TOO_SMALL},
      {"DriverModelGet", IOCTL_OP_DRIVER_MODEL, 12, 12, None, STATUS_SUCCESS, nullptr, 12,
       [](const UCHAR* out, StationExtension*) { EXPECT_EQ(LoadLe32(out + 8), 1u); }},
      {"DriverModelSetUnchanged", IOCTL_OP_DRIVER_MODEL, 12, 12,
       [](UCHAR* in, StationExtension*) {
         in[0] = 1;
         StoreLe32(in + 8, 1);
         kernel::registry::ClearHistory();
       },
       STATUS_SUCCESS, nullptr, 12,
       [](const UCHAR*, StationExtension*) {
         EXPECT_TRUE(kernel::registry::History().empty()) << "nothing written";
       }},
      {"DriverModelSetTwo", IOCTL_OP_DRIVER_MODEL, 12, 12,
       [](UCHAR* in, StationExtension*) {
         in[0] = 1;
         StoreLe32(in + 8, 2);
       },
       STATUS_SUCCESS, nullptr, 12,
       [](const UCHAR*, StationExtension*) {
         EXPECT_EQ(g_StationGlobals->DriverModel, 2u);
         kernel::registry::Value v;
         ASSERT_TRUE(kernel::registry::GetValue(ParametersPath(), u"DriverModel", &v));
         EXPECT_EQ(v.type, REG_BINARY);
         EXPECT_EQ(v.data, (std::vector<uint8_t>{2, 0, 0, 0}));
         g_StationGlobals->DriverModel = 1;
       }},
      // 0x222424: an enumeration only with the station's model 2 and byte 0 set.
      {"EnumerateInputOf7", IOCTL_OP_ENUMERATE_FUNCTIONS, 7, 8, None, STATUS_BUFFER_TOO_SMALL},
      {"EnumerateWithModelOne", IOCTL_OP_ENUMERATE_FUNCTIONS, 8, 8,
       [](UCHAR* in, StationExtension*) { in[0] = 1; }, STATUS_UNSUCCESSFUL},
      {"EnumerateByteZero", IOCTL_OP_ENUMERATE_FUNCTIONS, 8, 8,
       [](UCHAR*, StationExtension* s) { s->DriverModel = 2; }, STATUS_NOT_IMPLEMENTED, nullptr,
       0, [](const UCHAR*, StationExtension* s) { EXPECT_EQ(ReadFlag(s->EnumerateRequest), 0); }},
      {"Enumerate", IOCTL_OP_ENUMERATE_FUNCTIONS, 8, 8,
       [](UCHAR* in, StationExtension*) { in[0] = 1; }, STATUS_SUCCESS, nullptr, 8,
       [](const UCHAR*, StationExtension* s) {
         EXPECT_TRUE(WaitFor([&] { return ReadFlag(s->EnumerateRequest) == 0; }))
             << "the worker took the request";
         s->DriverModel = 1;
       }},
      // 0x222429-0x222438: NS requests and user events need NS mode; pass-through checks.
      {"NsReadInputOf7", IOCTL_OP_NS_VENDOR_READ, 7, 16, None, STATUS_BUFFER_TOO_SMALL},
      {"NsReadOutsideNsMode", IOCTL_OP_NS_VENDOR_READ, 8, 16, None,
       STATUS_INVALID_DEVICE_REQUEST, nullptr, 0,
       [this](const UCHAR* out, StationExtension*) {
         EXPECT_EQ(chip_->log().CountVendor(ReqNsRead), 1u) << "only the start's block read";
         EXPECT_EQ(out[0], kFill);
       }},
      {"NsWriteOutsideNsMode", IOCTL_OP_NS_VENDOR_WRITE, 8, 16, None,
       STATUS_INVALID_DEVICE_REQUEST, nullptr, 0,
       [this](const UCHAR*, StationExtension*) {
         EXPECT_EQ(chip_->log().CountVendor(ReqNsWrite), 0u);
       }},
      {"SendMessageInputOf7", IOCTL_OP_SEND_MESSAGE, 7, 80, None, STATUS_BUFFER_TOO_SMALL},
      {"ControlTransferInputOf7", IOCTL_OP_CONTROL_TRANSFER, 7, 0, None, STATUS_BUFFER_TOO_SMALL},
      {"ControlTransferOutputBelowWLength", IOCTL_OP_CONTROL_TRANSFER, 8, 15,
       [](UCHAR* in, StationExtension*) {
         in[1] = ReqCursorShape0;
         StoreLe16(in + 6, 16);
       },
       STATUS_BUFFER_TOO_SMALL},
      {"UserEventInputOf15", IOCTL_OP_USER_EVENT, 15, 0, None, STATUS_BUFFER_TOO_SMALL},
      {"UserEventOutsideNsMode", IOCTL_OP_USER_EVENT, 16, 0,
       [](UCHAR* in, StationExtension*) {
         in[0] = 1;
         StoreLe64(in + 8, 4);
       },
       STATUS_UNSUCCESSFUL},
      // 0x22243C: the driver's 64-bit debug word.
      {"DebugLevelOutputOf15", IOCTL_OP_DEBUG_LEVEL, 16, 15, None, STATUS_BUFFER_TOO_SMALL},
      {"DebugLevelSet", IOCTL_OP_DEBUG_LEVEL, 16, 16,
       [](UCHAR* in, StationExtension*) {
         in[0] = 1;
         StoreLe64(in + 8, 0x1122334455667788ull);
       },
       STATUS_SUCCESS, nullptr, 16,
       [](const UCHAR*, StationExtension*) {
         EXPECT_EQ(g_DriverServices->DebugLevel, 0x55667788u);
         EXPECT_EQ(g_DriverServices->DebugLevel2, 0x11223344u);
       }},
      {"DebugLevelGet", IOCTL_OP_DEBUG_LEVEL, 16, 16, None, STATUS_SUCCESS, nullptr, 16,
       [](const UCHAR* out, StationExtension*) {
         EXPECT_EQ(LoadLe64(out + 8), 0x1122334455667788ull);
         g_DriverServices->DebugLevel = g_DriverServices->DebugLevel2 = 0;
       }},
      // 0x222440-0x222470: the panel operations; the version gate is the handlers' own.
      {"PanelGetInputOf3", IOCTL_OP_Get_PanelProperty, 3, 4, None, STATUS_BUFFER_TOO_SMALL},
      {"PanelGetOutputOf3", IOCTL_OP_Get_PanelProperty, 4, 3, None, STATUS_BUFFER_TOO_SMALL},
      {"PanelGet", IOCTL_OP_Get_PanelProperty, 4, 4, first_u32(3), 0,
       [](StationExtension* s, UCHAR* in) { return GetPanelProperty(s, LoadLe32(in), in); }, 4},
      {"PanelSetInputOf15", IOCTL_OP_Set_PanelProperty, 15, 0, None, STATUS_BUFFER_TOO_SMALL},
      {"PanelSet", IOCTL_OP_Set_PanelProperty, 16, 0,
       [](UCHAR* in, StationExtension*) {
         StoreLe32(in, 3);
         StoreLe32(in + 4, 80);
       },
       0, [](StationExtension* s, UCHAR* in) { return SetPanelProperty(s, in); }, 0},
      {"PanelKeyOutputOf15", IOCTL_OP_Get_Panel_Security_Key, 0, 15, None,
       STATUS_BUFFER_TOO_SMALL},
      {"PanelKey", IOCTL_OP_Get_Panel_Security_Key, 0, 16, None, 0,
       [](StationExtension* s, UCHAR*) {
         UCHAR out[16];
         return GetPanelSecurityKey(s, out);
       },
       16},
      {"LanguageGetInputOf3", IOCTL_OP_GET_LANGUAGE_INDEX, 3, 8, None, STATUS_BUFFER_TOO_SMALL},
      {"LanguageGetOutputOf7", IOCTL_OP_GET_LANGUAGE_INDEX, 4, 7, None, STATUS_BUFFER_TOO_SMALL},
      {"LanguageGet", IOCTL_OP_GET_LANGUAGE_INDEX, 4, 8, first_u32(1), 0,
       [](StationExtension* s, UCHAR*) {
         UCHAR out[8];
         return GetLanguageIndex(s, 1, out);
       },
       8},
      {"LanguageSetInputOf3", IOCTL_OP_SET_LANGUAGE_INDEX, 3, 0, None, STATUS_BUFFER_TOO_SMALL},
      {"LanguageSet", IOCTL_OP_SET_LANGUAGE_INDEX, 4, 0, first_u32(2), 0,
       [](StationExtension* s, UCHAR*) { return SetLanguageIndex(s, 2); }, 0},
      {"LanguageDataInputOf3", IOCTL_OP_Set_Language_Data, 3, 16, None, STATUS_BUFFER_TOO_SMALL},
      {"LanguageData", IOCTL_OP_Set_Language_Data, 4, 16, first_u32(2), 0,
       [](StationExtension* s, UCHAR*) {
         UCHAR data[16];
         std::memset(data, kFill, sizeof data);
         return SetLanguageData(s, 2, data, sizeof data);
       },
       0},
      {"LanguageSaveInputOf3", IOCTL_OP_Save_Language_Data, 3, 0, None, STATUS_BUFFER_TOO_SMALL},
      {"LanguageSave", IOCTL_OP_Save_Language_Data, 4, 0, None, 0,
       [](StationExtension* s, UCHAR*) { return SaveLanguageData(s); }, 0},
      {"RomBusyOutputOf3", IOCTL_OP_IS_ROM_BUSY, 0, 3, None, STATUS_BUFFER_TOO_SMALL},
      {"RomBusyWhileTheEventIsSet", IOCTL_OP_IS_ROM_BUSY, 0, 4,
       [](UCHAR*, StationExtension* s) { KeSetEvent(&s->PanelBusyEvent, 0, FALSE); },
       STATUS_SUCCESS, nullptr, 4,
       [](const UCHAR* out, StationExtension*) { EXPECT_EQ(LoadLe32(out), 1u); }},
      {"RomBusyWhileTheEventIsClear", IOCTL_OP_IS_ROM_BUSY, 0, 4,
       [](UCHAR*, StationExtension* s) { KeClearEvent(&s->PanelBusyEvent); }, STATUS_SUCCESS,
       nullptr, 4,
       [](const UCHAR* out, StationExtension* s) {
         EXPECT_EQ(LoadLe32(out), 0u);
         KeSetEvent(&s->PanelBusyEvent, 0, FALSE);
       }},
      {"NightLightInputOf3", IOCTL_OP_NIGHT_LIGHT_CONTROL, 3, 0, None, STATUS_BUFFER_TOO_SMALL},
      {"NightLight", IOCTL_OP_NIGHT_LIGHT_CONTROL, 4, 0,
       [](UCHAR* in, StationExtension*) { in[1] = 2; }, 0,
       [](StationExtension* s, UCHAR* in) { return NightLightControl(s, in); }, 0},
      {"NightLightTablesInputOf771", IOCTL_OP_NIGHT_LIGHT_TABLES, 771, 0, None,
       STATUS_BUFFER_TOO_SMALL},
      {"NightLightTables", IOCTL_OP_NIGHT_LIGHT_TABLES, 772, 0, None, 0,
       [](StationExtension* s, UCHAR* in) { return SetNightLightTables(s, in); }, 0},
      {"ThirdPartyVersionOutputOf3", IOCTL_OP_DDI_GET_3rdPARTY_VERSION, 0, 3, None,
       STATUS_BUFFER_TOO_SMALL},
      {"ThirdPartyVersion", IOCTL_OP_DDI_GET_3rdPARTY_VERSION, 0, 4, None, 0,
       [](StationExtension* s, UCHAR*) {
         UCHAR out[4];
         return GetThirdPartyVersion(s, out);
       },
       4},
      {"ResetInputOf3", IOCTL_OP_HOLLIN_DDI_RESET_VORN, 3, 0, None, STATUS_BUFFER_TOO_SMALL},
      {"ThirdPartyModeInputOf3", IOCTL_OP_HOLLIN_DDI_SET_3rdPARTY_MODE, 3, 0, None,
       STATUS_BUFFER_TOO_SMALL},
      {"ThirdPartyMode", IOCTL_OP_HOLLIN_DDI_SET_3rdPARTY_MODE, 4, 4, first_u32(1), 0,
       [](StationExtension* s, UCHAR*) { return SetThirdPartyMode(s, 1); }, 4},
      // Codes the interface does not serve, a neighbour's method included.
      {"UnknownFunction", StationCode(0x1D, kMethodBuffered), 4, 4, None,
       STATUS_INVALID_DEVICE_REQUEST},
      {"KnownFunctionOtherMethod", StationCode(0x00, kMethodInDirect), 0, 40, None,
       STATUS_INVALID_DEVICE_REQUEST},
  };
  for (const CodeCase& c : cases) Run(c);

  // Every code of the interface has a row above.
  for (const ControlCodeInfo& info : kControlCodes) {
    bool listed = false;
    for (const CodeCase& c : cases) listed |= c.code == info.Code;
    EXPECT_TRUE(listed || info.Code == IOCTL_OP_HOLLIN_DDI_RESET_VORN) << info.Name;
  }
}

// The chip reset goes last: the chip model answers it, and nothing runs after it.
TEST_F(ControlCodeTest, ResetAnswersAsItsHandler) {
  ASSERT_NE(Start(Profile(8)), nullptr);
  handle_ = Open(u"");
  ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
  Run({"Reset", IOCTL_OP_HOLLIN_DDI_RESET_VORN, 4, 4, None, 0,
       [](StationExtension* s, UCHAR*) { return ResetChip(s); }, 4});
}

}  // namespace
}  // namespace vorn::station::testing
