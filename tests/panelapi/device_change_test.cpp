// The desktop services the panel library finds and follows stations with, against real
// stations on chip models: interface enumeration, arrival and remove-complete broadcasts.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "platform/nt/status.h"
#include "platform/win32/device_notify.h"
#include "platform/win32/file_api.h"
#include "platform/win32/setupapi.h"
#include "protocol/guids.h"
#include "tests/panelapi/panel_machine.h"
#include "tests/platform/win32/ui_thread.h"

namespace vorn::panelapi::testing {
namespace {

using win32::testing::Eventually;
using win32::testing::UiThread;

struct Broadcast {
  WPARAM event;
  DWORD type;
  std::u16string name;
  HANDLE handle = nullptr;  // handle broadcasts
};

struct Recorder {
  std::mutex lock;
  std::vector<Broadcast> seen;
  std::vector<Broadcast> Seen() {
    std::lock_guard<std::mutex> guard(lock);
    return seen;
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(lock);
    seen.clear();
  }
};
Recorder g_recorder;

LRESULT WINAPI RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_DEVICECHANGE) return DefWindowProcW(window, message, wParam, lParam);
  Broadcast b{wParam, 0, {}};
  if (lParam) {
    auto* h = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    b.type = h->dbch_devicetype;
    if (b.type == DBT_DEVTYP_DEVICEINTERFACE)
      b.name = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam)->dbcc_name;
    if (b.type == DBT_DEVTYP_HANDLE) b.handle = reinterpret_cast<const DEV_BROADCAST_HANDLE*>(lParam)->dbch_handle;
  }
  std::lock_guard<std::mutex> guard(g_recorder.lock);
  g_recorder.seen.push_back(b);
  return TRUE;
}

std::vector<std::u16string> Enumerate() {
  std::vector<std::u16string> out;
  HDEVINFO set = SetupDiGetClassDevsW(&protocol::kMainControlInterfaceGuid, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  EXPECT_NE(set, INVALID_HANDLE_VALUE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &protocol::kMainControlInterfaceGuid, i, &data); ++i) {
    DWORD need = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &need, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    std::vector<uint64_t> storage((need + 7) / 8);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = 6;  // not the record's size
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, need, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, need - 2, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, need, nullptr, nullptr));
    out.push_back(detail->DevicePath);
  }
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_EQ(win32::setup::OpenSets(), 0u);
  return out;
}

TEST(DeviceChange, EnabledInterfacesAreListedAndTheirArrivalAndRemovalBroadcast) {
  PanelMachine machine;
  const int first = machine.Attach(kPanelProduct, u"5&1");
  const std::u16string first_path = machine.InterfacePath(first);
  ASSERT_FALSE(first_path.empty());
  EXPECT_EQ(first_path.rfind(u"\\\\?\\USB#VID_3A7C&PID_0A5E#", 0), 0u);
  EXPECT_EQ(Enumerate(), std::vector<std::u16string>{first_path});

  UiThread ui;
  WNDCLASSEXW c{};
  c.cbSize = sizeof c;
  c.lpfnWndProc = RecordingProc;
  c.lpszClassName = u"Recorder";
  ASSERT_NE(RegisterClassExW(&c), 0);
  HWND window = ui.Run([] {
    return CreateWindowExW(0, u"Recorder", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  });
  ASSERT_NE(window, nullptr);
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = protocol::kMainControlInterfaceGuid;
  HDEVNOTIFY note = RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  ASSERT_NE(note, nullptr);
  filter.dbcc_size = 8;
  EXPECT_EQ(RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);

  // A second adapter arrives, and an adapter of another maker that has no station.
  const int second = machine.Attach(kPanelProductWide, u"5&2");
  machine.Attach(0x0101, u"5&3", 0x3A5C);
  const std::u16string second_path = machine.InterfacePath(second);
  ASSERT_FALSE(second_path.empty());
  EXPECT_EQ(Enumerate(), (std::vector<std::u16string>{first_path, second_path}));
  ASSERT_TRUE(Eventually([] { return g_recorder.Seen().size() >= 1; }));
  win32::device_change::WaitDelivered();

  machine.Unplug(second);               // surprise
  EXPECT_EQ(machine.Remove(first), STATUS_SUCCESS);  // orderly, no handle open
  win32::device_change::WaitDelivered();
  EXPECT_TRUE(Enumerate().empty());
  const std::vector<Broadcast> seen = g_recorder.Seen();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].event, DBT_DEVICEARRIVAL);
  EXPECT_EQ(seen[0].type, DBT_DEVTYP_DEVICEINTERFACE);
  EXPECT_EQ(seen[0].name, second_path);
  EXPECT_EQ(seen[1].event, DBT_DEVICEREMOVECOMPLETE);
  EXPECT_EQ(seen[1].name, second_path);
  EXPECT_EQ(seen[2].event, DBT_DEVICEREMOVECOMPLETE);
  EXPECT_EQ(seen[2].name, first_path);

  EXPECT_TRUE(UnregisterDeviceNotification(note));
  EXPECT_FALSE(UnregisterDeviceNotification(note));
  EXPECT_EQ(win32::device_change::Registrations(), 0u);
  EXPECT_TRUE(ui.Run([window] { return DestroyWindow(window); }));
  ui.Quit();
  EXPECT_TRUE(UnregisterClassW(u"Recorder", nullptr));
  EXPECT_EQ(machine.Problems(), std::vector<std::string>{});
}

