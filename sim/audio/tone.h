// A test tone: a sine per channel, in 16-bit signed PCM, interleaved. Sample n of a channel
// is a pure function of n, so a receiver that knows the tone can tell exactly which sample of
// the stream it holds and find any sample lost, repeated or changed on the way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vorn::audio {

struct ToneFormat {
  uint32_t rate = 48000;    // frames per second
  uint32_t channels = 2;    // 1 to 8
  uint32_t BytesPerFrame() const { return channels * 2; }
};

struct Tone {
  ToneFormat format;
  // Frequency of each channel in Hz; channel c uses frequency[c % size]. A frequency that
  // shares no factor with the rate (997 Hz at 48000 Hz) repeats its pattern only once a
  // second, so short windows of samples identify their place in the stream.
  std::vector<double> frequency{997.0, 1499.0};
  double amplitude = 0.5;  // of full scale, 0 to 1
  double phase = 0.7853981633974483;  // radians at sample 0 (away from a zero crossing)

  // Sample |n| of channel |c|.
  int16_t Sample(uint64_t n, uint32_t c) const;
  double Frequency(uint32_t c) const;
};

// Writes frames [first, first + frames) of |tone| as interleaved little-endian PCM to |out|
// (frames × bytes per frame bytes).
void RenderTone(const Tone& tone, uint64_t first, uint64_t frames, uint8_t* out);
std::vector<uint8_t> RenderTone(const Tone& tone, uint64_t first, uint64_t frames);

// The 16-bit samples of channel |c| of interleaved PCM of |channels| channels (a trailing
// partial frame is left out).
std::vector<int16_t> ChannelSamples(const uint8_t* pcm, size_t bytes, uint32_t channels,
                                    uint32_t c);

}  // namespace vorn::audio
