#include "jpeg/codec/image_codec.h"

namespace vorn::jpeg::ImageCodec {

BaseImageCodec::~BaseImageCodec() = default;
BaseImageEncoder::~BaseImageEncoder() = default;

}  // namespace vorn::jpeg::ImageCodec
