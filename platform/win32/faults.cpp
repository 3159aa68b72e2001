#include "platform/win32/faults.h"

#include "platform/win32/fault_plan.h"

namespace vorn::win32 {
namespace {

constexpr size_t kFaultKinds = 3;

struct Plans {
  std::mutex lock;
  FaultPlan calls[kFaultKinds];
  FaultPlan anyHeap;
};

Plans& GetPlans() {
  static Plans* plans = new Plans;
  return *plans;
}

}  // namespace

bool ShouldFail(Fault fault) {
  Plans& plans = GetPlans();
  std::lock_guard<std::mutex> guard(plans.lock);
  return plans.calls[static_cast<size_t>(fault)].ShouldFail();
}

bool ShouldFailAnyHeapAllocation() {
  Plans& plans = GetPlans();
  std::lock_guard<std::mutex> guard(plans.lock);
  return plans.anyHeap.ShouldFail();
}

void FailCalls(Fault fault, uint32_t skip, uint32_t count) {
  auto index = static_cast<size_t>(fault);
  if (index >= kFaultKinds) return;
  Plans& plans = GetPlans();
  std::lock_guard<std::mutex> guard(plans.lock);
  plans.calls[index].Set(skip, count);
}

void FailHeapAllocations(HANDLE heap, uint32_t skip, uint32_t count) {
  if (heap != nullptr) {
    SetHeapFaultPlan(heap, skip, count);
    return;
  }
  Plans& plans = GetPlans();
  std::lock_guard<std::mutex> guard(plans.lock);
  plans.anyHeap.Set(skip, count);
}

void ClearFaults() {
  {
    Plans& plans = GetPlans();
    std::lock_guard<std::mutex> guard(plans.lock);
    for (FaultPlan& plan : plans.calls) plan.Set(0, 0);
    plans.anyHeap.Set(0, 0);
  }
  ClearHeapFaults();
}

}  // namespace vorn::win32
