// The desktop services the panel library runs on: windows and their message loops, sent and
// posted messages across threads, the low-level mouse hook with injected input, critical
// sections and the debugger output.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/win32/critical_section.h"
#include "platform/win32/debug_output.h"
#include "platform/win32/mouse_hook.h"
#include "platform/win32/window.h"
#include "tests/platform/win32/ui_thread.h"

namespace vorn::win32::testing {
namespace {

constexpr UINT kPing = WM_USER + 1;

struct Seen {
  std::atomic<DWORD> thread{0};
  std::atomic<int> destroyed{0};
  std::atomic<int> pings{0};
};

LRESULT WINAPI Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* seen = reinterpret_cast<Seen*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (message) {
    case WM_NCCREATE:
      SetWindowLongPtrW(window, GWLP_USERDATA,
                        reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
      return TRUE;
    case kPing:
      seen->thread = GetCurrentThreadId();
      ++seen->pings;
      return static_cast<LRESULT>(wParam * 2);
    case WM_DESTROY:
      ++seen->destroyed;
      PostQuitMessage(7);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

WNDCLASSEXW TestClass(const char16_t* name) {
  WNDCLASSEXW c{};
  c.cbSize = sizeof c;
  c.style = CS_DBLCLKS;
  c.lpfnWndProc = Proc;
  c.lpszClassName = name;
  return c;
}

TEST(Desktop, AMessageOnlyWindowAnswersOnItsOwnThreadAndEndsItsLoop) {
  WNDCLASSEXW first = TestClass(u"TestWindow");
  ASSERT_NE(RegisterClassExW(&first), 0);
  WNDCLASSEXW again = TestClass(u"testwindow");
  EXPECT_EQ(RegisterClassExW(&again), 0);
  EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);

  Seen seen;
  std::atomic<HWND> window{nullptr};
  std::atomic<int> loop_result{-1};
  std::atomic<DWORD> owner{0};
  std::thread t([&] {
    owner = GetCurrentThreadId();
    window = CreateWindowExW(0, u"TestWindow", u"WinTitle", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                             CW_USEDEFAULT, 0, HWND_MESSAGE, nullptr, nullptr, &seen);
    if (!window.load()) return;
    MSG msg;
    BOOL r;
    while ((r = GetMessageW(&msg, nullptr, 0, 0)) > 0) DispatchMessageW(&msg);
    loop_result = static_cast<int>(msg.wParam);
  });
  ASSERT_TRUE(Eventually([&] { return desktop::WindowThread(window) != 0; }));
  // Sent from here, answered there.
  EXPECT_EQ(SendMessageW(window, kPing, 21, 0), 42);
  EXPECT_EQ(seen.thread.load(), owner.load());
  EXPECT_TRUE(PostMessageW(window, kPing, 1, 0));
  EXPECT_TRUE(Eventually([&] { return seen.pings == 2; }));
  // Only its own thread destroys it, and the class stays while it exists.
  EXPECT_FALSE(DestroyWindow(window));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(UnregisterClassW(u"TestWindow", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_CLASS_HAS_WINDOWS);
  EXPECT_EQ(SendMessageW(window, WM_CLOSE, 0, 0), 0);  // the default closes it
  t.join();
  EXPECT_EQ(seen.destroyed, 1);
  EXPECT_EQ(loop_result, 7);
  EXPECT_FALSE(IsWindow(window));
  EXPECT_EQ(SendMessageW(window, kPing, 1, 0), 0);
  EXPECT_TRUE(UnregisterClassW(u"TestWindow", nullptr));
  EXPECT_EQ(desktop::ClassCount(), 0u);
}

TEST(Desktop, AMessageSentToAThreadThatEndsIsAnsweredZero) {
  WNDCLASSEXW c = TestClass(u"Leaving");
  ASSERT_NE(RegisterClassExW(&c), 0);
  Seen seen;
  std::atomic<HWND> window{nullptr};
  std::atomic<bool> leave{false};
  std::thread t([&] {
    window = CreateWindowExW(0, u"Leaving", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, &seen);
    while (!leave) std::this_thread::yield();  // never reads its messages
  });
  ASSERT_TRUE(Eventually([&] { return desktop::WindowThread(window) != 0; }));
  std::thread sender([&] { EXPECT_EQ(SendMessageW(window, kPing, 5, 0), 0); });
  leave = true;
  t.join();
  sender.join();
  EXPECT_EQ(seen.pings, 0);
  EXPECT_FALSE(IsWindow(window));
  EXPECT_TRUE(UnregisterClassW(u"Leaving", nullptr));
}

struct HookLog {
  std::atomic<int> newest{0}, oldest{0};
  std::atomic<DWORD> thread{0};
  std::atomic<UINT> message{0};
  std::atomic<LONG> x{0};
};
HookLog g_hooks;
HHOOK g_newest = nullptr, g_oldest = nullptr;

LRESULT WINAPI NewestHook(int code, WPARAM wParam, LPARAM lParam) {
  g_hooks.thread = GetCurrentThreadId();
  g_hooks.message = static_cast<UINT>(wParam);
  g_hooks.x = reinterpret_cast<MSLLHOOKSTRUCT*>(lParam)->pt.x;
  ++g_hooks.newest;
  return CallNextHookEx(g_newest, code, wParam, lParam);
}
LRESULT WINAPI OldestHook(int code, WPARAM wParam, LPARAM lParam) {
  ++g_hooks.oldest;
  return CallNextHookEx(g_oldest, code, wParam, lParam);
}

TEST(Desktop, InjectedMouseInputRunsTheHooksOnTheirThreadNewestFirst) {
  UiThread ui;
  EXPECT_FALSE(input::InjectMouse(WM_LBUTTONUP, {1, 2}));  // no hook yet
  EXPECT_EQ(ui.Run([] {
    return SetWindowsHookExW(WH_MOUSE_LL, NewestHook, nullptr, 0) == nullptr &&
           GetLastError() == ERROR_HOOK_NEEDS_HMOD;
  }), true);
  g_oldest = ui.Run([] { return SetWindowsHookExW(WH_MOUSE_LL, OldestHook, GetModuleHandleW(nullptr), 0); });
  g_newest = ui.Run([] { return SetWindowsHookExW(WH_MOUSE_LL, NewestHook, GetModuleHandleW(nullptr), 0); });
  ASSERT_NE(g_oldest, nullptr);
  ASSERT_NE(g_newest, nullptr);

  EXPECT_TRUE(input::InjectMouse(WM_LBUTTONUP, {123, 4}));
  ASSERT_TRUE(Eventually([] { return g_hooks.oldest == 1; }));
  EXPECT_EQ(g_hooks.newest, 1);
  EXPECT_EQ(g_hooks.thread.load(), ui.id());
  EXPECT_EQ(g_hooks.message.load(), WM_LBUTTONUP);
  EXPECT_EQ(g_hooks.x.load(), 123);

  // Removed from another thread: the next event reaches the remaining hook only.
  EXPECT_TRUE(UnhookWindowsHookEx(g_newest));
  EXPECT_FALSE(UnhookWindowsHookEx(g_newest));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HOOK_HANDLE);
  EXPECT_TRUE(input::InjectMouse(WM_LBUTTONDOWN, {0, 0}));
  ASSERT_TRUE(Eventually([] { return g_hooks.oldest == 2; }));
  EXPECT_EQ(g_hooks.newest, 1);

  input::FailHookInstalls(1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(ui.Run([] {
    HHOOK h = SetWindowsHookExW(WH_MOUSE_LL, NewestHook, GetModuleHandleW(nullptr), 0);
    return h == nullptr && GetLastError() == ERROR_NOT_ENOUGH_MEMORY;
  }), true);
  EXPECT_TRUE(UnhookWindowsHookEx(g_oldest));
  EXPECT_EQ(input::InstalledHooks(), 0u);
}

TEST(Desktop, ACriticalSectionKeepsOutOtherThreadsAndLetsItsOwnerIn) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EnterCriticalSection(&cs);  // again on the same thread
  std::atomic<bool> other_in{false}, tried{false};
  std::thread t([&] {
    EXPECT_FALSE(TryEnterCriticalSection(&cs));
    tried = true;
    EnterCriticalSection(&cs);
    other_in = true;
    LeaveCriticalSection(&cs);
  });
  ASSERT_TRUE(Eventually([&] { return tried.load(); }));
  LeaveCriticalSection(&cs);
  EXPECT_FALSE(other_in);  // still held once
  LeaveCriticalSection(&cs);
  t.join();
  EXPECT_TRUE(other_in);
  debug_output::Clear();
  LeaveCriticalSection(&cs);  // not held: reported, nothing changes
  EXPECT_EQ(debug_output::Count("does not hold"), 1u);
  EXPECT_TRUE(TryEnterCriticalSection(&cs));
  LeaveCriticalSection(&cs);
  DeleteCriticalSection(&cs);
}

TEST(Desktop, DebugOutputKeepsEveryLine) {
  debug_output::Clear();
  std::vector<std::thread> writers;
  for (int i = 0; i < 4; ++i)
    writers.emplace_back([] {
      for (int n = 0; n < 50; ++n) OutputDebugStringA("[TEST] line\n");
    });
  for (auto& w : writers) w.join();
  EXPECT_EQ(debug_output::Count("[TEST] line"), 200u);
  EXPECT_EQ(debug_output::Lines().front(), "[TEST] line\n");
}

}  // namespace
}  // namespace vorn::win32::testing
