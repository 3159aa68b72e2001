// Preparation of one MCU row of an interleaved source: colour conversion or channel split
// into the converted buffers, then edge padding and chroma down-sampling into the
// subsampled buffers that the transform reads; and of a planar source, copied plane by plane
// straight into the subsampled buffers.
#include <cstring>

#include "jpeg/core/encoder.h"
#include "jpeg/primitives/color/color.h"
#include "jpeg/primitives/movement/movement.h"
#include "jpeg/primitives/sampling/downsample.h"

namespace vorn::jpeg {
namespace {

bool Failed(prim::PrimitiveStatus status) { return status != prim::StatusOk; }

}  // namespace

JpegCoreStatus CJPEGEncoder::ConvertMcuRow(int32_t row, int32_t slot) {
  const bool lastRow = row == mcuRows_ - 1;
  const int32_t rows = lastRow ? mcuHeight_ - paddingRows_ : rowsPerMcuRow_;
  const int32_t step = sourceSteps_[0];
  // The 8-bit conversions take the source only up to 8 bits of precision.
  const uint8_t* src = nullptr;
  if (sourcePrecision_ <= 8 && sourcePlanes_[0] != nullptr) {
    src = sourcePlanes_[0] + static_cast<ptrdiff_t>(static_cast<int64_t>(row) * mcuHeight_ * step);
  }
  const int32_t dstStep = components_[0].convertedStep;
  uint8_t* dst[4] = {};
  for (int32_t i = 0; i < componentCount_; ++i) dst[i] = components_[i].ConvertedRows(slot);
  const int32_t width = width_;
  if (sourcePrecision_ > 8) return ConvertWideMcuRow(row, slot, rows);

  prim::PrimitiveStatus status = prim::StatusOk;
  switch (sourceColor_ * 16 + color_) {
    case ColorUnknown * 16 + ColorUnknown:
      if (componentCount_ == 1) {
        status = prim::CopyImage8(src, step, dst[0], dstStep, width, rows);
      } else if (componentCount_ == 3) {
        status = prim::SplitImage3Channels8(src, step, dst, dstStep, width, rows);
      } else if (componentCount_ == 4) {
        status = prim::SplitImage4Channels8(src, step, dst, dstStep, width, rows);
      } else {
        return CoreNoConversion;
      }
      break;
    case ColorGray * 16 + ColorGray:
      status = prim::CopyImage8(src, step, dst[0], dstStep, width, rows);
      break;
    case ColorRgb * 16 + ColorGray:
      status = prim::RgbToGray(src, step, dst[0], dstStep, width, rows);
      break;
    case ColorRgb * 16 + ColorRgb:
      status = prim::SplitImage3Channels8(src, step, dst, dstStep, width, rows);
      break;
    case ColorRgb * 16 + ColorYCbCr:
      status = prim::RgbToYCbCrPlanes(src, step, dst, dstStep, width, rows);
      break;
    case ColorBgr * 16 + ColorRgb: {
      uint8_t* const reversed[3] = {dst[2], dst[1], dst[0]};
      status = prim::SplitImage3Channels8(src, step, reversed, dstStep, width, rows);
      break;
    }
    case ColorBgr * 16 + ColorYCbCr:
      status = prim::BgrToYCbCrPlanes(src, step, dst, dstStep, width, rows);
      break;
    case ColorYCbCr * 16 + ColorYCbCr: {
      if (sourceSampling_ != Sampling422 || sampling_ != Sampling422) return CoreNoConversion;
      const int32_t steps[3] = {dstStep, dstStep, dstStep};
      status = prim::Packed422ToPlanes(src, step, dst, steps, width, rows);
      break;
    }
    case ColorCmyk * 16 + ColorCmyk:
      status = prim::SplitImage4Channels8(src, step, dst, dstStep, width, rows);
      break;
    case ColorCmyk * 16 + ColorYcck:
      status = prim::CmykToYcckPlanes(src, step, dst, dstStep, width, rows);
      break;
    case ColorBgra * 16 + ColorYCbCr:
      status = prim::BgraToYCbCrPlanes(src, step, dst, dstStep, width, rows);
      break;
    case ColorRgba * 16 + ColorYCbCr:
      status = prim::RgbaToYCbCrPlanes(src, step, dst, dstStep, width, rows);
      break;
    default:
      return CoreNoConversion;
  }
  return Failed(status) ? CorePrimitiveFailed : CoreOk;
}

JpegCoreStatus CJPEGEncoder::ConvertWideMcuRow(int32_t row, int32_t slot, int32_t rows) {
  const int32_t step = sourceSteps_[0];
  const int16_t* src = nullptr;
  if (sourcePlanes_[0] != nullptr) {
    src = reinterpret_cast<const int16_t*>(
        sourcePlanes_[0] + static_cast<ptrdiff_t>(static_cast<int64_t>(row) * mcuHeight_ * step));
  }
  const int32_t dstStep = components_[0].convertedStep;
  int16_t* dst[4] = {};
  for (int32_t i = 0; i < componentCount_; ++i) {
    dst[i] = reinterpret_cast<int16_t*>(components_[i].ConvertedRows(slot));
  }
  prim::PrimitiveStatus status = prim::StatusOk;
  switch (sourceColor_ * 16 + color_) {
    case ColorUnknown * 16 + ColorUnknown:
      if (componentCount_ == 1) {
        status = prim::CopyImage16(src, step, dst[0], dstStep, width_, rows);
      } else if (componentCount_ == 3) {
        status = prim::SplitImage3Channels16(src, step, dst, dstStep, width_, rows);
      } else if (componentCount_ == 4) {
        status = prim::SplitImage4Channels16(src, step, dst, dstStep, width_, rows);
      } else {
        return CoreNoConversion;
      }
      break;
    case ColorGray * 16 + ColorGray:
      status = prim::CopyImage16(src, step, dst[0], dstStep, width_, rows);
      break;
    case ColorRgb * 16 + ColorRgb:
      status = prim::SplitImage3Channels16(src, step, dst, dstStep, width_, rows);
      break;
    case ColorBgr * 16 + ColorRgb: {
      int16_t* const reversed[3] = {dst[2], dst[1], dst[0]};
      status = prim::SplitImage3Channels16(src, step, reversed, dstStep, width_, rows);
      break;
    }
    case ColorCmyk * 16 + ColorCmyk:
      status = prim::SplitImage4Channels16(src, step, dst, dstStep, width_, rows);
      break;
    default:
      // The colour transforms take 8-bit samples only.
      return CoreNoConversion;
  }
  return Failed(status) ? CorePrimitiveFailed : CoreOk;
}

JpegCoreStatus CJPEGEncoder::DownsampleMcuRow(int32_t row, int32_t slot) {
  const bool lastRow = row == mcuRows_ - 1;
  // A packed 4:2:2 source arrives with its chroma already at half width.
  const bool packedChroma = sourceColor_ == ColorYCbCr && sourceSampling_ == Sampling422;
  for (int32_t i = 0; i < componentCount_; ++i) {
    CJPEGColorComponent& c = components_[i];
    uint8_t* converted = c.ConvertedRows(slot);
    uint8_t* subsampled = c.SubsampledRows(slot);
    const bool halfWidth = packedChroma && c.horizontalDownsampling == 2;
    // Repeat the last image column into the padding columns.
    const int32_t filled = halfWidth ? width_ / 2 : width_;
    if (sourcePrecision_ > 8) {
      const int32_t rowLength = c.convertedStep / 2;
      for (int32_t y = 0; y < c.convertedRows && filled < rowLength; ++y) {
        uint16_t* line =
            reinterpret_cast<uint16_t*>(converted + static_cast<intptr_t>(y) * c.convertedStep);
        for (int32_t x = filled; x < rowLength; ++x) line[x] = line[filled - 1];
      }
    } else {
      const int32_t rowLength = halfWidth ? c.subsampledStep : c.convertedStep;
      for (int32_t y = 0; y < c.convertedRows && filled < rowLength; ++y) {
        uint8_t* line = converted + static_cast<intptr_t>(y) * c.convertedStep;
        std::memset(line + filled, line[filled - 1], rowLength - filled);
      }
    }
    // Repeat the last image row into the padding rows.
    if (lastRow && paddingRows_ > 0) {
      const int32_t last = mcuHeight_ - paddingRows_ - 1;
      const uint8_t* lastLine = converted + static_cast<intptr_t>(last) * c.convertedStep;
      for (int32_t y = last + 1; y < c.convertedRows; ++y) {
        if (Failed(prim::CopyBytes(lastLine, converted + static_cast<intptr_t>(y) * c.convertedStep,
                                   c.convertedStep))) {
          return CorePrimitiveFailed;
        }
      }
    }
    prim::PrimitiveStatus status = prim::StatusOk;
    const bool fullResolution = c.horizontalDownsampling == 1 && c.verticalDownsampling == 1;
    // The down-samplers take 8-bit samples.
    if (sourcePrecision_ > 8 && !fullResolution) return CorePrimitiveFailed;
    // A full-resolution component is transformed where it was converted; the others from
    // their subsampled rows.
    c.transformRows = fullResolution ? converted : subsampled;
    c.transformStep = fullResolution ? c.convertedStep : c.subsampledStep;
    if (c.horizontalDownsampling == 2 && c.verticalDownsampling == 1) {
      if (halfWidth) {
        status = prim::CopyImage8(converted, c.convertedStep, subsampled, c.subsampledStep,
                                  c.subsampledStep, c.convertedRows);
      } else {
        for (int32_t y = 0; y < c.convertedRows && !Failed(status); ++y) {
          status = prim::DownsampleRow2x1(converted + static_cast<intptr_t>(y) * c.convertedStep,
                                          c.convertedStep,
                                          subsampled + static_cast<intptr_t>(y) * c.subsampledStep);
        }
      }
    } else if (c.horizontalDownsampling == 2 && c.verticalDownsampling == 2) {
      for (int32_t k = 0; k < c.subsampledRows && !Failed(status); ++k) {
        const uint8_t* upper = converted + static_cast<intptr_t>(2 * k) * c.convertedStep;
        status = prim::DownsampleRows2x2(upper, upper + c.convertedStep, c.convertedStep,
                                         subsampled + static_cast<intptr_t>(k) * c.subsampledStep);
      }
    }
    if (Failed(status)) return CorePrimitiveFailed;
  }
  return CoreOk;
}

JpegCoreStatus CJPEGEncoder::ConvertAndDownsampleMcuRow(int32_t row, int32_t slot) {
  const bool bgraTo420 = sourceColor_ == ColorBgra && color_ == ColorYCbCr &&
                         sourcePrecision_ <= 8 && componentCount_ == 3 &&
                         components_[0].horizontalDownsampling == 1 &&
                         components_[0].verticalDownsampling == 1;
  bool chromaHalved = bgraTo420;
  for (int32_t i = 1; i < componentCount_ && chromaHalved; ++i) {
    chromaHalved = components_[i].horizontalDownsampling == 2 &&
                   components_[i].verticalDownsampling == 2;
  }
  if (!chromaHalved) {
    const JpegCoreStatus status = ConvertMcuRow(row, slot);
    if (status != CoreOk) return status;
    return DownsampleMcuRow(row, slot);
  }
  const bool lastRow = row == mcuRows_ - 1;
  const int32_t rows = lastRow ? mcuHeight_ - paddingRows_ : rowsPerMcuRow_;
  const int32_t step = sourceSteps_[0];
  CJPEGColorComponent& luma = components_[0];
  CJPEGColorComponent& blue = components_[1];
  CJPEGColorComponent& red = components_[2];
  uint8_t* const y = luma.ConvertedRows(slot);
  uint8_t* const cb = blue.SubsampledRows(slot);
  uint8_t* const cr = red.SubsampledRows(slot);
  // Rows below the image repeat its last row, as DownsampleMcuRow pads them.
  auto sourceRow = [&](int32_t r) -> const uint8_t* {
    if (sourcePlanes_[0] == nullptr) return nullptr;
    const int64_t line = static_cast<int64_t>(row) * mcuHeight_ + (r < rows ? r : rows - 1);
    return sourcePlanes_[0] + static_cast<ptrdiff_t>(line * step);
  };
  for (int32_t k = 0; k < blue.subsampledRows; ++k) {
    const prim::PrimitiveStatus status = prim::BgraToYCbCrRows2x2(
        sourceRow(2 * k), sourceRow(2 * k + 1), width_, luma.convertedStep,
        y + static_cast<intptr_t>(2 * k) * luma.convertedStep,
        y + static_cast<intptr_t>(2 * k + 1) * luma.convertedStep,
        cb + static_cast<intptr_t>(k) * blue.subsampledStep,
        cr + static_cast<intptr_t>(k) * red.subsampledStep);
    if (Failed(status)) return CorePrimitiveFailed;
  }
  luma.transformRows = y;
  luma.transformStep = luma.convertedStep;
  blue.transformRows = cb;
  blue.transformStep = blue.subsampledStep;
  red.transformRows = cr;
  red.transformStep = red.subsampledStep;
  return CoreOk;
}

JpegCoreStatus CJPEGEncoder::CopyPlanarMcuRow(int32_t row, int32_t slot) {
  const bool wide = sourcePrecision_ > 8;
  const int32_t sampleBytes = wide ? 2 : 1;
  for (int32_t k = 0; k < componentCount_; ++k) {
    CJPEGColorComponent& c = components_[k];
    // The plane's size: half the image, rounded up, along a down-sampled direction.
    const int32_t planeWidth = c.horizontalDownsampling == 2 ? (width_ + 1) / 2 : width_;
    const int32_t planeHeight = c.verticalDownsampling == 2 ? (height_ + 1) / 2 : height_;
    const int32_t rowLength = c.subsampledStep / sampleBytes;
    const int64_t firstRow = static_cast<int64_t>(row) * c.subsampledRows;
    const int64_t left = planeHeight - firstRow;
    const int32_t rows = left < c.subsampledRows ? static_cast<int32_t>(left) : c.subsampledRows;
    if (rows < 1 || planeWidth > rowLength) return CorePrimitiveFailed;
    const uint8_t* src =
        sourcePlanes_[k] == nullptr
            ? nullptr
            : sourcePlanes_[k] + static_cast<ptrdiff_t>(firstRow * sourceSteps_[k]);
    uint8_t* dst = c.SubsampledRows(slot);
    c.transformRows = dst;
    c.transformStep = c.subsampledStep;
    const prim::PrimitiveStatus status =
        wide ? prim::CopyImage16(reinterpret_cast<const int16_t*>(src), sourceSteps_[k],
                                 reinterpret_cast<int16_t*>(dst), c.subsampledStep, planeWidth,
                                 rows)
             : prim::CopyImage8(src, sourceSteps_[k], dst, c.subsampledStep, planeWidth, rows);
    if (Failed(status)) return CorePrimitiveFailed;
    // The last column into the padding columns, the last row into the rows below it.
    for (int32_t y = 0; y < rows && planeWidth < rowLength; ++y) {
      uint8_t* line = dst + static_cast<intptr_t>(y) * c.subsampledStep;
      if (wide) {
        uint16_t* samples = reinterpret_cast<uint16_t*>(line);
        for (int32_t x = planeWidth; x < rowLength; ++x) samples[x] = samples[planeWidth - 1];
      } else {
        std::memset(line + planeWidth, line[planeWidth - 1], rowLength - planeWidth);
      }
    }
    const uint8_t* lastLine = dst + static_cast<intptr_t>(rows - 1) * c.subsampledStep;
    for (int32_t y = rows; y < c.subsampledRows; ++y) {
      if (Failed(prim::CopyBytes(lastLine, dst + static_cast<intptr_t>(y) * c.subsampledStep,
                                 c.subsampledStep))) {
        return CorePrimitiveFailed;
      }
    }
  }
  return CoreOk;
}

}  // namespace vorn::jpeg
