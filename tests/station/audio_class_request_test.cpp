// The class requests of the audio and microphone children, sent by the audio class client:
// render volume in its three modes, mute, capture volume, the sampling rate reaching the chip
// as stream states, interface selection, and the requests the children refuse.
#include <gtest/gtest.h>

#include "tests/station/audio_child_fixture.h"

namespace vorn::station::testing {
namespace {

constexpr uint8_t kRenderUnit = 9;
constexpr uint8_t kCaptureUnit = 10;
constexpr uint8_t kGetCur = 0x81, kGetMin = 0x82, kGetMax = 0x83, kGetRes = 0x84;

// Render volume: one row per value the class driver may send, with what each mode makes of it.
struct VolumeRow {
  int16_t sent;
  int16_t kept;  // GET_CUR afterwards: the value clamped to the announced -96..0 dB
  LONG log_gain, linear_gain;
  LONG step;
};
const VolumeRow kVolumeRows[] = {
    {-1536, -1536, 32845, 61440, 15},         // -6 dB
    {-256, -256, 58409, 64853, 27},           // -1 dB
    {0, 0, 0x10000, 0x10000, 31},             // 0 dB
    {-0x3000, -0x3000, 260, 32768, 0},        // -48 dB
    {-0x6000, -0x6000, 0, 0, 0},              // -96 dB, the announced minimum
    {-32513, -0x6000, 0, 0, 0},               // below -127 dB: clamped, not full volume
    {0x0600, 0, 0x10000, 0x10000, 31},        // +6 dB: clamped, no wrapped gain
    {0x7FFF, 0, 0x10000, 0x10000, 31},
};

struct ModeCase {
  const char* name;
  UCHAR sw_volume;
  bool chip_steps;
  bool linear;
};
void PrintTo(const ModeCase& c, std::ostream* os) { *os << c.name; }

class AudioVolumeModeTest : public AudioMachineTest, public ::testing::WithParamInterface<ModeCase> {
 protected:
  void StartRenderOnly() {
    AudioMachineOptions o;
    o.sw_volume = GetParam().sw_volume;
    o.standalone_mic = 1;  // the audio child keeps render only
    ASSERT_NO_FATAL_FAILURE(Start(o));
    device_ = Open(kAudioChildId);
    ASSERT_NE(device_, nullptr);
    audio_ = ModuleOf(ChildPdo(kAudioChildId));
  }
  usb::AudioClassDevice* device_ = nullptr;
  AudioChild* audio_ = nullptr;
};

TEST_P(AudioVolumeModeTest, EachVolumeBecomesTheModesGainOrChipStep) {
  const ModeCase& m = GetParam();
  ASSERT_NO_FATAL_FAILURE(StartRenderOnly());
  // In the gain modes the chip is set once, at creation, to the unit's own level.
  auto writes = FeatureWrites();
  if (m.chip_steps) {
    EXPECT_TRUE(writes.empty());
  } else {
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].unit, 0);
    EXPECT_EQ(writes[0].Mask(), 0x03);
    EXPECT_EQ(writes[0].Value(0), 31);
    EXPECT_EQ(writes[0].Value(1), 31);
  }
  for (const VolumeRow& row : kVolumeRows) {
    SCOPED_TRACE(row.sent);
    chip_->audio().ClearWrites();
    for (uint8_t channel : {1, 2}) {
      USBD_STATUS usbd = USBD_STATUS_NOT_SUPPORTED;
      ASSERT_EQ(device_->SetVolume(kRenderUnit, channel, row.sent, &usbd), STATUS_SUCCESS);
      EXPECT_EQ(usbd, USBD_STATUS_SUCCESS);
      int16_t now = 1;
      ASSERT_EQ(device_->GetVolume(kRenderUnit, channel, kGetCur, &now), STATUS_SUCCESS);
      EXPECT_EQ(now, row.kept);
    }
    const AudioStream& render = audio_->Streams[kRenderStream];
    writes = FeatureWrites();
    if (m.chip_steps) {
      ASSERT_EQ(writes.size(), 2u) << "one record per channel";
      for (uint32_t c = 0; c < 2; ++c) {
        EXPECT_EQ(writes[c].unit, 0);
        EXPECT_EQ(writes[c].Mask(), 1u << c);
        EXPECT_EQ(writes[c].Value(c), row.step);
      }
      EXPECT_EQ(render.Gains[0], 0x10000) << "the chip does the work";
    } else {
      EXPECT_TRUE(writes.empty());
      const LONG gain = m.linear ? row.linear_gain : row.log_gain;
      EXPECT_EQ(render.Gains[0], gain);
      EXPECT_EQ(render.Gains[1], gain);
    }
  }
}

