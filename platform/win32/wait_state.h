// Internal to the user-mode services: the process-wide wait lock and the condition waiters
// sleep on. Every change of a signal state is made under |lock| and followed by a
// notification of |changed|.
#pragma once

#include <condition_variable>
#include <mutex>

namespace vorn::win32 {

struct WaitState {
  std::mutex lock;
  std::condition_variable changed;
};

WaitState& GetWaitState();

}  // namespace vorn::win32
