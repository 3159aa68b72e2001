#include "jpeg/codec/jpeg_encoder.h"

#include <new>

#include "jpeg/core/encoder.h"
#include "jpeg/primitives/frame/cpu.h"

namespace vorn::jpeg::ImageCodec {
namespace {

// Every non-zero core status reaches the layer's caller as -1.
int32_t Forwarded(JpegCoreStatus status) { return status == CoreOk ? 0 : -1; }

constexpr int32_t kMaxPlanarPlanes = 4;

}  // namespace

const CodecVersionInfo kJpegEncoderVersion = {
    0, 0, 1, 0, "Marrel Codec JPEG Encoder", "v0.0.1.0 alpha", "May 15 2013",
};

JPEGEncoderParamsBAS::~JPEGEncoderParamsBAS() = default;

JPEGEncoder::~JPEGEncoder() {
  delete core_;
  core_ = nullptr;
}

void JPEGEncoder::ReservedOp1(void*) {}
void JPEGEncoder::ReservedOp2() {}

int32_t JPEGEncoder::Init() {
  if (core_ != nullptr) return 0;
  core_ = new (std::nothrow) CJPEGEncoder();
  return core_ != nullptr ? 0 : -1;
}

int32_t JPEGEncoder::ReservedQuery4() { return 0; }
const CodecVersionInfo* JPEGEncoder::GetVersion() { return &kJpegEncoderVersion; }
int32_t JPEGEncoder::SetThreadCount(int32_t) { return ThreadCount(); }
int32_t JPEGEncoder::ThreadCount() { return prim::PrimitiveThreadCount(); }
int32_t JPEGEncoder::ReservedQuery8() { return 0; }
int32_t JPEGEncoder::ReservedQuery11() { return 0; }

int32_t JPEGEncoder::SetOutputStream(BaseStreamOutput* stream) {
  if (core_ == nullptr) return -1;
  return Forwarded(core_->SetOutputStream(stream));
}

int32_t JPEGEncoder::SetComment(int32_t length, const char* text) {
  if (core_ == nullptr) return -1;
  return Forwarded(core_->SetComment(length, text));
}

int32_t JPEGEncoder::SetSourceImage(const ImageDesc* description) {
  if (core_ == nullptr || description == nullptr) return -1;
  const int32_t sampleType = description->SampleType();
  if (sampleType != kSampleType8 && sampleType != kSampleType16) return -1;
  const int32_t channels = description->ChannelCount();
  const int32_t planes = description->PlaneCount();
  if (channels < 1 || planes < 1 || description->Ranges() == nullptr) return -1;
  const int32_t sampling =
      UicToJpegSampling(SamplingFromFactors(description->Factors(), channels));
  const int32_t color = UicToJpegColor(description->Color());
  const int32_t precision = description->Ranges()[0].bitDepth + 1;
  const int32_t width = description->Width();
  const int32_t height = description->Height();

  JpegCoreStatus status;
  if (planes == 1) {
    const uint8_t* data = description->PlaneData()[0];
    const int32_t step = description->LineSteps()[0];
    status = sampleType == kSampleType8
                 ? core_->SetInterleavedSource8(data, step, width, height, channels, color,
                                                sampling, precision)
                 : core_->SetInterleavedSource16(reinterpret_cast<const uint16_t*>(data), step,
                                                 width, height, channels, color, sampling,
                                                 precision);
  } else {
    // The planar forms take at most four planes.
    if (channels == 1 || planes > kMaxPlanarPlanes) return -1;
    const uint8_t* data[kMaxPlanarPlanes] = {};
    const uint16_t* data16[kMaxPlanarPlanes] = {};
    int32_t steps[kMaxPlanarPlanes] = {};
    for (int32_t p = 0; p < planes; ++p) {
      data[p] = description->PlaneData()[p];
      data16[p] = reinterpret_cast<const uint16_t*>(data[p]);
      steps[p] = description->LineSteps()[p];
    }
    status = sampleType == kSampleType8
                 ? core_->SetPlanarSource8(data, steps, width, height, channels, color, sampling,
                                           precision)
                 : core_->SetPlanarSource16(data16, steps, width, height, channels, color,
                                            sampling, precision);
  }
  return Forwarded(status);
}

int32_t JPEGEncoder::SetParams(JPEGEncoderParamsBAS params) {
  if (core_ == nullptr) return -1;
  JpegCoreStatus status =
      core_->SetParams(ModeBaseline, UicToJpegColor(params.color),
                       UicToJpegSampling(params.sampling), params.restartInterval,
                       params.optimizeHuffman, params.quality, params.reserved);
  if (status == CoreOk) {
    status = core_->SetDensity(params.densityUnits, params.xDensity, params.yDensity);
  }
  return Forwarded(status);
}

int32_t JPEGEncoder::WriteHeader() {
  if (core_ == nullptr) return -1;
  return Forwarded(core_->WriteHeader());
}

int32_t JPEGEncoder::WriteData() {
  if (core_ == nullptr) return -1;
  return Forwarded(core_->WriteData());
}

}  // namespace vorn::jpeg::ImageCodec
