#include "platform/win32/window.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "platform/win32/thread.h"

namespace vorn::win32::desktop {
namespace {

// A message sent from another thread: answered by the owner's message reading.
struct SentMessage {
  HWND window;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  LRESULT result = 0;
  bool done = false;
};

struct Queue {
  DWORD thread = 0;
  std::mutex lock;
  std::condition_variable changed;
  std::deque<MSG> posted;
  std::deque<std::shared_ptr<SentMessage>> sent;
  std::deque<std::function<void()>> calls;
  bool quit = false;
  int quit_code = 0;
  bool ended = false;
};

struct Class {
  std::u16string name;  // as registered
  WNDCLASSEXW info;
  ATOM atom;
  size_t windows = 0;
};

struct Window {
  HWND handle;
  DWORD thread;
  std::shared_ptr<Class> window_class;
  WNDPROC proc;
  LONG_PTR user_data = 0;
  bool visible = false;
};

struct Desktop {
  std::mutex lock;
  std::map<DWORD, std::shared_ptr<Queue>> queues;
  std::vector<std::shared_ptr<Class>> classes;
  std::map<HWND, std::shared_ptr<Window>> windows;
  uintptr_t next_window = 0x10000;
  ATOM next_atom = 0xC000;
  std::vector<MessageBoxRecord> boxes;
};

// Never destroyed: threads may still end (and drop their queues) while the process exits.
Desktop& D() {
  static auto* d = new Desktop;
  return *d;
}

char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c; }
bool SameName(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) {
           return Lower(x) == Lower(y);
         });
}
std::u16string Text(LPCWSTR s) { return s ? std::u16string(s) : std::u16string(); }
bool IsId(LPCWSTR s) { return reinterpret_cast<uintptr_t>(s) < 0x10000; }

void EndQueue(Queue& q);

// Ends the thread's queue when the thread ends: its windows go, and senders waiting on it
// are answered 0.
struct QueueOwner {
  std::shared_ptr<Queue> queue;
  ~QueueOwner() {
    if (queue) EndQueue(*queue);
  }
};
thread_local QueueOwner own_queue;

std::shared_ptr<Queue> CurrentQueue() {
  if (own_queue.queue) return own_queue.queue;
  auto q = std::make_shared<Queue>();
  q->thread = GetCurrentThreadId();
  {
    std::lock_guard<std::mutex> guard(D().lock);
    D().queues[q->thread] = q;
  }
  own_queue.queue = q;
  return q;
}

std::shared_ptr<Queue> QueueOf(DWORD thread) {
  std::lock_guard<std::mutex> guard(D().lock);
  auto it = D().queues.find(thread);
  return it == D().queues.end() ? nullptr : it->second;
}

std::shared_ptr<Window> Find(HWND window) {
  std::lock_guard<std::mutex> guard(D().lock);
  auto it = D().windows.find(window);
  return it == D().windows.end() ? nullptr : it->second;
}

void Forget(HWND window) {
  std::lock_guard<std::mutex> guard(D().lock);
  auto it = D().windows.find(window);
  if (it == D().windows.end()) return;
  --it->second->window_class->windows;
  D().windows.erase(it);
}

void EndQueue(Queue& q) {
  std::deque<std::shared_ptr<SentMessage>> sent;
  {
    std::lock_guard<std::mutex> guard(q.lock);
    q.ended = true;
    sent.swap(q.sent);
    q.calls.clear();
  }
  for (auto& m : sent) {
    std::lock_guard<std::mutex> guard(q.lock);
    m->done = true;
  }
  q.changed.notify_all();
  std::lock_guard<std::mutex> guard(D().lock);
  for (auto it = D().windows.begin(); it != D().windows.end();) {
    if (it->second->thread == q.thread) {
      --it->second->window_class->windows;
      it = D().windows.erase(it);
    } else {
      ++it;
    }
  }
  D().queues.erase(q.thread);
}

