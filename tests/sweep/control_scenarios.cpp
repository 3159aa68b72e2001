// The control codes as an application sends them, one valid call of each on a started
// station of a chip that serves a network-station host, so that the codes of NS mode are
// served once the enumeration code has found it; a call that reports success for work on the
// chip must have reached the chip.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/interfaces.h"
#include "platform/kernel/object.h"
#include "platform/kernel/registry.h"
#include "platform/win32/file_api.h"
#include "platform/win32/handle.h"
#include "protocol/bus_message.h"
#include "protocol/byte_order.h"
#include "protocol/control_codes.h"
#include "protocol/frame_descriptor.h"
#include "protocol/guids.h"
#include "protocol/vendor_request.h"
#include "sim/chip/station_requests.h"
#include "sim/chip/transfer_faults.h"
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
  // Fills the input and, for the in-direct codes that send the caller's data, the output.
  std::function<void(UCHAR* input, UCHAR* output)> prepare;
  // A successful call's effect: the vendor request it sent (-1 none), and further checks
  // of its output against the chip.
  int request;
  std::function<bool(const UCHAR* output, DWORD bytes, chip::Chip& chip)> check;
  // Runs after the call succeeded, on its handle, before the next call.
  std::function<void(Run& run, StationBench& bench, HANDLE h)> after = nullptr;
  // Sent on the bulk-OUT pipe, which waits for the chip without a time limit.
  bool bulk = false;
};

constexpr char16_t kProject[] = u"VS3000";
constexpr char16_t kImagePath[] = u"C:\\fw\\image.bin";
constexpr USHORT kNsValue = 0x0100, kNsIndex = 0x0007;  // an NS register pair never written
constexpr ULONG kNsBytes = 16;
constexpr ULONG kRomReadBytes = 0x10000;
constexpr uint16_t kFrameWidth = 4, kFrameHeight = 2;
constexpr ULONG kFramePixelBytes = ULONG{kFrameWidth} * kFrameHeight * 3;
constexpr ULONG kFrameMessageBytes = ULONG{kFramePayloadOffset} + kFramePixelBytes;

