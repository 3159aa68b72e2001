// Test fixture for anything that runs on the kernel stand-in: every kernel violation fails
// the test where it happens, time runs fast, and a test that expects a violation says so.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "platform/kernel/violations.h"
#include "platform/nt/clock.h"

namespace vorn::kernel::testing {

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TakeViolations();
    SetViolationHandler([this](const std::string& v) {
      if (expecting_.load()) return;
      ADD_FAILURE() << "kernel violation: " << v;
    });
  }
  void TearDown() override { SetViolationHandler(nullptr); }

  // Runs |body| and returns the violations it caused (without failing the test on them).
  template <class F>
  std::vector<std::string> ExpectViolations(F body) {
    TakeViolations();
    expecting_ = true;
    body();
    expecting_ = false;
    return TakeViolations();
  }

  clock::ScopedSpeed speed_{1000};

 private:
  std::atomic<bool> expecting_{false};
};

}  // namespace vorn::kernel::testing
