// The audio child's streaming on a whole station: render URBs reach the chip as type-3
// messages at once and complete at their start frame; capture URBs take the chip's captured
// audio out of the ring at theirs; restarts, the ring's end, stop, cancel and a failed send.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <thread>
#include <utility>
#include <ostream>

#include "platform/nt/clock.h"
#include "sim/audio/stream_pacer.h"
#include "sim/audio/tone_analysis.h"
#include "sim/chip/audio_pcm_source.h"
#include "tests/station/audio_stream_fixture.h"

namespace vorn::station::testing {
namespace {

constexpr ULONG kPreloadBytes = 7680;  // 40 ms at 48 kHz, 16 bit, stereo
constexpr ULONG kBytesPerMs = 192;
constexpr ULONG kRingBytes = 384000;   // two seconds of the largest format

std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(AudioStreamTest, FirstRenderUrbTakesThePreloadAndCompletesAtItsStartFrame) {
  ASSERT_TRUE(Play());
  clock::ScopedSpeed real_time(1);
  IsoUrb first, second;
  Build(first, Pipe(kRenderEndpoint), false, Counting(1920, 0), 10, kBytesPerMs);
  Build(second, Pipe(kRenderEndpoint), false, Counting(1920, 1920), 10, kBytesPerMs);
  std::optional<HeldClock> held(std::in_place);  // the 15 ms window cannot pass between them
  const ULONG before = Frame();
  Send(first);
  Send(second);
  const ULONG after = Frame();
  held.reset();
  ASSERT_EQ(first.returned, STATUS_PENDING);
  ASSERT_EQ(second.returned, STATUS_PENDING);
  // The stream starts AudioRenderStartOffset (6 ms) after the first URB came.
  EXPECT_GE(first.iso().StartFrame, before + 6);
  EXPECT_LE(first.iso().StartFrame, after + 6);
  EXPECT_EQ(second.iso().StartFrame, first.iso().StartFrame + 10);
  // Both went to the chip at once: the preload's silence in front of the first URB.
  ASSERT_TRUE(WaitFor([&] { return chip_->audio_out().Messages() >= 2; }));
  EXPECT_EQ(chip_->audio_out().MessageLengths(), (std::vector<uint32_t>{kPreloadBytes + 1920, 1920}));
  EXPECT_EQ(chip_->audio_out().Played(),
            Cat(Cat(std::vector<uint8_t>(kPreloadBytes, 0), Counting(1920, 0)), Counting(1920, 1920)));
  EXPECT_EQ(chip_->audio_out().IrregularHeaders(), 0u);
  // Each completes no earlier than its frame.
  EXPECT_EQ(Finish(first), STATUS_SUCCESS);
  const ULONG first_done = Frame();
  EXPECT_EQ(Finish(second), STATUS_SUCCESS);
  EXPECT_GE(first_done, first.iso().StartFrame);
  EXPECT_GE(Frame(), second.iso().StartFrame);
  EXPECT_EQ(first.iso().Hdr.Status, USBD_STATUS_SUCCESS);
}

TEST_F(AudioStreamTest, ARenderUrbMoreThan15msLateRestartsWithANewPreload) {
  ASSERT_TRUE(Play());
  clock::ScopedSpeed real_time(1);
  IsoUrb first, late;
  Build(first, Pipe(kRenderEndpoint), false, Counting(1920, 0), 10, kBytesPerMs);
  Send(first);
  ASSERT_EQ(Finish(first), STATUS_SUCCESS);
  const ULONG expected = first.iso().StartFrame + 10;
  ASSERT_TRUE(WaitFor([&] { return Frame() > expected + 16; }));
  Build(late, Pipe(kRenderEndpoint), false, Counting(1920, 5), 10, kBytesPerMs);
  const ULONG before = Frame();
  Send(late);
  EXPECT_GE(late.iso().StartFrame, before + 6);
  EXPECT_EQ(Finish(late), STATUS_SUCCESS);
  // The URB completes at its frame whether or not the bulk-OUT pipe has delivered its data
  // by then: the chip's second message is waited for, not assumed.
  ASSERT_TRUE(WaitFor([&] { return chip_->audio_out().Messages() >= 2; }));
  EXPECT_EQ(chip_->audio_out().MessageLengths(),
            (std::vector<uint32_t>{kPreloadBytes + 1920, kPreloadBytes + 1920}));
}

TEST_F(AudioStreamTest, RenderDataCrossingTheRingsEndGoesAsTwoMessages) {
  ASSERT_TRUE(Play());
  clock::ScopedSpeed real_time(1);
  // 1000-byte URBs: the preload and 376 of them fill the ring to 383680 bytes; the next one
  // has 320 bytes before the end and 680 from the start.
  constexpr int kUrbs = 378;
  std::deque<IsoUrb> urbs(kUrbs);
  std::vector<uint8_t> sent(kPreloadBytes, 0);
  std::optional<HeldClock> held(std::in_place);  // no restart between the URBs
  for (int i = 0; i < kUrbs; ++i) {
    const std::vector<uint8_t> data = Counting(1000, 1000u * i);
    sent.insert(sent.end(), data.begin(), data.end());
    Build(urbs[i], Pipe(kRenderEndpoint), false, data, 5, 200);
    Send(urbs[i]);
    ASSERT_EQ(urbs[i].returned, STATUS_PENDING) << i;
    // The first message (the preload and the first URB) is sent from the ring itself: it has
    // to be on the chip before the last URB wraps round onto the ring's start, as it would
    // be long before with URBs coming at their pace.
    if (i == 0) {
      ASSERT_TRUE(WaitFor([&] { return chip_->audio_out().PlayedBytes() >= kPreloadBytes + 1000; }));
    }
  }
  held.reset();
  ASSERT_TRUE(WaitFor([&] { return chip_->audio_out().PlayedBytes() >= sent.size(); }));
  std::vector<uint32_t> lengths(1, kPreloadBytes + 1000);
  lengths.insert(lengths.end(), 375, 1000);
  lengths.insert(lengths.end(), {320, 680, 1000});
  EXPECT_EQ(chip_->audio_out().MessageLengths(), lengths);
  const std::vector<uint8_t> played = chip_->audio_out().Played();
  size_t first = 0;
  while (first < played.size() && first < sent.size() && played[first] == sent[first]) ++first;
  EXPECT_TRUE(played == sent) << played.size() << " bytes played, " << sent.size()
                              << " sent, the first difference at " << first;
  for (IsoUrb& u : urbs) EXPECT_EQ(Finish(u), STATUS_SUCCESS);
  static_assert(kPreloadBytes + 376 * 1000 + 320 == kRingBytes);
}

// Every URB in flight ends once: one cancelled by its sender, the rest when the child stops.
TEST_F(AudioStreamTest, StopCancelsTheUrbsStillPendingAndACancelEndsOne) {
  SetByte(u"AudioServiceMode", 2);  // no timer, no threads: nothing completes by itself
  ASSERT_TRUE(Play());
  std::deque<IsoUrb> render(3), capture(3);
  for (IsoUrb& u : render) {
    Build(u, Pipe(kRenderEndpoint), false, Counting(1920, 0), 10, kBytesPerMs);
    Send(u);
    ASSERT_EQ(u.returned, STATUS_PENDING);
  }
  for (IsoUrb& u : capture) {
    Build(u, Pipe(kCaptureEndpoint), true, std::vector<uint8_t>(3840), 10, 384);
    Send(u);
    ASSERT_EQ(u.returned, STATUS_PENDING);
  }
  IoCancelIrp(render[1].irp);
  EXPECT_EQ(Finish(render[1]), STATUS_CANCELLED);
  EXPECT_EQ(render[1].iso().Hdr.Status, USBD_STATUS_CANCELED);
  EXPECT_FALSE(render[0].Done());
  EXPECT_FALSE(capture[0].Done());
  EXPECT_EQ(InterlockedRead(&Module()->Queues[kAudioRenderUrb].PendingCount), 2);
  EXPECT_EQ(InterlockedRead(&Module()->Queues[kAudioCaptureUrb].PendingCount), 3);
  // The adapter leaves: the child stops and every URB it held ends cancelled.
  bus_->Detach(*chip_);
  for (IsoUrb* u : {&render[0], &render[2], &capture[0], &capture[1], &capture[2]})
    EXPECT_EQ(Finish(*u), STATUS_CANCELLED);
  devices_.clear();
}

TEST_F(AudioStreamTest, AFailedRenderSendLeavesTheChildGone) {
  ASSERT_TRUE(Play());
  chip_->script().OnEndpoint(0x02, {chip::ScriptKind::kFail, chip::ScriptAction::kForever});
  IsoUrb first;
  Build(first, Pipe(kRenderEndpoint), false, Counting(1920, 0), 10, kBytesPerMs);
  Send(first);
  ASSERT_TRUE(WaitFor([&] { return ReadFlag(Module()->Gone) != 0; }));
  chip_->script().Clear();
  for (bool in : {false, true}) {
    IsoUrb later;
    Build(later, Pipe(in ? kCaptureEndpoint : kRenderEndpoint), in,
          std::vector<uint8_t>(in ? 3840 : 1920), 10, in ? 384 : kBytesPerMs);
    Send(later);
    EXPECT_EQ(Finish(later), STATUS_DEVICE_NOT_CONNECTED) << in;
    EXPECT_EQ(later.iso().Hdr.Status, USBD_STATUS_DEVICE_GONE) << in;
  }
  Finish(first);
}

struct PacketCase {
  const char* name;
  uint32_t rate;
  ULONG buffer, packets, spacing;
  std::vector<ULONG> lengths;  // expected; empty: the URB is refused
  USHORT short_by = 0;         // the URB's Length this much below its packets' end
};
void PrintTo(const PacketCase& c, std::ostream* os) { *os << c.name; }

class CapturePackets : public AudioStreamTest, public ::testing::WithParamInterface<PacketCase> {};

TEST_P(CapturePackets, AreLaidOverTheCallersPackets) {
  const PacketCase& c = GetParam();
  AudioMachineOptions o = OneChild();
  o.capture = chip::CaptureSetup({48000, 44100});
  ASSERT_TRUE(Play(o, c.rate));
  IsoUrb u;
  Build(u, Pipe(kCaptureEndpoint), true, std::vector<uint8_t>(c.buffer, 0xEE), c.packets, c.spacing);
  for (ULONG i = 0; i < c.packets; ++i) u.iso().IsoPacket[i].Length = 999;
  u.iso().Hdr.Length = static_cast<USHORT>(u.iso().Hdr.Length - c.short_by);
  if (c.name == std::string("offsets_backwards")) u.iso().IsoPacket[2].Offset = 10;
  Send(u);
  const NTSTATUS status = Finish(u);
  if (c.lengths.empty()) {
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(u.iso().Hdr.Status, USBD_STATUS_INVALID_PARAMETER);
    return;
  }
  EXPECT_EQ(status, STATUS_SUCCESS);
  ULONG sum = 0;
  for (ULONG i = 0; i < c.packets; ++i) {
    EXPECT_EQ(u.iso().IsoPacket[i].Length, c.lengths[i]) << i;
    EXPECT_EQ(u.iso().IsoPacket[i].Status, USBD_STATUS_SUCCESS) << i;
    sum += c.lengths[i];
  }
  EXPECT_EQ(u.iso().TransferBufferLength, sum);
}

std::vector<ULONG> Lengths(std::initializer_list<std::pair<ULONG, ULONG>> runs) {
  std::vector<ULONG> out;
  for (auto [count, length] : runs) out.insert(out.end(), count, length);
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Urbs, CapturePackets,
    ::testing::Values(
        PacketCase{"s48k_ten_packets", 48000, 3840, 10, 384, Lengths({{10, 192}})},
        PacketCase{"s44k1_last_takes_the_rest", 44100, 2000, 10, 200, Lengths({{9, 176}, {1, 180}})},
        PacketCase{"leftover_packets_emptied", 48000, 3840, 20, 192, Lengths({{10, 192}, {10, 0}})},
        PacketCase{"urb_shorter_than_its_packets", 48000, 3840, 10, 384, {}, 12},
        PacketCase{"offsets_backwards", 48000, 3840, 10, 384, {}}),
    [](const ::testing::TestParamInfo<PacketCase>& i) { return std::string(i.param.name); });

// What came back in the packets of completed capture URBs, in order.
struct Collected {
  std::mutex lock;
  std::vector<uint8_t> pcm;
  uint64_t failed = 0;
  void Add(const uint8_t* buffer, const USBD_ISO_PACKET_DESCRIPTOR* p, uint32_t n, NTSTATUS status) {
    std::lock_guard<std::mutex> guard(lock);
    if (!NT_SUCCESS(status)) {
      ++failed;
      return;
    }
    for (uint32_t i = 0; i < n; ++i) pcm.insert(pcm.end(), buffer + p[i].Offset, buffer + p[i].Offset + p[i].Length);
  }
  size_t Size() {
    std::lock_guard<std::mutex> guard(lock);
    return pcm.size();
  }
  std::vector<uint8_t> Copy() {
    std::lock_guard<std::mutex> guard(lock);
    return pcm;
  }
};

// Tones streamed through the child by the audio class client's isochronous streaming, with
// the clock paced by the streams (a clock that waits for them), so that no run depends on
// the machine keeping up: nothing may be lost, repeated or changed, and no URB comes late.
struct ToneCase {
  const char* name;
  double speed;
  UCHAR service_mode;
  bool render, capture;
  int32_t drift_ppm;      // of the microphone
  double seconds;         // of audio each way
  bool silence_expected;  // the reader catches up with a slow microphone
};
void PrintTo(const ToneCase& c, std::ostream* os) { *os << c.name; }

class ToneRoad : public AudioStreamTest, public ::testing::WithParamInterface<ToneCase> {
 protected:
  usb::IsochStreamSettings Streaming(uint8_t endpoint) {
    usb::IsochStreamSettings s;
    s.target = pdo_;
    s.pipe = Pipe(endpoint);
    s.in = endpoint == kCaptureEndpoint;
    s.depth = 32;
    s.lead_ms = 300;  // above the 100 ms a timer period spans on the fastest clock here
    s.query_bus_time = [this](ULONG* f) { return device_->QueryBusTime(f); };
    return s;
  }

