// The abstract codec interface the frame encoder drives: a codec with its life-cycle and
// version queries, and an encoder with its output stream, source image, header and data.
#pragma once

#include <cstdint>

#include "jpeg/codec/image_desc.h"
#include "jpeg/stream/base_stream.h"

namespace vorn::jpeg::ImageCodec {

// A codec's identity: four version numbers, then its name, version text and build date.
struct CodecVersionInfo {
  int32_t major;
  int32_t minor;
  int32_t build;
  int32_t revision;
  const char* name;
  const char* version;
  const char* buildDate;
};

class BaseImageCodec {
 public:
  virtual ~BaseImageCodec();
  virtual void ReservedOp1(void* argument) = 0;
  virtual void ReservedOp2() = 0;
  // 0, or non-zero when the codec cannot be set up.
  virtual int32_t Init() = 0;
  virtual int32_t ReservedQuery4() = 0;
  virtual const CodecVersionInfo* GetVersion() = 0;
  // Returns the thread count in use (the request may be ignored).
  virtual int32_t SetThreadCount(int32_t count) = 0;
  virtual int32_t ThreadCount() = 0;
  virtual int32_t ReservedQuery8() = 0;
};

class BaseImageEncoder : public BaseImageCodec {
 public:
  ~BaseImageEncoder() override;
  // The encoder borrows the stream.
  virtual int32_t SetOutputStream(BaseStreamOutput* stream) = 0;
  virtual int32_t SetSourceImage(const ImageDesc* description) = 0;
  virtual int32_t ReservedQuery11() = 0;
  virtual int32_t WriteHeader() = 0;
  virtual int32_t WriteData() = 0;
};

}  // namespace vorn::jpeg::ImageCodec
