// The application side of the panel library's tests: a thread that starts the library and
// reads its messages (the mouse hook runs there), the callback's record, and the library's
// trace lines.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "panelapi/glimden.h"
#include "panelapi/panel_operations.h"
#include "platform/win32/debug_output.h"
#include "platform/win32/device_notify.h"
#include "platform/win32/mouse_hook.h"
#include "platform/win32/setupapi.h"
#include "tests/panelapi/panel_machine.h"
#include "tests/platform/win32/ui_thread.h"

namespace vorn::panelapi::testing {

using win32::testing::Eventually;
using win32::testing::UiThread;

struct Notice {
  HANDLE device;
  int arrived;
  DWORD thread;
  bool operator==(const Notice&) const = default;
};

class Notices {
 public:
  static Notices& Get() {
    static Notices n;
    return n;
  }
  static void Callback(void* context, HANDLE device, int arrived) {
    Notices& n = Get();
    std::lock_guard<std::mutex> guard(n.lock_);
    n.contexts_ += context != nullptr;
    n.seen_.push_back({device, arrived, GetCurrentThreadId()});
  }
  std::vector<Notice> Seen() {
    std::lock_guard<std::mutex> guard(lock_);
    return seen_;
  }
  std::vector<Notice> Of(HANDLE device) {
    std::vector<Notice> out;
    for (const Notice& n : Seen())
      if (n.device == device) out.push_back(n);
    return out;
  }
  // Its removal notices, and its arrival notices.
  std::vector<Notice> Removals(HANDLE device) { return With(device, 0); }
  std::vector<Notice> Arrivals(HANDLE device) { return With(device, 1); }
  size_t RemovalCount() {
    size_t n = 0;
    for (const Notice& x : Seen()) n += x.arrived == 0;
    return n;
  }
  size_t Count() {
    std::lock_guard<std::mutex> guard(lock_);
    return seen_.size();
  }
  int Contexts() {
    std::lock_guard<std::mutex> guard(lock_);
    return contexts_;
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    seen_.clear();
  }

 private:
  std::vector<Notice> With(HANDLE device, int arrived) {
    std::vector<Notice> out;
    for (const Notice& n : Seen())
      if (n.device == device && n.arrived == arrived) out.push_back(n);
    return out;
  }

  std::mutex lock_;
  std::vector<Notice> seen_;
  int contexts_ = 0;
};

inline size_t Traced(const std::string& text) { return win32::debug_output::Count("[QORAP] " + text); }

class GlimdenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Notices::Get().Clear();
    win32::debug_output::Clear();
  }
  void TearDown() override {
    PFN_Destroy_GLIMDEN();
    ui_.Quit();
    EXPECT_EQ(win32::desktop::WindowCount(), 0u);
    EXPECT_EQ(win32::desktop::ClassCount(), 0u);
    EXPECT_EQ(win32::input::InstalledHooks(), 0u);
    EXPECT_EQ(win32::device_change::Registrations(), 0u);
    EXPECT_EQ(Notices::Get().Contexts(), 0);
    EXPECT_EQ(machine_.Problems(), std::vector<std::string>{});
  }

  // Starts the library on the application's message thread and registers the callback.
  HRESULT Start() {
    HRESULT hr = ui_.Run([] { return PFN_Start_GLIMDEN(nullptr); });
    PFN_RegisterDeviceNotification(nullptr, Notices::Callback);
    return hr;
  }
  static bool CountReaches(DWORD n) { return Eventually([n] { return PFN_OP_Get_Device_Count() == n; }); }
  static std::vector<HANDLE> Handles() {
    std::vector<HANDLE> out;
    for (int i = 0; i < 260; ++i)
      if (HANDLE h = PFN_OP_Get_Device_HWND(i, nullptr)) out.push_back(h);
    return out;
  }

  PanelMachine machine_;
  UiThread ui_;
};

}  // namespace vorn::panelapi::testing