  // Waits until |done|; gives up only when |progress| has stood still for 30 s of real time,
  // however long the whole run takes on a loaded machine.
  template <class Done, class Progress>
  static bool WaitWhileMoving(Done done, Progress progress) {
    auto last = progress();
    auto moved = std::chrono::steady_clock::now();
    while (!done()) {
      const auto now = progress();
      if (now != last) {
        last = now;
        moved = std::chrono::steady_clock::now();
      } else if (std::chrono::steady_clock::now() - moved > std::chrono::seconds(30)) {
        return done();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  static void ExpectTone(const char* what, const audio::Tone& tone, const std::vector<uint8_t>& pcm,
                         std::vector<audio::ToneAnalysis>* out) {
    for (uint32_t ch = 0; ch < 2; ++ch) {
      const audio::ToneAnalysis a =
          audio::AnalyseTone(tone, ch, audio::ChannelSamples(pcm.data(), pcm.size(), 2, ch));
      EXPECT_TRUE(a.Whole()) << what << ": " << a.Summary(48000);
      EXPECT_NEAR(a.frequency_hz, tone.Frequency(ch), 0.5) << what << ": " << a.Summary(48000);
      EXPECT_NEAR(a.level_dbfs, audio::SineLevelDbfs(0.5), 0.1) << what << ": " << a.Summary(48000);
      out->push_back(a);
    }
  }
};

TEST_P(ToneRoad, ComesThroughWholeWithItsFrequencyAndLevel) {
  const ToneCase& c = GetParam();
  SetByte(u"AudioServiceMode", c.service_mode);
  ASSERT_TRUE(Play());
  clock::ScopedSpeed speed(c.speed);
  audio::Tone tone;
  tone.format = {48000, 2};
  chip::AudioPcmSource mic(*chip_);
  audio::StreamPacer pacer;
  audio::StreamPaceSettings pace;
  pace.frame = [this] { return Frame(); };
  if (c.render) {
    pace.render = &render_;
    pace.speaker = &chip_->audio_out();
    pace.render_bytes_per_ms = kBytesPerMs;
    pace.render_preload_bytes = kPreloadBytes;
  }
  if (c.capture) pace.capture = &capture_;
  ASSERT_TRUE(pacer.Start(pace));

  uint64_t frames = 0;
  usb::IsochStreamSettings r = Streaming(kRenderEndpoint);
  r.source = [&](uint8_t* buffer, uint32_t bytes) {
    audio::RenderTone(tone, frames, bytes / 4, buffer);
    frames += bytes / 4;
  };
  chip::AudioSourceSettings m;
  m.tone = tone;
  m.drift_ppm = c.drift_ppm;
  m.wait_for_host = true;  // the paced clock cannot wait for the station's reads
  Collected got;
  usb::IsochStreamSettings k = Streaming(kCaptureEndpoint);
  k.sink = [&](const uint8_t* b, const USBD_ISO_PACKET_DESCRIPTOR* p, uint32_t n, NTSTATUS st) {
    got.Add(b, p, n, st);
  };
  ASSERT_TRUE(!c.render || render_.Start(r));
  ASSERT_TRUE(!c.capture || (mic.Start(m) && capture_.Start(k)));

  const uint64_t wanted = static_cast<uint64_t>(c.seconds * 48000) * 4;
  const auto played = [&] { return c.render ? chip_->audio_out().PlayedBytes() : wanted; };
  const auto captured = [&] { return c.capture ? uint64_t{got.Size()} : wanted; };
  // With a slow microphone the reader catches up with the writer once the microphone has
  // fallen a preload behind; when that comes depends on how far behind the reader itself ran,
  // so the recording goes on until the first run of silence is in it (looked for once more
  // each second of audio).
  uint64_t looked_at = 0;
  bool silence_seen = !c.silence_expected;
  const auto caught_up = [&] {
    if (silence_seen || captured() < looked_at + 48000 * 4) return silence_seen;
    const std::vector<uint8_t> pcm = got.Copy();
    looked_at = pcm.size();
    silence_seen = audio::AnalyseTone(tone, 0, audio::ChannelSamples(pcm.data(), pcm.size(), 2, 0))
                       .silence_runs > 0;
    return silence_seen;
  };
  EXPECT_TRUE(WaitWhileMoving(
      [&] { return played() >= wanted && captured() >= wanted && caught_up(); },
      [&] { return std::make_pair(played(), captured()); }))
      << played() << " played, " << captured() << " captured of " << wanted << "; "
      << pacer.Describe();
  // The clients stop on the paced clock: a free clock would make their last URBs late.
  render_.Stop();
  capture_.Stop();
  mic.Stop();
  pacer.Stop();

  std::vector<audio::ToneAnalysis> a;
  if (c.render) {
    EXPECT_EQ(render_.Counts().late, 0u);
    EXPECT_EQ(render_.Counts().failed, 0u);
    EXPECT_EQ(chip_->audio_out().IrregularHeaders(), 0u);
    ExpectTone("played", tone, chip_->audio_out().Played(), &a);
    for (const audio::ToneAnalysis& p : a) {
      // One preload in front, and no restart after it.
      EXPECT_EQ(p.first_index, 0u);
      EXPECT_EQ(p.leading_silence, kPreloadBytes / 4) << p.Summary(48000);
      EXPECT_EQ(p.silence_runs, 0u) << p.Summary(48000);
    }
    a.clear();
  }
  if (c.capture) {
    EXPECT_EQ(capture_.Counts().late, 0u);
    EXPECT_EQ(got.failed, capture_.Counts().cancelled) << "only the URBs the stop cancelled fail";
    ExpectTone("recorded", tone, got.pcm, &a);
    for (const audio::ToneAnalysis& p : a) {
      if (c.silence_expected) {
        EXPECT_GT(p.silence_runs, 0u) << p.Summary(48000);
      }
      // The reader starts one preload behind the writer.
      EXPECT_GE(p.leading_silence, 1920u) << p.Summary(48000);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, ToneRoad,
    ::testing::Values(ToneCase{"capture_timer_real_time", 1, 1, false, true, 0, 1.5, false},
                      ToneCase{"capture_threads_real_time", 1, 0, false, true, 0, 1.5, false},
                      ToneCase{"capture_slow_microphone", 4, 1, false, true, -10000, 8, true},
                      ToneCase{"capture_fast_microphone", 4, 1, false, true, 10000, 8, false},
                      ToneCase{"render_real_time", 1, 1, true, false, 0, 4, false},
                      // A minute each way at once on the 100x clock: the rings wrap thirty times.
                      ToneCase{"both_a_minute_on_the_fast_clock", 100, 1, true, true, 0, 60, false}),
    [](const ::testing::TestParamInfo<ToneCase>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace vorn::station::testing

namespace vorn::station::testing {
namespace {

// The software gain reaches the chip for 16-bit stereo; a stream of another channel count
// goes out as it came instead of leaving the ring's earlier bytes in the message.
struct GainCase {
  const char* name;
  uint8_t channels;
  bool scaled;
};
void PrintTo(const GainCase& c, std::ostream* os) { *os << c.name; }
class RenderGain : public AudioStreamTest, public ::testing::WithParamInterface<GainCase> {};

TEST_P(RenderGain, IsAppliedWhereItIsDefined) {
  const GainCase& c = GetParam();
  AudioMachineOptions o = OneChild();
  o.sw_volume = 1;  // logarithmic software gain
  o.render.formats = {{48000, 16, c.channels}};
  ASSERT_TRUE(Play(o));
  clock::ScopedSpeed real_time(1);
  for (uint8_t ch = 1; ch <= c.channels; ++ch)
    ASSERT_EQ(device_->SetVolume(kRenderFeatureUnit, ch, -1536), STATUS_SUCCESS);  // -6 dB
  const std::vector<uint8_t> data = Counting(1920, 3);
  IsoUrb u;
  Build(u, Pipe(kRenderEndpoint), false, data, 10, 192);
  Send(u);
  ASSERT_EQ(Finish(u), STATUS_SUCCESS);
  const ULONG preload = 48000u * 2 * c.channels * 40 / 1000;
  ASSERT_TRUE(WaitFor([&] { return chip_->audio_out().PlayedBytes() >= preload + data.size(); }));
  const std::vector<uint8_t> played = chip_->audio_out().Played();
  ASSERT_EQ(played.size(), preload + data.size());
  std::vector<uint8_t> expected = data;
  if (c.scaled) {
    for (size_t i = 0; i + 1 < expected.size(); i += 2) {
      const int16_t v = static_cast<int16_t>(expected[i] | expected[i + 1] << 8);
      const uint16_t g = static_cast<uint16_t>(static_cast<int16_t>((int32_t{v} * 32845) >> 16));
      expected[i] = static_cast<uint8_t>(g);
      expected[i + 1] = static_cast<uint8_t>(g >> 8);
    }
  }
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), played.begin() + preload));
}

INSTANTIATE_TEST_SUITE_P(Formats, RenderGain,
                         ::testing::Values(GainCase{"stereo_scaled", 2, true},
                                           GainCase{"mono_at_unity", 1, false},
                                           GainCase{"four_channels_at_unity", 4, false}),
                         [](const ::testing::TestParamInfo<GainCase>& i) {
                           return std::string(i.param.name);
                         });

}  // namespace
}  // namespace vorn::station::testing
