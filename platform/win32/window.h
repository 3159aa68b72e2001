// Window classes, windows and the message queues of threads, as the panel library's
// notification thread uses them: a class registered per name and instance, windows owned by
// the thread that created them (message-only windows included), posted and sent messages,
// GetMessageW and its loop, and the message box (recorded, never shown).
//
// Every thread gets its queue the first time it creates a window, reads its messages or
// installs a hook. A message sent to a window of another thread waits until that thread
// reads its messages and the window procedure has answered (or until the window or its
// thread is gone, which answers 0). Window procedures are never called with a lock of the
// services held, so they may create, destroy, send and post freely.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/win32/types.h"

struct HWND__;
struct HINSTANCE__;
struct HICON__;
struct HBRUSH__;
struct HMENU__;
using HWND = HWND__*;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
using HICON = HICON__*;
using HCURSOR = HICON;
using HBRUSH = HBRUSH__*;
using HMENU = HMENU__*;
using UINT = uint32_t;
using ATOM = WORD;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using LONG_PTR = intptr_t;
using LPWSTR = WCHAR*;

using WNDPROC = LRESULT(WINAPI*)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

struct WNDCLASSEXW {
  UINT cbSize;
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  LPCWSTR lpszMenuName;
  LPCWSTR lpszClassName;
  HICON hIconSm;
};

struct CREATESTRUCTW {
  LPVOID lpCreateParams;
  HINSTANCE hInstance;
  HMENU hMenu;
  HWND hwndParent;
  int cy;
  int cx;
  int y;
  int x;
  LONG style;
  LPCWSTR lpszName;
  LPCWSTR lpszClass;
  DWORD dwExStyle;
};

struct POINT {
  LONG x;
  LONG y;
};

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};

#if UINTPTR_MAX == UINT64_MAX
static_assert(sizeof(WNDCLASSEXW) == 80);
static_assert(sizeof(MSG) == 48);
#endif

// Messages.
constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_NCCREATE = 0x0081;
constexpr UINT WM_NCDESTROY = 0x0082;
constexpr UINT WM_DEVICECHANGE = 0x0219;
constexpr UINT WM_MOUSEMOVE = 0x0200;
constexpr UINT WM_LBUTTONDOWN = 0x0201;
constexpr UINT WM_LBUTTONUP = 0x0202;
constexpr UINT WM_RBUTTONDOWN = 0x0204;
constexpr UINT WM_RBUTTONUP = 0x0205;
constexpr UINT WM_USER = 0x0400;

// Class and window styles, creation values.
constexpr UINT CS_DBLCLKS = 0x0008;
constexpr DWORD WS_OVERLAPPEDWINDOW = 0x00CF0000;
constexpr int CW_USEDEFAULT = static_cast<int>(0x80000000u);
inline HWND const HWND_MESSAGE = reinterpret_cast<HWND>(static_cast<intptr_t>(-3));
constexpr int SW_HIDE = 0;
constexpr int SW_SHOW = 5;
constexpr int GWLP_USERDATA = -21;

// Resources: the stock icon and cursor are ids, not names.
inline LPCWSTR MAKEINTRESOURCEW(uintptr_t id) { return reinterpret_cast<LPCWSTR>(id); }
inline LPCWSTR const IDI_APPLICATION = MAKEINTRESOURCEW(32512);
inline LPCWSTR const IDC_ARROW = MAKEINTRESOURCEW(32512);

// Message boxes.
constexpr UINT MB_OK = 0x00000000;
constexpr int IDOK = 1;

// Errors of the window services.
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_CANNOT_FIND_WND_CLASS = 1407;
constexpr DWORD ERROR_CLASS_ALREADY_EXISTS = 1410;
constexpr DWORD ERROR_CLASS_DOES_NOT_EXIST = 1411;
constexpr DWORD ERROR_CLASS_HAS_WINDOWS = 1412;
constexpr DWORD ERROR_INVALID_THREAD_ID = 1444;

