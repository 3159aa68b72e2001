// libFuzzer entry: any firmware image input (-max_len=262144) through the image checks.
#include "tests/fuzz/rom_image_fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return vorn::fuzz::RunRomImageInput(data, size);
}