LRESULT Call(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<Window> w = Find(window);
  if (!w) return 0;
  return w->proc(window, message, wParam, lParam);
}

bool Matches(const MSG& m, HWND window, UINT min, UINT max) {
  if (window && m.hwnd != window) return false;
  if (min == 0 && max == 0) return true;
  return m.message >= min && m.message <= max;
}

// One pass over the queue: answers sent messages and runs calls until none is left, then
// takes a posted message that matches. True with |*msg| filled when one was taken.
bool Pump(Queue& q, MSG* msg, HWND window, UINT min, UINT max, bool remove, bool wait) {
  std::unique_lock<std::mutex> lock(q.lock);
  for (;;) {
    if (!q.sent.empty()) {
      std::shared_ptr<SentMessage> m = q.sent.front();
      q.sent.pop_front();
      lock.unlock();
      LRESULT r = Call(m->window, m->message, m->wParam, m->lParam);
      lock.lock();
      m->result = r;
      m->done = true;
      q.changed.notify_all();
      continue;
    }
    if (!q.calls.empty()) {
      std::function<void()> call = std::move(q.calls.front());
      q.calls.pop_front();
      lock.unlock();
      call();
      lock.lock();
      continue;
    }
    auto it = std::find_if(q.posted.begin(), q.posted.end(),
                           [&](const MSG& m) { return Matches(m, window, min, max); });
    if (it != q.posted.end()) {
      *msg = *it;
      if (remove) q.posted.erase(it);
      return true;
    }
    if (q.quit && !window) {
      *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(q.quit_code), 0, 0, {0, 0}};
      if (remove) q.quit = false;
      return true;
    }
    if (!wait) return false;
    q.changed.wait(lock);
  }
}

bool Post(const std::shared_ptr<Queue>& q, const MSG& m) {
  {
    std::lock_guard<std::mutex> guard(q->lock);
    if (q->ended) return false;
    q->posted.push_back(m);
  }
  q->changed.notify_all();
  return true;
}

HMODULE ProcessModule() {
  static char module;
  return reinterpret_cast<HMODULE>(&module);
}

HICON StockHandle(uintptr_t kind) {
  static char icons[2];
  return reinterpret_cast<HICON>(&icons[kind]);
}

}  // namespace

std::vector<MessageBoxRecord> MessageBoxes() {
  std::lock_guard<std::mutex> guard(D().lock);
  return D().boxes;
}

size_t WindowCount() {
  std::lock_guard<std::mutex> guard(D().lock);
  return D().windows.size();
}

size_t ClassCount() {
  std::lock_guard<std::mutex> guard(D().lock);
  return D().classes.size();
}

DWORD WindowThread(HWND window) {
  std::shared_ptr<Window> w = Find(window);
  return w ? w->thread : 0;
}

bool HasQueue(DWORD thread) { return QueueOf(thread) != nullptr; }

bool QueueCall(DWORD thread, std::function<void()> call) {
  std::shared_ptr<Queue> q = QueueOf(thread);
  if (!q) return false;
  {
    std::lock_guard<std::mutex> guard(q->lock);
    if (q->ended) return false;
    q->calls.push_back(std::move(call));
  }
  q->changed.notify_all();
  return true;
}

void EnsureQueue() { CurrentQueue(); }

}  // namespace vorn::win32::desktop

using namespace vorn::win32::desktop;
namespace desktop = vorn::win32::desktop;

HMODULE GetModuleHandleW(LPCWSTR name) {
  if (name) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return desktop::ProcessModule();
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  std::string path;
  if (!module || module == desktop::ProcessModule()) {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) path.assign(exe, static_cast<size_t>(n));
  } else {
    Dl_info info{};
    if (dladdr(module, &info) && info.dli_fname) path = info.dli_fname;
  }
  if (path.empty() || !buffer || size == 0) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  DWORD n = static_cast<DWORD>(std::min<size_t>(path.size(), size - 1));
  for (DWORD i = 0; i < n; ++i) buffer[i] = static_cast<unsigned char>(path[i]);
  buffer[n] = 0;
  return n;
}

