#include "sim/audio/tone.h"

#include <algorithm>
#include <cmath>

namespace vorn::audio {
namespace {
constexpr double kTwoPi = 6.283185307179586;
constexpr double kFullScale = 32767.0;
}  // namespace

double Tone::Frequency(uint32_t c) const {
  if (frequency.empty()) return 0;
  return frequency[c % frequency.size()];
}

int16_t Tone::Sample(uint64_t n, uint32_t c) const {
  const double f = Frequency(c);
  const uint32_t rate = format.rate ? format.rate : 1;
  // The phase is reduced in whole cycles first so that a late sample is as exact as an early
  // one: (f × n) mod rate, taken in integers where f is whole.
  double cycles;
  if (f == std::floor(f) && f >= 0) {
    const uint64_t fi = static_cast<uint64_t>(f);
    cycles = static_cast<double>((fi * (n % rate)) % rate) / rate;
  } else {
    cycles = std::fmod(f * static_cast<double>(n) / rate, 1.0);
  }
  const double a = std::clamp(amplitude, 0.0, 1.0);
  return static_cast<int16_t>(std::lround(a * kFullScale * std::sin(kTwoPi * cycles + phase)));
}

void RenderTone(const Tone& tone, uint64_t first, uint64_t frames, uint8_t* out) {
  const uint32_t ch = tone.format.channels;
  for (uint64_t i = 0; i < frames; ++i) {
    for (uint32_t c = 0; c < ch; ++c) {
      const uint16_t v = static_cast<uint16_t>(tone.Sample(first + i, c));
      *out++ = static_cast<uint8_t>(v & 0xFF);
      *out++ = static_cast<uint8_t>(v >> 8);
    }
  }
}

std::vector<uint8_t> RenderTone(const Tone& tone, uint64_t first, uint64_t frames) {
  std::vector<uint8_t> out(static_cast<size_t>(frames) * tone.format.BytesPerFrame());
  RenderTone(tone, first, frames, out.data());
  return out;
}

std::vector<int16_t> ChannelSamples(const uint8_t* pcm, size_t bytes, uint32_t channels,
                                    uint32_t c) {
  std::vector<int16_t> out;
  if (!pcm || channels == 0 || c >= channels) return out;
  const size_t frame = size_t{channels} * 2;
  const size_t frames = bytes / frame;
  out.reserve(frames);
  for (size_t i = 0; i < frames; ++i) {
    const uint8_t* p = pcm + i * frame + size_t{c} * 2;
    out.push_back(static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8))));
  }
  return out;
}

}  // namespace vorn::audio
