#include "jpeg/primitives/frame/memory.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace vorn::jpeg::prim {

const AllocatorHooks kAllocatorHooks = {std::malloc, std::calloc, std::realloc, std::free};

// Room in front of the aligned block for the raw pointer, plus the worst-case shift.
constexpr size_t kAlignedOverhead = sizeof(void*) + kPrimitiveAlignment - 1;

void* AlignedMalloc(int32_t size) {
  if (size <= 0) return nullptr;
  const size_t wanted = static_cast<size_t>(size);
  if (wanted > SIZE_MAX - kAlignedOverhead) return nullptr;
  void* raw = kAllocatorHooks.malloc(wanted + kAlignedOverhead);
  if (raw == nullptr) return nullptr;
  const uintptr_t first = reinterpret_cast<uintptr_t>(raw) + sizeof(void*);
  const uintptr_t aligned = (first + kPrimitiveAlignment - 1) & ~(kPrimitiveAlignment - 1);
  void* result = reinterpret_cast<void*>(aligned);
  std::memcpy(static_cast<char*>(result) - sizeof(void*), &raw, sizeof(void*));
  return result;
}

void AlignedFree(void* pointer) {
  if (pointer == nullptr) return;
  void* raw;
  std::memcpy(&raw, static_cast<char*>(pointer) - sizeof(void*), sizeof(void*));
  kAllocatorHooks.free(raw);
}

}  // namespace vorn::jpeg::prim
