// Private growable heaps. Each heap keeps a record of its live blocks, so freeing a block of
// another heap or a block twice is refused instead of corrupting memory, and HeapDestroy
// frees whatever is still allocated. Blocks come from the C runtime one by one, so the
// address sanitizer sees every overrun.
//
// A block allocated without HEAP_ZERO_MEMORY is filled with kHeapFillByte rather than left
// zero by chance, so code that relies on zeroed memory it did not ask for shows up in tests.
#pragma once

#include "platform/win32/types.h"

constexpr DWORD HEAP_NO_SERIALIZE = 0x00000001;
constexpr DWORD HEAP_GENERATE_EXCEPTIONS = 0x00000004;
constexpr DWORD HEAP_ZERO_MEMORY = 0x00000008;

// |options|: 0 or HEAP_NO_SERIALIZE (every heap is serialised anyway); HEAP_GENERATE_EXCEPTIONS
// is refused (ERROR_INVALID_PARAMETER). |maximumSize| 0 makes the heap growable without
// limit; otherwise the live bytes never exceed it. Returns null on failure.
HANDLE HeapCreate(DWORD options, SIZE_T initialSize, SIZE_T maximumSize);
// Frees every block still allocated, then the heap. FALSE for an unknown heap.
BOOL HeapDestroy(HANDLE heap);
// |flags|: HEAP_ZERO_MEMORY and HEAP_NO_SERIALIZE. Null on failure, with
// ERROR_NOT_ENOUGH_MEMORY (no memory, over the maximum, or an injected failure),
// ERROR_INVALID_HANDLE or ERROR_INVALID_PARAMETER. A 0-byte request gets a unique block.
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
// TRUE for null and for a live block of |heap|; FALSE with ERROR_INVALID_PARAMETER for any
// other pointer (another heap's block, a block freed before).
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID memory);

namespace vorn::win32 {

constexpr uint8_t kHeapFillByte = 0xA5;
// Larger requests fail with ERROR_NOT_ENOUGH_MEMORY; well above any buffer of the plug-in.
constexpr SIZE_T kMaxHeapBlockBytes = SIZE_T{1} << 30;

struct HeapCounters {
  size_t liveBlocks;
  size_t liveBytes;
  size_t peakBytes;
  uint64_t allocations;  // successful allocations over the heap's life
  uint64_t failures;     // refused allocations, injected ones included
};

// Counters of one heap; false for an unknown heap.
bool GetHeapCounters(HANDLE heap, HeapCounters* out);

struct HeapTotals {
  size_t liveHeaps;
  uint64_t heapsCreated;
  size_t liveBlocks;
  size_t liveBytes;
  // Allocations asked of any heap over the process's life, refused ones included (a sweep
  // of injected failures counts what there is to fail with it).
  uint64_t allocationCalls;
};
HeapTotals GetHeapTotals();

// Injected allocation failures: FailHeapAllocations in faults.h.

}  // namespace vorn::win32
