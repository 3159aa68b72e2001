// Reads one channel of a received stream against the tone it should carry: where the tone
// starts, every sample lost, repeated or changed on the way, every run of silence put in,
// and the frequency and level of what came. A sample is placed by a window of samples around
// it, matched against the tone's own samples, so the analysis needs no time stamps.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/audio/tone.h"

namespace vorn::audio {

struct ToneAnalysis {
  bool found = false;          // the tone appears at all
  uint64_t samples = 0;        // samples read
  uint64_t leading_silence = 0;   // zero samples before the tone begins
  uint64_t trailing_silence = 0;  // zero samples after its last sample
  uint64_t first_index = 0;    // the tone's sample number of the first sample received
  uint64_t matched = 0;        // samples equal to the tone's sample at their place
  uint64_t lost = 0;           // tone samples that never came
  uint64_t repeated = 0;       // tone samples that came again
  uint64_t changed = 0;        // samples that match no place of the tone
  uint64_t silence_runs = 0;   // runs of zero samples inside the tone
  uint64_t silence_samples = 0;
  // How far the stream slipped against the tone: silence put in and samples repeated, less
  // samples lost. Zero for a stream that came whole.
  int64_t drift_samples = 0;
  double frequency_hz = 0;     // from the zero crossings of the longest unbroken stretch
  double level_dbfs = -200;    // RMS of the samples outside silence (a full-scale sine: -3.01)
  double peak = 0;             // the largest magnitude, of full scale

  bool Whole() const { return found && lost == 0 && repeated == 0 && changed == 0; }
  std::string Summary(uint32_t rate) const;
};

// |gain_q16| scales the tone's samples as the render path does ((s × gain) >> 16) before
// they are compared; 0x10000 compares them unchanged.
ToneAnalysis AnalyseTone(const Tone& tone, uint32_t channel, const std::vector<int16_t>& samples,
                         int32_t gain_q16 = 0x10000);

// The tone's level in dBFS as AnalyseTone measures it, for a tone of |amplitude|.
double SineLevelDbfs(double amplitude);

}  // namespace vorn::audio
