// Internal to the user-mode services: one failure plan (faults.h) and the process-wide ones.
#pragma once

#include <mutex>

#include "platform/win32/faults.h"

namespace vorn::win32 {

// "After |skip| more successful calls, fail the next |count|". Not locked itself: the owner
// guards it.
class FaultPlan {
 public:
  void Set(uint32_t skip, uint32_t count) {
    skip_ = skip;
    count_ = count;
  }
  // Counts one call; true when it is to fail.
  bool ShouldFail() {
    if (count_ == 0) return false;
    if (skip_ > 0) {
      --skip_;
      return false;
    }
    if (count_ != kFailAlways) --count_;
    return true;
  }

 private:
  uint32_t skip_ = 0;
  uint32_t count_ = 0;
};

// Counts one call of |fault|'s kind against its process-wide plan.
bool ShouldFail(Fault fault);
// Counts one allocation against the plan for every heap.
bool ShouldFailAnyHeapAllocation();
// Clears the plans of every live heap (heap.cpp).
void ClearHeapFaults();
// Sets the plan of one heap; false for an unknown heap (heap.cpp).
bool SetHeapFaultPlan(HANDLE heap, uint32_t skip, uint32_t count);

}  // namespace vorn::win32
