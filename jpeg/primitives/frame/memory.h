// The 64-byte aligned allocator of the primitives' work buffers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::jpeg::prim {

constexpr size_t kPrimitiveAlignment = 64;

// The C runtime's allocator, never changed.
struct AllocatorHooks {
  void* (*malloc)(size_t);
  void* (*calloc)(size_t, size_t);
  void* (*realloc)(void*, size_t);
  void (*free)(void*);
};
extern const AllocatorHooks kAllocatorHooks;

// A block of |size| bytes at a multiple of 64; null for size <= 0 or when memory runs out.
void* AlignedMalloc(int32_t size);
// Releases a block of AlignedMalloc; null is ignored.
void AlignedFree(void* pointer);

// |pointer| rounded up to a multiple of |alignment|, a power of two.
inline void* AlignPointerUp(void* pointer, uintptr_t alignment) {
  const uintptr_t p = reinterpret_cast<uintptr_t>(pointer);
  return reinterpret_cast<void*>(p + ((0 - p) & (alignment - 1)));
}

}  // namespace vorn::jpeg::prim
