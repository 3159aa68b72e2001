// A display host over the plug-in linked into the test, one chip per adapter, with the clock
// running fast so the bring-up pause and the time-outs cost milliseconds. Tests reach the
// plug-in's record through the host's handle.
#pragma once

#include <gtest/gtest.h>

#include <dirent.h>

#include <memory>
#include <thread>
#include <vector>

#include "display/device/device.h"
#include "platform/nt/clock.h"
#include "platform/win32/faults.h"
#include "platform/win32/handle.h"
#include "platform/win32/heap.h"
#include "sim/chip/chip.h"
#include "sim/host/display_host.h"

extern "C" SorvikDevice* OpenSorvikDevice(SorvikDeviceInterface* block);

namespace vorn::display::testing {

inline size_t ThreadCount() {
  size_t n = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* e = readdir(dir))
      if (e->d_name[0] != '.') ++n;
    closedir(dir);
  }
  return n;
}

// What the process holds, to compare before an open and after a close.
struct Resources {
  size_t heaps, handles, threads;
  static Resources Now() {
    return {win32::GetHeapTotals().liveHeaps, win32::OpenHandleCount(), ThreadCount()};
  }
  bool operator==(const Resources&) const = default;
};

inline void PrintTo(const Resources& r, std::ostream* os) {
  *os << "{heaps " << r.heaps << ", handles " << r.handles << ", threads " << r.threads << "}";
}

// Polls |pred| every millisecond for up to |limit_ms| real milliseconds; for what other
// threads do. The default bound is generous, so that a loaded machine or a sanitizer build
// only makes the wait longer, never the answer different.
template <class Pred>
bool Eventually(Pred pred, int limit_ms = 30000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    clock::SleepFor(std::chrono::milliseconds(1));
  }
  return true;
}

// What the process holds once threads that have ended are gone (their handles signal when
// their routine returns, a moment before the thread itself leaves): |expected| if it gets
// there within the polling time, else what it holds then.
inline Resources Settled(const Resources& expected) {
  Eventually([&] { return Resources::Now() == expected; }, 500);
  return Resources::Now();
}

// What the process holds once it has stopped changing for |quiet_ms| real milliseconds (or
// after about two seconds): a snapshot taken while a thread is still leaving would differ
// from every later one.
inline Resources Stable(int quiet_ms = 30) {
  Resources last = Resources::Now();
  int quiet = 0;
  for (int i = 0; i < 2000 && quiet < quiet_ms; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Resources now = Resources::Now();
    quiet = now == last ? quiet + 1 : 0;
    last = now;
  }
  return last;
}

class DisplayTest : public ::testing::Test {
 protected:
  DisplayTest() : fast_(1000), host_(&OpenSorvikDevice) {
    // A sanitizer may start a helper thread with the process's first thread; let it start now
    // so thread counts compare the plug-in's threads only.
    std::thread([] {}).join();
  }
  ~DisplayTest() override { win32::ClearFaults(); }

  chip::Chip& AddChip(chip::ChipProfile profile) {
    chips_.push_back(std::make_unique<chip::Chip>(std::move(profile)));
    return *chips_.back();
  }
  host::Adapter& AddAdapter(chip::Chip& chip, host::InterfaceVersion v = host::kVersion15) {
    return host_.AddAdapter(&chip, v);
  }
  // A chip of |profile| and an adapter over it, opened; the test fails if the open does.
  host::Adapter& Opened(chip::ChipProfile profile, host::InterfaceVersion v = host::kVersion15) {
    host::Adapter& a = AddAdapter(AddChip(std::move(profile)), v);
    EXPECT_TRUE(a.Open());
    return a;
  }

  clock::ScopedSpeed fast_;
  std::vector<std::unique_ptr<chip::Chip>> chips_;  // outlive the host's adapters
  host::DisplayHost host_;
};

}  // namespace vorn::display::testing
