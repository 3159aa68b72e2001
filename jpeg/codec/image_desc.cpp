#include "jpeg/codec/image_desc.h"

#include <cstdlib>

#include "jpeg/codec/uic_array.h"

namespace vorn::jpeg::ImageCodec {
namespace {

// JpegColor of each UicColor (unknown for the values the layer does not name).
constexpr int32_t kUicToJpegColor[kUicColorCount] = {0, 1, 0, 2, 3, 8, 7, 0, 0, 0, 4, 5, 0, 6};
// The layer's sampling values are the core's.
constexpr int32_t kUicToJpegSampling[5] = {0, 1, 2, 3, 4};
constexpr int32_t kOtherSampling = 4;

// Channel 0's factors of presets 1 to 3; the other channels take (1, 1).
constexpr SamplingFactor kPresetLumaFactors[4] = {{1, 1}, {2, 1}, {1, 2}, {2, 2}};
constexpr SamplingFactor kUnitFactor = {1, 1};

int32_t HighestBit(int64_t value) {
  int32_t bit = 0;
  for (uint64_t v = static_cast<uint64_t>(value) >> 1; v != 0; v >>= 1) ++bit;
  return bit;
}

bool SameFactor(const SamplingFactor& a, const SamplingFactor& b) {
  return a.horizontal == b.horizontal && a.vertical == b.vertical;
}

}  // namespace

int32_t UicToJpegColor(int32_t color) {
  return static_cast<uint32_t>(color) < static_cast<uint32_t>(kUicColorCount)
             ? kUicToJpegColor[color]
             : 0;
}

int32_t UicToJpegSampling(int32_t sampling) {
  return static_cast<uint32_t>(sampling) < 5u ? kUicToJpegSampling[sampling] : kOtherSampling;
}

ValueRange ValueRange::Of(int64_t minimum, int64_t maximum) {
  ValueRange range;
  range.minimum = minimum;
  range.maximum = maximum;
  range.bitDepth = maximum > 0 ? HighestBit(maximum) : 0;
  return range;
}

PlaneBuffer::~PlaneBuffer() { std::free(owned); }

ImageGeometry::~ImageGeometry() { UicArrayDelete(factors); }

int32_t ImageGeometry::Set(int32_t x, int32_t y, int32_t w, int32_t h, int32_t channelCount) {
  UicArrayDelete(factors);
  factors = nullptr;
  originX = originY = width = height = channels = 0;
  if (channelCount < 1) return -1;
  factors = UicArrayNew<SamplingFactor>(static_cast<size_t>(channelCount));
  if (factors == nullptr) return -1;
  originX = x;
  originY = y;
  width = w;
  height = h;
  channels = channelCount;
  return 0;
}

int32_t SamplingPresets(ImageGeometry* geometry, int32_t preset) {
  if (geometry == nullptr || geometry->factors == nullptr) return -1;
  const int32_t channels = geometry->channels;
  if (preset == 0) {
    for (int32_t c = 0; c < channels; ++c) geometry->factors[c] = kUnitFactor;
    return 0;
  }
  if (preset < 1 || preset > 3 || (channels != 3 && channels != 4)) return -1;
  geometry->factors[0] = kPresetLumaFactors[preset];
  geometry->factors[1] = kUnitFactor;
  geometry->factors[2] = kUnitFactor;
  if (channels == 4) geometry->factors[3] = kPresetLumaFactors[preset];
  return 0;
}

int32_t SamplingFromFactors(const SamplingFactor* factors, int32_t channels) {
  if (channels == 1) return 0;
  if (factors == nullptr || (channels != 3 && channels != 4)) return kOtherSampling;
  if (channels == 4 && !SameFactor(factors[3], factors[0])) return kOtherSampling;
  const SamplingFactor& y = factors[0];
  if (!SameFactor(factors[1], factors[2])) return kOtherSampling;
  const SamplingFactor& c = factors[1];
  const bool sameWidth = y.horizontal == c.horizontal;
  const bool sameHeight = y.vertical == c.vertical;
  const bool doubleWidth = y.horizontal == 2 * c.horizontal;
  const bool doubleHeight = y.vertical == 2 * c.vertical;
  if (sameWidth && sameHeight) return 0;
  if (sameWidth && doubleHeight) return 2;
  if (doubleWidth && sameHeight) return 1;
  if (doubleWidth && doubleHeight) return 3;
  return kOtherSampling;
}

ImageDesc::~ImageDesc() { Clear(); }

void ImageDesc::Clear() {
  UicArrayDelete(planeBuffers_);
  UicArrayDelete(planeData_);
  UicArrayDelete(lineSteps_);
  UicArrayDelete(pixelSteps_);
  UicArrayDelete(factors_);
  UicArrayDelete(ranges_);
  planeBuffers_ = nullptr;
  planeData_ = nullptr;
  lineSteps_ = nullptr;
  pixelSteps_ = nullptr;
  factors_ = nullptr;
  ranges_ = nullptr;
  sampleType_ = kSampleType8;
  planeCount_ = 0;
  originX_ = originY_ = width_ = height_ = 0;
  channelCount_ = 0;
  color_ = UicColorUnknown;
}

int32_t ImageDesc::Fill(const ImageGeometry& geometry, int32_t sampleType, int32_t planeCount,
                        const uint8_t* const* planeData, const int32_t* lineSteps,
                        const int32_t* pixelSteps, const ValueRange* ranges, int32_t color) {
  Clear();
  const int32_t channels = geometry.channels;
  if (planeCount < 1 || channels < 1 || planeCount > channels || geometry.factors == nullptr ||
      planeData == nullptr || lineSteps == nullptr || pixelSteps == nullptr ||
      ranges == nullptr) {
    return -1;
  }
  const size_t planes = static_cast<size_t>(planeCount);
  const size_t perChannel = static_cast<size_t>(channels);
  planeBuffers_ = UicArrayNew<PlaneBuffer>(planes);
  planeData_ = UicArrayNew<const uint8_t*>(planes);
  lineSteps_ = UicArrayNew<int32_t>(planes);
  pixelSteps_ = UicArrayNew<int32_t>(planes);
  factors_ = UicArrayNew<SamplingFactor>(perChannel);
  ranges_ = UicArrayNew<ValueRange>(perChannel);
  if (planeBuffers_ == nullptr || planeData_ == nullptr || lineSteps_ == nullptr ||
      pixelSteps_ == nullptr || factors_ == nullptr || ranges_ == nullptr) {
    Clear();
    return -1;
  }
  for (size_t p = 0; p < planes; ++p) {
    planeBuffers_[p].data = planeData[p];  // the caller's plane: nothing owned
    planeData_[p] = planeData[p];
    lineSteps_[p] = lineSteps[p];
    pixelSteps_[p] = pixelSteps[p];
  }
  for (size_t c = 0; c < perChannel; ++c) {
    factors_[c] = geometry.factors[c];
    ranges_[c] = ranges[c];
  }
  sampleType_ = sampleType;
  planeCount_ = planeCount;
  originX_ = geometry.originX;
  originY_ = geometry.originY;
  width_ = geometry.width;
  height_ = geometry.height;
  channelCount_ = channels;
  color_ = color;
  return 0;
}

}  // namespace vorn::jpeg::ImageCodec
