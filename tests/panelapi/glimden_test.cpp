// The panel library's device manager against stations on chip models: finding the stations
// present at start, arrival, surprise and orderly removal, the click callback on the start
// thread, a second and third start, Destroy and a new Start, and the getters' bounds.
#include <atomic>

#include "tests/panelapi/glimden_fixture.h"

namespace vorn::panelapi::testing {
namespace {

TEST_F(GlimdenTest, StationsPresentAtStartAreOpenedAndOtherDevicesAreNot) {
  machine_.Attach(kPanelProduct, u"7&1");
  machine_.Attach(kPanelProductWide, u"7&2");
  machine_.Attach(0x0101, u"7&3", 0x3A5C);  // no station: never opened
  ASSERT_EQ(Start(), S_OK);
  ASSERT_TRUE(CountReaches(2));
  int product = -1;
  EXPECT_NE(PFN_OP_Get_Device_HWND(0, &product), nullptr);
  EXPECT_EQ(product, kPanelProduct);
  EXPECT_NE(PFN_OP_Get_Device_HWND(1, &product), nullptr);
  EXPECT_EQ(product, kPanelProductWide);
  // A free slot, slots outside the table and no product id pointer read nothing.
  for (int index : {2, 259, 260, -1, 100000}) {
    SCOPED_TRACE(index);
    product = -1;
    EXPECT_EQ(PFN_OP_Get_Device_HWND(index, &product), nullptr);
    EXPECT_EQ(product, 0);
  }
  EXPECT_NE(PFN_OP_Get_Device_HWND(0, nullptr), nullptr);
  EXPECT_EQ(Traced("345.new CQorUsb:0x"), 2u);
}

TEST_F(GlimdenTest, ArrivalOpensAndReportsOnTheNotificationThreadOnce) {
  ASSERT_EQ(Start(), S_OK);
  const int a = machine_.Attach(kPanelProduct, u"8&1");
  ASSERT_TRUE(Eventually([] { return Notices::Get().Count() == 1; }));
  const Notice n = Notices::Get().Seen()[0];
  EXPECT_EQ(n.arrived, 1);
  EXPECT_NE(n.device, nullptr);
  EXPECT_NE(n.thread, ui_.id());  // the manager's own thread
  EXPECT_EQ(PFN_OP_Get_Device_Count(), 1u);
  EXPECT_EQ(PFN_OP_Get_Device_HWND(0, nullptr), n.device);
  EXPECT_EQ(Traced("*******DBT_DEVICEARRIVAL*******"), 1u);
  const std::u16string path = machine_.InterfacePath(a);
  EXPECT_EQ(Traced("Add dbcc_name = " + std::string(path.begin(), path.end())), 1u);
  win32::device_change::WaitDelivered();
  EXPECT_EQ(Notices::Get().Count(), 1u);
}

TEST_F(GlimdenTest, SurpriseDetachOfOneStationLeavesTheOtherWorking) {
  const int a = machine_.Attach(kPanelProduct, u"9&1");
  const int b = machine_.Attach(kPanelProductWide, u"9&2");
  ASSERT_EQ(Start(), S_OK);
  ASSERT_TRUE(CountReaches(2));
  HANDLE ha = PFN_OP_Get_Device_HWND(0, nullptr);
  HANDLE hb = PFN_OP_Get_Device_HWND(1, nullptr);
  machine_.Unplug(a);
  ASSERT_TRUE(Eventually([&] { return Notices::Get().Removals(ha).size() == 1; }));
  EXPECT_EQ(PFN_OP_Get_Device_Count(), 1u);
  EXPECT_EQ(PFN_OP_Get_Device_HWND(0, nullptr), nullptr);
  EXPECT_EQ(PFN_OP_Get_Device_HWND(1, nullptr), hb);
  EXPECT_EQ(Traced("######## RemoveDevice: 0x"), 1u);
  // The closed handle fails; the other station still takes its operations.
  EXPECT_EQ(PFN_OP_Set_Brightness_Value(ha, 10), E_FAIL);
  EXPECT_EQ(PFN_OP_Set_Brightness_Value(hb, 80), S_OK);
  EXPECT_EQ(machine_.Adapter(b).panel().State().brightness, 80);
  EXPECT_EQ(Notices::Get().Removals(hb).size(), 0u);
}

// An application that registered its own window for a station handle the library gave it
// hears of the station's removal there too, after the library has closed the handle.
std::atomic<HANDLE> g_removed_handle{nullptr};
std::atomic<int> g_removed_count{0};
LRESULT WINAPI HandleOwnerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DEVICECHANGE && wParam == DBT_DEVICEREMOVECOMPLETE && lParam &&
      reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam)->dbch_devicetype == DBT_DEVTYP_HANDLE) {
    g_removed_handle = reinterpret_cast<const DEV_BROADCAST_HANDLE*>(lParam)->dbch_handle;
    ++g_removed_count;
    return TRUE;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

TEST_F(GlimdenTest, AnApplicationRegisteredForAStationHandleHearsItsRemoval) {
  const int a = machine_.Attach(kPanelProduct, u"15&1");
  machine_.Attach(kPanelProductWide, u"15&2");
  ASSERT_EQ(Start(), S_OK);
  ASSERT_TRUE(CountReaches(2));
  HANDLE ha = PFN_OP_Get_Device_HWND(0, nullptr);
  HANDLE hb = PFN_OP_Get_Device_HWND(1, nullptr);
  WNDCLASSEXW c{};
  c.cbSize = sizeof c;
  c.lpfnWndProc = HandleOwnerProc;
  c.lpszClassName = u"Owner";
  ASSERT_NE(RegisterClassExW(&c), 0);
  HWND window = ui_.Run([] {
    return CreateWindowExW(0, u"Owner", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  });
  ASSERT_NE(window, nullptr);
  std::vector<HDEVNOTIFY> notes;
  for (HANDLE h : {ha, hb}) {
    DEV_BROADCAST_HANDLE filter{};
    filter.dbch_size = sizeof filter;
    filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
    filter.dbch_handle = h;
    notes.push_back(RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE));
    ASSERT_NE(notes.back(), nullptr);
  }

  machine_.Unplug(a);
  ASSERT_TRUE(Eventually([] { return g_removed_count == 1; }));
  EXPECT_EQ(g_removed_handle, ha);
  EXPECT_EQ(Notices::Get().Removals(ha).size(), 1u);
  machine_.Settle();
  win32::device_change::WaitDelivered();
  EXPECT_EQ(g_removed_count, 1);  // once, and nothing of the other station

  for (HDEVNOTIFY note : notes) EXPECT_TRUE(UnregisterDeviceNotification(note));
  EXPECT_TRUE(ui_.Run([window] { return DestroyWindow(window); }));
  EXPECT_TRUE(UnregisterClassW(u"Owner", nullptr));
}

TEST_F(GlimdenTest, OrderlyRemovalClosesEachStationAtItsQueryAndLetsTheRemovalGoOn) {
  const int a = machine_.Attach(kPanelProduct, u"10&1");
  const int b = machine_.Attach(kPanelProduct, u"10&2");
  ASSERT_EQ(Start(), S_OK);
  ASSERT_TRUE(CountReaches(2));
  HANDLE ha = PFN_OP_Get_Device_HWND(0, nullptr);
  HANDLE hb = PFN_OP_Get_Device_HWND(1, nullptr);
  // The query reached the library before the driver: the removal is done, and so is the
  // library's notice of it.
  EXPECT_EQ(machine_.Remove(a), 0);
  EXPECT_EQ(Notices::Get().Removals(ha).size(), 1u);
  EXPECT_EQ(PFN_OP_Get_Device_HWND(1, nullptr), hb);  // the other station's notification stays
  // The first removal's remove-complete finds the other station still open, and no entry
  // of its own: it removes nothing.
  win32::device_change::WaitDelivered();
  EXPECT_EQ(Traced("Device has been removed"), 0u);
  EXPECT_EQ(PFN_OP_Get_Device_Count(), 1u);
  EXPECT_EQ(machine_.Remove(b), 0);
  EXPECT_EQ(Notices::Get().Removals(hb).size(), 1u);
  win32::device_change::WaitDelivered();
  EXPECT_EQ(PFN_OP_Get_Device_Count(), 0u);
  EXPECT_EQ(Traced("Find device 0x"), 2u);
  // The second one's comes when no station is open.
  EXPECT_EQ(Traced("Device has been removed"), 1u);
  EXPECT_EQ(Notices::Get().RemovalCount(), 2u);
}

TEST_F(GlimdenTest, AHandleTheApplicationKeepsOpenVetoesTheRemoval) {
  const int a = machine_.Attach(kPanelProduct, u"11&1");
  ASSERT_EQ(Start(), S_OK);
  ASSERT_TRUE(CountReaches(1));
  HANDLE own = CreateFileW(machine_.InterfacePath(a).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                           nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(own, INVALID_HANDLE_VALUE);
  EXPECT_NE(machine_.Remove(a), 0);
  // The library let go of its own handle at the query, and stays closed after the failure.
  EXPECT_EQ(PFN_OP_Get_Device_Count(), 0u);
  win32::device_change::WaitDelivered();
  EXPECT_EQ(PFN_OP_Get_Device_Count(), 0u);
  EXPECT_TRUE(CloseHandle(own));
  EXPECT_EQ(machine_.Remove(a), 0);
}

TEST_F(GlimdenTest, ALeftButtonReleaseCallsBackOnTheStartThread) {
  ASSERT_EQ(Start(), S_OK);
  ASSERT_TRUE(win32::input::InjectMouse(WM_LBUTTONDOWN, {5, 5}));
  ASSERT_TRUE(win32::input::InjectMouse(WM_LBUTTONUP, {5, 5}));
  ASSERT_TRUE(Eventually([] { return Notices::Get().Count() == 1; }));
  EXPECT_EQ(Notices::Get().Seen()[0], (Notice{nullptr, 1, ui_.id()}));
  // Input that came before a callback was registered is not reported.
  ASSERT_TRUE(win32::input::InjectMouse(WM_MOUSEMOVE, {6, 6}));
  ASSERT_TRUE(win32::input::InjectMouse(WM_LBUTTONUP, {6, 6}));
  ASSERT_TRUE(Eventually([] { return Notices::Get().Count() == 2; }));
}

TEST_F(GlimdenTest, ASecondStartRemovesTheHookAndAThirdFailsOnTheManager) {
  machine_.Attach(kPanelProduct, u"12&1");
  ASSERT_EQ(Start(), S_OK);
  ASSERT_TRUE(CountReaches(1));
  EXPECT_EQ(ui_.Run([] { return PFN_Start_GLIMDEN(nullptr); }), S_OK);
  EXPECT_EQ(win32::input::InstalledHooks(), 0u);
  EXPECT_EQ(Traced("Detach Mouse Process."), 1u);
  EXPECT_EQ(PFN_OP_Get_Device_Count(), 1u);  // the manager and its thread stay
  EXPECT_EQ(ui_.Run([] { return PFN_Start_GLIMDEN(nullptr); }), E_FAIL);
  EXPECT_EQ(win32::input::InstalledHooks(), 1u);
}

TEST_F(GlimdenTest, DestroyClosesEverythingAndALaterStartWorksAgain) {
  const int a = machine_.Attach(kPanelProduct, u"13&1");
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(Start(), S_OK);
    ASSERT_TRUE(CountReaches(1));
    PFN_Destroy_GLIMDEN();
    EXPECT_EQ(PFN_OP_Get_Device_Count(), 0u);
    EXPECT_EQ(win32::desktop::WindowCount(), 0u);
    EXPECT_EQ(win32::desktop::ClassCount(), 0u);
    EXPECT_EQ(win32::input::InstalledHooks(), 0u);
    EXPECT_EQ(win32::device_change::Registrations(), 0u);
  }
  EXPECT_EQ(Traced("The window class failed to register"), 0u);
  EXPECT_EQ(machine_.Remove(a), 0);  // no handle left open
  EXPECT_EQ(Notices::Get().RemovalCount(), 0u);  // Destroy closes without removal callbacks
}

// Another part of the application with a low-level hook of its own, installed before the
// library's: it sees input only when the newer hooks pass it on.
std::atomic<int> g_older_clicks{0};
LRESULT WINAPI OlderHookProc(int code, WPARAM wParam, LPARAM) {
  if (code == HC_ACTION && wParam == WM_LBUTTONUP) ++g_older_clicks;
  return 0;
}

TEST_F(GlimdenTest, TheHookEndsWithTheStartThreadAndALaterStartInstallsItAgain) {
  g_older_clicks = 0;
  machine_.Attach(kPanelProduct, u"16&1");
  UiThread other;
  HHOOK older = other.Run([] { return SetWindowsHookExW(WH_MOUSE_LL, OlderHookProc, GetModuleHandleW(nullptr), 0); });
  ASSERT_NE(older, nullptr);
  {
    UiThread starter;
    ASSERT_EQ(starter.Run([] { return PFN_Start_GLIMDEN(nullptr); }), S_OK);
    PFN_RegisterDeviceNotification(nullptr, Notices::Callback);
    ASSERT_TRUE(CountReaches(1));
    EXPECT_EQ(win32::input::InstalledHooks(), 2u);
  }  // the start thread ends without Destroy
  EXPECT_EQ(win32::input::InstalledHooks(), 1u);
  ASSERT_TRUE(win32::input::InjectMouse(WM_LBUTTONUP, {1, 1}));
  ASSERT_TRUE(Eventually([] { return g_older_clicks == 1; }));
  EXPECT_EQ(Notices::Get().Arrivals(nullptr).size(), 0u);

  // The manager lives on: a Start on a living thread installs the hook again there.
  EXPECT_EQ(ui_.Run([] { return PFN_Start_GLIMDEN(nullptr); }), E_FAIL);
  EXPECT_EQ(win32::input::InstalledHooks(), 2u);
  EXPECT_EQ(PFN_OP_Get_Device_Count(), 1u);
  ASSERT_TRUE(win32::input::InjectMouse(WM_LBUTTONUP, {2, 2}));
  ASSERT_TRUE(Eventually([] { return Notices::Get().Arrivals(nullptr).size() == 1; }));
  EXPECT_EQ(Notices::Get().Arrivals(nullptr)[0].thread, ui_.id());
  ASSERT_TRUE(Eventually([] { return g_older_clicks == 2; }));  // passed on
  PFN_Destroy_GLIMDEN();
  EXPECT_EQ(win32::input::InstalledHooks(), 1u);
  EXPECT_EQ(Traced("Detach Mouse Process."), 1u);
  EXPECT_TRUE(other.Run([older] { return UnhookWindowsHookEx(older); }));
}

TEST_F(GlimdenTest, AHookThatCannotBeInstalledStartsNothing) {
  machine_.Attach(kPanelProduct, u"14&1");
  win32::input::FailHookInstalls(1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(Start(), E_FAIL);
  EXPECT_EQ(Traced("!g_mouseHook (72) "), 1u);
  EXPECT_EQ(PFN_OP_Get_Device_Count(), 0u);
  int product = -1;
  EXPECT_EQ(PFN_OP_Get_Device_HWND(0, &product), nullptr);
  EXPECT_EQ(product, 0);
  EXPECT_EQ(win32::desktop::WindowCount(), 0u);
  EXPECT_EQ(ui_.Run([] { return PFN_Start_GLIMDEN(nullptr); }), S_OK);  // installs now
  EXPECT_TRUE(CountReaches(1));
}

TEST_F(GlimdenTest, AStationWhosePathDoesNotFitAnEntryIsNotOpened) {
  const std::u16string instance(240, u'7');
  const int a = machine_.Attach(kPanelProduct, instance);
  ASSERT_GT(machine_.InterfacePath(a).size(), 260u);
  ASSERT_EQ(Start(), S_OK);
  const int b = machine_.Attach(kPanelProduct, u"15&1");
  ASSERT_TRUE(CountReaches(1));
  win32::device_change::WaitDelivered();
  EXPECT_EQ(PFN_OP_Get_Device_Count(), 1u);
  (void)b;
}

// The exported class's two assignments hand back the object assigned to, never the source.
TEST(CGlimdenTest, CopyAndMoveAssignmentReturnTheAssignedObject) {
  CGlimden a, b;
  EXPECT_EQ(&(a = b), &a);
  EXPECT_EQ(&(b = a), &b);
  EXPECT_EQ(&(a = std::move(b)), &a);
  EXPECT_EQ(&(a = a), &a);
  CGlimden& (CGlimden::*copy)(const CGlimden&) = &CGlimden::operator=;
  CGlimden& (CGlimden::*move)(CGlimden&&) = &CGlimden::operator=;
  EXPECT_EQ(&(b.*copy)(a), &b);
  EXPECT_EQ(&(b.*move)(CGlimden{}), &b);
}

}  // namespace
}  // namespace vorn::panelapi::testing
