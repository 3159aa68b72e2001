#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "sim/audio/wav_writer.h"

namespace vorn::audio {
namespace {

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint16_t Le16(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

TEST(WavWriter, HeaderDescribesThePcmThatFollows) {
  std::vector<uint8_t> pcm(1922);  // 480 stereo frames and half a frame more
  for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<uint8_t>(i * 7);
  const std::vector<uint8_t> f = WavFile({48000, 2, 16}, pcm.data(), pcm.size());
  ASSERT_EQ(f.size(), 44u + 1920u);
  EXPECT_EQ(std::string(f.begin(), f.begin() + 4), "RIFF");
  EXPECT_EQ(Le32(f, 4), 36u + 1920u);
  EXPECT_EQ(std::string(f.begin() + 8, f.begin() + 16), "WAVEfmt ");
  EXPECT_EQ(Le32(f, 16), 16u);
  EXPECT_EQ(Le16(f, 20), 1u);       // PCM
  EXPECT_EQ(Le16(f, 22), 2u);       // channels
  EXPECT_EQ(Le32(f, 24), 48000u);   // rate
  EXPECT_EQ(Le32(f, 28), 192000u);  // bytes per second
  EXPECT_EQ(Le16(f, 32), 4u);       // block align
  EXPECT_EQ(Le16(f, 34), 16u);
  EXPECT_EQ(std::string(f.begin() + 36, f.begin() + 40), "data");
  EXPECT_EQ(Le32(f, 40), 1920u);
  EXPECT_TRUE(std::equal(pcm.begin(), pcm.begin() + 1920, f.begin() + 44));
}

TEST(WavWriter, UnusableFormatsGiveNoFile) {
  const uint8_t pcm[4] = {};
  for (const WavFormat& f : {WavFormat{0, 2, 16}, WavFormat{48000, 0, 16}, WavFormat{48000, 2, 12},
                             WavFormat{48000, 2, 40}, WavFormat{48000, 2, 0}})
    EXPECT_TRUE(WavFile(f, pcm, sizeof pcm).empty()) << f.rate << "/" << f.channels << "/" << f.bits;
  EXPECT_FALSE(WriteWav(testing::TempDir() + "bad.wav", {48000, 2, 12}, pcm, sizeof pcm));
  // No data at all is still a file: a header that says so.
  EXPECT_EQ(WavFile({44100, 1, 16}, nullptr, 0).size(), 44u);
}

TEST(WavWriter, WritesTheFileWhole) {
  std::vector<uint8_t> pcm(4000, 0x5A);
  const std::string path = testing::TempDir() + "tone.wav";
  ASSERT_TRUE(WriteWav(path, {44100, 1, 16}, pcm.data(), pcm.size()));
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> back((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(back, WavFile({44100, 1, 16}, pcm.data(), pcm.size()));
  std::remove(path.c_str());
  EXPECT_FALSE(WriteWav("/nonexistent-dir/x.wav", {44100, 1, 16}, pcm.data(), pcm.size()));
}

}  // namespace
}  // namespace vorn::audio
