// One EDID input through ProcessEdid on a view whose device table lists common modes, followed
// by the TargetMode build; aborts when the mode list comes out inconsistent. Shared by the
// fuzzer and the test that replays its corpus.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorn::fuzz {

int RunEdidInput(const uint8_t* data, size_t size);

}  // namespace vorn::fuzz
