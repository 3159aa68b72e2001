// Failure injection for the calls whose failure the deliverables handle: a heap, a thread or
// an event that cannot be created, an allocation that fails.
//
// A plan reads "let the next |skip| calls through, then fail |count|"; kFailAlways fails
// every call after the skipped ones, and count 0 clears the plan. A new plan replaces the
// old one of the same scope.
#pragma once

#include "platform/win32/types.h"

namespace vorn::win32 {

constexpr uint32_t kFailAlways = 0xFFFFFFFF;

enum class Fault : uint32_t {
  kHeapCreate,
  kCreateThread,
  kCreateEvent,
};

void FailCalls(Fault fault, uint32_t skip, uint32_t count);

// Allocations of |heap|, or with a null |heap| of every heap (heaps created later included).
// An allocation fails when either plan says so.
void FailHeapAllocations(HANDLE heap, uint32_t skip, uint32_t count);

// Clears every plan.
void ClearFaults();

}  // namespace vorn::win32
