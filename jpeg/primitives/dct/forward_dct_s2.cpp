// The plain build of the forward DCT primitives: it defines their results.
#include <cmath>
#include <cstring>
#include <initializer_list>

#include "jpeg/primitives/dct/forward_dct.h"
#include "jpeg/primitives/dct/forward_dct_constants.h"

namespace vorn::jpeg::prim {
namespace {

// 16-bit lane arithmetic of the fixed-point transform.
int16_t Sat16(int32_t v) {
  return static_cast<int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
}
int16_t Add(int16_t a, int16_t b) { return Sat16(int32_t{a} + b); }
int16_t Sub(int16_t a, int16_t b) { return Sat16(int32_t{a} - b); }
int16_t Shl(int16_t a, int n) {
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint16_t>(a) << n));
}
int16_t MulHi(int16_t a, int16_t b) { return static_cast<int16_t>((int32_t{a} * b) >> 16); }
int16_t Odd(int16_t a) { return static_cast<int16_t>(a | 1); }

void ColumnPass(const int16_t x[8], int16_t y[8]) {
  const int16_t d0 = Add(x[0], x[7]), d7 = Sub(x[0], x[7]);
  const int16_t d1 = Add(x[1], x[6]), d6 = Sub(x[1], x[6]);
  const int16_t d2 = Add(x[2], x[5]), d5 = Sub(x[2], x[5]);
  const int16_t d3 = Add(x[3], x[4]), d4 = Sub(x[3], x[4]);
  const int16_t tp12 = Add(Shl(d1, 3), Shl(d2, 3));
  const int16_t tm12 = Sub(Shl(d1, 3), Shl(d2, 3));
  const int16_t tp03 = Shl(Add(d0, d3), 3);
  const int16_t tm03 = Shl(Sub(d0, d3), 3);
  y[0] = Add(tp03, tp12);
  y[4] = Sub(tp03, tp12);
  y[2] = Odd(Add(MulHi(kDctTan2, tm12), tm03));
  y[6] = Odd(Sub(MulHi(tm03, kDctTan2), tm12));
  const int16_t p = Odd(MulHi(Add(Shl(d6, 4), Shl(d5, 4)), kDctCos4));
  const int16_t m = MulHi(Sub(Shl(d6, 4), Shl(d5, 4)), kDctCos4);
  const int16_t tp465 = Add(Shl(d4, 3), m), tm465 = Sub(Shl(d4, 3), m);
  const int16_t tp765 = Add(Shl(d7, 3), p), tm765 = Sub(Shl(d7, 3), p);
  y[1] = Odd(Add(MulHi(kDctTan1, tp465), tp765));
  y[7] = Sub(MulHi(tp765, kDctTan1), tp465);
  y[3] = Sub(tm765, Add(MulHi(kDctTan3m1, tm465), tm465));
  y[5] = Add(Add(MulHi(kDctTan3m1, tm765), tm765), tm465);
}

// The row pass of intermediate row u; sums wrap in 32 bits as the vector lanes do.
void RowPass(int32_t u, const int16_t x[8], int16_t f[8]) {
  const RowConstants& a = kDctRowConstants[u];
  int32_t e[4], o[4];
  for (int j = 0; j < 4; ++j) {
    e[j] = Add(x[j], x[7 - j]);
    o[j] = Sub(x[j], x[7 - j]);
  }
  auto sum = [](std::initializer_list<int32_t> products) {
    uint32_t s = 0;
    for (int32_t p : products) s += static_cast<uint32_t>(p);
    return static_cast<int32_t>(s);
  };
  int32_t s[8];
  s[0] = sum({a.a4 * e[0], a.a4 * e[1], a.a4 * e[2], a.a4 * e[3]});
  s[4] = sum({a.a4 * e[0], -a.a4 * e[1], -a.a4 * e[2], a.a4 * e[3]});
  s[2] = sum({a.a2 * e[0], a.a6 * e[1], -a.a6 * e[2], -a.a2 * e[3]});
  s[6] = sum({a.a6 * e[0], -a.a2 * e[1], a.a2 * e[2], -a.a6 * e[3]});
  s[1] = sum({a.a1 * o[0], a.a3 * o[1], a.a5 * o[2], a.a7 * o[3]});
  s[3] = sum({a.a3 * o[0], -a.a7 * o[1], -a.a1 * o[2], -a.a5 * o[3]});
  s[5] = sum({a.a5 * o[0], -a.a1 * o[1], a.a7 * o[2], a.a3 * o[3]});
  s[7] = sum({a.a7 * o[0], -a.a5 * o[1], a.a3 * o[2], -a.a1 * o[3]});
  for (int v = 0; v < 8; ++v) {
    f[v] = Sat16(static_cast<int32_t>(static_cast<uint32_t>(s[v]) + kDctRowRound) >> kDctRowShift);
  }
}

