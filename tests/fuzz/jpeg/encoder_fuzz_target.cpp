#include "tests/fuzz/jpeg/encoder_fuzz_target.h"

#include <cstdlib>
#include <vector>

#include "jpeg/core/encoder.h"
#include "jpeg/stream/membuff_output.h"

namespace vorn::fuzz {
namespace {

using namespace vorn::jpeg;

struct SourceKind {
  int32_t channels;
  int32_t sourceColor;
  int32_t frameColor;
};

// Source and frame colours the interleaved 8-bit paths take, and a few they refuse.
constexpr SourceKind kKinds[] = {
    {3, ColorBgr, ColorYCbCr},      {4, ColorBgra, ColorYCbCr},   {3, ColorRgb, ColorYCbCr},
    {1, ColorGray, ColorGray},      {3, ColorRgb, ColorRgb},      {4, ColorCmyk, ColorCmyk},
    {3, ColorUnknown, ColorUnknown}, {2, ColorUnknown, ColorUnknown}, {4, ColorYcck, ColorYcck},
    {3, ColorYCbCr, ColorYCbCr},    {3, ColorBgr, ColorRgb},      {4, ColorRgba, ColorYCbCr},
    {1, ColorRgb, ColorGray},       {4, ColorCmyk, ColorYcck},    {3, ColorBgr, ColorGray},
    {4, ColorUnknown, ColorUnknown},
};
constexpr uint8_t kGuard = 0xA7;
constexpr size_t kGuardBytes = 64;

}  // namespace

int RunEncoderInput(const uint8_t* data, size_t size) {
  if (size < kEncoderInputHeader) return 0;
  const int32_t mode = (data[0] & 1) ? ModeProgressive : ((data[0] & 6) == 6 ? (data[0] >> 3) & 7 : ModeBaseline);
  const SourceKind kind = kKinds[data[1] & 15];
  const int32_t sampling = (data[1] >> 4) & 7;  // 4..7 refused
  const int32_t width = 1 + data[2] % 80;
  const int32_t height = 1 + data[3] % 80;
  const int32_t restart = data[4] % 9;
  const int32_t optimize = data[5] & 1;
  const int32_t quality = static_cast<int32_t>(data[6] % 102) - 1;  // -1..100
  const int32_t spare = data[7] & 7;
  // Output room: ample most of the time, else tight enough to run out in the header or data.
  const size_t ample = size_t(width) * height * kind.channels * 8 + 8192;
  const size_t room = (data[8] & 3) != 0 ? ample : size_t(data[9]) * 16;

  const int32_t step = width * kind.channels + spare;
  std::vector<uint8_t> pixels(size_t(step) * height);
  const uint8_t* body = data + kEncoderInputHeader;
  const size_t bodySize = size - kEncoderInputHeader;
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = bodySize ? body[i % bodySize] : uint8_t(i);

  std::vector<uint8_t> output(room + kGuardBytes, kGuard);
  CMemBuffOutput stream;
  stream.Open(output.data(), static_cast<int32_t>(room));
  CJPEGEncoder encoder;
  static const char kComment[128] = {};
  encoder.SetInterleavedSource8(pixels.data(), step, width, height, kind.channels,
                                kind.sourceColor, (data[7] >> 3) & 3, 8);
  encoder.SetComment(0, kComment);
  encoder.SetOutputStream(&stream);
  JpegCoreStatus status =
      encoder.SetParams(mode, kind.frameColor, sampling, restart, optimize, quality, 1);
  if (status == CoreOk) status = encoder.WriteHeader();
  if (status == CoreOk) status = encoder.WriteData();
  for (size_t i = room; i < output.size(); ++i) {
    if (output[i] != kGuard) std::abort();
  }
  int64_t length = 0;
  stream.Position(&length);
  if (length < 0 || size_t(length) > room) std::abort();
  if (status == CoreOk) {
    // A complete stream: SOI first and EOI last.
    if (length < 4 || output[0] != 0xFF || output[1] != 0xD8 || output[length - 2] != 0xFF ||
        output[length - 1] != 0xD9) {
      std::abort();
    }
  } else if (status > 0) {
    std::abort();
  }
  return 0;
}

}  // namespace vorn::fuzz
