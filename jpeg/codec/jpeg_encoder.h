// The JPEG encoder of the codec layer: owns one encoder core, translates the layer's colour
// and sampling values into the core's, forwards each operation and reduces every core
// failure to -1.
#pragma once

#include <cstdint>

#include "jpeg/codec/image_codec.h"

namespace vorn::jpeg {
class CJPEGEncoder;
}

namespace vorn::jpeg::ImageCodec {

// Baseline coding parameters of the layer.
class JPEGEncoderParamsBAS {
 public:
  JPEGEncoderParamsBAS() = default;
  JPEGEncoderParamsBAS(const JPEGEncoderParamsBAS&) = default;
  JPEGEncoderParamsBAS& operator=(const JPEGEncoderParamsBAS&) = default;
  virtual ~JPEGEncoderParamsBAS();

  int32_t color = UicColorBgr;  // colour model of the stream (UicColor)
  int32_t sampling = 0;         // layer sampling value of the stream
  int32_t restartInterval = 0;  // MCUs between restart markers (0: none)
  int32_t optimizeHuffman = 0;
  int32_t quality = 75;
  int32_t xDensity = 1;
  int32_t yDensity = 1;
  int32_t densityUnits = 0;  // 0 to 2
  int32_t reserved = 0;      // forwarded to the core, which never reads it
};

extern const CodecVersionInfo kJpegEncoderVersion;

class JPEGEncoder : public BaseImageEncoder {
 public:
  JPEGEncoder() = default;
  ~JPEGEncoder() override;
  JPEGEncoder(const JPEGEncoder&) = delete;
  JPEGEncoder& operator=(const JPEGEncoder&) = delete;

  void ReservedOp1(void* argument) override;
  void ReservedOp2() override;
  // Creates the core unless one exists; -1 when it cannot be allocated.
  int32_t Init() override;
  int32_t ReservedQuery4() override;
  const CodecVersionInfo* GetVersion() override;
  int32_t SetThreadCount(int32_t count) override;
  int32_t ThreadCount() override;
  int32_t ReservedQuery8() override;

  int32_t SetOutputStream(BaseStreamOutput* stream) override;
  int32_t SetSourceImage(const ImageDesc* description) override;
  int32_t ReservedQuery11() override;
  int32_t WriteHeader() override;
  int32_t WriteData() override;

  int32_t SetParams(JPEGEncoderParamsBAS params);
  int32_t SetComment(int32_t length, const char* text);

  // The core, null before Init (for tests).
  const CJPEGEncoder* Core() const { return core_; }

 private:
  CJPEGEncoder* core_ = nullptr;
};

}  // namespace vorn::jpeg::ImageCodec
