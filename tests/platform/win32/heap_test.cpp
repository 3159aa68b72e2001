#include "platform/win32/heap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/faults.h"
#include "platform/win32/handle.h"

namespace vorn::win32 {
namespace {

class HeapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    heap_ = HeapCreate(0, 0x4000000, 0);
    ASSERT_NE(heap_, nullptr);
  }
  void TearDown() override {
    ClearFaults();
    if (heap_ != nullptr) HeapDestroy(heap_);
  }
  HeapCounters Counters() const {
    HeapCounters c{};
    EXPECT_TRUE(GetHeapCounters(heap_, &c));
    return c;
  }
  HANDLE heap_ = nullptr;
};

TEST_F(HeapTest, ZeroMemoryIsHonouredAndOtherBlocksAreNotZeroByChance) {
  constexpr SIZE_T kBytes = 4096;
  auto* zeroed = static_cast<uint8_t*>(HeapAlloc(heap_, HEAP_ZERO_MEMORY, kBytes));
  auto* plain = static_cast<uint8_t*>(HeapAlloc(heap_, 0, kBytes));
  ASSERT_NE(zeroed, nullptr);
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(std::vector<uint8_t>(zeroed, zeroed + kBytes), std::vector<uint8_t>(kBytes, 0));
  EXPECT_EQ(std::vector<uint8_t>(plain, plain + kBytes),
            std::vector<uint8_t>(kBytes, kHeapFillByte));
  // A 0-byte block is a block of its own.
  void* empty1 = HeapAlloc(heap_, 0, 0);
  void* empty2 = HeapAlloc(heap_, 0, 0);
  ASSERT_NE(empty1, nullptr);
  EXPECT_NE(empty1, empty2);
  EXPECT_EQ(Counters().liveBlocks, 4u);
  EXPECT_EQ(Counters().liveBytes, 2 * kBytes);
}

TEST_F(HeapTest, DestroyFreesEveryLiveBlockAndInvalidatesTheHandle) {
  HeapTotals before = GetHeapTotals();
  for (SIZE_T size : {SIZE_T{16}, SIZE_T{1000}, SIZE_T{1} << 20, SIZE_T{3}}) {
    ASSERT_NE(HeapAlloc(heap_, HEAP_ZERO_MEMORY, size), nullptr);
  }
  void* freed = HeapAlloc(heap_, 0, 64);
  ASSERT_TRUE(HeapFree(heap_, 0, freed));
  HeapCounters c = Counters();
  EXPECT_EQ(c.liveBlocks, 4u);
  EXPECT_EQ(c.liveBytes, 16u + 1000u + (1u << 20) + 3u);
  EXPECT_EQ(c.peakBytes, c.liveBytes + 64);
  EXPECT_EQ(c.allocations, 5u);
  EXPECT_EQ(GetHeapTotals().liveBlocks, before.liveBlocks + 4);

  HANDLE gone = heap_;
  ASSERT_TRUE(HeapDestroy(gone));
  heap_ = nullptr;
  // The sanitizer build reports a leak if destroy left a block behind.
  HeapTotals after = GetHeapTotals();
  EXPECT_EQ(after.liveHeaps, before.liveHeaps - 1);
  EXPECT_EQ(after.liveBlocks, before.liveBlocks);
  EXPECT_EQ(after.liveBytes, before.liveBytes);

  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(HeapAlloc(gone, 0, 8), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(HeapFree(gone, 0, freed));
  EXPECT_FALSE(HeapDestroy(gone));
  EXPECT_FALSE(GetHeapCounters(gone, &c));
}

TEST_F(HeapTest, FreeRefusesBlocksItDoesNotOwn) {
  HANDLE other = HeapCreate(0, 0, 0);
  ASSERT_NE(other, nullptr);
  void* mine = HeapAlloc(heap_, 0, 32);
  void* theirs = HeapAlloc(other, 0, 32);
  int local = 0;
  struct Case {
    const char* what;
    HANDLE heap;
    void* block;
  };
  for (const Case& c : {Case{"another heap's block", heap_, theirs},
                        Case{"a block of this heap, through the other", other, mine},
                        Case{"not a heap block", heap_, &local}}) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(HeapFree(c.heap, 0, c.block)) << c.what;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << c.what;
  }
  EXPECT_EQ(Counters().liveBlocks, 1u);
  EXPECT_TRUE(HeapFree(heap_, 0, mine));
  EXPECT_FALSE(HeapFree(heap_, 0, mine)) << "second free of one block";
  EXPECT_TRUE(HeapFree(heap_, 0, nullptr));
  // A heap is not a kernel object: CloseHandle does not take it.
  EXPECT_FALSE(CloseHandle(other));
  EXPECT_TRUE(HeapDestroy(other));
}