// What the chip's ROM holds at its start: the read must bring it back.
const std::vector<uint8_t>& RomContent() {
  static const std::vector<uint8_t> content = [] {
    std::vector<uint8_t> c(kRomReadBytes);
    for (size_t i = 0; i < c.size(); ++i) c[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    return c;
  }();
  return content;
}

// The event the user-event call registers (an application's event handle).
HANDLE g_user_event = nullptr;
// Whether the run injects nothing.
bool g_clean_run = true;

WString FirmwareKey() {
  return WString(kernel::registry::kServicesPath) + u"\\hollin\\Parameters\\Firmware\\" + kProject;
}

// A full RGB frame of view 0 in a message of the display session: its header, descriptor and
// pixels counting up, as an application sends it to the chip.
void FrameMessage(UCHAR* m) {
  std::memset(m, 0, kFrameMessageBytes);
  FrameDescriptor d;
  d.PacketKind = ToWire(FramePacketKind::FullView0);
  d.PayloadLength = kFramePixelBytes;
  d.Sequence = 1;
  d.Layout = ToWire(SurfaceFormat::Rgb24);
  d.Full.Stride1 = kFrameWidth * 3;
  d.Full.Format = ToWire(SurfaceFormat::Rgb24);
  d.Full.Width = kFrameWidth;
  d.Full.Height = kFrameHeight;
  StoreLe32(m, ToWire(BusMessageType::Display));
  StoreLe32(m + 4, kFrameDescriptorSize + kFramePixelBytes);
  EncodeFrameDescriptor(d, MutableByteSpan(m + kBusMessageHeaderSize, kFrameDescriptorSize));
  for (ULONG i = 0; i < kFramePixelBytes; ++i) m[kFramePayloadOffset + i] = static_cast<UCHAR>(i);
}

// The enumeration is served by the worker: once it has taken a second request, which it
// takes only after its discovery of the first (and then drops), the discovery is over and the
// NS mode it found is in force. Not waited for when the adapter may be pulled meanwhile: the
// station's extension is read here.
void AwaitEnumeration(Run& run, StationBench& bench, HANDLE h) {
  if (run.injection().kind == FaultKind::kRemoval) return;
  station::StationExtension* station = bench.station();
  if (!station) return;
  auto taken = [&] { return __atomic_load_n(&station->EnumerateRequest, __ATOMIC_SEQ_CST) == 0; };
  run.Expect(WaitReal(taken), "the worker takes the enumeration request");
  UCHAR again[8] = {1};
  DWORD bytes = 0;
  if (!DeviceIoControl(h, IOCTL_OP_ENUMERATE_FUNCTIONS, again, 8, nullptr, 0, &bytes, nullptr)) return;
  run.Expect(WaitReal(taken), "the worker ends its discovery");
}


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
       [](UCHAR* in, UCHAR*) { StoreLe32(in, 0x12345678); }, ReqWriteDeviceId, nullptr},
      {"RomSize", u"\\roothub", IOCTL_OP_GET_ROM_SIZE, 0, 4, nullptr, -1,
       [](const UCHAR* out, DWORD bytes, chip::Chip& chip) {
         return bytes == 4 && LoadLe32(out) == chip.rom().Size();
       }},
      {"DriverModelGet", u"\\roothub", IOCTL_OP_DRIVER_MODEL, 12, 12, nullptr, -1,
       [](const UCHAR* out, DWORD bytes, chip::Chip&) {
         // A fault that lost the parameter's read leaves the driver on its default model, 1.
         const ULONG model = LoadLe32(out + 8);
         return bytes == 12 && (model == 2 || (model == 1 && !g_clean_run));
       }},
      {"ControlTransfer", u"\\display", IOCTL_OP_CONTROL_TRANSFER, 8, 0,
       [](UCHAR* in, UCHAR*) {
         in[0] = 0;
         in[1] = ReqSetOutput;
         StoreLe16(in + 2, 1);
       },
       ReqSetOutput, nullptr},
      {"DebugLevelGet", u"\\roothub", IOCTL_OP_DEBUG_LEVEL, 16, 16, nullptr, -1, nullptr},
      {"PanelGet", u"\\roothub", IOCTL_OP_Get_PanelProperty, 4, 4,
       [](UCHAR* in, UCHAR*) { StoreLe32(in, 3); }, 0, nullptr},
      {"PanelSet", u"\\roothub", IOCTL_OP_Set_PanelProperty, 16, 0,
       [](UCHAR* in, UCHAR*) {
         StoreLe32(in, 3);
         StoreLe32(in + 4, 80);
       },
       ReqSetBrightness,
       [](const UCHAR*, DWORD, chip::Chip& chip) { return chip.panel().State().brightness == 80; }},
      {"PanelKey", u"\\roothub", IOCTL_OP_Get_Panel_Security_Key, 0, 16, nullptr, 0, nullptr},
      {"LanguageGet", u"\\roothub", IOCTL_OP_GET_LANGUAGE_INDEX, 4, 8,
       [](UCHAR* in, UCHAR*) { StoreLe32(in, 1); }, 0, nullptr},
      {"LanguageSet", u"\\roothub", IOCTL_OP_SET_LANGUAGE_INDEX, 4, 0,
       [](UCHAR* in, UCHAR*) { StoreLe32(in, 2); }, 0, nullptr},
      {"LanguageData", u"\\roothub", IOCTL_OP_Set_Language_Data, 4, 16,
       [](UCHAR* in, UCHAR*) { StoreLe32(in, 2); }, 0, nullptr},
      {"LanguageSave", u"\\roothub", IOCTL_OP_Save_Language_Data, 4, 0, nullptr, 0, nullptr},
      {"RomBusy", u"\\roothub", IOCTL_OP_IS_ROM_BUSY, 0, 4, nullptr, -1, nullptr},
      {"NightLight", u"\\roothub", IOCTL_OP_NIGHT_LIGHT_CONTROL, 4, 0,
       [](UCHAR* in, UCHAR*) { in[1] = 2; }, 0, nullptr},
      {"NightLightTables", u"\\roothub", IOCTL_OP_NIGHT_LIGHT_TABLES, 772, 0, nullptr, 0, nullptr},
      {"ThirdPartyVersion", u"\\roothub", IOCTL_OP_DDI_GET_3rdPARTY_VERSION, 0, 4, nullptr, 0, nullptr},
      {"ThirdPartyMode", u"\\roothub", IOCTL_OP_HOLLIN_DDI_SET_3rdPARTY_MODE, 4, 4,
       [](UCHAR* in, UCHAR*) { StoreLe32(in, 1); }, 0, nullptr},
      {"RomPathSet", u"\\roothub", IOCTL_OP_ROM_PATH, 524, 524,
       [](UCHAR* in, UCHAR*) {
         in[0] = 1;  // set, target 0: the image
         for (size_t i = 0; kProject[i]; ++i) in[8 + i] = static_cast<UCHAR>(kProject[i]);
         for (size_t i = 0; kImagePath[i]; ++i) StoreLe16(in + 24 + 2 * i, kImagePath[i]);
       },
       -1,
       [](const UCHAR*, DWORD, chip::Chip&) {
         WString path;
         return kernel::registry::GetString(FirmwareKey(), u"ImagePath", &path) &&
                std::u16string_view(path.c_str()) == kImagePath;
       }},
      {"ReadRom", u"\\roothub", IOCTL_OP_READ_ROM, 0, kRomReadBytes, nullptr, ReqReadRom,
       [](const UCHAR* out, DWORD bytes, chip::Chip& chip) {
         return bytes == kRomReadBytes && chip.rom().Contents(chip::kRomTargetImage) == RomContent() &&
                std::equal(out, out + kRomReadBytes, RomContent().begin());
       }},
      {"SendMessage", u"\\roothub", IOCTL_OP_SEND_MESSAGE, 8, kFrameMessageBytes,
       [](UCHAR*, UCHAR* out) { FrameMessage(out); }, -1,
       [](const UCHAR*, DWORD, chip::Chip& chip) {
         return WaitReal([&] { return chip.station_bulk_out().Completed(0) == 1; }) &&
                chip.station_bulk_out().Delivered(0).size() == 1 &&
                chip.station_bulk_out().Delivered(0)[0].payload.size() ==
                    kFrameDescriptorSize + kFramePixelBytes;
       },
       nullptr, true},
      // A station of the on-request model finds its functions when asked; this chip serves a
      // network-station host, so the discovery puts the station in NS mode.
      {"EnumerateFunctions", u"\\roothub", IOCTL_OP_ENUMERATE_FUNCTIONS, 8, 8,
       [](UCHAR* in, UCHAR*) { in[0] = 1; }, -1, nullptr, AwaitEnumeration},
      {"NsVendorWrite", u"\\roothub", IOCTL_OP_NS_VENDOR_WRITE, 8, kNsBytes,
       [](UCHAR* in, UCHAR*) {
         StoreLe16(in, 0x0012);
         StoreLe16(in + 2, 0x0345);
       },
       ReqNsWrite, nullptr},
      {"NsVendorRead", u"\\roothub", IOCTL_OP_NS_VENDOR_READ, 8, kNsBytes,
       [](UCHAR* in, UCHAR*) {
         StoreLe16(in, kNsValue);
         StoreLe16(in + 2, kNsIndex);
       },
       ReqNsRead,
       [](const UCHAR* out, DWORD, chip::Chip&) {
         // The chip's pattern for a pair never written: the read went where it was asked.
         const std::vector<uint8_t> want = chip::NsRegisterBytes({}, kNsValue, kNsIndex, kNsBytes);
         return std::equal(want.begin(), want.end(), out);
       }},
      {"UserEvent", u"\\roothub", IOCTL_OP_USER_EVENT, 16, 16,
       [](UCHAR* in, UCHAR*) {
         in[0] = 1;  // register, slot 0
         StoreLe64(in + 8, reinterpret_cast<uintptr_t>(g_user_event));
       },
       -1, nullptr},
      // Last: the chip starts over.
      {"ResetChip", u"\\roothub", IOCTL_OP_HOLLIN_DDI_RESET_VORN, 4, 4, nullptr, ReqResetChip,
       [](const UCHAR*, DWORD, chip::Chip& chip) { return chip.rom().Resets() == 1; }},
  };
  static_assert(kControlCodeCount == 29);
  return calls;
}