HICON LoadIconW(HINSTANCE, LPCWSTR name) {
  if (name != IDI_APPLICATION) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return desktop::StockHandle(0);
}

HCURSOR LoadCursorW(HINSTANCE, LPCWSTR name) {
  if (name != IDC_ARROW) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return desktop::StockHandle(1);
}

ATOM RegisterClassExW(const WNDCLASSEXW* c) {
  if (!c || c->cbSize != sizeof(WNDCLASSEXW) || !c->lpfnWndProc || !c->lpszClassName ||
      desktop::IsId(c->lpszClassName)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto& d = desktop::D();
  std::lock_guard<std::mutex> guard(d.lock);
  for (auto& k : d.classes)
    if (desktop::SameName(k->name, c->lpszClassName) && k->info.hInstance == c->hInstance) {
      SetLastError(ERROR_CLASS_ALREADY_EXISTS);
      return 0;
    }
  auto k = std::make_shared<desktop::Class>();
  k->name = c->lpszClassName;
  k->info = *c;
  k->info.lpszClassName = k->name.c_str();
  k->atom = d.next_atom++;
  d.classes.push_back(k);
  return k->atom;
}

BOOL UnregisterClassW(LPCWSTR className, HINSTANCE instance) {
  auto& d = desktop::D();
  std::lock_guard<std::mutex> guard(d.lock);
  for (auto it = d.classes.begin(); it != d.classes.end(); ++it) {
    if (!className || desktop::IsId(className) || !desktop::SameName((*it)->name, className) ||
        (*it)->info.hInstance != instance)
      continue;
    if ((*it)->windows) {
      SetLastError(ERROR_CLASS_HAS_WINDOWS);
      return FALSE;
    }
    d.classes.erase(it);
    return TRUE;
  }
  SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
  return FALSE;
}

HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x,
                     int y, int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param) {
  std::shared_ptr<desktop::Queue> queue = desktop::CurrentQueue();
  auto& d = desktop::D();
  auto w = std::make_shared<desktop::Window>();
  {
    std::lock_guard<std::mutex> guard(d.lock);
    std::shared_ptr<desktop::Class> k;
    if (className && !desktop::IsId(className))
      for (auto& c : d.classes)
        if (desktop::SameName(c->name, className) && c->info.hInstance == instance) k = c;
    if (!k) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    d.next_window += 4;
    w->handle = reinterpret_cast<HWND>(d.next_window);
    w->thread = queue->thread;
    w->window_class = k;
    w->proc = k->info.lpfnWndProc;
    ++k->windows;
    d.windows[w->handle] = w;
  }
  CREATESTRUCTW cs{param, instance, menu, parent, height, width, y, x, static_cast<LONG>(style),
                   windowName, className, exStyle};
  const LPARAM create = reinterpret_cast<LPARAM>(&cs);
  if (!w->proc(w->handle, WM_NCCREATE, 0, create)) {
    desktop::Forget(w->handle);
    return nullptr;
  }
  if (w->proc(w->handle, WM_CREATE, 0, create) == -1) {
    DestroyWindow(w->handle);
    return nullptr;
  }
  return w->handle;
}