TEST_P(AudioVolumeModeTest, BothChannelsAtOnceTakeOneValueEach) {
  const ModeCase& m = GetParam();
  ASSERT_NO_FATAL_FAILURE(StartRenderOnly());
  chip_->audio().ClearWrites();
  int16_t values[2] = {-1536, 0x0600};
  ASSERT_EQ(device_->UnitRequest(0x01, kRenderUnit, 2, 0xFF, values, 4), STATUS_SUCCESS);
  const AudioStream& render = audio_->Streams[kRenderStream];
  auto writes = FeatureWrites();
  if (m.chip_steps) {
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].Mask(), 0x03);
    EXPECT_EQ(writes[0].Value(0), 15);
    EXPECT_EQ(writes[0].Value(1), 31);
  } else {
    EXPECT_TRUE(writes.empty());
    EXPECT_EQ(render.Gains[0], m.linear ? 61440 : 32845);
    EXPECT_EQ(render.Gains[1], 0x10000);
  }
  // One value is fine, three are more than the unit's two channels, an odd length is none.
  EXPECT_EQ(device_->UnitRequest(0x01, kRenderUnit, 2, 0xFF, values, 2), STATUS_SUCCESS);
  int16_t three[3] = {};
  EXPECT_EQ(device_->UnitRequest(0x01, kRenderUnit, 2, 0xFF, three, 6), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(device_->UnitRequest(0x01, kRenderUnit, 2, 0xFF, three, 3), STATUS_NOT_SUPPORTED);
}

INSTANTIATE_TEST_SUITE_P(Modes, AudioVolumeModeTest,
                         ::testing::Values(ModeCase{"logarithmic_gain", 1, false, false},
                                           ModeCase{"linear_gain", 2, false, true},
                                           ModeCase{"chip_steps", 0, true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AudioMachineTest, RenderRangeIsTheAnnouncedOne) {
  ASSERT_NO_FATAL_FAILURE(Start());
  usb::AudioClassDevice* d = Open(kAudioChildId);
  ASSERT_NE(d, nullptr);
  struct Row {
    uint8_t request;
    int16_t value;
  };
  for (Row r : {Row{kGetMin, -0x6000}, Row{kGetMax, 0}, Row{kGetRes, 0x80}}) {
    int16_t v = 1;
    EXPECT_EQ(d->GetVolume(kRenderUnit, 1, r.request, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, r.value) << int{r.request};
  }
}

TEST_F(AudioMachineTest, MuteGoesToTheMuteUnitAndHoldsBackVolumes) {
  AudioMachineOptions o;
  o.sw_volume = 0;
  ASSERT_NO_FATAL_FAILURE(Start(o));
  usb::AudioClassDevice* d = Open(kAudioChildId);
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d->SetMute(kRenderUnit, true), STATUS_SUCCESS);
  bool mute = false;
  ASSERT_EQ(d->GetMute(kRenderUnit, &mute), STATUS_SUCCESS);
  EXPECT_TRUE(mute);
  auto writes = FeatureWrites();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].unit, 1) << "the chip's mute unit";
  EXPECT_EQ(writes[0].Mask(), 0x03);
  EXPECT_EQ(writes[0].Value(0), 1);
  EXPECT_EQ(writes[0].Value(1), 1);
  // Muted, a volume is kept and not sent.
  ASSERT_EQ(d->SetVolume(kRenderUnit, 1, -1536), STATUS_SUCCESS);
  EXPECT_EQ(FeatureWrites().size(), 1u);
  int16_t v = 0;
  ASSERT_EQ(d->GetVolume(kRenderUnit, 1, kGetCur, &v), STATUS_SUCCESS);
  EXPECT_EQ(v, -1536);
  ASSERT_EQ(d->SetMute(kRenderUnit, false), STATUS_SUCCESS);
  writes = FeatureWrites();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[1].unit, 1);
  EXPECT_EQ(writes[1].Value(0), 0);
  // A mute request names the master channel with one byte.
  uint8_t byte = 1;
  EXPECT_EQ(d->UnitRequest(0x01, kRenderUnit, 1, 1, &byte, 1), STATUS_NOT_SUPPORTED);
  uint8_t two[2] = {1, 0};
  EXPECT_EQ(d->UnitRequest(0x01, kRenderUnit, 1, 0, two, 2), STATUS_NOT_SUPPORTED);
}

