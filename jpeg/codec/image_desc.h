// The codec layer's description of a source image: its planes, steps, size, per-channel
// sampling factors, colour and value ranges. A description deep-copies what it is filled
// from and frees every array it holds when it is destroyed.
#pragma once

#include <cstdint>

namespace vorn::jpeg::ImageCodec {

// The codec layer's colour models (translated into the core's JpegColor by UicToJpegColor).
enum UicColor : int32_t {
  UicColorUnknown = 0,
  UicColorGray = 1,
  UicColorRgb = 3,
  UicColorBgr = 4,
  UicColorRgba = 5,
  UicColorBgra = 6,
  UicColorYCbCr = 10,
  UicColorCmyk = 11,
  UicColorYcck = 13,
};
constexpr int32_t kUicColorCount = 14;

// The core's JpegColor of a UicColor; 0 (unknown) outside the table.
int32_t UicToJpegColor(int32_t color);
// The core's sampling of a layer sampling value (0 to 4); 4 (any other layout) outside.
int32_t UicToJpegSampling(int32_t sampling);

// Sample types of a plane.
constexpr int32_t kSampleType8 = 0;
constexpr int32_t kSampleType16 = 2;

struct SamplingFactor {
  int32_t horizontal = 1;
  int32_t vertical = 1;
};

// The range of one channel's values; bitDepth is the index of the highest set bit of the
// maximum (0xFF gives 7, a maximum of 0 gives 0).
struct ValueRange {
  int64_t minimum = 0;
  int64_t maximum = 0;
  int32_t bitDepth = 0;

  static ValueRange Of(int64_t minimum, int64_t maximum);
};

// One plane: a buffer the description owns (freed with it; null when the caller owns the
// plane) and the plane's data.
struct PlaneBuffer {
  void* owned = nullptr;
  const uint8_t* data = nullptr;

  PlaneBuffer() = default;
  ~PlaneBuffer();
  PlaneBuffer(const PlaneBuffer&) = delete;
  PlaneBuffer& operator=(const PlaneBuffer&) = delete;
};

// Position, size, channel count and per-channel sampling factors of an image.
class ImageGeometry {
 public:
  ImageGeometry() = default;
  ~ImageGeometry();
  ImageGeometry(const ImageGeometry&) = delete;
  ImageGeometry& operator=(const ImageGeometry&) = delete;

  // 0, or -1 when the factor array cannot be allocated (the geometry is then empty). Every
  // channel starts at 1 x 1.
  int32_t Set(int32_t originX, int32_t originY, int32_t width, int32_t height, int32_t channels);

  int32_t originX = 0;
  int32_t originY = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t channels = 0;
  SamplingFactor* factors = nullptr;  // UicArray, one per channel
};

// Sets the per-channel factors: preset 0 makes every channel 1 x 1; presets 1, 2 and 3 give
// channel 0 (2, 1), (1, 2) and (2, 2), channels 1 and 2 (1, 1) and a fourth channel the same
// as channel 0, for 3 or 4 channels only. 0, or -1 with nothing changed.
int32_t SamplingPresets(ImageGeometry* geometry, int32_t preset);
// The layer sampling value the factors describe: 0 (4:4:4), 1 (4:2:2), 2 (4:4:0 layout),
// 3 (4:2:0) or 4 (any other layout).
int32_t SamplingFromFactors(const SamplingFactor* factors, int32_t channels);
inline int32_t SamplingFromFactors(const ImageGeometry& geometry) {
  return SamplingFromFactors(geometry.factors, geometry.channels);
}

class ImageDesc {
 public:
  ImageDesc() = default;
  ~ImageDesc();
  ImageDesc(const ImageDesc&) = delete;
  ImageDesc& operator=(const ImageDesc&) = delete;

  // Copies the geometry, the planes (|planeCount| data pointers, each owned by the caller),
  // their line and pixel steps, one value range per channel, the sample type and colour.
  // 0, or -1 for an invalid count or a failed allocation (the description is then empty).
  int32_t Fill(const ImageGeometry& geometry, int32_t sampleType, int32_t planeCount,
               const uint8_t* const* planeData, const int32_t* lineSteps,
               const int32_t* pixelSteps, const ValueRange* ranges, int32_t color);
  void Clear();

  int32_t SampleType() const { return sampleType_; }
  int32_t PlaneCount() const { return planeCount_; }
  const uint8_t* const* PlaneData() const { return planeData_; }
  const int32_t* LineSteps() const { return lineSteps_; }
  const int32_t* PixelSteps() const { return pixelSteps_; }
  int32_t OriginX() const { return originX_; }
  int32_t OriginY() const { return originY_; }
  int32_t Width() const { return width_; }
  int32_t Height() const { return height_; }
  const SamplingFactor* Factors() const { return factors_; }
  int32_t ChannelCount() const { return channelCount_; }
  int32_t Color() const { return color_; }
  const ValueRange* Ranges() const { return ranges_; }

 private:
  PlaneBuffer* planeBuffers_ = nullptr;
  const uint8_t** planeData_ = nullptr;
  int32_t sampleType_ = kSampleType8;
  int32_t planeCount_ = 0;
  int32_t* lineSteps_ = nullptr;
  int32_t* pixelSteps_ = nullptr;
  int32_t originX_ = 0;
  int32_t originY_ = 0;
  int32_t width_ = 0;
  int32_t height_ = 0;
  SamplingFactor* factors_ = nullptr;
  int32_t channelCount_ = 0;
  int32_t color_ = UicColorUnknown;
  ValueRange* ranges_ = nullptr;
};

}  // namespace vorn::jpeg::ImageCodec
