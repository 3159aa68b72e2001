// The panel library on one station: the library starts, hears of the adapter's arrival,
// sets a brightness through it and is destroyed after the adapter left. A brightness that the
// library reports set must have reached the chip.
#include <mutex>
#include <string>
#include <vector>

#include "panelapi/glimden.h"
#include "panelapi/panel_operations.h"
#include "platform/win32/debug_output.h"
#include "platform/win32/device_notify.h"
#include "platform/win32/file_api.h"
#include "platform/win32/handle.h"
#include "platform/win32/mouse_hook.h"
#include "platform/win32/window.h"
#include "tests/platform/win32/ui_thread.h"
#include "tests/sweep/panel_station.h"
#include "tests/sweep/scenarios.h"

namespace vorn::sweep {

namespace {

struct Heard {
  std::mutex lock;
  std::vector<std::pair<HANDLE, int>> notices;
  size_t Count(HANDLE device, int arrived) {
    std::lock_guard<std::mutex> guard(lock);
    size_t n = 0;
    for (const auto& [d, a] : notices) n += d == device && a == arrived;
    return n;
  }
};
Heard g_heard;

void Notify(void*, HANDLE device, int arrived) {
  std::lock_guard<std::mutex> guard(g_heard.lock);
  g_heard.notices.emplace_back(device, arrived);
}

// Whether the station's control interface opens for an application now.
bool Opens(const std::u16string& path) {
  if (path.empty()) return false;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}

void PanelLibrary(Run& run) {
  {
    std::lock_guard<std::mutex> guard(g_heard.lock);
    g_heard.notices.clear();
  }
  win32::debug_output::Clear();
  const size_t handles = win32::OpenHandleCount();
  PanelStation station(run);
  if (!station.loaded()) return;
  win32::testing::UiThread ui;
  const HRESULT started = ui.Run([] { return PFN_Start_GLIMDEN(nullptr); });
  run.Step("library start: " + std::to_string(started));
  if (run.clean()) run.Expect(started == S_OK, "the library starts");
  if (started == S_OK) {
    PFN_RegisterDeviceNotification(nullptr, Notify);
    // The station arrives once the library's thread follows arrivals, so that the library
    // hears of it by the broadcast, not by its enumeration at start.
    run.Expect(win32::testing::Eventually([] { return win32::device_change::Registrations() > 0; }),
               "the library follows the arrival of stations");
  }

  const bool serving = station.Arrive();
  run.Step(serving ? "serving" : "not serving");
  if (run.clean()) run.Expect(serving, "a clean start ends serving");
  // The arrival's broadcast is queued when the kernel enables the interface, which may come
  // after the station settled: the library's window is waited for to hear it first. Every
  // broadcast has been handled by the window once delivered: what the library opened, it
  // has opened now.
  const auto heard_arrival = [] {
    return win32::debug_output::Count("Add dbcc_name = \\\\?\\USB#VID_3A7C&PID_0A5E") > 0;
  };
  if (started == S_OK && serving && !run.pulled()) win32::testing::Eventually(heard_arrival);
  win32::device_change::WaitDelivered();
  HANDLE device = PFN_OP_Get_Device_Count() == 1 ? PFN_OP_Get_Device_HWND(0, nullptr) : nullptr;
  if (started == S_OK && serving && !run.pulled() && !device) {
    // The library skips a station it could not open (its create found no memory): then it
    // has heard of the arrival, and the station opens for the next one who asks.
    const bool heard = heard_arrival();
    run.Step(std::string("library holds no station") + (heard ? ", heard of its arrival" : ""));
    run.Expect(!run.clean() && heard && Opens(station.InterfacePath()),
               "the library opens the arrived station");
  }
  if (device) {
    run.Expect(g_heard.Count(device, 1) == 1, "the library reports the station's arrival once");
    station.chip().log().Clear();
    const HRESULT set = PFN_OP_Set_Brightness_Value(device, 80);
    run.Step("brightness: " + std::to_string(set));
    if (run.clean()) run.Expect(set == S_OK, "the brightness is set");
    if (set == S_OK && !run.pulled())
      run.Expect(station.chip().panel().State().brightness == 80,
                 "the brightness reported set, but the chip does not hold it");
  }
  station.Remove();
  if (device)
    run.Expect(win32::testing::Eventually([&] { return g_heard.Count(device, 0) == 1; }),
               "the library reports the station's removal");
  if (started == S_OK) {
    PFN_Destroy_GLIMDEN();
    run.Expect(PFN_OP_Get_Device_Count() == 0, "a destroyed library still counts devices");
  }
  ui.Quit();
  run.Expect(win32::desktop::WindowCount() == 0, "a window left");
  run.Expect(win32::desktop::ClassCount() == 0, "a window class left");
  run.Expect(win32::input::InstalledHooks() == 0, "a mouse hook left");
  run.Expect(win32::device_change::Registrations() == 0, "a device-change registration left");
  run.Expect(win32::OpenHandleCount() == handles, "a handle left open");
}

}  // namespace

Scenario PanelLibraryScenario() { return {"PanelLibrary", PanelLibrary}; }

}  // namespace vorn::sweep
