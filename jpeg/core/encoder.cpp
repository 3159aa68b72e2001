// The encoder core's construction, source description and coding parameters.
#include "jpeg/core/encoder.h"

#include "jpeg/primitives/frame/memory.h"

namespace vorn::jpeg {
namespace {

// Quantisation and Huffman table ids of the components of a YCbCr or YCCK frame.
constexpr int32_t kComponentTableIds[4] = {0, 1, 1, 0};

// Channels a pixel of |color| has in an interleaved source, or 0 when the colour does not
// fix them (unknown, and the packed 4:2:2 layout of a YCbCr source).
int32_t ChannelsOfColor(int32_t color) {
  switch (color) {
    case ColorGray:
      return 1;
    case ColorRgb:
    case ColorBgr:
      return 3;
    case ColorCmyk:
    case ColorYcck:
    case ColorBgra:
    case ColorRgba:
      return 4;
    default:
      return 0;
  }
}

int32_t ComponentsOfFrame(int32_t color, int32_t sourceChannels) {
  switch (color) {
    case ColorGray:
      return 1;
    case ColorRgb:
    case ColorYCbCr:
      return 3;
    case ColorCmyk:
    case ColorYcck:
      return 4;
    default:
      return sourceChannels < 4 ? sourceChannels : 4;
  }
}

// Whether MCU-row conversion has a path for samples above 8 bits: copies and channel splits
// only (the colour transforms take 8-bit samples).
bool HasWideSamplePath(int32_t sourceColor, int32_t frameColor, int32_t components) {
  switch (sourceColor * 16 + frameColor) {
    case ColorUnknown * 16 + ColorUnknown:
      return components == 1 || components == 3 || components == 4;
    case ColorGray * 16 + ColorGray:
    case ColorRgb * 16 + ColorRgb:
    case ColorBgr * 16 + ColorRgb:
    case ColorCmyk * 16 + ColorCmyk:
      return true;
    default:
      return false;
  }
}

// The largest category the standard luminance DC table has a code for.
constexpr int32_t kStdDcLargestCategory = 11;

}  // namespace

CJPEGEncoder::CJPEGEncoder() = default;

CJPEGEncoder::~CJPEGEncoder() {
  // The tables free their code specifications and the state its block in their own
  // destructors; the rest the encoder owns itself.
  prim::AlignedFree(coefficients_);
  coefficients_ = nullptr;
  FreeComponentBuffers();
}

void CJPEGEncoder::FreeComponentBuffers() {
  for (int32_t i = 0; i < componentCount_ && i < kMaxComponents; ++i) {
    components_[i].FreeConvertedBuffer();
    components_[i].FreeSubsampledBuffer();
  }
}

bool CJPEGEncoder::SampleWidthFitsPrecision() const {
  // The rows are read as 8-bit samples up to 8 bits of precision and as 16-bit ones above: a
  // source of the other width would be read past its end or as the wrong samples.
  return (sourcePrecision_ > 8) == (sourceSampleBytes_ == 2);
}

bool CJPEGEncoder::HasChromaTables() const {
  return componentCount_ > 1 && (color_ == ColorYCbCr || color_ == ColorYcck);
}

void CJPEGEncoder::RecordSource(int32_t width, int32_t height, int32_t channels,
                                int32_t color, int32_t sampling, int32_t precision,
                                int32_t planar) {
  width_ = width;
  height_ = height;
  sourceChannels_ = channels;
  sourceColor_ = color;
  sourceSampling_ = sampling;
  sourcePrecision_ = precision;
  planar_ = planar;
  sourceSampleBytes_ = 1;  // the 16-bit setters say 2
  headerWritten_ = false;  // a new source needs a new header before the scan
}

JpegCoreStatus CJPEGEncoder::SetInterleavedSource8(const uint8_t* pixels, int32_t step,
                                                   int32_t width, int32_t height, int32_t channels,
                                                   int32_t color, int32_t sampling,
                                                   int32_t precision) {
  sourcePlanes_[0] = pixels;
  sourceSteps_[0] = step;
  RecordSource(width, height, channels, color, sampling, precision, 0);
  return CoreOk;
}

JpegCoreStatus CJPEGEncoder::SetInterleavedSource16(const uint16_t* pixels, int32_t step,
                                                    int32_t width, int32_t height, int32_t channels,
                                                    int32_t color, int32_t sampling,
                                                    int32_t precision) {
  SetInterleavedSource8(reinterpret_cast<const uint8_t*>(pixels), step, width, height, channels,
                        color, sampling, precision);
  sourceSampleBytes_ = 2;
  if (precision > 10) optimizeHuffman_ = 1;
  return CoreOk;
}

JpegCoreStatus CJPEGEncoder::SetPlanarSource8(const uint8_t* const planes[4],
                                              const int32_t steps[4], int32_t width, int32_t height,
                                              int32_t channels, int32_t color, int32_t sampling,
                                              int32_t precision) {
  if (channels == 4 && color != color_) return CoreBadParameter;
  for (int32_t i = 0; i < 4; ++i) {
    sourcePlanes_[i] = planes != nullptr ? planes[i] : nullptr;
    sourceSteps_[i] = steps != nullptr ? steps[i] : 0;
  }
  RecordSource(width, height, channels, color, sampling, precision, 1);
  return CoreOk;
}

JpegCoreStatus CJPEGEncoder::SetPlanarSource16(const uint16_t* const planes[4],
                                               const int32_t steps[4], int32_t width,
                                               int32_t height, int32_t channels, int32_t color,
                                               int32_t sampling, int32_t precision) {
  for (int32_t i = 0; i < 4; ++i) {
    sourcePlanes_[i] = planes != nullptr ? reinterpret_cast<const uint8_t*>(planes[i]) : nullptr;
    sourceSteps_[i] = steps != nullptr ? steps[i] : 0;
  }
  RecordSource(width, height, channels, color, sampling, precision, 1);
  sourceSampleBytes_ = 2;
  if (precision > 10) optimizeHuffman_ = 1;
  return CoreOk;
}

JpegCoreStatus CJPEGEncoder::SetOutputStream(ImageCodec::BaseStreamOutput* stream) {
  bitStream_.SetStream(stream);
  headerWritten_ = false;
  return CoreOk;
}

JpegCoreStatus CJPEGEncoder::SetDensity(int32_t units, int32_t xDensity, int32_t yDensity) {
  if (static_cast<uint32_t>(units) > 2) return CoreBadParameter;
  densityUnits_ = units;
  xDensity_ = xDensity;
  yDensity_ = yDensity;
  return CoreOk;
}

JpegCoreStatus CJPEGEncoder::SetComment(int32_t length, const char* text) {
  if (length > kMaxCommentLength) return CoreBadParameter;
  if (text != nullptr) comment_ = text;
  return CoreOk;
}

JpegCoreStatus CJPEGEncoder::SetParams(int32_t mode, int32_t color, int32_t sampling,
                                       int32_t restartInterval, int32_t optimizeHuffman,
                                       int32_t quality, int32_t reserved) {
  (void)reserved;
  if (planar_ && (sourceChannels_ == 3 || sourceChannels_ == 4) && color != sourceColor_) {
    return CoreBadParameter;
  }
  if (sourcePrecision_ < 1 || sourcePrecision_ > 16) return CoreBadParameter;
  if (!SampleWidthFitsPrecision()) return CoreBadParameter;
  // Samples above 8 bits: the baseline transform (interleaved or planar) and the progressive
  // path take 8-bit rows and would code wrong coefficients. Only the extended mode's 16-bit
  // transform takes them, and only at precision 12, the one its level shift of 2048 is right
  // for; that transform reads 16-bit rows, so the extended mode takes nothing else.
  if (sourcePrecision_ > 8 && (mode != ModeExtended || sourcePrecision_ != 12)) {
    return CoreBadParameter;
  }
  if (mode == ModeExtended && sourcePrecision_ != 12) return CoreBadParameter;
  // Lossless frames have a setter of their own (SetLosslessParams): their rows are image rows,
  // which the MCU-row geometry below does not give.
  if (mode == ModeLossless) return CoreBadParameter;
  if (mode != ModeBaseline && mode != ModeProgressive && mode != ModeExtended) {
    return CoreBadParameter;
  }
  // Planar sources: the baseline and extended scans copy them; the progressive scans do not
  // take them.
  if (planar_ && mode == ModeProgressive) return CoreBadParameter;
  // The frame header carries 16-bit sizes and DRI a 16-bit interval.
  if (width_ < 1 || width_ > kMaxImageSide || height_ < 1 || height_ > kMaxImageSide) {
    return CoreBadParameter;
  }
  if (restartInterval < 0 || restartInterval > 0xFFFF) return CoreBadParameter;
  if (sampling < Sampling444 || sampling > Sampling420) return CoreBadParameter;
  // The conversions read as many bytes a pixel as the source colour has channels.
  const int32_t colorChannels = ChannelsOfColor(sourceColor_);
  if (colorChannels != 0 && colorChannels != sourceChannels_) return CoreBadParameter;
  const int32_t components = ComponentsOfFrame(color, sourceChannels_);
  if (components < 1) return CoreBadParameter;
  // Progressive frames have scan scripts for 1, 3 and 4 components only.
  if (mode == ModeProgressive && components != 1 && components != 3 && components != 4) {
    return CoreBadParameter;
  }
  // A scan of one component codes its blocks in raster order, one block an MCU; larger
  // factors would put them out of place.
  if (components == 1 && sampling != Sampling444) return CoreBadParameter;
  // A packed 4:2:2 source gives one chroma pair per two pixels: its width must be even.
  if (!planar_ && sourceColor_ == ColorYCbCr && (width_ & 1) != 0) return CoreBadParameter;
  // A planar source gives one plane to each component, at the component's resolution: planes
  // of another sampling would be read past their ends (or squeezed).
  if (planar_) {
    for (int32_t k = 0; k < components; ++k) {
      if (sourcePlanes_[k] == nullptr) return CoreBadParameter;
    }
    auto coded = [](int32_t s) { return s == Sampling422Alt ? Sampling422 : s; };
    if (coded(sourceSampling_) != coded(sampling)) return CoreBadParameter;
  }
  // Interleaved samples above 8 bits are copied or split into the components (the colour
  // transforms and the down-samplers take 8-bit samples), so every component keeps the full
  // resolution.
  if (sourcePrecision_ > 8 && !planar_ &&
      (!HasWideSamplePath(sourceColor_, color, components) || sampling != Sampling444)) {
    return CoreBadParameter;
  }

  mode_ = mode;
  restartInterval_ = restartInterval;
  restartsToGo_ = restartInterval;
  headerWritten_ = false;
  color_ = color;
  sampling_ = sampling;
  quality_ = quality;
  // The extended mode has no standard tables: its codes always come from the image.
  optimizeHuffman_ = optimizeHuffman != 0 || mode == ModeExtended ? 1 : 0;
  precision_ = sourcePrecision_;

  mcuWidth_ = sampling == Sampling444 ? 8 : 16;
  mcuHeight_ = sampling == Sampling420 ? 16 : 8;
  mcusPerRow_ = (width_ + mcuWidth_ - 1) / mcuWidth_;
  mcuRows_ = (height_ + mcuHeight_ - 1) / mcuHeight_;
  // The statistics pass and the progressive scans keep the whole image's coefficients.
  mcuRowsPerCoefficientPass_ = optimizeHuffman_ || mode == ModeProgressive ? mcuRows_ : 1;
  componentCount_ = components;

  JpegCoreStatus status;
  if (mode == ModeExtended) {
    // 16-bit quantisers: the standard values widened, one DC and one AC table a component,
    // filled by the statistics pass.
    uint16_t luma[64], chroma[64];
    for (int32_t k = 0; k < 64; ++k) {
      luma[k] = prim::StdLumaQuant[k];
      chroma[k] = prim::StdChromaQuant[k];
    }
    if ((status = quantTables_[0].Init16(0, luma, quality)) != CoreOk) return status;
    if (HasChromaTables() && (status = quantTables_[1].Init16(1, chroma, quality)) != CoreOk) {
      return status;
    }
    for (int32_t id = 0; id < componentCount_; ++id) {
      if ((status = dcTables_[id].Create()) != CoreOk) return status;
      if ((status = acTables_[id].Create()) != CoreOk) return status;
    }
    const bool chromaIds = color_ == ColorYCbCr || color_ == ColorYcck;
    for (int32_t i = 0; i < kMaxComponents; ++i) {
      components_[i].quantTableId = chromaIds ? kComponentTableIds[i] : 0;
      components_[i].dcTableId = i;
      components_[i].acTableId = i;
    }
    return CoreOk;
  }
  status = quantTables_[0].Init8(0, prim::StdLumaQuant.data(), quality);
  if (status != CoreOk) return status;
  if (HasChromaTables()) {
    status = quantTables_[1].Init8(1, prim::StdChromaQuant.data(), quality);
    if (status != CoreOk) return status;
  }
  const int32_t tableSets = HasChromaTables() ? 2 : 1;
  for (int32_t id = 0; id < tableSets; ++id) {
    if ((status = dcTables_[id].Create()) != CoreOk) return status;
    if ((status = acTables_[id].Create()) != CoreOk) return status;
    const prim::StdHuffmanTable& dc = prim::StdHuffmanTables[id == 0 ? 0 : 1];
    const prim::StdHuffmanTable& ac = prim::StdHuffmanTables[id == 0 ? 2 : 3];
    if ((status = dcTables_[id].Init(id, 0, dc.bits, dc.values)) != CoreOk) return status;
    if ((status = acTables_[id].Init(id, 1, ac.bits, ac.values)) != CoreOk) return status;
  }

  const bool chroma = color_ == ColorYCbCr || color_ == ColorYcck;
  for (int32_t i = 0; i < kMaxComponents; ++i) {
    const int32_t id = chroma ? kComponentTableIds[i] : 0;
    components_[i].quantTableId = id;
    components_[i].dcTableId = id;
    components_[i].acTableId = id;
  }
  return CoreOk;
}

JpegCoreStatus CJPEGEncoder::SetLosslessParams(int32_t color, int32_t restartInterval,
                                               int32_t optimizeHuffman) {
  // The rows are read as one interleaved image; planes have no lossless path.
  if (planar_) return CoreBadParameter;
  // The first-row prediction 2^(P - 1) needs a precision of 2 bits at least.
  if (sourcePrecision_ < 2 || sourcePrecision_ > 16) return CoreBadParameter;
  if (!SampleWidthFitsPrecision()) return CoreBadParameter;
  if (width_ < 1 || width_ > kMaxImageSide || height_ < 1 || height_ > kMaxImageSide) {
    return CoreBadParameter;
  }
  // DRI carries 16 bits. Restarts are counted a row at a time, so only an interval of whole
  // rows ever reaches a marker.
  if (restartInterval < 0 || restartInterval > 0xFFFF || restartInterval % width_ != 0) {
    return CoreBadParameter;
  }
  const int32_t colorChannels = ChannelsOfColor(sourceColor_);
  if (colorChannels != 0 && colorChannels != sourceChannels_) return CoreBadParameter;
  const int32_t components = ComponentsOfFrame(color, sourceChannels_);
  if (components < 1) return CoreBadParameter;
  // Packed 4:2:2 sources carry subsampled chroma, which a lossless frame does not have.
  if (sourceColor_ == ColorYCbCr) return CoreBadParameter;
  if (sourcePrecision_ > 8 && !HasWideSamplePath(sourceColor_, color, components)) {
    return CoreBadParameter;
  }
  const bool optimize = optimizeHuffman != 0;
  if (!optimize && sourcePrecision_ > kStdDcLargestCategory) return CoreBadParameter;

  mode_ = ModeLossless;
  restartInterval_ = restartInterval;
  restartsToGo_ = restartInterval;
  headerWritten_ = false;
  color_ = color;
  sampling_ = Sampling444;
  optimizeHuffman_ = optimize ? 1 : 0;
  precision_ = sourcePrecision_;
  predictor_ = 1;
  pointTransform_ = 0;
  // One MCU a sample and one MCU row an image row.
  mcuWidth_ = 1;
  mcuHeight_ = 1;
  mcusPerRow_ = width_;
  mcuRows_ = height_;
  mcuRowsPerCoefficientPass_ = optimize ? mcuRows_ : 1;
  componentCount_ = components;

  JpegCoreStatus status;
  const int32_t tables = optimize ? components : 1;
  for (int32_t id = 0; id < tables; ++id) {
    if ((status = dcTables_[id].Create()) != CoreOk) return status;
  }
  if (!optimize) {
    const prim::StdHuffmanTable& dc = prim::StdHuffmanTables[prim::StdDcLuminance];
    if ((status = dcTables_[0].Init(0, 0, dc.bits, dc.values)) != CoreOk) return status;
  }
  // The optimisation pass gives component k DC table k; the frame has no AC or quantisation
  // tables.
  for (int32_t i = 0; i < kMaxComponents; ++i) {
    components_[i].quantTableId = 0;
    components_[i].dcTableId = 0;
    components_[i].acTableId = 0;
  }
  return CoreOk;
}

}  // namespace vorn::jpeg