// The float transform's 1-D pass; every operation is its own statement so that it is rounded
// to single precision before the next one, whatever the floating-point unit.
void FloatPass(float* v, int32_t stride) {
  const float x0 = v[0], x1 = v[stride], x2 = v[2 * stride], x3 = v[3 * stride];
  const float x4 = v[4 * stride], x5 = v[5 * stride], x6 = v[6 * stride], x7 = v[7 * stride];
  const float a = x1 + x6, b = x2 + x5, c = x0 + x7, d = x3 + x4;
  const float e = a + b, f = c + d;
  const float y0 = e + f, y4 = f - e;
  const float g = a - b, h = c - d;
  const float gh = g + h;
  const float k = gh * kFloatCos4;
  const float y2 = h + k, y6 = h - k;
  const float m = x1 - x6, n = x2 - x5, o = x0 - x7, p = x3 - x4;
  const float q = n + p, r = m + n, s = m + o;
  const float t = r * kFloatC6x2, w = o * kFloatC6x2r2;
  const float qt = q * kFloatTan2;
  const float z1 = s + qt;
  const float z2 = t + w;
  const float y1 = z1 + z2, y7 = z2 - z1;
  const float st = s * kFloatTan2;
  const float z3 = q - st;
  const float z4 = w - t;
  const float y5 = z3 + z4, y3 = z4 - z3;
  v[0] = y0;
  v[stride] = y1;
  v[2 * stride] = y2;
  v[3 * stride] = y3;
  v[4 * stride] = y4;
  v[5 * stride] = y5;
  v[6 * stride] = y6;
  v[7 * stride] = y7;
}

}  // namespace

void LevelShiftBlock8(const uint8_t* src, int32_t srcStep, int16_t* dst) {
  for (int r = 0; r < 8; ++r) {
    const uint8_t* row = src + static_cast<intptr_t>(r) * srcStep;
    for (int c = 0; c < 8; ++c) dst[8 * r + c] = static_cast<int16_t>(row[c] - 128);
  }
}

void ForwardDct8x8(int16_t* block) {
  int16_t x[8], y[8];
  for (int c = 0; c < 8; ++c) {
    for (int r = 0; r < 8; ++r) x[r] = block[8 * r + c];
    ColumnPass(x, y);
    for (int r = 0; r < 8; ++r) block[8 * r + c] = y[r];
  }
  for (int u = 0; u < 8; ++u) {
    std::memcpy(x, block + 8 * u, sizeof x);
    RowPass(u, x, block + 8 * u);
  }
}

void MulScaled16(const uint16_t* table, const int16_t* src, int16_t* dst, int32_t length,
                 int32_t scale) {
  const int64_t half = (int64_t{1} << (scale - 1)) - 1;
  for (int32_t i = 0; i < length; ++i) {
    const int64_t p = int64_t{table[i]} * src[i];
    const int64_t q = (p + half + ((p >> scale) & 1)) >> scale;
    dst[i] = Sat16(static_cast<int32_t>(q > 32767 ? 32767 : (q < -32768 ? -32768 : q)));
  }
}

void FloatForwardDct8x8(float* block) {
  for (int r = 0; r < 8; ++r) FloatPass(block + 8 * r, 1);
  for (int c = 0; c < 8; ++c) FloatPass(block + c, 8);
  for (int i = 0; i < kBlockSize; ++i) block[i] = block[i] * kFloatDctScale[i];
}

void ForwardDctQuantBlock16Kernel(const int16_t* src, int32_t srcStep, int16_t* dst,
                                  const float* table) {
  float block[kBlockSize];
  const auto* base = reinterpret_cast<const uint8_t*>(src);
  for (int r = 0; r < 8; ++r) {
    int16_t row[8];
    std::memcpy(row, base + static_cast<intptr_t>(r) * srcStep, sizeof row);
    for (int c = 0; c < 8; ++c) block[8 * r + c] = static_cast<float>(row[c]) - kFloatLevel;
  }
  FloatForwardDct8x8(block);
  int16_t out[kBlockSize];
  for (int i = 0; i < kBlockSize; ++i) {
    const float q = block[i] * table[i];
    out[i] = SaturateRoundFloat(q);
  }
  std::memcpy(dst, out, sizeof out);
}

PrimitiveStatus ForwardDctQuant8x8S2(const uint8_t* src, int32_t srcStep, int16_t* dst,
                                     const uint16_t* table) {
  if (src == nullptr || dst == nullptr) return StatusNullPointer;
  if (srcStep < 1) return StatusBadStep;
  if (table == nullptr) return StatusNullPointer;
  int16_t block[kBlockSize];
  LevelShiftBlock8(src, srcStep, block);
  ForwardDct8x8(block);
  MulScaled16(table, block, block, kBlockSize, kQuantShift);
  std::memcpy(dst, block, sizeof block);
  return StatusOk;
}

PrimitiveStatus ForwardDctQuant8x8From16S2(const int16_t* src, int32_t srcStep, int16_t* dst,
                                           const float* table) {
  if (src == nullptr || dst == nullptr) return StatusNullPointer;
  if (srcStep <= 0) return StatusBadStep;
  if (table == nullptr) return StatusNullPointer;
  ForwardDctQuantBlock16Kernel(src, srcStep, dst, table);
  return StatusOk;
}

PrimitiveStatus ForwardDctQuant8x8PairS2(const uint8_t* src, int32_t srcStep, int16_t* dst0,
                                         int16_t* dst1, const uint16_t* table) {
  if (src == nullptr || dst0 == nullptr || dst1 == nullptr) return StatusNullPointer;
  if (srcStep < 1) return StatusBadStep;
  if (table == nullptr) return StatusNullPointer;
  ForwardDctQuant8x8S2(src, srcStep, dst0, table);
  return ForwardDctQuant8x8S2(src + 8, srcStep, dst1, table);
}

}  // namespace vorn::jpeg::prim
