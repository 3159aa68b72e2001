// The control codes as an application sends them, one valid call of each on a started
// station; a call that reports success for work on the chip must have reached the chip.
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/kernel/interfaces.h"
#include "platform/win32/file_api.h"
#include "platform/win32/handle.h"
#include "protocol/byte_order.h"
#include "protocol/control_codes.h"
#include "protocol/guids.h"
#include "protocol/vendor_request.h"
#include "sim/chip/station_requests.h"
#include "tests/sweep/scenarios.h"
#include "tests/sweep/station_bench.h"

namespace vorn::sweep {

namespace {

using namespace protocol;

// Vendor requests the chip answered with success.
size_t Answered(chip::Chip& chip, int request = -1) {
  const auto log = chip.log().VendorRequests();
  return static_cast<size_t>(std::count_if(log.begin(), log.end(), [&](const chip::LoggedRequest& r) {
    return r.status == usb::TransferStatus::kSuccess && (request < 0 || r.setup.bRequest == request);
  }));
}

struct Call {
  const char* name;
  const char16_t* file;  // the name opened on the interface
  ULONG code;
  ULONG in;
  ULONG out;
  std::function<void(UCHAR* input)> prepare;
  // A successful call's effect: the vendor request it sent (-1 none), and further checks
  // of its output against the chip.
  int request;
  std::function<bool(const UCHAR* output, DWORD bytes, chip::Chip& chip)> check;
};

const std::vector<Call>& Calls() {
  static const std::vector<Call> calls = {
      {"DdiVersion", u"\\roothub", IOCTL_OP_DDI_GET_DDI_VERSION, 0, 40, nullptr, -1,
       [](const UCHAR* out, DWORD bytes, chip::Chip&) {
         return bytes == 40 && LoadLe32(out) == 0x16100401u;
       }},
      {"RomFlagsGet", u"\\roothub", IOCTL_OP_ROM_AUTO_UPDATE_FLAGS, 8, 8, nullptr, -1, nullptr},
      {"RomResult", u"\\roothub", IOCTL_OP_GET_ROM_RESULT, 0, 16, nullptr, -1, nullptr},
      // The flags follow the command set the station read; a failed read leaves them clear.
      {"FeatureFlags", u"\\roothub", IOCTL_OP_GET_FEATURE_FLAGS, 0, 8, nullptr, -1,
       [](const UCHAR*, DWORD bytes, chip::Chip&) { return bytes == 8; }},
      {"SetDeviceId", u"\\roothub", IOCTL_OP_SET_DEVICE_ID, 8, 8,
       [](UCHAR* in) { StoreLe32(in, 0x12345678); }, ReqWriteDeviceId, nullptr},
      {"RomSize", u"\\roothub", IOCTL_OP_GET_ROM_SIZE, 0, 4, nullptr, -1,
       [](const UCHAR* out, DWORD bytes, chip::Chip& chip) {
         return bytes == 4 && LoadLe32(out) == chip.rom().Size();
       }},
      {"DriverModelGet", u"\\roothub", IOCTL_OP_DRIVER_MODEL, 12, 12, nullptr, -1,
       [](const UCHAR* out, DWORD bytes, chip::Chip&) { return bytes == 12 && LoadLe32(out + 8) == 1; }},
      {"ControlTransfer", u"\\display", IOCTL_OP_CONTROL_TRANSFER, 8, 0,
       [](UCHAR* in) {
         in[0] = 0;
         in[1] = ReqSetOutput;
         StoreLe16(in + 2, 1);
       },
       ReqSetOutput, nullptr},
      {"DebugLevelGet", u"\\roothub", IOCTL_OP_DEBUG_LEVEL, 16, 16, nullptr, -1, nullptr},
      {"PanelGet", u"\\roothub", IOCTL_OP_Get_PanelProperty, 4, 4,
       [](UCHAR* in) { StoreLe32(in, 3); }, 0, nullptr},
      {"PanelSet", u"\\roothub", IOCTL_OP_Set_PanelProperty, 16, 0,
       [](UCHAR* in) {
         StoreLe32(in, 3);
         StoreLe32(in + 4, 80);
       },
       ReqSetBrightness,
       [](const UCHAR*, DWORD, chip::Chip& chip) { return chip.panel().State().brightness == 80; }},
      {"PanelKey", u"\\roothub", IOCTL_OP_Get_Panel_Security_Key, 0, 16, nullptr, 0, nullptr},
      {"LanguageGet", u"\\roothub", IOCTL_OP_GET_LANGUAGE_INDEX, 4, 8,
       [](UCHAR* in) { StoreLe32(in, 1); }, 0, nullptr},
      {"LanguageSet", u"\\roothub", IOCTL_OP_SET_LANGUAGE_INDEX, 4, 0,
       [](UCHAR* in) { StoreLe32(in, 2); }, 0, nullptr},
      {"LanguageData", u"\\roothub", IOCTL_OP_Set_Language_Data, 4, 16,
       [](UCHAR* in) { StoreLe32(in, 2); }, 0, nullptr},
      {"LanguageSave", u"\\roothub", IOCTL_OP_Save_Language_Data, 4, 0, nullptr, 0, nullptr},
      {"RomBusy", u"\\roothub", IOCTL_OP_IS_ROM_BUSY, 0, 4, nullptr, -1, nullptr},
      {"NightLight", u"\\roothub", IOCTL_OP_NIGHT_LIGHT_CONTROL, 4, 0,
       [](UCHAR* in) { in[1] = 2; }, 0, nullptr},
      {"NightLightTables", u"\\roothub", IOCTL_OP_NIGHT_LIGHT_TABLES, 772, 0, nullptr, 0, nullptr},
      {"ThirdPartyVersion", u"\\roothub", IOCTL_OP_DDI_GET_3rdPARTY_VERSION, 0, 4, nullptr, 0, nullptr},
      {"ThirdPartyMode", u"\\roothub", IOCTL_OP_HOLLIN_DDI_SET_3rdPARTY_MODE, 4, 4,
       [](UCHAR* in) { StoreLe32(in, 1); }, 0, nullptr},
  };
  return calls;
}

std::u16string InterfacePath(const char16_t* name) {
  std::vector<WString> links = kernel::interfaces::Enabled(kMainControlInterfaceGuid);
  if (links.empty()) return {};
  std::u16string path(links[0]);
  path[1] = u'\\';
  return path + name;
}

void ControlCodes(Run& run) {
  const size_t handles = win32::OpenHandleCount();
  chip::ChipProfile profile = chip::MakeProfile({});
  profile.device_values[chip::kDeviceValueCmdVersion] = 8;
  StationBench bench(run, std::move(profile), [] {
    UCHAR one = 1;
    StationBench::SetParameter(u"TestFunctions", REG_BINARY, &one, 1);
  });
  if (!bench.loaded()) return;
  if (!bench.Attach()) {
    run.Expect(!run.clean(), "a clean chip is attached");
    return;
  }
  bench.Settle();
  if (!bench.Serving()) {
    run.Step("not serving");
    run.Expect(!run.clean(), "a clean start ends serving");
  } else {
    for (const Call& c : Calls()) {
      const std::u16string path = InterfacePath(c.file);
      HANDLE h = path.empty() ? INVALID_HANDLE_VALUE
                              : CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                            FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_OVERLAPPED, nullptr);
      if (h == INVALID_HANDLE_VALUE) {
        run.Step(std::string(c.name) + ": no handle");
        run.Expect(!run.clean(), std::string(c.name) + ": a clean station opens");
        continue;
      }
      std::vector<UCHAR> input(std::max<ULONG>(c.in, 1), 0);
      std::vector<UCHAR> output(std::max<ULONG>(c.out, 1), 0xA5);
      if (c.prepare) c.prepare(input.data());
      const size_t answered = Answered(bench.chip());
      const size_t answered_request = c.request > 0 ? Answered(bench.chip(), c.request) : 0;
      DWORD bytes = 0;
      SetLastError(ERROR_SUCCESS);
      const BOOL ok = DeviceIoControl(h, c.code, c.in ? input.data() : nullptr, c.in,
                                      c.out ? output.data() : nullptr, c.out, &bytes, nullptr);
      const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
      run.Step(std::string(c.name) + (ok ? ": ok" : ": error " + std::to_string(error)));
      CloseHandle(h);
      if (run.clean()) run.Expect(ok, std::string(c.name) + " fails on a clean run");
      if (!ok) {
        run.Expect(error != ERROR_SUCCESS, std::string(c.name) + ": failed without an error");
        continue;
      }
      run.Expect(bytes <= c.out, std::string(c.name) + ": more bytes than the output holds");
      if (run.pulled()) continue;
      if (c.request == 0)
        run.Expect(Answered(bench.chip()) > answered,
                   std::string(c.name) + ": success without a request the chip answered");
      if (c.request > 0)
        run.Expect(Answered(bench.chip(), c.request) > answered_request,
                   std::string(c.name) + ": success without the chip answering its request");
      if (c.check)
        run.Expect(c.check(output.data(), bytes, bench.chip()),
                   std::string(c.name) + ": success with a result the chip does not hold");
    }
  }
  bench.Remove();
  run.Expect(win32::OpenHandleCount() == handles, "a handle left open");
}

}  // namespace

Scenario ControlCodesScenario() { return {"ControlCodes", ControlCodes}; }

}  // namespace vorn::sweep
