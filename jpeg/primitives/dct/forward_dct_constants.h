// Constants and helpers shared by the builds of the forward DCT; every build uses exactly
// these, so that all of them produce the same coefficients.
#pragma once

#include <cmath>
#include <cstdint>

namespace vorn::jpeg::prim {

// Column pass: tan(pi/16), tan(pi/8) and tan(3pi/16) - 1 in units of 2^-16, cos(pi/4) in
// units of 2^-15.
constexpr int16_t kDctTan1 = 13036;
constexpr int16_t kDctTan2 = 27146;
constexpr int16_t kDctTan3m1 = -21746;
constexpr int16_t kDctCos4 = 23170;

// Row pass: the multipliers of intermediate row u (they fold in that row's column scaling).
struct RowConstants {
  int32_t a4, a1, a2, a3, a5, a6, a7;
};
constexpr RowConstants kDctRowConstants[8] = {
    {16384, 22725, 21407, 19266, 12873, 8867, 4520},
    {22725, 31521, 29692, 26722, 17855, 12299, 6270},
    {21407, 29692, 27969, 25172, 16819, 11585, 5906},
    {19266, 26722, 25172, 22654, 15137, 10426, 5315},
    {16384, 22725, 21407, 19266, 12873, 8867, 4520},
    {19266, 26722, 25172, 22654, 15137, 10426, 5315},
    {21407, 29692, 27969, 25172, 16819, 11585, 5906},
    {22725, 31521, 29692, 26722, 17855, 12299, 6270},
};
constexpr int32_t kDctRowShift = 20;
constexpr int32_t kDctRowRound = 1 << (kDctRowShift - 1);

// Quantisation divides the product multiplier x coefficient by 2^15.
constexpr int32_t kQuantShift = 15;

// The float transform.
constexpr float kFloatLevel = 2048.0f;
constexpr float kFloatCos4 = 0.70710677f;    // cos(pi/4)
constexpr float kFloatC6x2 = 0.76536685f;    // 2 cos(3pi/8)
constexpr float kFloatC6x2r2 = 1.0823922f;   // 2 sqrt(2) cos(3pi/8)
constexpr float kFloatTan2 = 0.41421357f;    // tan(pi/8)

// Float to signed 16 bits: round to nearest even, saturate; NaN gives -32768, as the vector
// conversion does after clamping.
inline int16_t SaturateRoundFloat(float q) {
  if (!(q >= -32768.0f)) return -32768;
  if (q >= 32767.0f) return 32767;
  return static_cast<int16_t>(std::nearbyint(q));
}

}  // namespace vorn::jpeg::prim
