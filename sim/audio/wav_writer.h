// WAV files of PCM audio: the RIFF form with one "fmt " chunk (PCM, format tag 1) and one
// "data" chunk, every field little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vorn::audio {

struct WavFormat {
  uint32_t rate = 48000;
  uint16_t channels = 2;
  uint16_t bits = 16;
};

// The whole file for |bytes| bytes of interleaved PCM. Empty when the format is unusable
// (no channels, bits not a multiple of 8 in 8..32, no rate) or the data cannot fit a RIFF
// file (4 GiB); a trailing partial frame is left out.
std::vector<uint8_t> WavFile(const WavFormat& format, const uint8_t* pcm, size_t bytes);

// Writes WavFile's bytes to |path|; false when the format is unusable or the file cannot be
// written whole.
bool WriteWav(const std::string& path, const WavFormat& format, const uint8_t* pcm, size_t bytes);

}  // namespace vorn::audio
