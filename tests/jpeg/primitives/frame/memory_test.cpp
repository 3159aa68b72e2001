#include "jpeg/primitives/frame/memory.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

namespace vorn::jpeg::prim {
namespace {

TEST(AlignedMalloc, RefusesSizesBelowOne) {
  EXPECT_EQ(AlignedMalloc(0), nullptr);
  EXPECT_EQ(AlignedMalloc(-5), nullptr);
  EXPECT_EQ(AlignedMalloc(INT_MIN), nullptr);
  AlignedFree(nullptr);
}

// Every block is 64-byte aligned, usable to its last byte, and freed whole (the sanitizer
// build reports a block overrun, a stored pointer that does not fit, or a leak).
TEST(AlignedMalloc, AlignedUsableAndReleased) {
  std::vector<void*> blocks;
  for (int32_t size = 1; size <= 300; ++size) {
    void* p = AlignedMalloc(size);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u) << size;
    std::memset(p, 0xA5, static_cast<size_t>(size));
    blocks.push_back(p);
  }
  for (void* p : blocks) AlignedFree(p);
}

TEST(AlignedMalloc, HugeSizeIsAllocatedOrRefused) {
  // INT32_MAX plus the overhead does not wrap: either a real aligned block or null.
  void* p = AlignedMalloc(INT32_MAX);
  if (p != nullptr) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u);
  }
  AlignedFree(p);
}

TEST(AlignPointerUp, RoundsUpToPowersOfTwo) {
  struct Case {
    uintptr_t p;
    uintptr_t alignment;
    uintptr_t expected;
  };
  const Case cases[] = {
      {0x1000, 32, 0x1000}, {0x1001, 32, 0x1020}, {0x101F, 32, 0x1020}, {0x1020, 64, 0x1040},
      {0x1041, 1, 0x1041},  {0x1041, 16, 0x1050}, {0x1040, 64, 0x1040},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(
        reinterpret_cast<uintptr_t>(AlignPointerUp(reinterpret_cast<void*>(c.p), c.alignment)),
        c.expected)
        << std::hex << c.p << " " << c.alignment;
  }
}

}  // namespace
}  // namespace vorn::jpeg::prim