TEST_F(HeapTest, InjectedAllocationFailuresFollowThePlan) {
  struct Case {
    bool anyHeap;
    uint32_t skip;
    uint32_t count;
    const char* expected;  // one letter per allocation: o succeeds, x fails
  };
  const Case cases[] = {
      {false, 0, 1, "xoooooo"},          {false, 2, 1, "ooxoooo"},
      {false, 3, kFailAlways, "oooxxxx"}, {false, 1, 2, "oxxoooo"},
      {true, 0, kFailAlways, "xxxxxxx"},  {true, 4, 1, "ooooxoo"},
  };
  for (const Case& c : cases) {
    HANDLE heap = HeapCreate(0, 0, 0);
    ASSERT_NE(heap, nullptr);
    FailHeapAllocations(c.anyHeap ? nullptr : heap, c.skip, c.count);
    std::string got;
    for (size_t i = 0; i < std::strlen(c.expected); ++i) {
      SetLastError(ERROR_SUCCESS);
      void* block = HeapAlloc(heap, HEAP_ZERO_MEMORY, 100);
      got += block != nullptr ? 'o' : 'x';
      if (block == nullptr) {
        EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
      }
    }
    EXPECT_EQ(got, c.expected) << "anyHeap " << c.anyHeap << " skip " << c.skip;
    HeapCounters counters{};
    ASSERT_TRUE(GetHeapCounters(heap, &counters));
    size_t fails = static_cast<size_t>(std::count(got.begin(), got.end(), 'x'));
    EXPECT_EQ(counters.failures, fails);
    EXPECT_EQ(counters.liveBlocks, got.size() - fails);
    ClearFaults();
    EXPECT_NE(HeapAlloc(heap, 0, 1), nullptr) << "ClearFaults ends the plan";
    EXPECT_TRUE(HeapDestroy(heap));
  }
}

TEST_F(HeapTest, PlanForEveryHeapCountsAcrossHeapsAndReachesNewOnes) {
  HANDLE other = HeapCreate(0, 0, 0);
  FailHeapAllocations(nullptr, 2, 1);
  EXPECT_NE(HeapAlloc(heap_, 0, 8), nullptr);
  EXPECT_NE(HeapAlloc(other, 0, 8), nullptr);
  HANDLE later = HeapCreate(0, 0, 0);
  EXPECT_EQ(HeapAlloc(later, 0, 8), nullptr) << "third allocation in the process";
  EXPECT_NE(HeapAlloc(later, 0, 8), nullptr);
  HeapDestroy(other);
  HeapDestroy(later);
}

TEST_F(HeapTest, MaximumSizeOptionsAndCreationFailures) {
  HANDLE bounded = HeapCreate(HEAP_NO_SERIALIZE, 0, 100);
  ASSERT_NE(bounded, nullptr);
  void* a = HeapAlloc(bounded, 0, 60);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(HeapAlloc(bounded, 0, 41), nullptr);
  EXPECT_NE(HeapAlloc(bounded, 0, 40), nullptr);
  EXPECT_TRUE(HeapFree(bounded, 0, a));
  EXPECT_NE(HeapAlloc(bounded, 0, 60), nullptr);
  EXPECT_EQ(HeapAlloc(bounded, 0, ~SIZE_T{0}), nullptr) << "no wrap-around past the maximum";
  EXPECT_TRUE(HeapDestroy(bounded));

  EXPECT_EQ(HeapAlloc(heap_, 0, kMaxHeapBlockBytes + 1), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(HeapAlloc(heap_, HEAP_GENERATE_EXCEPTIONS, 8), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(HeapCreate(HEAP_GENERATE_EXCEPTIONS, 0, 0), nullptr);
  EXPECT_EQ(HeapCreate(0, 200, 100), nullptr) << "initial size above the maximum";

  uint64_t created = GetHeapTotals().heapsCreated;
  FailCalls(Fault::kHeapCreate, 1, 1);
  HANDLE first = HeapCreate(0, 0, 0);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(HeapCreate(0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
  HANDLE third = HeapCreate(0, 0, 0);
  EXPECT_NE(third, nullptr);
  EXPECT_EQ(GetHeapTotals().heapsCreated, created + 2);
  HeapDestroy(first);
  HeapDestroy(third);
}

}  // namespace
}  // namespace vorn::win32
