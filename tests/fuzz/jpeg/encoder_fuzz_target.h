// One encoder input: the first bytes choose the mode, colours, sampling, size, restart
// interval, table optimisation, quality and output room; the rest are the pixels (repeated
// as needed). Aborts when the encoder writes past its output or reports a success that is not
// a complete stream. Shared by the fuzzer and the test that replays its corpus.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::fuzz {

// The bytes of the input header the target reads before the pixels.
constexpr size_t kEncoderInputHeader = 10;

int RunEncoderInput(const uint8_t* data, size_t size);

}  // namespace vorn::fuzz
