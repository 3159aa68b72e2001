#include "platform/win32/heap.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/win32/fault_plan.h"

namespace vorn::win32 {
namespace {

constexpr DWORD kCreateOptions = HEAP_NO_SERIALIZE;
constexpr DWORD kAllocFlags = HEAP_NO_SERIALIZE | HEAP_ZERO_MEMORY;
constexpr DWORD kFreeFlags = HEAP_NO_SERIALIZE;

// Heap handles are not kernel objects: they come from their own counter, are never reused,
// and are 2 more than a multiple of 4, so CloseHandle never takes one for an object's.
constexpr uintptr_t kHeapHandleStep = 4;
constexpr uintptr_t kFirstHeapHandle = 6;

struct Heap {
  std::mutex lock;
  // Set by HeapDestroy: a call that looked the heap up just before it went is refused, so
  // no block is made that nothing would free.
  bool destroyed = false;
  SIZE_T maximumSize = 0;  // 0: growable
  std::unordered_map<void*, size_t> blocks;
  HeapCounters counters{};
  FaultPlan plan;
};

struct HeapTable {
  std::mutex lock;
  std::unordered_map<uintptr_t, std::shared_ptr<Heap>> heaps;
  uintptr_t next = kFirstHeapHandle;
  uint64_t created = 0;
  std::atomic<uint64_t> allocation_calls{0};
};

HeapTable& Table() {
  static HeapTable* table = new HeapTable;
  return *table;
}

std::shared_ptr<Heap> FindHeap(HANDLE handle) {
  HeapTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  auto it = table.heaps.find(reinterpret_cast<uintptr_t>(handle));
  return it == table.heaps.end() ? nullptr : it->second;
}

}  // namespace

bool SetHeapFaultPlan(HANDLE handle, uint32_t skip, uint32_t count) {
  std::shared_ptr<Heap> heap = FindHeap(handle);
  if (heap == nullptr) return false;
  std::lock_guard<std::mutex> guard(heap->lock);
  heap->plan.Set(skip, count);
  return true;
}

void ClearHeapFaults() {
  HeapTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  for (auto& [value, heap] : table.heaps) {
    std::lock_guard<std::mutex> heap_guard(heap->lock);
    heap->plan.Set(0, 0);
  }
}

bool GetHeapCounters(HANDLE handle, HeapCounters* out) {
  std::shared_ptr<Heap> heap = FindHeap(handle);
  if (heap == nullptr || out == nullptr) return false;
  std::lock_guard<std::mutex> guard(heap->lock);
  *out = heap->counters;
  return true;
}

HeapTotals GetHeapTotals() {
  HeapTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  HeapTotals totals{table.heaps.size(), table.created, 0, 0, table.allocation_calls.load()};
  for (auto& [value, heap] : table.heaps) {
    std::lock_guard<std::mutex> heap_guard(heap->lock);
    totals.liveBlocks += heap->counters.liveBlocks;
    totals.liveBytes += heap->counters.liveBytes;
  }
  return totals;
}

}  // namespace vorn::win32

using vorn::win32::Heap;

HANDLE HeapCreate(DWORD options, SIZE_T initialSize, SIZE_T maximumSize) {
  using namespace vorn::win32;
  if ((options & ~kCreateOptions) != 0 || (maximumSize != 0 && initialSize > maximumSize)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (ShouldFail(Fault::kHeapCreate)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto heap = std::make_shared<Heap>();
  heap->maximumSize = maximumSize;
  HeapTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  uintptr_t value = table.next;
  table.next += kHeapHandleStep;
  table.heaps.emplace(value, std::move(heap));
  ++table.created;
  return reinterpret_cast<HANDLE>(value);
}

BOOL HeapDestroy(HANDLE handle) {
  using namespace vorn::win32;
  std::shared_ptr<Heap> heap;
  {
    HeapTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto it = table.heaps.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.heaps.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    heap = std::move(it->second);
    table.heaps.erase(it);
  }
  std::lock_guard<std::mutex> guard(heap->lock);
  heap->destroyed = true;
  for (auto& [block, size] : heap->blocks) std::free(block);
  heap->blocks.clear();
  heap->counters.liveBlocks = 0;
  heap->counters.liveBytes = 0;
  return TRUE;
}

LPVOID HeapAlloc(HANDLE handle, DWORD flags, SIZE_T bytes) {
  using namespace vorn::win32;
  if ((flags & ~kAllocFlags) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::shared_ptr<Heap> heap = FindHeap(handle);
  if (heap == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  ++Table().allocation_calls;
  bool inject = ShouldFailAnyHeapAllocation();
  std::lock_guard<std::mutex> guard(heap->lock);
  if (heap->destroyed) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  inject = heap->plan.ShouldFail() || inject;
  bool over_maximum = heap->maximumSize != 0 &&
                      (bytes > heap->maximumSize ||
                       heap->counters.liveBytes > heap->maximumSize - bytes);
  void* block = nullptr;
  if (!inject && !over_maximum && bytes <= kMaxHeapBlockBytes) {
    // malloc(0) may return null; a 0-byte block still needs an address of its own.
    block = std::malloc(bytes == 0 ? 1 : bytes);
  }
  if (block == nullptr) {
    ++heap->counters.failures;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::memset(block, (flags & HEAP_ZERO_MEMORY) != 0 ? 0 : kHeapFillByte, bytes);
  heap->blocks.emplace(block, bytes);
  HeapCounters& c = heap->counters;
  ++c.liveBlocks;
  c.liveBytes += bytes;
  if (c.liveBytes > c.peakBytes) c.peakBytes = c.liveBytes;
  ++c.allocations;
  return block;
}

BOOL HeapFree(HANDLE handle, DWORD flags, LPVOID memory) {
  using namespace vorn::win32;
  if ((flags & ~kFreeFlags) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::shared_ptr<Heap> heap = FindHeap(handle);
  if (heap == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::lock_guard<std::mutex> guard(heap->lock);
  if (heap->destroyed) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (memory == nullptr) return TRUE;
  auto it = heap->blocks.find(memory);
  if (it == heap->blocks.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  --heap->counters.liveBlocks;
  heap->counters.liveBytes -= it->second;
  std::free(it->first);
  heap->blocks.erase(it);
  return TRUE;
}
