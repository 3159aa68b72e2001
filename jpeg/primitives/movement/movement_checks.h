// Argument checks and row helpers shared by the builds of the data-movement primitives.
// Internal linkage: each build's file keeps its own copy, compiled with its own flags.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "jpeg/primitives/frame/status.h"

namespace vorn::jpeg::prim {
namespace {

inline PrimitiveStatus CheckBuffer(const void* src, const void* dst, int32_t len) {
  if (src == nullptr || dst == nullptr) return StatusNullPointer;
  if (len <= 0) return StatusBadSize;
  return StatusOk;
}

inline PrimitiveStatus CheckImage(const void* src, const void* dst, int32_t width,
                                  int32_t height) {
  if (src == nullptr || dst == nullptr) return StatusNullPointer;
  if (width <= 0 || height <= 0) return StatusBadSize;
  return StatusOk;
}

template <typename Plane>
PrimitiveStatus CheckSplit(const void* src, Plane* const* dst, int32_t channels, int32_t width,
                           int32_t height) {
  if (src == nullptr || dst == nullptr) return StatusNullPointer;
  for (int32_t c = 0; c < channels; ++c) {
    if (dst[c] == nullptr) return StatusNullPointer;
  }
  if (width <= 0 || height <= 0) return StatusBadSize;
  return StatusOk;
}

// Row r of an image, the step in bytes (negative steps walk upwards).
template <typename T>
T* Row(T* base, int32_t step, int32_t r) {
  using Byte = std::conditional_t<std::is_const_v<T>, const uint8_t, uint8_t>;
  return reinterpret_cast<T*>(reinterpret_cast<Byte*>(base) + static_cast<ptrdiff_t>(r) * step);
}

// The bytes before the first 16-byte-aligned destination address.
inline size_t HeadTo16(const void* dst) {
  return (0 - reinterpret_cast<uintptr_t>(dst)) & 15;
}

}  // namespace
}  // namespace vorn::jpeg::prim
