// Tagged pool. Every block carries its tag, and the kernel counts the blocks and bytes
// outstanding per tag, so a test can assert that a driver gave back everything it took and
// can make the N-th allocation of a tag fail to drive the out-of-memory paths.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "platform/kernel/base.h"

// Tags are four characters, first character in the low byte: PoolTag("ksvc").
constexpr ULONG PoolTag(const char (&t)[5]) {
  return static_cast<ULONG>(static_cast<uint8_t>(t[0])) |
         static_cast<ULONG>(static_cast<uint8_t>(t[1])) << 8 |
         static_cast<ULONG>(static_cast<uint8_t>(t[2])) << 16 |
         static_cast<ULONG>(static_cast<uint8_t>(t[3])) << 24;
}

// Paged pool only below DISPATCH_LEVEL. Without POOL_ZERO_ALLOCATION the block is filled with
// 0xCD, so code that relies on zeroed memory it did not ask for shows itself.
PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag);
void ExFreePoolWithTag(PVOID block, ULONG tag);
void ExFreePool(PVOID block);

namespace vorn::kernel::pool {

std::string TagName(ULONG tag);

struct TagCount {
  int64_t blocks = 0;
  int64_t bytes = 0;
};
// Outstanding blocks and bytes of one tag / of every tag with blocks outstanding.
TagCount Outstanding(ULONG tag);
std::map<ULONG, TagCount> AllOutstanding();
// Makes the |n|-th allocation (1 = the next) of |tag| from now on fail; 0 clears it.
void FailNthAllocation(ULONG tag, int n);
// Makes every allocation of |tag| fail while |on| (any tag when tag is 0).
void FailAllAllocations(ULONG tag, bool on);
// The size of a live pool block (0 for anything else), so the kernel can bound what it reads
// from a block a driver handed it.
size_t BlockSize(const void* block);
// Total allocations of a tag since start (for tests that count attempts).
int64_t AllocationCount(ULONG tag);
// The same for every tag asked for since start, failed attempts included.
std::map<ULONG, int64_t> AllocationCounts();

}  // namespace vorn::kernel::pool
