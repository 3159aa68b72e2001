// A thread with a message loop, as an application's or the library's own would be: it runs
// the calls the test hands it while it reads its messages, and ends at WM_QUIT.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "platform/win32/thread.h"
#include "platform/win32/window.h"

namespace vorn::win32::testing {

// Waits up to 30 s of real time for |done|.
template <class F>
bool Eventually(F done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return done();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

class UiThread {
 public:
  UiThread() {
    std::promise<DWORD> id;
    std::future<DWORD> got = id.get_future();
    thread_ = std::thread([this, &id] {
      win32::desktop::EnsureQueue();
      id.set_value(GetCurrentThreadId());
      MSG msg;
      while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
      ended_ = true;
    });
    id_ = got.get();
  }
  ~UiThread() { Quit(); }

  // Runs |call| on the thread and returns its result, waiting for it without limit (the
  // thread reads its messages, so the call comes).
  template <class F>
  auto Run(F call) -> decltype(call()) {
    std::packaged_task<decltype(call())()> task(std::move(call));
    auto result = task.get_future();
    win32::desktop::QueueCall(id_, [&task] { task(); });
    return result.get();
  }

  void Quit() {
    if (!thread_.joinable()) return;
    PostThreadMessageW(id_, WM_QUIT, 0, 0);
    thread_.join();
  }

  DWORD id() const { return id_; }
  bool ended() const { return ended_; }

 private:
  std::thread thread_;
  DWORD id_ = 0;
  std::atomic<bool> ended_{false};
};

}  // namespace vorn::win32::testing
