// Quantisation tables: the raw form of 64 quantisers in zigzag order, as a DQT segment
// carries it, and the forward form the DCT multiplies by (quant multipliers in natural order,
// round(32768 / q), or single-precision 1 / q for the 16-bit path).
#pragma once

#include <array>
#include <cstdint>

#include "jpeg/primitives/frame/dispatch.h"
#include "jpeg/primitives/frame/status.h"

namespace vorn::jpeg::prim {

// 64 quantisers in zigzag order, as a DQT segment carries them.
using RawQuantTable = std::array<uint8_t, 64>;
// 64 multipliers in natural order: 32768 for a quantiser of 1, else round(32768 / q).
using ForwardQuantTable = std::array<uint16_t, 64>;

// The example tables of the JPEG standard (Annex K, tables K.1 and K.2), in zigzag order.
extern const RawQuantTable StdLumaQuant;
extern const RawQuantTable StdChromaQuant;

// The forward multiplier of a quantiser of 1: 2^15.
constexpr uint32_t kForwardQuantOne = 32768;

// Scales 64 quantisers in place for a quality of 1 (coarsest) to 100 (all ones); 50 keeps the
// table, qualities above 100 act as 100. Checks: table null -8; quality <= 0 -5.
PrimitiveStatus ScaleQuantTableByQuality(uint8_t* table, int32_t quality);
// raw: 64 quantisers in zigzag order; forward: 64 multipliers in natural order. Checks: either
// null -8. Returns 6 (StatusZeroDivisor) when a quantiser is 0; its multiplier is then 65535.
PrimitiveStatus BuildForwardQuantTable(const uint8_t* raw, uint16_t* forward);

using ScaleQuantTableByQualityFn = PrimitiveStatus (*)(uint8_t*, int32_t);
using BuildForwardQuantTableFn = PrimitiveStatus (*)(const uint8_t*, uint16_t*);
extern const DispatchTable<ScaleQuantTableByQualityFn> kScaleQuantTableByQualityTable;
extern const DispatchTable<BuildForwardQuantTableFn> kBuildForwardQuantTableTable;
PrimitiveStatus ScaleQuantTableByQualityS2(uint8_t* table, int32_t quality);
PrimitiveStatus BuildForwardQuantTableS2(const uint8_t* raw, uint16_t* forward);

// dst[i] = value / src[i] rounded half to even, value taken as unsigned 16 bits; a divisor of
// 0 gives 65535 (0 when value is 0) and the result 6. Checks: src or dst null -8; length <= 0
// -6. src and dst may be the same vector.
PrimitiveStatus DivideConstantByVector16(const uint16_t* src, int32_t value, uint16_t* dst,
                                         int32_t length);
// The same in place. Checks: vector null -8; length <= 0 -6.
PrimitiveStatus DivideConstantByVector16InPlace(int32_t value, uint16_t* vector, int32_t length);

// The two forms of one quantisation table (one DQT table id) of the encoder. The object owns
// no heap memory: both forms live in its own aligned storage, so it is neither copied nor
// moved (the pointers point into the object itself).
class CJPEGEncoderQuantTable {
 public:
  CJPEGEncoderQuantTable();
  virtual ~CJPEGEncoderQuantTable();
  CJPEGEncoderQuantTable(const CJPEGEncoderQuantTable&) = delete;
  CJPEGEncoderQuantTable& operator=(const CJPEGEncoderQuantTable&) = delete;

  // 8-bit quantisers: copies |raw| (zigzag order), scales it by |quality| unless quality is 0,
  // and builds the forward table. 0, or -2 when a step fails (the initialised flag then stays
  // as it was).
  int32_t Init8(int32_t id, const uint8_t* raw, int32_t quality);
  // 16-bit quantisers (sample precision above 8 bits): copies |raw| (zigzag order), scales it
  // unless quality is 0, and builds the float table 1 / q in natural order. 0 or -2.
  int32_t Init16(int32_t id, const uint16_t* raw, int32_t quality);

  const uint8_t* Raw8() const { return raw8_; }
  const uint16_t* Raw16() const { return raw16_; }
  const uint16_t* Forward() const { return forward_; }
  const float* FloatTable() const { return float_; }
  int32_t Initialised() const { return initialised_; }
  int32_t Id() const { return id_; }
  int32_t Precision() const { return precision_; }

 private:
  static constexpr int32_t kRawStorage = 159;      // 128 bytes from a 32-byte boundary
  static constexpr int32_t kForwardStorage = 287;  // 256 bytes from a 32-byte boundary

  uint8_t rawStorage_[kRawStorage];
  uint8_t forwardStorage_[kForwardStorage];
  uint16_t* forward_;
  float* float_;
  int32_t initialised_;
  int32_t id_;
  int32_t precision_;
  uint8_t* raw8_;
  uint16_t* raw16_;
};
// vtable pointer, both storages, then the pointers and words in this order.
static_assert(sizeof(void*) != 4 || sizeof(CJPEGEncoderQuantTable) == 480);
static_assert(sizeof(void*) != 8 || sizeof(CJPEGEncoderQuantTable) == 504);

}  // namespace vorn::jpeg::prim
