#include "jpeg/codec/encode_frame_jpeg.h"

#include "jpeg/codec/image_desc.h"
#include "jpeg/codec/jpeg_encoder.h"
#include "jpeg/stream/membuff_output.h"

namespace vorn::jpeg {
namespace {

using ImageCodec::UicColor;

constexpr int32_t kMinImageSide = 8;
constexpr int32_t kCommentBytes = 128;
constexpr int32_t kSampleMaximum = 0xFF;

// Channels of a pixel format, -1 for a format without interleaved channels or unknown.
int32_t PixelFormatChannels(int32_t format) {
  switch (format) {
    case PixelFormatGray8:
      return 1;
    case PixelFormatBgr24:
      return 3;
    case PixelFormatBgrx32:
      return 4;
    default:
      return -1;
  }
}

int32_t PixelFormatToUicColor(int32_t format) {
  switch (format) {
    case PixelFormatGray8:
      return ImageCodec::UicColorGray;
    case PixelFormatBgr24:
      return ImageCodec::UicColorBgr;
    case PixelFormatBgrx32:
      // The fourth byte is carried but never read as colour.
      return ImageCodec::UicColorBgra;
    case PixelFormatYCbCr:
      return ImageCodec::UicColorYCbCr;
    default:
      return -1;
  }
}

int32_t MapSamplingCode(int32_t sampling) {
  return sampling >= Sampling444 && sampling <= Sampling420 ? sampling : -1;
}

}  // namespace

JpegEncodeStatus EncodeFrameJpeg(JpegEncodeRequest* request) {
  // Step 1: the locals, destroyed in reverse order on every return.
  ImageCodec::ImageDesc description;
  ImageCodec::JPEGEncoder encoder;
  CMemBuffOutput stream;
  char comment[kCommentBytes] = {};

  // Steps 2 to 5: the arguments, first failure reported.
  if (request == nullptr || request->output == nullptr || request->pixels == nullptr) {
    return JpegEncodeBadArgument;
  }
  const int32_t channels = PixelFormatChannels(request->pixelFormat);
  if (channels < 3) return JpegEncodeBadGeometry;
  if (request->width < static_cast<uint32_t>(kMinImageSide) ||
      request->height < static_cast<uint32_t>(kMinImageSide)) {
    return JpegEncodeBadGeometry;
  }
  const int32_t sampling = MapSamplingCode(request->sampling);
  const int32_t color = PixelFormatToUicColor(request->pixelFormat);
  if (sampling < 0 || color < 0) return JpegEncodeBadArgument;
  // The 3-byte conversion walks rows downwards only; a stride of 0 or less would otherwise
  // be refused only once the header has been written.
  if (channels == 3 && request->stride <= 0) return JpegEncodeBadGeometry;

  // Steps 6 to 10: the encoder, its output and the (empty) comment.
  encoder.SetThreadCount(1);
  if (encoder.Init() != 0) return JpegEncodeInitFailed;
  // A negative capacity is no room at all: the header then fails to fit.
  const int32_t capacity = request->outputCapacity > 0 ? request->outputCapacity : 0;
  stream.Open(request->output, capacity);
  if (encoder.SetOutputStream(&stream) != 0) return JpegEncodeBadGeometry;
  if (encoder.SetComment(0, comment) != 0) return JpegEncodeBadArgument;

  // Steps 11 and 12: the source, one interleaved 8-bit plane owned by the caller.
  ImageCodec::ImageGeometry geometry;
  if (geometry.Set(0, 0, static_cast<int32_t>(request->width),
                   static_cast<int32_t>(request->height), channels) != 0 ||
      ImageCodec::SamplingPresets(&geometry, 0) != 0) {
    return JpegEncodeBadImage;
  }
  const uint8_t* const planes[1] = {request->pixels};
  const int32_t lineSteps[1] = {request->stride};
  const int32_t pixelSteps[1] = {channels};
  const ImageCodec::ValueRange range = ImageCodec::ValueRange::Of(0, kSampleMaximum);
  const ImageCodec::ValueRange ranges[4] = {range, range, range, range};
  if (description.Fill(geometry, ImageCodec::kSampleType8, 1, planes, lineSteps, pixelSteps,
                       ranges, color) != 0) {
    return JpegEncodeBadImage;
  }
  if (encoder.SetSourceImage(&description) != 0) return JpegEncodeBadImage;

  // Step 13: baseline YCbCr, a restart marker after every MCU.
  ImageCodec::JPEGEncoderParamsBAS params;
  params.color = ImageCodec::UicColorYCbCr;
  params.sampling = sampling;
  params.restartInterval = 1;
  params.optimizeHuffman = 0;
  params.quality = request->quality;
  params.reserved = 1;
  if (encoder.SetParams(params) != 0) return JpegEncodeBadArgument;

  // Steps 14 to 17.
  if (encoder.WriteHeader() != 0) return JpegEncodeHeaderFailed;
  if (encoder.WriteData() != 0) return JpegEncodeDataFailed;
  int64_t length = 0;
  stream.Position(&length);
  request->outputLength = static_cast<int32_t>(length);
  stream.Close();
  return JpegEncodeOk;
}

}  // namespace vorn::jpeg
