// The panel library on one station: the library starts, hears of the adapter's arrival,
// sets a brightness through it and is destroyed after the adapter left. A brightness that the
// library reports set must have reached the chip.
#include <mutex>
#include <string>
#include <vector>

#include "panelapi/glimden.h"
#include "panelapi/panel_operations.h"
#include "platform/win32/device_notify.h"
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

void PanelLibrary(Run& run) {
  {
    std::lock_guard<std::mutex> guard(g_heard.lock);
    g_heard.notices.clear();
  }
  PanelStation station(run);
  if (!station.loaded()) return;
  win32::testing::UiThread ui;
  const HRESULT started = ui.Run([] { return PFN_Start_GLIMDEN(nullptr); });
  run.Step("library start: " + std::to_string(started));
  if (run.clean()) run.Expect(started == S_OK, "the library starts");
  if (started == S_OK) PFN_RegisterDeviceNotification(nullptr, Notify);

  const bool serving = station.Arrive();
  run.Step(serving ? "serving" : "not serving");
  if (run.clean()) run.Expect(serving, "a clean start ends serving");
  HANDLE device = nullptr;
  if (started == S_OK && serving && !run.pulled()) {
    // The library opens a station whose interface arrived.
    const bool found = win32::testing::Eventually(
        [&] { return run.pulled() || PFN_OP_Get_Device_Count() == 1; });
    device = PFN_OP_Get_Device_HWND(0, nullptr);
    if (!run.pulled()) run.Expect(found && device, "the library opens the arrived station");
  }
  if (device) {
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
}

}  // namespace

Scenario PanelLibraryScenario() { return {"PanelLibrary", PanelLibrary}; }

}  // namespace vorn::sweep
