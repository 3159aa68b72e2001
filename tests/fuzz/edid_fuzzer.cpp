// libFuzzer entry: any EDID of up to 1024 bytes (-max_len=1024) through ProcessEdid.
#include "tests/fuzz/edid_fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return vorn::fuzz::RunEdidInput(data, size);
}
