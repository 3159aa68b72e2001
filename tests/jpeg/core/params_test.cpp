// Parameters, component factors and buffer sizes of the encoder core.
#include <gtest/gtest.h>

#include <string>

#include "tests/jpeg/core/core_fixture.h"

namespace vorn::jpeg {
namespace {

using test::Image;

struct GeometryCase {
  int32_t width, height, sampling;
  int32_t mcuWidth, mcuHeight, mcusPerRow, mcuRows, paddingColumns, paddingRows;
  int32_t lumaH, lumaV, chromaDownH, chromaDownV, blocksPerMcu, coefficientBytes;
};

TEST(CoreGeometry, FactorsPaddingAndBufferSizes) {
  const GeometryCase cases[] = {
      // The display path's full frame: 120 x 68 MCUs, 92160 bytes of coefficients.
      {1920, 1080, 3, 16, 16, 120, 68, 0, 8, 2, 2, 2, 2, 6, 92160},
      {8, 8, 3, 16, 16, 1, 1, 8, 8, 2, 2, 2, 2, 6, 768},
      {8, 8, 0, 8, 8, 1, 1, 0, 0, 1, 1, 1, 1, 3, 384},
      {1001, 601, 1, 16, 8, 63, 76, 7, 7, 2, 1, 2, 1, 4, 63 * 4 * 128},
      {1001, 601, 2, 16, 8, 63, 76, 7, 7, 2, 1, 2, 1, 4, 63 * 4 * 128},
      {1366, 768, 0, 8, 8, 171, 96, 2, 0, 1, 1, 1, 1, 3, 171 * 3 * 128},
      {65535, 9, 3, 16, 16, 4096, 1, 1, 7, 2, 2, 2, 2, 6, 4096 * 6 * 128},
  };
  for (const GeometryCase& g : cases) {
    SCOPED_TRACE(std::to_string(g.width) + "x" + std::to_string(g.height) + " s" +
                 std::to_string(g.sampling));
    std::vector<uint8_t> pixels(3);
    CJPEGEncoder encoder;
    encoder.SetInterleavedSource8(pixels.data(), 0, g.width, g.height, 3, ColorBgr, 0, 8);
    ASSERT_EQ(encoder.SetParams(ModeBaseline, ColorYCbCr, g.sampling, 1, 0, 95, 0), CoreOk);
    ASSERT_EQ(encoder.PrepareBuffers(), CoreOk);
    EXPECT_EQ(encoder.McuWidth(), g.mcuWidth);
    EXPECT_EQ(encoder.McuHeight(), g.mcuHeight);
    EXPECT_EQ(encoder.McusPerRow(), g.mcusPerRow);
    EXPECT_EQ(encoder.McuRows(), g.mcuRows);
    EXPECT_EQ(encoder.PaddingColumns(), g.paddingColumns);
    EXPECT_EQ(encoder.PaddingRows(), g.paddingRows);
    EXPECT_EQ(encoder.BlocksPerMcu(), g.blocksPerMcu);
    EXPECT_EQ(encoder.CoefficientBufferBytes(), g.coefficientBytes);
    ASSERT_EQ(encoder.ComponentCount(), 3);
    const CJPEGColorComponent& y = encoder.Component(0);
    EXPECT_EQ(y.h, g.lumaH);
    EXPECT_EQ(y.v, g.lumaV);
    EXPECT_EQ(y.horizontalDownsampling, 1);
    EXPECT_EQ(y.verticalDownsampling, 1);
    EXPECT_EQ(y.convertedStep, g.mcusPerRow * g.mcuWidth);
    EXPECT_EQ(y.subsampledSlice, g.mcuHeight * g.mcusPerRow * g.mcuWidth);
    for (int32_t i = 1; i < 3; ++i) {
      const CJPEGColorComponent& c = encoder.Component(i);
      EXPECT_EQ(c.identifier, i);
      EXPECT_EQ(c.h, 1);
      EXPECT_EQ(c.v, 1);
      EXPECT_EQ(c.horizontalDownsampling, g.chromaDownH);
      EXPECT_EQ(c.verticalDownsampling, g.chromaDownV);
      EXPECT_EQ(c.subsampledRows, g.mcuHeight / g.chromaDownV);
      EXPECT_EQ(c.subsampledStep, g.mcusPerRow * g.mcuWidth / g.chromaDownH);
      EXPECT_EQ(c.quantTableId, 1);
      EXPECT_EQ(c.dcTableId, 1);
      EXPECT_EQ(c.acTableId, 1);
    }
  }
}

TEST(CoreGeometry, ComponentCountsAndTableIdsByColour) {
  struct Case {
    int32_t sourceColor, channels, frameColor, components, firstChromaId;
  };
  const Case cases[] = {
      {ColorBgr, 3, ColorYCbCr, 3, 1},       {ColorBgra, 4, ColorYCbCr, 3, 1},
      {ColorBgra, 4, ColorBgra, 4, 0},       {ColorBgra, 4, ColorUnknown, 4, 0},
      {ColorRgb, 3, ColorRgb, 3, 0},         {ColorRgb, 3, ColorGray, 1, 0},
      {ColorCmyk, 4, ColorYcck, 4, 1},       {ColorCmyk, 4, ColorCmyk, 4, 0},
      {ColorUnknown, 2, ColorUnknown, 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.sourceColor) + "->" + std::to_string(c.frameColor));
    std::vector<uint8_t> pixels(16);
    CJPEGEncoder encoder;
    encoder.SetInterleavedSource8(pixels.data(), 64, 16, 16, c.channels, c.sourceColor, 0, 8);
    ASSERT_EQ(encoder.SetParams(ModeBaseline, c.frameColor, 0, 0, 0, 50, 0), CoreOk);
    EXPECT_EQ(encoder.ComponentCount(), c.components);
    if (c.components > 1) {
      EXPECT_EQ(encoder.Component(1).quantTableId, c.firstChromaId);
    }
    EXPECT_EQ(encoder.QuantTable(1).Initialised(), c.firstChromaId);
    if (c.components == 4) {
      EXPECT_EQ(encoder.Component(3).quantTableId, 0);
    }
  }
}

TEST(CoreParams, RefusedParametersStoreNothing) {
  struct Case {
    const char* what;
    int32_t width, height, channels, sourceColor, precision;
    int32_t mode, frameColor, sampling, restart, optimize;
  };
  const Case cases[] = {
      {"width 0", 0, 8, 3, ColorBgr, 8, 1, ColorYCbCr, 3, 1, 0},
      {"height negative", 8, -8, 3, ColorBgr, 8, 1, ColorYCbCr, 3, 1, 0},
      {"width 65536", 65536, 8, 3, ColorBgr, 8, 1, ColorYCbCr, 3, 1, 0},
      {"height 65536", 8, 65536, 3, ColorBgr, 8, 1, ColorYCbCr, 3, 1, 0},
      {"huge both", 0x40000000, 0x40000000, 3, ColorBgr, 8, 1, ColorYCbCr, 3, 1, 0},
      {"extended mode", 8, 8, 3, ColorBgr, 8, 2, ColorYCbCr, 3, 1, 0},
      {"progressive with 2 components", 8, 8, 2, ColorUnknown, 8, 3, ColorUnknown, 0, 1, 0},
      {"progressive gray with 4:2:0", 8, 8, 1, ColorGray, 8, 3, ColorGray, 3, 1, 0},
      {"lossless mode", 8, 8, 3, ColorBgr, 8, 4, ColorYCbCr, 3, 1, 0},
      {"mode 0", 8, 8, 3, ColorBgr, 8, 0, ColorYCbCr, 3, 1, 0},
      {"optimised tables of a mode not built", 8, 8, 3, ColorBgr, 8, 2, ColorYCbCr, 3, 1, 1},
      {"12-bit source", 8, 8, 3, ColorBgr, 12, 1, ColorYCbCr, 3, 1, 0},
      {"no source", 8, 8, 3, ColorBgr, 0, 1, ColorYCbCr, 3, 1, 0},
      {"sampling 4", 8, 8, 3, ColorBgr, 8, 1, ColorYCbCr, 4, 1, 0},
      {"sampling -1", 8, 8, 3, ColorBgr, 8, 1, ColorYCbCr, -1, 1, 0},
      {"restart 65536", 8, 8, 3, ColorBgr, 8, 1, ColorYCbCr, 3, 65536, 0},
      {"restart negative", 8, 8, 3, ColorBgr, 8, 1, ColorYCbCr, 3, -1, 0},
      {"BGR with 4 channels", 8, 8, 4, ColorBgr, 8, 1, ColorYCbCr, 3, 1, 0},
      {"BGRA with 3 channels", 8, 8, 3, ColorBgra, 8, 1, ColorYCbCr, 3, 1, 0},
      {"no channels", 8, 8, 0, ColorUnknown, 8, 1, ColorUnknown, 0, 1, 0},
      {"gray with 4:2:0", 8, 8, 1, ColorGray, 8, 1, ColorGray, 3, 1, 0},
      {"packed 4:2:2 of odd width", 9, 8, 3, ColorYCbCr, 8, 1, ColorYCbCr, 1, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    uint8_t pixels[4] = {};
    CJPEGEncoder encoder;
    encoder.SetInterleavedSource8(pixels, 64, c.width, c.height, c.channels, c.sourceColor, 0,
                                  c.precision);
    EXPECT_EQ(encoder.SetParams(c.mode, c.frameColor, c.sampling, c.restart, c.optimize, 95, 0),
              CoreBadParameter);
    EXPECT_EQ(encoder.McuWidth(), 0);
    EXPECT_EQ(encoder.ComponentCount(), 0);
    EXPECT_EQ(encoder.RestartInterval(), 0);
    EXPECT_EQ(encoder.QuantTable(0).Initialised(), 0);
    // Without accepted parameters no buffers are prepared and nothing is written.
    EXPECT_EQ(encoder.WriteHeader(), CoreBadParameter);
  }
}

TEST(CoreParams, PlanarSourceChecks) {
  uint8_t plane[64] = {};
  const uint8_t* planes[4] = {plane, plane, plane, plane};
  const int32_t steps[4] = {8, 8, 8, 8};
  CJPEGEncoder encoder;
  // Four planes of a colour other than the frame's are refused by the setter itself.
  EXPECT_EQ(encoder.SetPlanarSource8(planes, steps, 8, 8, 4, ColorCmyk, 0, 8), CoreBadParameter);
  EXPECT_EQ(encoder.SetPlanarSource8(planes, steps, 8, 8, 3, ColorYCbCr, 0, 8), CoreOk);
  // Three planes of another colour have no conversion.
  EXPECT_EQ(encoder.SetParams(ModeBaseline, ColorRgb, 0, 0, 0, 95, 0), CoreBadParameter);
  EXPECT_EQ(encoder.SetParams(ModeBaseline, ColorYCbCr, 0, 0, 0, 95, 0), CoreOk);
  // The planes are read at the frame's component sizes: full-size planes cannot make a 4:2:0
  // frame, nor 4:2:0 planes (half-size chroma) a 4:4:4 one, whose chroma rows would be read
  // past the planes' ends.
  CJPEGEncoder subsampled;
  EXPECT_EQ(subsampled.SetPlanarSource8(planes, steps, 8, 8, 3, ColorYCbCr, Sampling420, 8),
            CoreOk);
  EXPECT_EQ(subsampled.SetParams(ModeBaseline, ColorYCbCr, Sampling444, 0, 0, 95, 0),
            CoreBadParameter);
  EXPECT_EQ(subsampled.SetParams(ModeBaseline, ColorYCbCr, Sampling422, 0, 0, 95, 0),
            CoreBadParameter);
  EXPECT_EQ(subsampled.SetParams(ModeBaseline, ColorYCbCr, Sampling420, 0, 0, 95, 0), CoreOk);
  EXPECT_EQ(encoder.SetParams(ModeBaseline, ColorYCbCr, Sampling420, 0, 0, 95, 0),
            CoreBadParameter);
  // The two codes of 4:2:2 are the same layout.
  CJPEGEncoder halfWidth;
  EXPECT_EQ(halfWidth.SetPlanarSource8(planes, steps, 8, 8, 3, ColorYCbCr, Sampling422Alt, 8),
            CoreOk);
  EXPECT_EQ(halfWidth.SetParams(ModeBaseline, ColorYCbCr, Sampling422, 0, 0, 95, 0), CoreOk);
  // Every component needs its plane.
  const uint8_t* missing[4] = {plane, plane, nullptr, nullptr};
  CJPEGEncoder short_;
  EXPECT_EQ(short_.SetPlanarSource8(missing, steps, 8, 8, 3, ColorYCbCr, 0, 8), CoreOk);
  EXPECT_EQ(short_.SetParams(ModeBaseline, ColorYCbCr, 0, 0, 0, 95, 0), CoreBadParameter);
  EXPECT_EQ(short_.ComponentCount(), 0);
  // An interleaved source set later is accepted again.
  EXPECT_EQ(short_.SetInterleavedSource8(plane, 24, 8, 8, 3, ColorBgr, 0, 8), CoreOk);
  EXPECT_EQ(short_.SetParams(ModeBaseline, ColorYCbCr, 0, 0, 0, 95, 0), CoreOk);
}

// Sources the scans would code wrongly, each refused before anything is stored: samples above
// 8 bits in the baseline (interleaved or planar) and progressive modes, the extended mode at a
// precision its 16-bit level shift does not fit, interleaved 12-bit samples that would need a
// colour transform or a down-sampler (both take 8-bit samples), and lossless frames through
// SetParams (any restart interval).
TEST(CoreParams, WideSamplesAndModesNotBuiltAreRefused) {
  struct Case {
    const char* what;
    bool planar;
    int32_t precision, mode, restart;
    int32_t frameColor = ColorRgb;
    int32_t sampling = Sampling444;
  };
  const Case cases[] = {
      {"baseline 12-bit planar", true, 12, ModeBaseline, 0},
      {"baseline 10-bit planar", true, 10, ModeBaseline, 0},
      {"baseline 12-bit interleaved", false, 12, ModeBaseline, 0},
      {"progressive 12-bit", false, 12, ModeProgressive, 0},
      {"progressive 9-bit planar", true, 9, ModeProgressive, 0},
      {"extended 10-bit", false, 10, ModeExtended, 0},
      {"extended 16-bit", false, 16, ModeExtended, 0},
      {"extended 12-bit RGB to YCbCr", false, 12, ModeExtended, 0, ColorYCbCr},
      {"extended 12-bit with 4:2:0", false, 12, ModeExtended, 0, ColorRgb, Sampling420},
      {"extended 12-bit with 4:2:2", false, 12, ModeExtended, 0, ColorRgb, Sampling422},
      {"precision 17", false, 17, ModeExtended, 0},
      {"lossless 16-bit", false, 16, ModeLossless, 0},
      {"lossless, restart of one and a half rows", false, 8, ModeLossless, 12},
      {"lossless, restart of two rows", false, 8, ModeLossless, 16},
      {"planar 8-bit progressive (its scans take no planes)", true, 8, ModeProgressive, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    uint16_t pixels[8 * 8 * 3] = {};
    const uint16_t* planes[4] = {pixels, pixels, pixels, nullptr};
    const int32_t steps[4] = {16, 16, 16, 0};
    CJPEGEncoder encoder;
    if (c.planar) {
      ASSERT_EQ(encoder.SetPlanarSource16(planes, steps, 8, 8, 3, ColorYCbCr, 0, c.precision),
                CoreOk);
    } else {
      ASSERT_EQ(encoder.SetInterleavedSource16(pixels, 48, 8, 8, 3, ColorRgb, 0, c.precision),
                CoreOk);
    }
    EXPECT_EQ(encoder.SetParams(c.mode, c.planar ? ColorYCbCr : c.frameColor, c.sampling,
                                c.restart, 1, 95, 0),
              CoreBadParameter);
    EXPECT_EQ(encoder.Mode(), ModeBaseline);
    EXPECT_EQ(encoder.ComponentCount(), 0);
    EXPECT_EQ(encoder.QuantTable(0).Initialised(), 0);
    // Nothing reaches the buffers: no header, no scan.
    EXPECT_EQ(encoder.PrepareBuffers(), CoreBadParameter);
    EXPECT_EQ(encoder.WriteHeader(), CoreBadParameter);
    EXPECT_EQ(encoder.WriteData(), CoreBadParameter);
  }
}

// Samples are read as 8-bit ones up to 8 bits of precision and as 16-bit ones above: a source
// of the other width, which would be read past its end (8-bit samples read as 16-bit) or as
// other samples, is refused by both parameter setters.
TEST(CoreParams, SampleWidthMustFitThePrecision) {
  struct Case {
    const char* what;
    bool wide, planar;
    int32_t precision, mode;
    JpegCoreStatus expected;
  };
  const Case cases[] = {
      {"8-bit samples at 12 bits", false, false, 12, ModeExtended, CoreBadParameter},
      {"8-bit planes at 12 bits", false, true, 12, ModeExtended, CoreBadParameter},
      {"8-bit samples at 12 bits, lossless", false, false, 12, ModeLossless, CoreBadParameter},
      {"16-bit samples at 8 bits", true, false, 8, ModeBaseline, CoreBadParameter},
      {"16-bit planes at 8 bits", true, true, 8, ModeBaseline, CoreBadParameter},
      {"16-bit samples at 8 bits, lossless", true, false, 8, ModeLossless, CoreBadParameter},
      {"16-bit samples at 12 bits", true, false, 12, ModeExtended, CoreOk},
      {"16-bit planes at 12 bits", true, true, 12, ModeExtended, CoreOk},
      {"8-bit planes at 8 bits", false, true, 8, ModeBaseline, CoreOk},
      {"16-bit samples at 12 bits, lossless", true, false, 12, ModeLossless, CoreOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    uint16_t pixels[8 * 8 * 3] = {};
    const uint16_t* planes16[4] = {pixels, pixels, pixels, nullptr};
    const uint8_t* planes8[4] = {reinterpret_cast<const uint8_t*>(pixels),
                                 reinterpret_cast<const uint8_t*>(pixels),
                                 reinterpret_cast<const uint8_t*>(pixels), nullptr};
    const int32_t steps[4] = {16, 16, 16, 0};
    CJPEGEncoder encoder;
    if (c.planar && c.wide) {
      encoder.SetPlanarSource16(planes16, steps, 8, 8, 3, ColorRgb, 0, c.precision);
    } else if (c.planar) {
      encoder.SetPlanarSource8(planes8, steps, 8, 8, 3, ColorRgb, 0, c.precision);
    } else if (c.wide) {
      encoder.SetInterleavedSource16(pixels, 48, 8, 8, 3, ColorRgb, 0, c.precision);
    } else {
      encoder.SetInterleavedSource8(planes8[0], 24, 8, 8, 3, ColorRgb, 0, c.precision);
    }
    const JpegCoreStatus status = c.mode == ModeLossless
                                      ? encoder.SetLosslessParams(ColorRgb, 0, 1)
                                      : encoder.SetParams(c.mode, ColorRgb, 0, 0, 1, 95, 0);
    EXPECT_EQ(status, c.expected);
    if (c.expected != CoreOk) {
      EXPECT_EQ(encoder.ComponentCount(), 0);
    }
  }
}

TEST(CoreParams, WideSourcesTurnOptimisationOnAboveTenBits) {
  uint16_t pixels[4] = {};
  const uint16_t* planes[4] = {pixels, pixels, pixels, pixels};
  const int32_t steps[4] = {16, 16, 16, 16};
  CJPEGEncoder encoder;
  encoder.SetInterleavedSource16(pixels, 48, 8, 8, 3, ColorRgb, 0, 10);
  EXPECT_EQ(encoder.OptimizeHuffman(), 0);
  encoder.SetInterleavedSource16(pixels, 48, 8, 8, 3, ColorRgb, 0, 12);
  EXPECT_EQ(encoder.OptimizeHuffman(), 1);
  CJPEGEncoder planar;
  EXPECT_EQ(planar.SetPlanarSource16(planes, steps, 8, 8, 4, ColorCmyk, 0, 11), CoreOk);
  EXPECT_EQ(planar.OptimizeHuffman(), 1);
}

TEST(CoreParams, DensityAndCommentLimits) {
  CJPEGEncoder encoder;
  EXPECT_EQ(encoder.SetDensity(3, 72, 72), CoreBadParameter);
  EXPECT_EQ(encoder.SetDensity(-1, 72, 72), CoreBadParameter);
  EXPECT_EQ(encoder.SetDensity(2, 72, 72), CoreOk);
  EXPECT_EQ(encoder.SetComment(65534, "x"), CoreBadParameter);
  EXPECT_EQ(encoder.SetComment(65533, "x"), CoreOk);
  EXPECT_EQ(encoder.SetComment(0, nullptr), CoreOk);
}

TEST(CoreParams, QualityZeroKeepsTheStandardTables) {
  uint8_t pixels[4] = {};
  CJPEGEncoder encoder;
  encoder.SetInterleavedSource8(pixels, 24, 8, 8, 3, ColorBgr, 0, 8);
  ASSERT_EQ(encoder.SetParams(ModeBaseline, ColorYCbCr, 0, 0, 0, 0, 0), CoreOk);
  for (int32_t k = 0; k < 64; ++k) {
    EXPECT_EQ(encoder.QuantTable(0).Raw8()[k], prim::StdLumaQuant[k]);
    EXPECT_EQ(encoder.QuantTable(1).Raw8()[k], prim::StdChromaQuant[k]);
  }
  // A negative quality is refused by the scaling primitive: a table helper failure.
  CJPEGEncoder negative;
  negative.SetInterleavedSource8(pixels, 24, 8, 8, 3, ColorBgr, 0, 8);
  EXPECT_EQ(negative.SetParams(ModeBaseline, ColorYCbCr, 0, 0, 0, -5, 0), CorePrimitiveFailed);
}

TEST(CoreParams, CoefficientBufferIsNotReusedForALargerImage) {
  std::vector<uint8_t> pixels(32 * 32 * 3);
  CMemBuffOutput stream;
  std::vector<uint8_t> out(1 << 16);
  stream.Open(out.data(), static_cast<int32_t>(out.size()));
  CJPEGEncoder encoder;
  encoder.SetOutputStream(&stream);
  encoder.SetInterleavedSource8(pixels.data(), 48, 16, 16, 3, ColorBgr, 0, 8);
  ASSERT_EQ(encoder.SetParams(ModeBaseline, ColorYCbCr, 3, 1, 0, 95, 0), CoreOk);
  ASSERT_EQ(encoder.PrepareBuffers(), CoreOk);
  const int32_t kept = encoder.CoefficientBufferBytes();
  encoder.SetInterleavedSource8(pixels.data(), 96, 32, 32, 3, ColorBgr, 0, 8);
  ASSERT_EQ(encoder.SetParams(ModeBaseline, ColorYCbCr, 3, 1, 0, 95, 0), CoreOk);
  EXPECT_EQ(encoder.PrepareBuffers(), CoreBadParameter);
  EXPECT_EQ(encoder.CoefficientBufferBytes(), kept);
  // A smaller or equal one still fits.
  encoder.SetInterleavedSource8(pixels.data(), 48, 16, 16, 3, ColorBgr, 0, 8);
  ASSERT_EQ(encoder.SetParams(ModeBaseline, ColorYCbCr, 0, 1, 0, 95, 0), CoreOk);
  EXPECT_EQ(encoder.PrepareBuffers(), CoreOk);
}

}  // namespace
}  // namespace vorn::jpeg
