// The marker segments before the first scan: SOI, the application segment of the frame
// colour, the comment, the quantisation tables, the frame header, the Huffman tables and the
// restart interval.
#include <cstdio>
#include <cstring>

#include "jpeg/core/encoder.h"
#include "jpeg/core/marker_writer.h"
#include "jpeg/primitives/frame/version.h"

namespace vorn::jpeg {
namespace {

constexpr uint8_t kJfifIdentifier[5] = {'J', 'F', 'I', 'F', 0};
constexpr uint16_t kJfifVersion = 0x0102;
constexpr uint8_t kAdobeIdentifier[5] = {'A', 'd', 'o', 'b', 'e'};
constexpr uint16_t kAdobeVersion = 100;
constexpr uint8_t kAdobeTransformYcck = 2;
constexpr uint8_t kAdobeTransformNone = 0;
constexpr int32_t kQuantSegment8 = 67;    // length of a DQT with 8-bit quantisers
constexpr int32_t kQuantSegment16 = 131;  // and with 16-bit ones
constexpr int32_t kBaselinePrecision = 8;

}  // namespace

JpegCoreStatus CJPEGEncoder::WriteApplicationSegment() {
  MarkerWriter out(bitStream_);
  switch (color_) {
    case ColorGray:
    case ColorYCbCr:
      out.Word(kMarkerApp0);
      out.Word(16);
      out.Bytes(kJfifIdentifier, 5);
      out.Word(kJfifVersion);
      out.Byte(densityUnits_);
      out.Word(xDensity_);
      out.Word(yDensity_);
      out.Byte(0);  // no thumbnail
      out.Byte(0);
      break;
    case ColorRgb:
    case ColorCmyk:
    case ColorYcck:
      out.Word(kMarkerApp14);
      out.Word(14);
      out.Bytes(kAdobeIdentifier, 5);
      out.Word(kAdobeVersion);
      out.Word(0);
      out.Word(0);
      out.Byte(color_ == ColorYcck ? kAdobeTransformYcck : kAdobeTransformNone);
      break;
    default:
      break;  // BGR, BGRA, RGBA and unknown frames carry none
  }
  return out.Status();
}

JpegCoreStatus CJPEGEncoder::WriteComment() {
  const prim::PrimitivesVersion* version = prim::GetPrimitivesVersion();
  char text[96];
  const int written =
      std::snprintf(text, sizeof text, "Marrel JPEG frame encoder [%d.%d.%d] - %s",
                    static_cast<int>(version->major), static_cast<int>(version->minor),
                    static_cast<int>(version->revision), version->buildDate);
  const int32_t textLength =
      written < 0 ? 0 : (written < static_cast<int>(sizeof text) ? written : sizeof text - 1);
  // Only the first bytes of the caller's comment are kept; never read past them.
  const int32_t commentLength =
      comment_ != nullptr ? static_cast<int32_t>(strnlen(comment_, kCommentTextLimit)) : 0;
  const int32_t total = textLength + (comment_ != nullptr ? 1 + commentLength : 0) + 1;

  MarkerWriter out(bitStream_);
  out.Word(kMarkerCom);
  out.Word(total + 2);
  out.Bytes(reinterpret_cast<const uint8_t*>(text), textLength);
  if (comment_ != nullptr) {
    out.Byte(';');
    out.Bytes(reinterpret_cast<const uint8_t*>(comment_), commentLength);
  }
  out.Byte(0);
  return out.Status();
}

JpegCoreStatus CJPEGEncoder::WriteQuantTableSegment(const prim::CJPEGEncoderQuantTable& table) {
  MarkerWriter out(bitStream_);
  out.Word(kMarkerDqt);
  const bool wide = table.Precision() != 0;
  out.Word(wide ? kQuantSegment16 : kQuantSegment8);
  out.Byte((table.Precision() << 4) | (table.Id() & 0xF));
  for (int32_t k = 0; k < 64; ++k) {
    if (wide) {
      out.Word(table.Raw16()[k]);
    } else {
      out.Byte(table.Raw8()[k]);
    }
  }
  return out.Status();
}

JpegCoreStatus CJPEGEncoder::WriteFrameHeader() {
  MarkerWriter out(bitStream_);
  out.Word(kMarkerSof0 + mode_ - ModeBaseline);
  out.Word(8 + 3 * componentCount_);
  out.Byte(mode_ == ModeBaseline || mode_ == ModeProgressive ? kBaselinePrecision : precision_);
  out.Word(height_);
  out.Word(width_);
  out.Byte(componentCount_);
  for (int32_t i = 0; i < componentCount_; ++i) {
    const CJPEGColorComponent& c = components_[i];
    out.Byte(c.identifier);
    out.Byte((c.h << 4) | c.v);
    out.Byte(c.quantTableId);
  }
  return out.Status();
}

JpegCoreStatus CJPEGEncoder::WriteHuffmanTableSegment(const CJPEGEncoderHuffmanTable& table) {
  const uint8_t* bits = table.Bits();
  int32_t count = 0;
  for (int32_t l = 0; l < 16; ++l) count += bits[l];
  // HUFFVAL holds 256 symbols; a count beyond them would write past the table.
  if (count > 256) return CorePrimitiveFailed;
  MarkerWriter out(bitStream_);
  out.Word(kMarkerDht);
  out.Word(19 + count);
  out.Byte(((table.Class() & 0xF) << 4) | (table.Id() & 0xF));
  out.Bytes(bits, 16);
  out.Bytes(table.Values(), count);
  return out.Status();
}

JpegCoreStatus CJPEGEncoder::WriteHeader() {
  headerWritten_ = false;
  JpegCoreStatus status = PrepareBuffers();
  if (status != CoreOk) return status;
  {
    MarkerWriter out(bitStream_);
    out.Word(kMarkerSoi);
    if ((status = out.Status()) != CoreOk) return status;
  }
  // A lossless frame has no application segment and no quantisation tables.
  const bool lossless = mode_ == ModeLossless;
  if (!lossless && (status = WriteApplicationSegment()) != CoreOk) return status;
  if ((status = WriteComment()) != CoreOk) return status;
  if (!lossless) {
    if ((status = WriteQuantTableSegment(quantTables_[0])) != CoreOk) return status;
    if (HasChromaTables() && (status = WriteQuantTableSegment(quantTables_[1])) != CoreOk) {
      return status;
    }
  }
  if ((status = WriteFrameHeader()) != CoreOk) return status;
  if (lossless) {
    status = optimizeHuffman_ ? OptimizeLosslessHuffmanTable()
                              : WriteHuffmanTableSegment(dcTables_[0]);
    if (status != CoreOk) return status;
  } else if (mode_ == ModeProgressive) {
    // Every scan writes the tables built for it just before its SOS segment.
  } else if (optimizeHuffman_) {
    if ((status = OptimizeHuffmanTables()) != CoreOk) return status;
  } else {
    if ((status = WriteHuffmanTableSegment(dcTables_[0])) != CoreOk) return status;
    if ((status = WriteHuffmanTableSegment(acTables_[0])) != CoreOk) return status;
    if (HasChromaTables()) {
      if ((status = WriteHuffmanTableSegment(dcTables_[1])) != CoreOk) return status;
      if ((status = WriteHuffmanTableSegment(acTables_[1])) != CoreOk) return status;
    }
  }
  if (restartInterval_ != 0) {
    MarkerWriter out(bitStream_);
    out.Word(kMarkerDri);
    out.Word(4);
    out.Word(restartInterval_);
    if ((status = out.Status()) != CoreOk) return status;
    restartsToGo_ = restartInterval_;
    nextRestartNumber_ = 0;
  }
  if ((status = bitStream_.FlushBuffer(0)) != CoreOk) return status;
  headerWritten_ = true;
  return CoreOk;
}

}  // namespace vorn::jpeg
