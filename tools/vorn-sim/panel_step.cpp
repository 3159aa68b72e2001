#include "tools/vorn-sim/panel_step.h"

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>

#include "panelapi/glimden.h"
#include "panelapi/panel_operations.h"
#include "platform/win32/thread.h"
#include "platform/win32/window.h"
#include "protocol/vendor_request.h"
#include "tools/vorn-sim/panel_station.h"

namespace vorn::sim {
namespace {

constexpr int kWaitSeconds = 30;

// The application's message thread: the library's mouse hook is installed on the thread that
// starts the library, which must read its messages.
class MessageThread {
 public:
  MessageThread() {
    std::promise<DWORD> id;
    std::future<DWORD> got = id.get_future();
    thread_ = std::thread([&id] {
      win32::desktop::EnsureQueue();
      id.set_value(GetCurrentThreadId());
      MSG msg;
      while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    });
    id_ = got.get();
  }
  ~MessageThread() {
    PostThreadMessageW(id_, WM_QUIT, 0, 0);
    thread_.join();
  }
  MessageThread(const MessageThread&) = delete;
  MessageThread& operator=(const MessageThread&) = delete;

  HRESULT StartLibrary() {
    std::packaged_task<HRESULT()> task([] { return PFN_Start_GLIMDEN(nullptr); });
    std::future<HRESULT> result = task.get_future();
    win32::desktop::QueueCall(id_, [&task] { task(); });
    return result.get();
  }

 private:
  std::thread thread_;
  DWORD id_ = 0;
};

template <class F>
bool WaitFor(F done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(kWaitSeconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

const char* Result(HRESULT hr) { return hr == S_OK ? "S_OK" : "E_FAIL"; }

// The panel requests the chip received since the log was last cleared.
void PrintPanelRequests(chip::Chip& adapter) {
  for (const chip::LoggedRequest& r : adapter.log().VendorRequests()) {
    if (!chip::PanelRequests::Owns(r.setup)) continue;
    const protocol::VendorRequestInfo* info = protocol::FindVendorRequest(r.setup.bRequest);
    const char* name = info ? info->Name : nullptr;
    std::printf("panel: chip received 0x%02X %s value 0x%04X index 0x%04X length %u: %s\n",
                r.setup.bRequest, name ? name : "?", r.setup.wValue, r.setup.wIndex,
                r.setup.wLength, r.status == usb::TransferStatus::kSuccess ? "answered" : "refused");
  }
}

}  // namespace

int RunPanelStep(const PanelStepOptions& o) {
  PanelStation station;
  std::string error;
  if (!station.Start(&error)) {
    std::fprintf(stderr, "vorn-sim: %s\n", error.c_str());
    return 1;
  }
  chip::Chip& adapter = station.Adapter();
  bool ok = true;
  {
    MessageThread app;
    const HRESULT started = app.StartLibrary();
    if (started != S_OK || !WaitFor([] { return PFN_OP_Get_Device_Count() == 1; })) {
      std::printf("panel: the library did not open the adapter (start %s, %u devices)\n",
                  Result(started), static_cast<unsigned>(PFN_OP_Get_Device_Count()));
      PFN_Destroy_GLIMDEN();
      return 1;
    }
    int product = 0;
    HANDLE device = PFN_OP_Get_Device_HWND(0, &product);
    if (!o.quiet) std::printf("panel: the library opened adapter 0x%04X\n", static_cast<unsigned>(product));
    adapter.log().Clear();

    const HRESULT brightness = PFN_OP_Set_Brightness_Value(device, o.brightness);
    const HRESULT rotation = PFN_OP_Set_Rotate_State(device, static_cast<int>(o.rotation));
    // Bytes of the night-light value: view, mode (1: on with a level), level.
    const HRESULT night = PFN_OP_NIGHT_LIGHT_CONTROL(device, static_cast<int>(0x100u | (o.night_level & 0xFF) << 16));
    std::printf("panel: brightness %u %s, rotation state %u %s, night light level %u %s\n",
                o.brightness, Result(brightness), o.rotation, Result(rotation), o.night_level, Result(night));
    if (!o.quiet) PrintPanelRequests(adapter);
    ok = brightness == S_OK && rotation == S_OK && night == S_OK;
    PFN_Destroy_GLIMDEN();
  }

  const chip::PanelState state = adapter.panel().State();
  std::printf("panel: the chip holds brightness %u, rotation %u, night light mode %u level %u\n",
              state.brightness, state.rotation, state.night_light_mode[0], state.night_light_level[0]);
  const bool held = state.brightness == o.brightness && state.rotation == o.rotation - 1 &&
                    state.night_light_mode[0] == 1 && state.night_light_level[0] == o.night_level;
  for (const std::string& p : station.Problems()) std::printf("panel: problem: %s\n", p.c_str());
  return ok && held && station.Problems().empty() ? 0 : 1;
}

}  // namespace vorn::sim
