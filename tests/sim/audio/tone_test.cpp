// The test tone and its analysis: a stream damaged in a known way is read back with exactly
// that damage, and a whole one with none.
#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <random>

#include "sim/audio/tone.h"
#include "sim/audio/tone_analysis.h"

namespace vorn::audio {
namespace {

Tone StereoTone() {
  Tone t;
  t.format = {48000, 2};
  t.frequency = {997.0, 1499.0};
  t.amplitude = 0.5;
  return t;
}

std::vector<int16_t> ToneSamples(const Tone& t, uint32_t c, uint64_t first, uint64_t count) {
  std::vector<int16_t> out;
  for (uint64_t n = first; n < first + count; ++n) out.push_back(t.Sample(n, c));
  return out;
}

TEST(Tone, RepeatsOncePerSecondAndInterleavesItsChannels) {
  const Tone t = StereoTone();
  for (uint64_t n : {0ull, 1ull, 4799ull, 47999ull, 123456789ull})
    for (uint32_t c = 0; c < 2; ++c) EXPECT_EQ(t.Sample(n, c), t.Sample(n + 48000, c)) << n;
  // Neighbouring samples differ (no stuck output) and the two channels are different tones.
  EXPECT_NE(t.Sample(10, 0), t.Sample(11, 0));
  EXPECT_NE(ToneSamples(t, 0, 0, 64), ToneSamples(t, 1, 0, 64));

  const std::vector<uint8_t> pcm = RenderTone(t, 1000, 480);
  ASSERT_EQ(pcm.size(), 480u * 4);
  EXPECT_EQ(ChannelSamples(pcm.data(), pcm.size(), 2, 0), ToneSamples(t, 0, 1000, 480));
  EXPECT_EQ(ChannelSamples(pcm.data(), pcm.size(), 2, 1), ToneSamples(t, 1, 1000, 480));
  // A trailing partial frame and a channel out of range give nothing more.
  EXPECT_EQ(ChannelSamples(pcm.data(), 7, 2, 0).size(), 1u);
  EXPECT_TRUE(ChannelSamples(pcm.data(), pcm.size(), 2, 2).empty());
}

// A stream built from pieces of the tone, silence and stray samples, and what the analysis
// must find in it.
struct DamageCase {
  const char* name;
  uint64_t leading_zeros;
  uint64_t first;
  int64_t jump_at;        // after this many tone samples the tone jumps (-1: never)
  int64_t jump;           // by this many samples: > 0 lost, < 0 repeated
  uint64_t silence_at;    // after this many tone samples a run of zeros (0: none)
  uint64_t silence;
  uint64_t changed_at;    // a sample replaced by a stray value (0: none)
  uint64_t trailing_zeros;
};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.name; }

class ToneDamage : public testing::TestWithParam<DamageCase> {};

TEST_P(ToneDamage, IsFoundAsItWasMade) {
  const DamageCase& c = GetParam();
  const Tone t = StereoTone();
  constexpr uint64_t kLength = 48000;
  std::vector<int16_t> s(c.leading_zeros, 0);
  uint64_t n = c.first;
  for (uint64_t i = 0; i < kLength; ++i) {
    if (c.jump_at >= 0 && i == static_cast<uint64_t>(c.jump_at))
      n = static_cast<uint64_t>(static_cast<int64_t>(n) + c.jump);
    if (c.silence_at && i == c.silence_at) s.insert(s.end(), c.silence, 0);
    int16_t v = t.Sample(n++, 0);
    if (c.changed_at && i == c.changed_at) v = static_cast<int16_t>(v ^ 0x1234);
    s.push_back(v);
  }
  s.insert(s.end(), c.trailing_zeros, 0);

  const ToneAnalysis a = AnalyseTone(t, 0, s);
  ASSERT_TRUE(a.found);
  EXPECT_EQ(a.leading_silence, c.leading_zeros);
  EXPECT_EQ(a.trailing_silence, c.trailing_zeros);
  EXPECT_EQ(a.first_index, c.first % 48000);
  EXPECT_EQ(a.lost, c.jump > 0 ? static_cast<uint64_t>(c.jump) : 0u);
  EXPECT_EQ(a.repeated, c.jump < 0 ? static_cast<uint64_t>(-c.jump) : 0u);
  EXPECT_EQ(a.silence_runs, c.silence ? 1u : 0u);
  EXPECT_EQ(a.silence_samples, c.silence);
  EXPECT_EQ(a.changed, c.changed_at ? 1u : 0u);
  EXPECT_EQ(a.drift_samples, static_cast<int64_t>(c.silence) - c.jump);
  EXPECT_EQ(a.Whole(), c.jump == 0 && !c.changed_at);
  EXPECT_NEAR(a.frequency_hz, 997.0, 0.05);
  EXPECT_NEAR(a.level_dbfs, SineLevelDbfs(0.5), 0.05);
  EXPECT_NEAR(a.peak, 0.5, 0.001);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, ToneDamage,
    testing::Values(DamageCase{"whole", 0, 0, -1, 0, 0, 0, 0, 0},
                    DamageCase{"late_start_with_silence_around", 1920, 31337, -1, 0, 0, 0, 0, 777},
                    DamageCase{"five_lost", 0, 0, 20000, 5, 0, 0, 0, 0},
                    DamageCase{"ring_of_lost", 100, 12, 30000, 9600, 0, 0, 0, 0},
                    DamageCase{"seven_repeated", 0, 500, 10000, -7, 0, 0, 0, 0},
                    DamageCase{"preload_of_silence", 0, 0, -1, 0, 24000, 1920, 0, 0},
                    DamageCase{"one_changed", 0, 0, -1, 0, 0, 0, 4242, 0}),
    [](const testing::TestParamInfo<DamageCase>& i) { return std::string(i.param.name); });

TEST(ToneAnalysis, ScaledToneMatchesOnlyWithItsGain) {
  const Tone t = StereoTone();
  std::vector<int16_t> s = ToneSamples(t, 1, 0, 9600);
  for (int16_t& v : s) v = static_cast<int16_t>((int32_t{v} * 0x8000) >> 16);
  const ToneAnalysis scaled = AnalyseTone(t, 1, s, 0x8000);
  EXPECT_TRUE(scaled.Whole());
  EXPECT_NEAR(scaled.level_dbfs, SineLevelDbfs(0.25), 0.05);
  EXPECT_NEAR(scaled.frequency_hz, 1499.0, 0.05);
  // Read as the unscaled tone, the same stream holds no tone at all.
  EXPECT_FALSE(AnalyseTone(t, 1, s).found);
}

TEST(ToneAnalysis, NoiseAndSilenceHoldNoTone) {
  const Tone t = StereoTone();
  std::mt19937 random(7);
  std::vector<int16_t> noise(20000);
  for (int16_t& v : noise) v = static_cast<int16_t>(random());
  EXPECT_FALSE(AnalyseTone(t, 0, noise).found);
  const ToneAnalysis quiet = AnalyseTone(t, 0, std::vector<int16_t>(5000, 0));
  EXPECT_FALSE(quiet.found);
  EXPECT_EQ(quiet.leading_silence, 5000u);
  EXPECT_FALSE(AnalyseTone(t, 0, {}).found);
}

}  // namespace
}  // namespace vorn::audio