bool EveryCodeCalled() {
  for (const ControlCodeInfo& info : kControlCodes)
    if (std::none_of(Calls().begin(), Calls().end(), [&](const Call& c) { return c.code == info.Code; }))
      return false;
  return true;
}

// One call as an application makes it, on its own handle.
struct AppCall {
  AppCall(const Call& c, HANDLE handle, chip::Chip& chip)
      : call(c),
        h(handle),
        input(std::max<ULONG>(c.in, 1), 0),
        output(std::max<ULONG>(c.out, 1), 0xA5),
        answered(Answered(chip)),
        answered_request(c.request > 0 ? Answered(chip, c.request) : 0) {
    if (c.prepare) c.prepare(input.data(), output.data());
  }
  void Send() {
    SetLastError(ERROR_SUCCESS);
    ok = DeviceIoControl(h, call.code, call.in ? input.data() : nullptr, call.in,
                         call.out ? output.data() : nullptr, call.out, &bytes, nullptr);
    error = ok ? ERROR_SUCCESS : GetLastError();
    returned.store(true);
  }

  const Call& call;
  HANDLE h;
  std::vector<UCHAR> input, output;
  size_t answered, answered_request;
  BOOL ok = FALSE;
  DWORD error = ERROR_SUCCESS, bytes = 0;
  std::atomic<bool> returned{false};
  std::thread sender;
};

