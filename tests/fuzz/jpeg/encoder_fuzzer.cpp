// libFuzzer entry: any encoder input (see encoder_fuzz_target.h) through the encoder core.
#include "tests/fuzz/jpeg/encoder_fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return vorn::fuzz::RunEncoderInput(data, size);
}
