#include "jpeg/primitives/frame/dispatch.h"

#include "jpeg/primitives/frame/cpu.h"

namespace vorn::jpeg::prim {

std::atomic<int32_t> ProcessorIndex{BuildS2NoSse2};

namespace detail {

std::atomic<int32_t> HostSse2State{0};

int32_t ProbeHostSse2() {
  uint32_t mask[2] = {0, 0};
  const int32_t state = DetectCpuFeatures(mask) && (mask[0] & CpuSse2) ? 1 : 2;
  // Concurrent first calls store the same value.
  HostSse2State.store(state, std::memory_order_relaxed);
  return state;
}

}  // namespace detail

bool BuildRunsHere(int32_t slot) {
  if (slot < 0 || slot >= kDispatchEntries) return false;
  uint32_t mask[2] = {0, 0};
  DetectCpuFeatures(mask);
  const uint64_t have = (static_cast<uint64_t>(mask[1]) << 32) | mask[0];
  return (have & kSlotRequiredFeatures[slot]) == kSlotRequiredFeatures[slot];
}

}  // namespace vorn::jpeg::prim
