#include "jpeg/primitives/frame/dispatch.h"

#include "jpeg/primitives/frame/cpu.h"

namespace vorn::jpeg::prim {

std::atomic<int32_t> ProcessorIndex{BuildS2NoSse2};

bool BuildRunsHere(int32_t slot) {
  if (slot < 0 || slot >= kProcessorSlots) return false;
  uint32_t mask[2] = {0, 0};
  DetectCpuFeatures(mask);
  const uint64_t have = (static_cast<uint64_t>(mask[1]) << 32) | mask[0];
  return (have & kSlotRequiredFeatures[slot]) == kSlotRequiredFeatures[slot];
}

}  // namespace vorn::jpeg::prim
