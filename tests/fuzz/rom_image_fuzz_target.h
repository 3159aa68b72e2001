// One firmware image input through the station's image checks (header, end mark and
// checksum, descriptor sections, boot version), once as it came and once sealed with its
// end mark and checksum; aborts when a check passes something its own rules exclude. Shared
// by the fuzzer and the test that replays its corpus.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::fuzz {

int RunRomImageInput(const uint8_t* data, size_t size);

}  // namespace vorn::fuzz
