// Arrays of the codec layer's records. Each array is one C-runtime block: a 32-byte header
// that holds the element count, then the elements. Releasing an array first destroys its
// elements (so whatever they own is freed), using that count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace vorn::jpeg::ImageCodec {

constexpr size_t kUicArrayHeaderBytes = 32;

// |count| value-initialised elements, or null when the block cannot be allocated.
template <typename T>
T* UicArrayNew(size_t count) {
  static_assert(alignof(T) <= kUicArrayHeaderBytes, "elements must fit the header's alignment");
  if (count > (SIZE_MAX - kUicArrayHeaderBytes) / sizeof(T)) return nullptr;
  void* block = std::malloc(kUicArrayHeaderBytes + count * sizeof(T));
  if (block == nullptr) return nullptr;
  *static_cast<uint64_t*>(block) = count;
  T* first = reinterpret_cast<T*>(static_cast<uint8_t*>(block) + kUicArrayHeaderBytes);
  for (size_t i = 0; i < count; ++i) new (first + i) T();
  return first;
}

template <typename T>
size_t UicArrayCount(const T* array) {
  if (array == nullptr) return 0;
  const void* block = reinterpret_cast<const uint8_t*>(array) - kUicArrayHeaderBytes;
  return static_cast<size_t>(*static_cast<const uint64_t*>(block));
}

// Destroys every element and frees the block; null is ignored.
template <typename T>
void UicArrayDelete(T* array) {
  if (array == nullptr) return;
  const size_t count = UicArrayCount(array);
  for (size_t i = 0; i < count; ++i) array[i].~T();
  std::free(reinterpret_cast<uint8_t*>(array) - kUicArrayHeaderBytes);
}

}  // namespace vorn::jpeg::ImageCodec
