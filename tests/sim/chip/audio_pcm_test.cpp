// The chip's speaker and microphone: what the host sends as audio is played in order, an
// audio header with more than its lengths set is counted, and the microphone's tone reaches the host whole,
// paced by the clock, until the host stops reading.
#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <vector>

#include "platform/nt/clock.h"
#include "protocol/bus_message.h"
#include "sim/audio/tone_analysis.h"
#include "sim/chip/audio_pcm_source.h"
#include "sim/chip/chip.h"

namespace vorn::chip {
namespace {

constexpr auto kRealBound = std::chrono::seconds(30);

std::vector<uint8_t> AudioMessage(const std::vector<uint8_t>& pcm, uint32_t address = 0,
                                  uint8_t type_specific = 0) {
  protocol::BusMessageHeader h;
  h.Type = 3;
  h.TotalLength = static_cast<uint32_t>(pcm.size());
  h.Address = address;
  h.Slice.SliceLength = h.TotalLength;
  h.TypeSpecific[7] = type_specific;
  std::vector<uint8_t> out(32);
  protocol::EncodeBusMessageHeader(h, out);
  out.insert(out.end(), pcm.begin(), pcm.end());
  return out;
}

usb::TransferStatus BulkOut(Chip& chip, std::vector<uint8_t> data) {
  usb::Transfer t;
  t.endpoint = kEndpointBulkOut;
  t.buffer = data.data();
  t.length = static_cast<uint32_t>(data.size());
  return usb::RunSync(chip, t, kRealBound);
}

struct SinkCase {
  const char* name;
  uint32_t address;
  uint8_t type_specific;
  bool plain;
};
void PrintTo(const SinkCase& c, std::ostream* os) { *os << c.name; }

class AudioSink : public testing::TestWithParam<SinkCase> {};

TEST_P(AudioSink, PlaysAudioMessagesInOrderAndCountsIrregularHeaders) {
  const SinkCase& c = GetParam();
  Chip chip(ChipProfile{});
  chip.UseStationBulkOut(true);
  const std::vector<uint8_t> first(192, 0x11), second(96, 0x22);
  ASSERT_EQ(BulkOut(chip, AudioMessage(first)), usb::TransferStatus::kSuccess);
  ASSERT_EQ(BulkOut(chip, AudioMessage(second, c.address, c.type_specific)),
            usb::TransferStatus::kSuccess);
  // A network message on another channel is nothing the speaker plays.
  std::vector<uint8_t> network = AudioMessage(std::vector<uint8_t>(64, 0x33));
  network[0] = 2;
  ASSERT_EQ(BulkOut(chip, network), usb::TransferStatus::kSuccess);
  std::vector<uint8_t> expected = first;
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(chip.audio_out().Played(), expected);
  EXPECT_EQ(chip.audio_out().PlayedBytes(), expected.size());
  EXPECT_EQ(chip.audio_out().MessageLengths(), (std::vector<uint32_t>{192, 96}));
  EXPECT_EQ(chip.audio_out().IrregularHeaders(), c.plain ? 0u : 1u);
  EXPECT_EQ(chip.violations().Count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Headers, AudioSink,
                         testing::Values(SinkCase{"plain", 0, 0, true},
                                         SinkCase{"address_set", 0x1000, 0, false},
                                         SinkCase{"type_bytes_set", 0, 1, false}),
                         [](const testing::TestParamInfo<SinkCase>& i) {
                           return std::string(i.param.name);
                         });

// Reads bulk IN messages off the chip until |frames| frames of payload have come.
std::vector<uint8_t> ReadCaptured(Chip& chip, size_t bytes, std::vector<uint32_t>* types) {
  std::vector<uint8_t> pcm;
  std::vector<uint8_t> buffer(64 * 1024);
  while (pcm.size() < bytes) {
    usb::Transfer header;
    header.endpoint = kEndpointBulkIn;
    header.buffer = buffer.data();
    header.length = 32;
    if (usb::RunSync(chip, header, kRealBound) != usb::TransferStatus::kSuccess) break;
    types->push_back(protocol::LoadLe32(buffer.data()));
    uint32_t left = protocol::LoadLe32(buffer.data() + 4);
    while (left) {
      usb::Transfer body;
      body.endpoint = kEndpointBulkIn;
      body.buffer = buffer.data();
      body.length = std::min<uint32_t>(left, static_cast<uint32_t>(buffer.size()));
      if (usb::RunSync(chip, body, kRealBound) != usb::TransferStatus::kSuccess) return pcm;
      pcm.insert(pcm.end(), buffer.begin(), buffer.begin() + body.actual);
      left -= body.actual;
    }
  }
  return pcm;
}

TEST(AudioSource, SendsTheToneWholeAsTheClockRuns) {
  // Fast, but with room for the reader here to fall behind on a loaded machine: the chip
  // keeps 64 messages (2.5 s of clock time) for it.
  clock::ScopedSpeed fast(10);
  Chip chip(ChipProfile{});
  AudioPcmSource mic(chip);
  AudioSourceSettings s;
  s.tone.format = {48000, 2};
  ASSERT_TRUE(mic.Start(s));
  EXPECT_FALSE(mic.Start(s));  // once
  std::vector<uint32_t> types;
  const size_t two_seconds = 2 * 48000 * 4;
  const std::vector<uint8_t> pcm = ReadCaptured(chip, two_seconds, &types);
  mic.Stop();
  ASSERT_GE(pcm.size(), two_seconds);
  for (uint32_t t : types) EXPECT_EQ(t, 0x83u);
  for (uint32_t c = 0; c < 2; ++c) {
    const audio::ToneAnalysis a =
        audio::AnalyseTone(s.tone, c, audio::ChannelSamples(pcm.data(), pcm.size(), 2, c));
    EXPECT_TRUE(a.Whole()) << a.Summary(48000);
    EXPECT_EQ(a.first_index, 0u);
    EXPECT_EQ(a.silence_runs, 0u);
  }
  EXPECT_EQ(mic.LostFrames(), 0u);
  EXPECT_GE(mic.CapturedFrames(), pcm.size() / 4);
}

TEST(AudioSource, LosesWhatAHostThatStopsReadingLeavesBehind) {
  clock::ScopedSpeed fast(100);
  Chip chip(ChipProfile{});
  AudioPcmSource mic(chip);
  AudioSourceSettings s;
  s.tone.format = {44100, 1};
  ASSERT_TRUE(mic.Start(s));
  const auto deadline = std::chrono::steady_clock::now() + kRealBound;
  while (mic.LostFrames() == 0 && std::chrono::steady_clock::now() < deadline)
    clock::SleepFor(std::chrono::milliseconds(1));
  mic.Stop();
  EXPECT_GT(mic.LostFrames(), 0u);
  EXPECT_EQ(chip.bulk_in().QueuedMessages(), AudioPcmSource::kMaxQueuedMessages);
  EXPECT_EQ(mic.Messages(), AudioPcmSource::kMaxQueuedMessages);
}

// Told to wait for its host, the microphone keeps what it captures due instead: with the
// queue full it sends nothing more and loses nothing while the clock runs on.
TEST(AudioSource, WaitsForAHostThatStopsReadingWhenToldTo) {
  clock::ScopedSpeed fast(100);
  Chip chip(ChipProfile{});
  AudioPcmSource mic(chip);
  AudioSourceSettings s;
  s.tone.format = {44100, 1};
  s.wait_for_host = true;
  ASSERT_TRUE(mic.Start(s));
  const auto deadline = std::chrono::steady_clock::now() + kRealBound;
  auto until = [&](auto done) {
    while (!done() && std::chrono::steady_clock::now() < deadline)
      clock::SleepFor(std::chrono::milliseconds(1));
    return done();
  };
  ASSERT_TRUE(until([&] { return chip.bulk_in().QueuedMessages() == AudioPcmSource::kMaxQueuedMessages; }));
  // Far more than 64 messages' worth of clock time later.
  const int64_t later = clock::NowNs() + 10'000'000'000;
  ASSERT_TRUE(until([&] { return clock::NowNs() > later; }));
  const uint64_t captured = mic.CapturedFrames();
  mic.Stop();
  EXPECT_EQ(mic.LostFrames(), 0u);
  EXPECT_EQ(mic.Messages(), AudioPcmSource::kMaxQueuedMessages);
  EXPECT_LT(captured, 44100u * 64 * 40 / 1000 + 1) << "only what the 64 messages carry";
}

TEST(AudioSource, RefusesSettingsItCannotUse) {
  Chip chip(ChipProfile{});
  AudioPcmSource mic(chip);
  AudioSourceSettings no_rate;
  no_rate.tone.format = {0, 2};
  AudioSourceSettings no_piece;
  no_piece.piece_ms = 0;
  AudioSourceSettings too_many;
  too_many.tone.format = {48000, 9};
  for (const AudioSourceSettings& s : {no_rate, no_piece, too_many}) EXPECT_FALSE(mic.Start(s));
}

}  // namespace
}  // namespace vorn::chip
