// Result codes and enumerations of the encoder core.
#pragma once

#include <cstdint>

namespace vorn::jpeg {

// Results of the encoder core and its helpers.
using JpegCoreStatus = int32_t;
constexpr JpegCoreStatus CoreOk = 0;
constexpr JpegCoreStatus CoreNoConversion = -1;     // the source colour has no path to the frame's
constexpr JpegCoreStatus CorePrimitiveFailed = -2;  // a primitive or a table helper failed
constexpr JpegCoreStatus CoreBadParameter = -3;     // a parameter or source was refused
constexpr JpegCoreStatus CoreStreamOverrun = -4;    // the bit stream's position passed its buffer
constexpr JpegCoreStatus CoreOutputFull = -5;       // the output stream took fewer bytes
constexpr JpegCoreStatus CoreOutOfMemory = -6;      // an allocation failed

// Colour models of a source and of a JPEG frame.
enum JpegColor : int32_t {
  ColorUnknown = 0,
  ColorGray = 1,
  ColorRgb = 2,
  ColorBgr = 3,
  ColorYCbCr = 4,
  ColorCmyk = 5,
  ColorYcck = 6,
  ColorBgra = 7,
  ColorRgba = 8,
};

// Coding processes of a frame (the SOF marker is FF C0 + mode - 1).
enum JpegMode : int32_t {
  ModeBaseline = 1,
  ModeExtended = 2,
  ModeProgressive = 3,
  ModeLossless = 4,
};

// Chroma subsampling of a frame or a source; SamplingOther marks a source of any other layout.
enum JpegSamplingCode : int32_t {
  Sampling444 = 0,
  Sampling422 = 1,
  Sampling422Alt = 2,  // coded exactly as Sampling422
  Sampling420 = 3,
  SamplingOther = 4,
};

// The largest image side a frame header can carry (16-bit fields).
constexpr int32_t kMaxImageSide = 65535;

}  // namespace vorn::jpeg
