// Result codes of every image primitive: negative is an error and nothing was written,
// positive is a warning with the work done.
#pragma once

#include <cstdint>

namespace vorn::jpeg::prim {

using PrimitiveStatus = int32_t;

constexpr PrimitiveStatus StatusOk = 0;
constexpr PrimitiveStatus StatusBadArgument = -5;
constexpr PrimitiveStatus StatusBadSize = -6;
constexpr PrimitiveStatus StatusOutOfRange = -7;
constexpr PrimitiveStatus StatusNullPointer = -8;
constexpr PrimitiveStatus StatusBadStep = -14;
constexpr PrimitiveStatus StatusBadShift = -32;
constexpr PrimitiveStatus StatusOutputFull = -62;
constexpr PrimitiveStatus StatusCategoryTooLarge = -63;
constexpr PrimitiveStatus StatusBadHuffmanTable = -64;
constexpr PrimitiveStatus StatusZeroDivisor = 6;
constexpr PrimitiveStatus StatusNotIntelProcessor = 20;
constexpr PrimitiveStatus StatusOddSize = 35;
constexpr PrimitiveStatus StatusCpuNotSupported = 36;
constexpr PrimitiveStatus StatusCacheSizeUnknown = 37;

}  // namespace vorn::jpeg::prim