TEST_F(AudioMachineTest, WithoutAMuteUnitMuteSendsTheMutedValueAndUnmuteTheKeptSteps) {
  AudioMachineOptions o;
  o.sw_volume = 0;
  o.render.units.resize(1);  // the render volume unit alone
  o.render.units[0].value8 = 3;  // the value the chip takes for a muted channel
  ASSERT_NO_FATAL_FAILURE(Start(o));
  usb::AudioClassDevice* d = Open(kAudioChildId);
  ASSERT_NE(d, nullptr);
  ASSERT_EQ(d->SetVolume(kRenderUnit, 1, -1536), STATUS_SUCCESS);  // step 15 on channel 1
  chip_->audio().ClearWrites();
  ASSERT_EQ(d->SetMute(kRenderUnit, true), STATUS_SUCCESS);
  ASSERT_EQ(d->SetMute(kRenderUnit, false), STATUS_SUCCESS);
  auto writes = FeatureWrites();
  ASSERT_EQ(writes.size(), 2u);
  for (const auto& w : writes) {
    EXPECT_EQ(w.unit, 0);
    EXPECT_EQ(w.Mask(), 0x03);
  }
  EXPECT_EQ(writes[0].Value(0), 3);
  EXPECT_EQ(writes[0].Value(1), 3);
  EXPECT_EQ(writes[1].Value(0), 15);
  EXPECT_EQ(writes[1].Value(1), 31) << "the chip's own value for channel 2";
}

TEST_F(AudioMachineTest, CaptureVolumeUsesTheChipsUnitAndItsRange) {
  ASSERT_NO_FATAL_FAILURE(Start());  // standalone microphone: capture in the microphone child
  usb::AudioClassDevice* d = Open(kMicChildId);
  ASSERT_NE(d, nullptr);
  struct Row {
    uint8_t request;
    int16_t value;
  };
  for (Row r : {Row{kGetMin, -0x3000}, Row{kGetMax, 0xC00}, Row{kGetRes, 0x100}}) {
    int16_t v = 1;
    EXPECT_EQ(d->GetVolume(kCaptureUnit, 2, r.request, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, r.value) << int{r.request};
  }
  chip_->audio().ClearWrites();
  struct SetRow {
    uint8_t channel;
    int16_t sent, kept;
  };
  for (SetRow r : {SetRow{1, 0x400, 0x400}, SetRow{2, -0x7000, -0x3000}, SetRow{1, 0x7000, 0xC00}}) {
    ASSERT_EQ(d->SetVolume(kCaptureUnit, r.channel, r.sent), STATUS_SUCCESS);
    int16_t v = 0;
    ASSERT_EQ(d->GetVolume(kCaptureUnit, r.channel, kGetCur, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, r.kept);
    auto writes = FeatureWrites();
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back().jack, 1);
    EXPECT_EQ(writes.back().unit, 0) << "the capture volume unit";
    EXPECT_EQ(writes.back().Mask(), 1u << (r.channel - 1));
    EXPECT_EQ(writes.back().Value(r.channel - 1), static_cast<uint16_t>(r.kept));
  }
  int16_t v = 0;
  EXPECT_EQ(d->SetVolume(kCaptureUnit, 3, 0), STATUS_NOT_SUPPORTED) << "channels 1 and 2 only";
  EXPECT_EQ(d->GetVolume(kCaptureUnit, 0, kGetCur, &v), STATUS_NOT_SUPPORTED);
  // Capture mute with the chip's mute unit.
  chip_->audio().ClearWrites();
  ASSERT_EQ(d->SetMute(kCaptureUnit, true), STATUS_SUCCESS);
  auto writes = FeatureWrites();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].unit, 1);
  EXPECT_EQ(writes[0].Value(0), 1);
}