BOOL DestroyWindow(HWND window) {
  std::shared_ptr<desktop::Window> w = desktop::Find(window);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (w->thread != GetCurrentThreadId()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  w->proc(window, WM_DESTROY, 0, 0);
  w->proc(window, WM_NCDESTROY, 0, 0);
  desktop::Forget(window);
  return TRUE;
}

BOOL IsWindow(HWND window) { return desktop::Find(window) != nullptr; }

BOOL ShowWindow(HWND window, int command) {
  std::shared_ptr<desktop::Window> w = desktop::Find(window);
  if (!w) return FALSE;
  std::lock_guard<std::mutex> guard(desktop::D().lock);
  const bool was = w->visible;
  w->visible = command != SW_HIDE;
  return was;
}

BOOL UpdateWindow(HWND window) {
  if (!desktop::Find(window)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return TRUE;
}

LONG_PTR GetWindowLongPtrW(HWND window, int index) {
  std::shared_ptr<desktop::Window> w = desktop::Find(window);
  if (!w || index != GWLP_USERDATA) {
    SetLastError(w ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  std::lock_guard<std::mutex> guard(desktop::D().lock);
  return w->user_data;
}

LONG_PTR SetWindowLongPtrW(HWND window, int index, LONG_PTR value) {
  std::shared_ptr<desktop::Window> w = desktop::Find(window);
  if (!w || index != GWLP_USERDATA) {
    SetLastError(w ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  std::lock_guard<std::mutex> guard(desktop::D().lock);
  LONG_PTR old = w->user_data;
  w->user_data = value;
  return old;
}

LRESULT DefWindowProcW(HWND window, UINT message, WPARAM, LPARAM) {
  switch (message) {
    case WM_NCCREATE:
    case WM_DEVICECHANGE:
      return TRUE;
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    default:
      return 0;
  }
}

BOOL GetMessageW(MSG* msg, HWND window, UINT min, UINT max) {
  if (!msg || (window && !desktop::Find(window))) {
    SetLastError(msg ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
    return -1;
  }
  std::shared_ptr<desktop::Queue> q = desktop::CurrentQueue();
  desktop::Pump(*q, msg, window, min, max, true, true);
  return msg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL PeekMessageW(MSG* msg, HWND window, UINT min, UINT max, UINT remove) {
  if (!msg) return FALSE;
  std::shared_ptr<desktop::Queue> q = desktop::CurrentQueue();
  return desktop::Pump(*q, msg, window, min, max, (remove & PM_REMOVE) != 0, false);
}

BOOL TranslateMessage(const MSG*) { return FALSE; }

LRESULT DispatchMessageW(const MSG* msg) {
  if (!msg || !msg->hwnd) return 0;
  return desktop::Call(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<desktop::Window> w = desktop::Find(window);
  std::shared_ptr<desktop::Queue> q = w ? desktop::QueueOf(w->thread) : nullptr;
  if (!q || !desktop::Post(q, MSG{window, message, wParam, lParam, 0, {0, 0}})) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<desktop::Queue> q = desktop::QueueOf(threadId);
  if (!q || !desktop::Post(q, MSG{nullptr, message, wParam, lParam, 0, {0, 0}})) {
    SetLastError(ERROR_INVALID_THREAD_ID);
    return FALSE;
  }
  return TRUE;
}

void PostQuitMessage(int exitCode) {
  std::shared_ptr<desktop::Queue> q = desktop::CurrentQueue();
  {
    std::lock_guard<std::mutex> guard(q->lock);
    q->quit = true;
    q->quit_code = exitCode;
  }
  q->changed.notify_all();
}

LRESULT SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<desktop::Window> w = desktop::Find(window);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (w->thread == GetCurrentThreadId()) return w->proc(window, message, wParam, lParam);
  std::shared_ptr<desktop::Queue> q = desktop::QueueOf(w->thread);
  if (!q) return 0;
  auto m = std::make_shared<desktop::SentMessage>(desktop::SentMessage{window, message, wParam, lParam});
  std::unique_lock<std::mutex> lock(q->lock);
  if (q->ended) return 0;
  q->sent.push_back(m);
  q->changed.notify_all();
  q->changed.wait(lock, [&] { return m->done; });
  return m->result;
}

int MessageBoxW(HWND, LPCWSTR text, LPCWSTR caption, UINT type) {
  std::lock_guard<std::mutex> guard(desktop::D().lock);
  desktop::D().boxes.push_back({desktop::Text(text), desktop::Text(caption), type});
  return IDOK;
}