// The process's own module for a null name; null with ERROR_MOD_NOT_FOUND for any name.
HMODULE GetModuleHandleW(LPCWSTR name);
// The file of |module|: the program for null or the process's module, else the shared
// library that holds the address |module| stands for. Characters written without the
// terminator (cut to |size| - 1 and terminated); 0 with ERROR_MOD_NOT_FOUND.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
// The stock icon and cursor (IDI_APPLICATION, IDC_ARROW) as non-null handles.
HICON LoadIconW(HINSTANCE instance, LPCWSTR name);
HCURSOR LoadCursorW(HINSTANCE instance, LPCWSTR name);

// 0 with ERROR_CLASS_ALREADY_EXISTS when a class of that name (case-insensitive) and
// instance exists; ERROR_INVALID_PARAMETER for a wrong cbSize, no procedure or no name.
ATOM RegisterClassExW(const WNDCLASSEXW* windowClass);
// ERROR_CLASS_DOES_NOT_EXIST, or ERROR_CLASS_HAS_WINDOWS while a window of it exists.
BOOL UnregisterClassW(LPCWSTR className, HINSTANCE instance);

// The window belongs to the calling thread. It receives WM_NCCREATE (lParam: the
// CREATESTRUCTW; FALSE ends the creation) and WM_CREATE (-1 ends it). Null with
// ERROR_CANNOT_FIND_WND_CLASS for an unknown class.
HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param);
// Only the owning thread destroys a window (else FALSE with ERROR_ACCESS_DENIED): it receives
// WM_DESTROY and WM_NCDESTROY and its handle is invalid after.
BOOL DestroyWindow(HWND window);
BOOL IsWindow(HWND window);
BOOL ShowWindow(HWND window, int command);  // whether it was visible before
BOOL UpdateWindow(HWND window);
LONG_PTR GetWindowLongPtrW(HWND window, int index);  // GWLP_USERDATA only
LONG_PTR SetWindowLongPtrW(HWND window, int index, LONG_PTR value);  // the previous value
// WM_NCCREATE: TRUE; WM_CLOSE: destroys the window; WM_DEVICECHANGE: TRUE (lets a removal
// go on); anything else 0.
LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Waits for the next message of the calling thread (a null |window| takes those of all its
// windows and the thread's own; |min| and |max| 0 take every message), answering messages
// sent to its windows and running its hooks meanwhile. 0 for WM_QUIT, -1 with
// ERROR_INVALID_WINDOW_HANDLE for a |window| that is not one, else non-zero.
BOOL GetMessageW(MSG* msg, HWND window, UINT min, UINT max);
constexpr UINT PM_NOREMOVE = 0;
constexpr UINT PM_REMOVE = 1;
// As GetMessageW without waiting: FALSE when no message is there.
BOOL PeekMessageW(MSG* msg, HWND window, UINT min, UINT max, UINT remove);
BOOL TranslateMessage(const MSG* msg);  // no keyboard here: FALSE
// Calls the procedure of msg->hwnd; 0 for a message without window or a window gone.
LRESULT DispatchMessageW(const MSG* msg);
BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// ERROR_INVALID_THREAD_ID for a thread that has no queue.
BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
// The calling thread's next GetMessageW, once no posted message is left, returns WM_QUIT.
void PostQuitMessage(int exitCode);
LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Recorded (see vorn::win32::desktop::MessageBoxes) and answered IDOK at once.
int MessageBoxW(HWND window, LPCWSTR text, LPCWSTR caption, UINT type);

namespace vorn::win32::desktop {

struct MessageBoxRecord {
  std::u16string text;
  std::u16string caption;
  UINT type;
};
std::vector<MessageBoxRecord> MessageBoxes();

// Windows and classes that exist now, for tests that check nothing is left behind.
size_t WindowCount();
size_t ClassCount();
// The thread that owns |window| (0 when it is not a window).
DWORD WindowThread(HWND window);

// For the other user-mode services: whether |thread| has a queue, and a call to run on it
// while it reads its messages (false when it has none or has ended).
bool HasQueue(DWORD thread);
bool QueueCall(DWORD thread, std::function<void()> call);
// Makes sure the calling thread has its queue.
void EnsureQueue();

}  // namespace vorn::win32::desktop
