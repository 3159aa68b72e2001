// The panel operations of the library through a station's control interface to the chip
// model: the requests each export makes the station send, the exports' own argument
// mapping (rotation state, camera and touch bytes), refusals, and the invalid handle.
#include <algorithm>
#include <atomic>
#include <thread>
#include <cstdio>
#include <functional>
#include <ostream>

#include "protocol/vendor_request.h"
#include "tests/panelapi/glimden_fixture.h"

namespace vorn::panelapi::testing {
namespace {

struct Sent {
  uint8_t code;
  uint16_t value;
  uint16_t index;
  uint16_t length;
  bool operator==(const Sent&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Sent& s) {
  return os << "{0x" << std::hex << int{s.code} << " value 0x" << s.value << " index 0x" << s.index
            << " length " << std::dec << s.length << "}";
}

struct OperationCase {
  const char* name;
  std::function<HRESULT(HANDLE)> call;
  HRESULT result;
  std::vector<Sent> sent;
  const char* trace;  // the wrapper's trace word
};
void PrintTo(const OperationCase& c, std::ostream* os) { *os << c.name; }

UCHAR g_buffer[2048];

const OperationCase kOperations[] = {
    {"RotateStateOneIsRotationZero", [](HANDLE h) { return PFN_OP_Set_Rotate_State(h, 1); }, S_OK, {{0x1F, 0, 0, 0}}, "IOCTL_OP_SET_ROTATE_STATE"},
    {"RotateStateFourIsRotationThree", [](HANDLE h) { return PFN_OP_Set_Rotate_State(h, 4); }, S_OK, {{0x1F, 0, 3, 0}}, "IOCTL_OP_SET_ROTATE_STATE"},
    {"RotateStateZeroIsRefusedByTheStation", [](HANDLE h) { return PFN_OP_Set_Rotate_State(h, 0); }, E_FAIL, {}, "IOCTL_OP_SET_ROTATE_STATE"},
    {"CameraKeepsItsLowByte", [](HANDLE h) { return PFN_OP_Set_Camera_Status(h, 0x1FF); }, S_OK, {{0x16, 0, 0xFF, 0}}, "IOCTL_Set_Camera_Status"},
    {"TouchOn", [](HANDLE h) { return PFN_OP_Set_Touch_Status(h, 1); }, S_OK, {{0x16, 1, 1, 0}}, "IOCTL_Set_Touch_Status"},
    {"Brightness", [](HANDLE h) { return PFN_OP_Set_Brightness_Value(h, 80); }, S_OK, {{0x18, 80, 0, 0}}, "IOCTL_Set_Brightness_Value"},
    {"PanelDword", [](HANDLE h) { return PFN_OP_SetPanelProperty(h, 4, 0x01020304); }, S_OK, {{0x19, 0, 0, 4}}, "IOCTL_OP_Set_PanelProperty"},
    {"UnknownPropertyIsRefusedByTheStation", [](HANDLE h) { return PFN_OP_SetPanelProperty(h, 6, 1); }, E_FAIL, {}, "IOCTL_OP_Set_PanelProperty"},
    {"GetBrightness", [](HANDLE h) { return PFN_OP_GetPanelProperty(h, 3, g_buffer); }, S_OK, {{0x8C, 0, 0, 1}}, "IOCTL_OP_Get_PanelProperty"},
    {"SecurityKey", [](HANDLE h) { return PFN_OP_Get_Custom_security(h, g_buffer, 16); }, S_OK, {{0x8E, 0, 0, 16}}, "IOCTL_OP_Get_Panel_Security_Key"},
    {"SecurityKeyInFifteenBytesIsRefused", [](HANDLE h) { return PFN_OP_Get_Custom_security(h, g_buffer, 15); }, E_FAIL, {}, "IOCTL_OP_Get_Panel_Security_Key"},
    {"SecurityKeyWithoutABufferIsRefused", [](HANDLE h) { return PFN_OP_Get_Custom_security(h, nullptr, 16); }, E_FAIL, {}, "IOCTL_OP_Get_Panel_Security_Key"},
    {"LanguageDataWithoutABufferIsRefused", [](HANDLE h) { return PFN_OP_Set_Language_Data(h, 2, nullptr, 600); }, E_FAIL, {}, "IOCTL_OP_Set_Language_Data"},
    {"SecurityKeyOfANegativeSizeIsNotSent", [](HANDLE h) { return PFN_OP_Get_Custom_security(h, g_buffer, -1); }, E_FAIL, {}, nullptr},
    {"LanguageIndexRead", [](HANDLE h) { return PFN_OP_Get_Language_INDEX(h, 1, g_buffer, 8); }, S_OK, {{0x8D, 1, 0, 8}}, "IOCTL_OP_GET_LANGUAGE_INDEX"},
    {"LanguageIndexSet", [](HANDLE h) { return PFN_OP_Set_Language_INDEX(h, 5); }, S_OK, {{0x17, 5, 0, 0}}, "IOCTL_OP_SET_LANGUAGE_INDEX"},
    {"LanguageDataInBlocks", [](HANDLE h) { return PFN_OP_Set_Language_Data(h, 2, g_buffer, 1025); }, S_OK,
     {{0x1A, 3, 0x200, 512}, {0x1A, 3, 0x201, 512}, {0x1A, 3, 0x202, 1}}, "IOCTL_OP_Set_Language_Data"},
    {"SaveSendsTheSave", [](HANDLE h) { return PFN_OP_Save_Language_Data(h, 0); }, S_OK, {{0x1B, 0, 0, 0}}, "IOCTL_OP_Save_Language_Data"},
    {"RomBusyAsksOnlyTheStation", [](HANDLE h) { return PFN_OP_IS_ROM_BUSY(h, 0); }, S_OK, {}, "IOCTL_OP_IS_ROM_BUSY"},
    {"NightLight", [](HANDLE h) { return PFN_OP_NIGHT_LIGHT_CONTROL(h, 0x7F050101); }, S_OK, {{0x1C, 0x0101, 0x0105, 0}}, "IOCTL_OP_NIGHT_LIGHT_CONTROL"},
    {"ThirdPartyVersion", [](HANDLE h) { return PFN_OP_GET_3rdPARTY_VERSION(h, g_buffer); }, S_OK, {{0xB0, 0, 6, 4}}, "IOCTL_OP_DDI_GET_3rdPARTY_VERSION"},
    {"Reset", [](HANDLE h) { return PFN_OP_HOLLIN_DDI_RESET_VORN(h, 0); }, S_OK, {{0x30, 0, 0, 0}}, "IOCTL_OP_HOLLIN_DDI_RESET_VORN"},
    {"ThirdPartyMode", [](HANDLE h) { return PFN_OP_HOLLIN_DDI_SET_3rdPARTY_MODE(h, 2); }, S_OK, {{0x1E, 2, 0, 0}}, "IOCTL_OP_HOLLIN_DDI_SET_3rdPARTY_MODE"},
    {"DdiVersion", [](HANDLE h) { return PFN_OP_DDI_GET_DDI_VERSION(h, g_buffer); }, S_OK, {}, "IOCTL_OP_DDI_GET_DDI_VERSION"},
};

bool IsPanelTraffic(const chip::LoggedRequest& r) {
  const usb::SetupPacket& s = r.setup;
  return chip::PanelRequests::Owns(s) || s.bRequest == protocol::ReqGammaControl ||
         (s.bRequest == protocol::ReqReadDeviceValue && s.wIndex == protocol::DeviceValueThirdPartyVersion);
}

class PanelOperationTest : public GlimdenTest, public ::testing::WithParamInterface<OperationCase> {
 protected:
  HANDLE Open() {
    machine_.Attach(kPanelProduct, u"20&1");
    EXPECT_EQ(Start(), S_OK);
    EXPECT_TRUE(CountReaches(1));
    // The manager lists a station before it traces its opening: wait for that line, so it
    // is not taken for the operation's own.
    EXPECT_TRUE(Eventually([] { return Traced("345.new CQorUsb") == 1; }));
    machine_.Adapter(0).log().Clear();
    win32::debug_output::Clear();
    return PFN_OP_Get_Device_HWND(0, nullptr);
  }
  std::vector<Sent> SentRequests() {
    std::vector<Sent> out;
    for (const chip::LoggedRequest& r : machine_.Adapter(0).log().VendorRequests())
      if (IsPanelTraffic(r)) out.push_back({r.setup.bRequest, r.setup.wValue, r.setup.wIndex, r.setup.wLength});
    return out;
  }
};

TEST_P(PanelOperationTest, SendsItsCodeAndTheStationItsRequests) {
  const OperationCase& c = GetParam();
  HANDLE h = Open();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(c.call(h), c.result);
  EXPECT_EQ(SentRequests(), c.sent);
  if (c.trace)
    EXPECT_EQ(Traced(std::string(c.trace) + " - fRet:0x" + (c.result == S_OK ? "1" : "0") + " "), 1u);
  else
    EXPECT_EQ(win32::debug_output::Lines(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Operations, PanelOperationTest, ::testing::ValuesIn(kOperations),
                         [](const ::testing::TestParamInfo<OperationCase>& i) { return i.param.name; });

// The brightness export traces after its wrapper: the handle and the value it was given.
TEST_F(PanelOperationTest, BrightnessTracesItsHandleAndValueAfterTheWrapper) {
  HANDLE h = Open();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(PFN_OP_Set_Brightness_Value(h, 93), S_OK);
  char line[96];
  std::snprintf(line, sizeof line, "[QORAP] =>hDevice :0x%x , BrightnesValue:93 \n",
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(h)));
  EXPECT_EQ(win32::debug_output::Lines(),
            (std::vector<std::string>{"[QORAP] IOCTL_Set_Brightness_Value - fRet:0x1 \n", line}));
}

// The operations keep no state: threads of the application share one handle, and every call
// reaches the chip as its own request.
TEST_F(PanelOperationTest, ThreadsShareAHandle) {
  HANDLE h = Open();
  ASSERT_NE(h, nullptr);
  constexpr int kThreads = 4;
  constexpr int kCalls = 10;
  std::vector<std::thread> threads;
  std::atomic<int> failed{0};
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([h, t, &failed] {
      for (int i = 0; i < kCalls; ++i) {
        failed += PFN_OP_Set_Brightness_Value(h, static_cast<DWORD>(t * kCalls + i)) != S_OK;
        failed += PFN_OP_Set_Rotate_State(h, 1 + (i % 4)) != S_OK;
      }
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failed.load(), 0);
  chip::Chip& adapter = machine_.Adapter(0);
  EXPECT_EQ(adapter.log().CountVendor(protocol::ReqSetBrightness), size_t{kThreads * kCalls});
  EXPECT_EQ(adapter.log().CountVendor(protocol::ReqSetRotation), size_t{kThreads * kCalls});
  EXPECT_EQ(Traced("IOCTL_Set_Brightness_Value - fRet:0x1 "), size_t{kThreads * kCalls});
}

TEST_F(GlimdenTest, EveryOperationOnAnInvalidHandleFailsAndOnlyTheVersionQueryTraces) {
  for (const OperationCase& c : kOperations) {
    SCOPED_TRACE(c.name);
    win32::debug_output::Clear();
    EXPECT_EQ(c.call(INVALID_HANDLE_VALUE), E_FAIL);
    const size_t expected = std::string(c.name) == "DdiVersion" ? 1 : 0;
    EXPECT_EQ(Traced("IOCTL_OP_DDI_GET_DDI_VERSION - fRet:0x0 "), expected);
    EXPECT_EQ(win32::debug_output::Lines().size(), expected + (std::string(c.name) == "Brightness"));
  }
}

// The brightness request answered badly by the chip: the station repeats an attempt that
// timed out (and was cancelled) up to its five attempts, but not a stall or a transport error.
struct StallCase {
  const char* name;
  chip::ScriptAction action;
  size_t attempts;  // brightness requests reaching the chip
  HRESULT result;
};
void PrintTo(const StallCase& c, std::ostream* os) { *os << c.name; }

constexpr uint32_t kStationAttempts = 5;
const StallCase kStalls[] = {
    {"StallIsNotRepeated", {chip::ScriptKind::kStall, chip::ScriptAction::kForever}, 1, E_FAIL},
    {"TransportErrorIsNotRepeated", {chip::ScriptKind::kFail, chip::ScriptAction::kForever}, 1, E_FAIL},
    {"TimeOutRepeatedUntilTheAttemptsEnd", {chip::ScriptKind::kTimeOut, chip::ScriptAction::kForever}, kStationAttempts, E_FAIL},
    {"TimeOutThenAnAnswerSucceeds", {chip::ScriptKind::kTimeOut, kStationAttempts - 1}, kStationAttempts, S_OK},
};

class PanelStallCaseTest : public GlimdenTest, public ::testing::WithParamInterface<StallCase> {};

TEST_P(PanelStallCaseTest, BrightnessIsRetriedAsTheStationRetries) {
  const StallCase& c = GetParam();
  machine_.Attach(kPanelProduct, u"22&1");
  ASSERT_EQ(Start(), S_OK);
  ASSERT_TRUE(CountReaches(1));
  HANDLE h = PFN_OP_Get_Device_HWND(0, nullptr);
  ASSERT_NE(h, nullptr);
  chip::Chip& adapter = machine_.Adapter(0);
  adapter.log().Clear();
  win32::debug_output::Clear();
  adapter.script().OnRequest(protocol::ReqSetBrightness, c.action);
  EXPECT_EQ(PFN_OP_Set_Brightness_Value(h, 40), c.result);
  adapter.script().Clear();
  size_t attempts = 0;
  for (const chip::LoggedRequest& r : adapter.log().VendorRequests())
    if (r.setup.bRequest == protocol::ReqSetBrightness) {
      ++attempts;
      EXPECT_EQ(r.setup.wValue, 40);
    }
  EXPECT_EQ(attempts, c.attempts);
  EXPECT_EQ(Traced(std::string("IOCTL_Set_Brightness_Value - fRet:0x") + (c.result == S_OK ? "1" : "0") + " "), 1u);
  EXPECT_EQ(adapter.HeldTransfers(), 0u);
  // The station still serves the next request normally.
  EXPECT_EQ(PFN_OP_Set_Brightness_Value(h, 41), S_OK);
}

INSTANTIATE_TEST_SUITE_P(Stalls, PanelStallCaseTest, ::testing::ValuesIn(kStalls),
                         [](const ::testing::TestParamInfo<StallCase>& i) { return i.param.name; });

TEST_F(GlimdenTest, ASavedLanguageIsBusyUntilTheChipEndsTheSave) {
  machine_.Attach(kPanelProduct, u"21&1");
  ASSERT_EQ(Start(), S_OK);
  ASSERT_TRUE(CountReaches(1));
  HANDLE h = PFN_OP_Get_Device_HWND(0, nullptr);
  auto busy = [h] {
    UCHAR out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    DWORD n = 0;
    EXPECT_TRUE(DeviceIoControl(h, 0x22245C, nullptr, 0, out, 4, &n, nullptr));
    return out[0];
  };
  EXPECT_EQ(busy(), 0);
  EXPECT_EQ(PFN_OP_Save_Language_Data(h, 0), S_OK);
  EXPECT_EQ(busy(), 1);
  ASSERT_TRUE(machine_.Adapter(0).FinishPanelSave());
  EXPECT_TRUE(Eventually([&] { return busy() == 0; }));
}

}  // namespace
}  // namespace vorn::panelapi::testing