TEST_F(AudioMachineTest, RateChangesReachTheChipOnlyWhenValidAndNew) {
  ASSERT_NO_FATAL_FAILURE(Start());
  usb::AudioClassDevice* d = Open(kAudioChildId);
  ASSERT_NE(d, nullptr);
  AudioStream& render = ModuleOf(ChildPdo(kAudioChildId))->Streams[kRenderStream];
  EXPECT_EQ(render.BytesPerMs, 192u);
  ASSERT_EQ(d->SelectAlternate(1, 1), STATUS_SUCCESS);
  EXPECT_TRUE(StateWrites().empty()) << "selecting alternate 1 sends nothing yet";

  ASSERT_EQ(d->SetSampleRate(0x01, 44100), STATUS_SUCCESS);
  auto states = StateWrites();
  ASSERT_EQ(states.size(), 1u);
  EXPECT_EQ(states[0].jack, 0);
  EXPECT_TRUE(states[0].Active());
  EXPECT_EQ(states[0].FormatIndex(), 1);
  EXPECT_EQ(states[0].Tag(), 0x11u);
  uint32_t rate = 0;
  ASSERT_EQ(d->GetSampleRate(0x01, &rate), STATUS_SUCCESS);
  EXPECT_EQ(rate, 44100u);
  EXPECT_EQ(render.BytesPerMs, 176u);
  EXPECT_EQ(render.BytesPer10Ms, 1764u);
  EXPECT_EQ(render.FractionalMs, 1);

  // A rate no format record has is refused before anything changes.
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  EXPECT_EQ(d->SetSampleRate(0x01, 32000, &usbd), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(usbd, USBD_STATUS_NOT_SUPPORTED);
  ASSERT_EQ(d->GetSampleRate(0x01, &rate), STATUS_SUCCESS);
  EXPECT_EQ(rate, 44100u);
  EXPECT_EQ(render.BytesPerMs, 176u);
  // The same rate again: nothing new for the chip.
  ASSERT_EQ(d->SetSampleRate(0x01, 44100), STATUS_SUCCESS);
  EXPECT_EQ(StateWrites().size(), 1u);

  ASSERT_EQ(d->SelectAlternate(1, 0), STATUS_SUCCESS);
  ASSERT_EQ(d->SetSampleRate(0x01, 48000), STATUS_SUCCESS);
  states = StateWrites();
  ASSERT_EQ(states.size(), 3u);
  EXPECT_FALSE(states[1].Active());
  EXPECT_EQ(states[1].FormatIndex(), 1);
  EXPECT_FALSE(states[2].Active());
  EXPECT_EQ(states[2].FormatIndex(), 0);
  EXPECT_EQ(render.BytesPerMs, 192u);
  EXPECT_EQ(render.FractionalMs, 0);
  EXPECT_EQ(render.PreloadBytes, 192u * 40u);
}

TEST_F(AudioMachineTest, SelectingTheControlInterfaceTouchesNoStream) {
  ASSERT_NO_FATAL_FAILURE(Start());  // the audio child has render only: capture is absent
  usb::AudioClassDevice* d = Open(kAudioChildId);
  ASSERT_NE(d, nullptr);
  USBD_STATUS usbd = USBD_STATUS_NOT_SUPPORTED;
  EXPECT_EQ(d->SelectAlternate(0, 0, &usbd), STATUS_SUCCESS);
  EXPECT_EQ(usbd, USBD_STATUS_SUCCESS);
  EXPECT_TRUE(StateWrites().empty()) << "no stream state for the absent capture stream";
  EXPECT_EQ(d->SelectAlternate(2, 0), STATUS_NOT_SUPPORTED) << "no second stream interface";
}

// Requests a child refuses, each with USBD_STATUS_NOT_SUPPORTED.
struct RefusedRequest {
  const char* name;
  USHORT function;  // CLASS_INTERFACE or CLASS_ENDPOINT
  uint8_t request;
  uint16_t value, index;
  uint32_t length;
};
void PrintTo(const RefusedRequest& r, std::ostream* os) { *os << r.name; }

class AudioRefusedRequestTest : public AudioMachineTest,
                                public ::testing::WithParamInterface<RefusedRequest> {};

TEST_P(AudioRefusedRequestTest, IsRefused) {
  const RefusedRequest& r = GetParam();
  ASSERT_NO_FATAL_FAILURE(Start());
  usb::AudioClassDevice* d = Open(kAudioChildId);
  ASSERT_NE(d, nullptr);
  chip_->audio().ClearWrites();
  uint8_t data[8] = {0x44, 0xAC, 0x00, 0, 0, 0, 0, 0};
  URB urb{};
  UsbBuildVendorRequest(&urb, r.function, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        (r.request & 0x80) ? USBD_TRANSFER_DIRECTION_IN : 0, 0, r.request, r.value,
                        r.index, data, nullptr, r.length, nullptr);
  EXPECT_EQ(d->Submit(&urb), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_NOT_SUPPORTED);
  EXPECT_TRUE(StateWrites().empty());
  EXPECT_TRUE(FeatureWrites().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Requests, AudioRefusedRequestTest,
    ::testing::Values(
        RefusedRequest{"get_on_an_unknown_unit", URB_FUNCTION_CLASS_INTERFACE, kGetCur, 0x0201, 0x0500, 2},
        RefusedRequest{"get_on_the_absent_capture_unit", URB_FUNCTION_CLASS_INTERFACE, kGetCur, 0x0201,
                       0x0A00, 2},
        RefusedRequest{"get_min_of_an_unknown_unit", URB_FUNCTION_CLASS_INTERFACE, kGetMin, 0x0201,
                       0x0700, 2},
        RefusedRequest{"unit_on_a_streaming_interface", URB_FUNCTION_CLASS_INTERFACE, kGetCur, 0x0201,
                       0x0901, 2},
        RefusedRequest{"volume_of_three_bytes", URB_FUNCTION_CLASS_INTERFACE, 0x01, 0x0201, 0x0900, 3},
        RefusedRequest{"volume_of_channel_3", URB_FUNCTION_CLASS_INTERFACE, 0x01, 0x0203, 0x0900, 2},
        RefusedRequest{"volume_of_the_master_channel", URB_FUNCTION_CLASS_INTERFACE, 0x01, 0x0200,
                       0x0900, 2},
        RefusedRequest{"unknown_control", URB_FUNCTION_CLASS_INTERFACE, 0x01, 0x0301, 0x0900, 2},
        RefusedRequest{"rate_of_four_bytes", URB_FUNCTION_CLASS_ENDPOINT, 0x01, 0x0100, 0x0001, 4},
        RefusedRequest{"rate_of_another_control", URB_FUNCTION_CLASS_ENDPOINT, 0x01, 0x0200, 0x0001, 3},
        RefusedRequest{"rate_of_the_absent_capture_endpoint", URB_FUNCTION_CLASS_ENDPOINT, kGetCur,
                       0x0100, 0x0082, 3},
        RefusedRequest{"rate_get_min", URB_FUNCTION_CLASS_ENDPOINT, kGetMin, 0x0100, 0x0001, 3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AudioMachineTest, ASetOnAnUnknownUnitChangesNothingAndSucceeds) {
  ASSERT_NO_FATAL_FAILURE(Start());
  usb::AudioClassDevice* d = Open(kAudioChildId);
  ASSERT_NE(d, nullptr);
  chip_->audio().ClearWrites();
  USBD_STATUS usbd = USBD_STATUS_NOT_SUPPORTED;
  EXPECT_EQ(d->SetVolume(5, 1, -1536, &usbd), STATUS_SUCCESS);
  EXPECT_EQ(usbd, USBD_STATUS_SUCCESS);
  EXPECT_TRUE(FeatureWrites().empty());
  int16_t v = 0;
  EXPECT_EQ(d->GetVolume(kRenderUnit, 1, kGetCur, &v), STATUS_SUCCESS);
  EXPECT_EQ(v, 0) << "the render unit kept its volume";
}

}  // namespace
}  // namespace vorn::station::testing
