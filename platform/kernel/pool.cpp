#include "platform/kernel/pool.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/kernel/sync.h"
#include "platform/kernel/violations.h"

namespace {

constexpr uint64_t kLiveMagic = 0x4C4F4F5056494C45ull;  // block in use
constexpr uint64_t kFreeMagic = 0x4C4F4F5046524545ull;  // block given back
constexpr uint8_t kFillByte = 0xCD;

// Sits in front of every block; 32 bytes keep the caller's block 16-byte aligned.
struct BlockHeader {
  uint64_t magic;
  uint64_t size;
  ULONG tag;
  POOL_TYPE type;
  uint64_t reserved;
};
static_assert(sizeof(BlockHeader) == 32);

struct TagState {
  vorn::kernel::pool::TagCount count;
  int64_t allocations = 0;
  int fail_at = 0;  // allocation number (1-based from the request) that fails
  int64_t fail_base = 0;
  bool fail_all = false;
};

struct PoolState {
  std::mutex lock;
  std::map<ULONG, TagState> tags;
  bool fail_any = false;
};

PoolState& State() {
  static PoolState* s = new PoolState;
  return *s;
}

}  // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag) {
  bool paged = (type & 1) != 0;
  if (paged && KeGetCurrentIrql() >= DISPATCH_LEVEL)
    vorn::kernel::ReportViolation("paged pool allocation (tag %s) at IRQL %d",
                                  vorn::kernel::pool::TagName(tag).c_str(), KeGetCurrentIrql());
  PoolState& s = State();
  {
    std::lock_guard<std::mutex> guard(s.lock);
    TagState& t = s.tags[tag];
    ++t.allocations;
    if (s.fail_any || t.fail_all) return nullptr;
    if (t.fail_at > 0 && t.allocations - t.fail_base == t.fail_at) {
      t.fail_at = 0;
      return nullptr;
    }
    ++t.count.blocks;
    t.count.bytes += static_cast<int64_t>(size);
  }
  auto* header = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + size));
  header->magic = kLiveMagic;
  header->size = size;
  header->tag = tag;
  header->type = type;
  void* block = header + 1;
  std::memset(block, (type & POOL_ZERO_ALLOCATION) ? 0 : kFillByte, size);
  return block;
}

static void FreeBlock(PVOID block, ULONG tag, bool check_tag) {
  if (!block) {
    vorn::kernel::ReportViolation("pool free of a null block");
    return;
  }
  auto* header = static_cast<BlockHeader*>(block) - 1;
  if (header->magic != kLiveMagic) {
    vorn::kernel::ReportViolation(header->magic == kFreeMagic ? "pool block %p freed twice"
                                                              : "pool free of %p, not a pool block",
                                  block);
    return;
  }
  if (check_tag && header->tag != tag)
    vorn::kernel::ReportViolation("pool block of tag %s freed with tag %s",
                                  vorn::kernel::pool::TagName(header->tag).c_str(),
                                  vorn::kernel::pool::TagName(tag).c_str());
  PoolState& s = State();
  {
    std::lock_guard<std::mutex> guard(s.lock);
    TagState& t = s.tags[header->tag];
    --t.count.blocks;
    t.count.bytes -= static_cast<int64_t>(header->size);
  }
  header->magic = kFreeMagic;
  std::free(header);
}

void ExFreePoolWithTag(PVOID block, ULONG tag) { FreeBlock(block, tag, true); }
void ExFreePool(PVOID block) { FreeBlock(block, 0, false); }

namespace vorn::kernel::pool {

std::string TagName(ULONG tag) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    s.push_back(c >= 0x20 && c < 0x7F ? c : '.');
  }
  return s;
}

TagCount Outstanding(ULONG tag) {
  PoolState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  auto it = s.tags.find(tag);
  return it == s.tags.end() ? TagCount{} : it->second.count;
}

std::map<ULONG, TagCount> AllOutstanding() {
  PoolState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  std::map<ULONG, TagCount> out;
  for (auto& [tag, t] : s.tags)
    if (t.count.blocks != 0 || t.count.bytes != 0) out[tag] = t.count;
  return out;
}

void FailNthAllocation(ULONG tag, int n) {
  PoolState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  TagState& t = s.tags[tag];
  t.fail_at = n;
  t.fail_base = t.allocations;
}

void FailAllAllocations(ULONG tag, bool on) {
  PoolState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  if (tag == 0)
    s.fail_any = on;
  else
    s.tags[tag].fail_all = on;
}

size_t BlockSize(const void* block) {
  if (!block) return 0;
  auto* header = static_cast<const BlockHeader*>(block) - 1;
  return header->magic == kLiveMagic ? header->size : 0;
}

int64_t AllocationCount(ULONG tag) {
  PoolState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  auto it = s.tags.find(tag);
  return it == s.tags.end() ? 0 : it->second.allocations;
}

std::map<ULONG, int64_t> AllocationCounts() {
  PoolState& s = State();
  std::lock_guard<std::mutex> guard(s.lock);
  std::map<ULONG, int64_t> out;
  for (auto& [tag, t] : s.tags)
    if (t.allocations) out[tag] = t.allocations;
  return out;
}

}  // namespace vorn::kernel::pool
