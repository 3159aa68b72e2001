// The plain builds of the quantisation-table primitives and the division behind the forward
// table.
#include <array>
#include <cstring>

#include "jpeg/primitives/movement/movement.h"
#include "jpeg/primitives/quant/quant_table.h"

namespace vorn::jpeg::prim {
namespace {

constexpr std::array<uint8_t, 64> ToZigzag(const std::array<uint8_t, 64>& natural) {
  std::array<uint8_t, 64> zigzag{};
  for (int32_t k = 0; k < 64; ++k) zigzag[ZigzagNaturalIndex[k]] = natural[k];
  return zigzag;
}

// Tables K.1 and K.2 as printed, row by row.
constexpr std::array<uint8_t, 64> kLumaNatural = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr std::array<uint8_t, 64> kChromaNatural = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
    24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};
constexpr std::array<uint8_t, 64> kLumaZigzag = ToZigzag(kLumaNatural);
constexpr std::array<uint8_t, 64> kChromaZigzag = ToZigzag(kChromaNatural);
static_assert(kLumaZigzag[2] == 12 && kLumaZigzag[5] == 10 && kChromaZigzag[4] == 21);

// value / divisor rounded to nearest, ties to even.
uint32_t DivideRounded(uint32_t value, uint32_t divisor) {
  uint32_t q = value / divisor;
  const uint32_t twiceRest = 2 * (value % divisor);
  if (twiceRest > divisor || (twiceRest == divisor && (q & 1) != 0)) ++q;
  return q;
}

}  // namespace

const RawQuantTable StdLumaQuant = ToZigzag(kLumaNatural);
const RawQuantTable StdChromaQuant = ToZigzag(kChromaNatural);

PrimitiveStatus ScaleQuantTableByQualityS2(uint8_t* table, int32_t quality) {
  if (table == nullptr) return StatusNullPointer;
  if (quality <= 0) return StatusBadArgument;
  // Every quality above 100 scales as 100; limiting it first keeps 2 x quality in range.
  if (quality > 100) quality = 100;
  const int32_t scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
  for (int32_t i = 0; i < 64; ++i) {
    const int32_t v = (scale * table[i] + 50) / 100;
    table[i] = static_cast<uint8_t>(v <= 0 ? 1 : (v >= 255 ? 255 : v));
  }
  return StatusOk;
}

PrimitiveStatus BuildForwardQuantTableS2(const uint8_t* raw, uint16_t* forward) {
  if (raw == nullptr || forward == nullptr) return StatusNullPointer;
  // The 64 bytes as an 8x8 image, widened, reordered to natural order and inverted.
  int16_t wide[64];
  WidenImage8To16S2(raw, 8, wide, 16, 8, 8);
  ZigzagToNatural8x8S2(wide, reinterpret_cast<int16_t*>(forward));
  return DivideConstantByVector16InPlace(static_cast<int32_t>(kForwardQuantOne), forward, 64);
}

PrimitiveStatus DivideConstantByVector16(const uint16_t* src, int32_t value, uint16_t* dst,
                                         int32_t length) {
  if (src == nullptr || dst == nullptr) return StatusNullPointer;
  if (length <= 0) return StatusBadSize;
  const uint32_t v = static_cast<uint16_t>(value);
  PrimitiveStatus status = StatusOk;
  for (int32_t i = 0; i < length; ++i) {
    const uint32_t d = src[i];
    if (d == 0) status = StatusZeroDivisor;
    uint32_t q;
    if (v == 0) {
      q = 0;
    } else if (d == 0) {
      q = 0xFFFF;
    } else {
      q = DivideRounded(v, d);  // at most 65535 (d = 1) or 32768 (d = 2)
    }
    dst[i] = static_cast<uint16_t>(q);
  }
  return status;
}

PrimitiveStatus DivideConstantByVector16InPlace(int32_t value, uint16_t* vector, int32_t length) {
  if (vector == nullptr) return StatusNullPointer;
  if (length <= 0) return StatusBadSize;
  return DivideConstantByVector16(vector, value, vector, length);
}

constinit const DispatchTable<ScaleQuantTableByQualityFn> kScaleQuantTableByQualityTable =
    ShareLower<ScaleQuantTableByQualityFn>(
        {{ScaleQuantTableByQualityS2, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}});
constinit const DispatchTable<BuildForwardQuantTableFn> kBuildForwardQuantTableTable =
    ShareLower<BuildForwardQuantTableFn>(
        {{BuildForwardQuantTableS2, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}});

PrimitiveStatus ScaleQuantTableByQuality(uint8_t* table, int32_t quality) {
  return kScaleQuantTableByQualityTable.Current()(table, quality);
}

PrimitiveStatus BuildForwardQuantTable(const uint8_t* raw, uint16_t* forward) {
  return kBuildForwardQuantTableTable.Current()(raw, forward);
}

}  // namespace vorn::jpeg::prim
