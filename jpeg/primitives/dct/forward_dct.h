// Forward DCT with quantisation: one 8x8 block of samples in, 64 quantised coefficients out.
//
// The coefficient block is 64 signed 16-bit values in natural (row-major) order, index
// 8u + v with u the vertical and v the horizontal frequency; 128 contiguous bytes. Source
// and destination need no alignment.
//
// ForwardDctQuant8x8 is the baseline path: 8-bit samples, a 16/32-bit fixed-point transform
// that is defined to the bit, and quantisation by the forward table of ForwardQuantTable
// multipliers (round(32768 / q), quant/quant_table.h) with rounding half to even.
//
// ForwardDctQuant8x8From16 is the extended-precision path: signed 16-bit samples of up to
// 12 bits, a single-precision transform whose every operation is rounded to float in a fixed
// order, and quantisation by the float table (1 / q). Its results are exact only under
// strict IEEE single precision, so its files are built without contraction into fused
// multiply-add and without fast math.
#pragma once

#include <cstdint>

#include "jpeg/primitives/frame/dispatch.h"
#include "jpeg/primitives/frame/status.h"

namespace vorn::jpeg::prim {

constexpr int32_t kBlockSize = 64;

// src: 8 rows of 8 samples, srcStep bytes apart; dst: the coefficient block; table: 64
// multipliers in natural order. Checks: src or dst null -8, srcStep < 1 -14, table null -8.
using ForwardDctQuant8x8Fn = PrimitiveStatus (*)(const uint8_t* src, int32_t srcStep, int16_t* dst,
                                                 const uint16_t* table);
// src: 8 rows of 8 signed 16-bit samples (0..4095), srcStep bytes apart; table: 64 floats 1 / q
// in natural order. Checks: src or dst null -8, srcStep <= 0 -14, table null -8.
using ForwardDctQuant8x8From16Fn = PrimitiveStatus (*)(const int16_t* src, int32_t srcStep,
                                                       int16_t* dst, const float* table);

// Two blocks side by side with one table: the block at src into dst0 and the one at src + 8
// into dst1, exactly as two ForwardDctQuant8x8 calls give them. Checks: src, dst0 or dst1 null
// -8, srcStep < 1 -14, table null -8; nothing is written on a failed check.
using ForwardDctQuant8x8PairFn = PrimitiveStatus (*)(const uint8_t* src, int32_t srcStep,
                                                     int16_t* dst0, int16_t* dst1,
                                                     const uint16_t* table);

PrimitiveStatus ForwardDctQuant8x8(const uint8_t* src, int32_t srcStep, int16_t* dst,
                                   const uint16_t* table);
PrimitiveStatus ForwardDctQuant8x8Pair(const uint8_t* src, int32_t srcStep, int16_t* dst0,
                                       int16_t* dst1, const uint16_t* table);
PrimitiveStatus ForwardDctQuant8x8From16(const int16_t* src, int32_t srcStep, int16_t* dst,
                                         const float* table);

// The builds. S2 is the plain build that defines the results; the others equal it bit for bit.
PrimitiveStatus ForwardDctQuant8x8S2(const uint8_t* src, int32_t srcStep, int16_t* dst,
                                     const uint16_t* table);
PrimitiveStatus ForwardDctQuant8x8Sse2(const uint8_t* src, int32_t srcStep, int16_t* dst,
                                       const uint16_t* table);
PrimitiveStatus ForwardDctQuant8x8Avx2(const uint8_t* src, int32_t srcStep, int16_t* dst,
                                       const uint16_t* table);
PrimitiveStatus ForwardDctQuant8x8PairS2(const uint8_t* src, int32_t srcStep, int16_t* dst0,
                                         int16_t* dst1, const uint16_t* table);
PrimitiveStatus ForwardDctQuant8x8PairSse2(const uint8_t* src, int32_t srcStep, int16_t* dst0,
                                           int16_t* dst1, const uint16_t* table);
PrimitiveStatus ForwardDctQuant8x8PairAvx2(const uint8_t* src, int32_t srcStep, int16_t* dst0,
                                           int16_t* dst1, const uint16_t* table);
PrimitiveStatus ForwardDctQuant8x8From16S2(const int16_t* src, int32_t srcStep, int16_t* dst,
                                           const float* table);
PrimitiveStatus ForwardDctQuant8x8From16Sse2(const int16_t* src, int32_t srcStep, int16_t* dst,
                                             const float* table);

extern const DispatchTable<ForwardDctQuant8x8Fn> kForwardDctQuant8x8Table;
extern const DispatchTable<ForwardDctQuant8x8From16Fn> kForwardDctQuant8x8From16Table;
extern const DispatchTable<ForwardDctQuant8x8PairFn> kForwardDctQuant8x8PairTable;

// The steps of the plain build, callable on their own.

// dst[8r + c] = src[r * srcStep + c] - 128.
void LevelShiftBlock8(const uint8_t* src, int32_t srcStep, int16_t* dst);
// The fixed-point transform of a level-shifted block, in place (column pass, then row pass).
void ForwardDct8x8(int16_t* block);
// dst[i] = table[i] * src[i] / 2^scale rounded half to even, saturated to 16 bits; scale 1..16.
// src and dst may be the same block.
void MulScaled16(const uint16_t* table, const int16_t* src, int16_t* dst, int32_t length,
                 int32_t scale);
// The single-precision transform of 64 level-shifted samples, in place (rows, then columns,
// then the output scaling); the result is the DCT in natural order.
void FloatForwardDct8x8(float* block);
// The whole 16-bit path without argument checks.
void ForwardDctQuantBlock16Kernel(const int16_t* src, int32_t srcStep, int16_t* dst,
                                  const float* table);

// The output scale of FloatForwardDct8x8: kFloatDctScale[8u + v] = p(u) p(v) rounded to float.
extern const float kFloatDctScale[kBlockSize];

}  // namespace vorn::jpeg::prim