// A call that has returned: its handle closed, its result held against the chip.
void Judge(Run& run, StationBench& bench, AppCall& a) {
  const Call& c = a.call;
  run.Step(std::string(c.name) + (a.ok ? ": ok" : ": error " + std::to_string(a.error)));
  if (a.ok && c.after) c.after(run, bench, a.h);
  CloseHandle(a.h);
  if (run.clean()) run.Expect(a.ok, std::string(c.name) + " fails on a clean run");
  if (!a.ok) {
    run.Expect(a.error != ERROR_SUCCESS, std::string(c.name) + ": failed without an error");
    return;
  }
  run.Expect(a.bytes <= c.out, std::string(c.name) + ": more bytes than the output holds");
  if (run.pulled()) return;
  if (c.request == 0)
    run.Expect(Answered(bench.chip()) > a.answered,
               std::string(c.name) + ": success without a request the chip answered");
  if (c.request > 0)
    run.Expect(Answered(bench.chip(), c.request) > a.answered_request,
               std::string(c.name) + ": success without the chip answering its request");
  if (c.check)
    run.Expect(c.check(a.output.data(), a.bytes, bench.chip()),
               std::string(c.name) + ": success with a result the chip does not hold");
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
  run.Expect(EveryCodeCalled(), "a control code is not called");
  g_clean_run = run.clean();
  chip::ChipProfile profile = chip::MakeProfile({});
  profile.device_values[chip::kDeviceValueCmdVersion] = 8;
  // The chip serves a network-station host: its station enters NS mode at its discovery.
  profile.station.computer_info = chip::MakeComputerInfo(0x0102);
  StationBench bench(run, std::move(profile), [] {
    UCHAR one = 1;
    StationBench::SetParameter(u"TestFunctions", REG_BINARY, &one, 1);
    StationBench::SetParameter(u"SupportNS", REG_BINARY, &one, 1);
    // Children only on request, so that the enumeration code is served.
    ULONG on_request = 2;
    StationBench::SetParameter(u"DriverModel", REG_BINARY, &on_request, 4);
    // The ROM read waits long on the clock, so that its replies are never late on a loaded
    // machine.
    ULONG transfer = 4000000;
    StationBench::SetParameter(u"RomXferTimeout", REG_DWORD, &transfer, 4);
  });
  if (!bench.loaded()) return;
  bench.chip().rom().SetContents(chip::kRomTargetImage, RomContent());
  if (!bench.Attach()) {
    run.Expect(!run.clean(), "a clean chip is attached");
    return;
  }
  bench.Settle();
  // A call the chip holds on the bulk-OUT pipe (it never answers the message) waits, like
  // the pipe, without a time limit; pulling the adapter at the end ends it. It is judged then.
  std::vector<std::unique_ptr<AppCall>> held;
  if (!bench.Serving()) {
    run.Step("not serving");
    run.Expect(!run.clean(), "a clean start ends serving");
  } else {
    HANDLE event = nullptr;
    kernel::CreateEventObject(NotificationEvent, false, &event);
    g_user_event = event;
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
      auto call = std::make_unique<AppCall>(c, h, bench.chip());
      if (!c.bulk) {
        call->Send();
        Judge(run, bench, *call);
        continue;
      }
      const bool fired_before = chip::TransferFaultFired();
      std::thread sender([&a = *call] { a.Send(); });
      const bool returned = WaitReal([&] {
        return call->returned.load() || (run.injection().kind == FaultKind::kTimeOut &&
                                         !fired_before && chip::TransferFaultFired());
      });
      if (returned && call->returned.load()) {
        sender.join();
        Judge(run, bench, *call);
        continue;
      }
      run.Step(std::string(c.name) + ": held");
      run.Expect(returned, std::string(c.name) + ": neither returns nor is held by the chip");
      call->sender = std::move(sender);
      held.push_back(std::move(call));
    }
    // The station let go of the event with the handle that registered it.
    ZwClose(event);
    g_user_event = nullptr;
  }
  // An orderly removal waits for the calls still open: a user pulls the adapter that holds one.
  if (!held.empty()) run.StartPull();
  bench.Remove();
  for (auto& call : held) {
    call->sender.join();
    Judge(run, bench, *call);
  }
  run.Expect(win32::OpenHandleCount() == handles, "a handle left open");
}

}  // namespace

Scenario ControlCodesScenario() { return {"ControlCodes", ControlCodes}; }

}  // namespace vorn::sweep
