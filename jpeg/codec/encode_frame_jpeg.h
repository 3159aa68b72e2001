// The frame encoder entry of the display path: one call turns one image of B,G,R or B,G,R,x
// pixels into a complete baseline JPEG stream (JFIF header, empty comment, standard tables
// scaled by the quality, YCbCr with the requested chroma subsampling, a restart marker after
// every MCU, EOI) in memory the caller owns.
//
// Each call builds everything it needs on its own stack and frees it before it returns, so
// calls may run on any number of threads at once.
#pragma once

#include <cstdint>

#include "jpeg/core/core_types.h"

namespace vorn::jpeg {

// Layout of one source pixel.
enum JpegPixelFormat : int32_t {
  PixelFormatGray8 = 0,   // refused: fewer than 3 channels
  PixelFormatBgr24 = 3,   // B, G, R
  PixelFormatBgrx32 = 4,  // B, G, R and a fourth byte that is never read as colour
  PixelFormatYCbCr = 7,   // refused
};

// One encode, filled by the caller. Sampling codes are JpegSamplingCode (0 to 3).
struct JpegEncodeRequest {
  uint32_t width = 0;   // at least 8, at most 65535
  uint32_t height = 0;  // at least 8, at most 65535
  int32_t pixelFormat = PixelFormatBgrx32;  // JpegPixelFormat
  const uint8_t* pixels = nullptr;          // first byte of the top source row
  // Bytes from one row to the next. B,G,R,x rows may run upwards (negative); B,G,R rows
  // need a positive stride.
  int32_t stride = 0;
  int32_t quality = 75;                // 0 to 100; 0 keeps the standard tables unscaled
  int32_t sampling = Sampling420;      // JpegSamplingCode
  uint8_t* output = nullptr;           // where the stream begins
  int32_t outputCapacity = 0;          // bytes available at output; negative counts as 0
  int32_t outputLength = 0;            // out: stream length, written only on success
};

using JpegEncodeStatus = int32_t;
constexpr JpegEncodeStatus JpegEncodeOk = 0;
// The header could not be written: buffers not prepared, or it did not fit the capacity.
constexpr JpegEncodeStatus JpegEncodeHeaderFailed = -3;
// The scan or EOI could not be written; as a rule the stream did not fit the capacity.
constexpr JpegEncodeStatus JpegEncodeDataFailed = -4;
// The encoder core could not be created.
constexpr JpegEncodeStatus JpegEncodeInitFailed = -5;
// Unknown or fewer-than-3-channel pixel format, width or height below 8, a B,G,R stride of
// 0 or less, or the output stream could not be attached.
constexpr JpegEncodeStatus JpegEncodeBadGeometry = -6;
// The core refused the source description (or it could not be built).
constexpr JpegEncodeStatus JpegEncodeBadImage = -7;
// Null output or pixels, a sampling code outside 0 to 3, or refused parameters or comment.
constexpr JpegEncodeStatus JpegEncodeBadArgument = -10;

// Encodes |request|; writes at most outputCapacity bytes at output and, on success only,
// outputLength. A null request gives JpegEncodeBadArgument.
JpegEncodeStatus EncodeFrameJpeg(JpegEncodeRequest* request);

}  // namespace vorn::jpeg
