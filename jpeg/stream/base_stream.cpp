#include "jpeg/stream/base_stream.h"

namespace vorn::jpeg::ImageCodec {

BaseStream::~BaseStream() = default;

}  // namespace vorn::jpeg::ImageCodec