// The owner of a handle registration hears its device removed once, by surprise and orderly,
// with the handle open or already closed; a registration for another device hears nothing.
TEST(DeviceChange, HandleOwnersHearTheRemovalOfTheirDeviceOnce) {
  g_recorder.Clear();
  PanelMachine machine;
  const int first = machine.Attach(kPanelProduct, u"6&1");
  const int second = machine.Attach(kPanelProductWide, u"6&2");
  const int third = machine.Attach(kPanelProduct, u"6&3");
  std::vector<HANDLE> handles;
  for (int n : {first, second, third}) {
    HANDLE h = CreateFileW(machine.InterfacePath(n).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    handles.push_back(h);
  }

  UiThread ui;
  WNDCLASSEXW c{};
  c.cbSize = sizeof c;
  c.lpfnWndProc = RecordingProc;
  c.lpszClassName = u"HandleOwner";
  ASSERT_NE(RegisterClassExW(&c), 0);
  HWND window = ui.Run([] {
    return CreateWindowExW(0, u"HandleOwner", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  });
  ASSERT_NE(window, nullptr);
  std::vector<HDEVNOTIFY> notes;
  for (HANDLE h : handles) {
    DEV_BROADCAST_HANDLE filter{};
    filter.dbch_size = sizeof filter;
    filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
    filter.dbch_handle = h;
    notes.push_back(RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE));
    ASSERT_NE(notes.back(), nullptr);
  }

  // Surprise, handle still open: the owner learns of it and closes the handle, which lets the
  // removal end.
  machine.Unplug(first);
  ASSERT_TRUE(Eventually([&] { return g_recorder.Seen().size() >= 1; }));
  EXPECT_TRUE(CloseHandle(handles[0]));
  // Orderly, the handle closed before, the registration kept.
  EXPECT_TRUE(CloseHandle(handles[1]));
  EXPECT_EQ(machine.Remove(second), STATUS_SUCCESS);
  machine.Settle();
  win32::device_change::WaitDelivered();

  const std::vector<Broadcast> seen = g_recorder.Seen();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].event, DBT_DEVICEREMOVECOMPLETE);
  EXPECT_EQ(seen[0].type, DBT_DEVTYP_HANDLE);
  EXPECT_EQ(seen[0].handle, handles[0]);
  EXPECT_EQ(seen[1].event, DBT_DEVICEQUERYREMOVE);
  EXPECT_EQ(seen[1].handle, handles[1]);
  EXPECT_EQ(seen[2].event, DBT_DEVICEREMOVECOMPLETE);
  EXPECT_EQ(seen[2].type, DBT_DEVTYP_HANDLE);
  EXPECT_EQ(seen[2].handle, handles[1]);

  for (HDEVNOTIFY note : notes) EXPECT_TRUE(UnregisterDeviceNotification(note));
  EXPECT_EQ(win32::device_change::Registrations(), 0u);
  EXPECT_TRUE(CloseHandle(handles[2]));
  EXPECT_EQ(machine.Remove(third), STATUS_SUCCESS);  // unregistered: nobody to tell
  win32::device_change::WaitDelivered();
  EXPECT_EQ(g_recorder.Seen().size(), 3u);
  EXPECT_TRUE(ui.Run([window] { return DestroyWindow(window); }));
  ui.Quit();
  EXPECT_TRUE(UnregisterClassW(u"HandleOwner", nullptr));
  EXPECT_EQ(machine.Problems(), std::vector<std::string>{});
}

}  // namespace
}  // namespace vorn::panelapi::testing
