// The audio and microphone children as the audio class client reads them: device and
// configuration descriptors byte for byte by command-set version and microphone setting,
// the strings, the children a chip's records allow, and the bounds on what a chip announces.
#include <gtest/gtest.h>

#include "tests/station/audio_child_fixture.h"

namespace vorn::station::testing {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The microphone child's product id is the audio function's plus one.
Bytes Device(uint8_t product_low) {
  return {0x12, 0x01, 0x10, 0x01, 0x01, 0x00, 0x00, 0x40, 0x5C,
          0x1D, product_low, 0x30, 0x01, 0x00, 0x01, 0x02, 0x00, 0x01};
}
const Bytes kControl = {0x09, 0x04, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00};
const Bytes kRenderUnits = {
    0x0C, 0x24, 0x02, 0x01, 0x01, 0x01, 0x00, 0x02, 0x03, 0x00, 0x00, 0x00,  // input terminal 1
    0x09, 0x24, 0x03, 0x06, 0x01, 0x03, 0x00, 0x09, 0x00,                    // speaker 6
    0x0A, 0x24, 0x06, 0x09, 0x01, 0x01, 0x01, 0x02, 0x02, 0x00,              // feature unit 9
};
const Bytes kCaptureUnits = {
    0x0C, 0x24, 0x02, 0x02, 0x01, 0x02, 0x00, 0x02, 0x03, 0x00, 0x00, 0x00,  // microphone 2
    0x09, 0x24, 0x03, 0x07, 0x01, 0x01, 0x00, 0x08, 0x00,                    // USB streaming 7
    0x07, 0x24, 0x05, 0x08, 0x01, 0x0A, 0x00,                                // selector 8
    0x0A, 0x24, 0x06, 0x0A, 0x02, 0x01, 0x01, 0x02, 0x02, 0x00,              // feature unit 10
};
Bytes RenderStreaming(uint8_t interface) {
  return {0x09, 0x04, interface, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00,
          0x09, 0x04, interface, 0x01, 0x01, 0x01, 0x02, 0x00, 0x00,
          0x07, 0x24, 0x01, 0x01, 0x01, 0x01, 0x00,
          0x0E, 0x24, 0x02, 0x01, 0x02, 0x02, 0x10, 0x02, 0x80, 0xBB, 0x00, 0x44, 0xAC, 0x00,
          0x09, 0x05, 0x01, 0x0D, 0xC8, 0x00, 0x01, 0x00, 0x00,
          0x07, 0x25, 0x01, 0x01, 0x00, 0x00, 0x00};
}
Bytes CaptureStreaming(uint8_t interface) {
  return {0x09, 0x04, interface, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00,
          0x09, 0x04, interface, 0x01, 0x01, 0x01, 0x02, 0x00, 0x00,
          0x07, 0x24, 0x01, 0x07, 0x01, 0x01, 0x00,
          0x0B, 0x24, 0x02, 0x01, 0x02, 0x02, 0x10, 0x01, 0x80, 0xBB, 0x00,
          0x09, 0x05, 0x82, 0x05, 0xC8, 0x00, 0x01, 0x00, 0x00,
          0x07, 0x25, 0x01, 0x01, 0x00, 0x00, 0x00};
}

struct DescriptorCase {
  const char* name;
  uint32_t cmd_version;
  UCHAR standalone_mic;
  const char16_t* child;
  Bytes config;
  std::vector<uint8_t> endpoints;  // of the streams the client finds, in order
};
void PrintTo(const DescriptorCase& c, std::ostream* os) { *os << c.name; }

std::vector<DescriptorCase> DescriptorCases() {
  return {
      // Command set 4: render only, two interfaces.
      {"version4_render_only", 4, 0, kAudioChildId,
       Cat({{0x09, 0x02, 0x71, 0x00, 0x02, 0x01, 0x03, 0x80, 0x32}, kControl,
            {0x09, 0x24, 0x01, 0x00, 0x01, 0x28, 0x00, 0x01, 0x01}, kRenderUnits,
            RenderStreaming(1)}),
       {0x01}},
      // Command set 5 without a separate microphone: both streams in the audio child.
      {"version5_render_and_capture", 5, 0, kAudioChildId,
       Cat({{0x09, 0x02, 0xCC, 0x00, 0x03, 0x01, 0x03, 0x80, 0x32}, kControl,
            {0x0A, 0x24, 0x01, 0x00, 0x01, 0x4F, 0x00, 0x02, 0x01, 0x02}, kRenderUnits,
            kCaptureUnits, RenderStreaming(1), CaptureStreaming(2)}),
       {0x01, 0x82}},
      // A stand-alone microphone: the microphone child has capture only, on interface 1.
      {"standalone_microphone", 8, 1, kMicChildId,
       Cat({{0x09, 0x02, 0x75, 0x00, 0x02, 0x01, 0x03, 0x80, 0x32}, kControl,
            {0x09, 0x24, 0x01, 0x00, 0x01, 0x2F, 0x00, 0x01, 0x01}, kCaptureUnits,
            CaptureStreaming(1)}),
       {0x82}},
      // ... and the audio child beside it keeps render only.
      {"standalone_audio_child", 8, 1, kAudioChildId,
       Cat({{0x09, 0x02, 0x71, 0x00, 0x02, 0x01, 0x03, 0x80, 0x32}, kControl,
            {0x09, 0x24, 0x01, 0x00, 0x01, 0x28, 0x00, 0x01, 0x01}, kRenderUnits,
            RenderStreaming(1)}),
       {0x01}},
  };
}

class AudioDescriptorTest : public AudioMachineTest,
                            public ::testing::WithParamInterface<DescriptorCase> {};

TEST_P(AudioDescriptorTest, DescriptorsAreByteForByteThoseOfTheChipsRecords) {
  const DescriptorCase& c = GetParam();
  AudioMachineOptions o;
  o.cmd_version = c.cmd_version;
  o.standalone_mic = c.standalone_mic;
  ASSERT_NO_FATAL_FAILURE(Start(o));
  usb::AudioClassDevice* d = Open(c.child);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->device_descriptor(), Device(c.child == kMicChildId ? 0x01 : 0x00));
  EXPECT_EQ(d->configuration(), c.config);
  std::vector<uint8_t> endpoints;
  for (const auto& s : d->streams()) endpoints.push_back(s.endpoint);
  EXPECT_EQ(endpoints, c.endpoints);
  // Every announced alternate setting can be selected; its pipe is the stream's endpoint.
  for (const auto& s : d->streams()) {
    USBD_STATUS usbd = USBD_STATUS_NOT_SUPPORTED;
    EXPECT_EQ(d->SelectAlternate(s.interface_number, 1, &usbd), STATUS_SUCCESS);
    EXPECT_EQ(usbd, USBD_STATUS_SUCCESS);
    ASSERT_NE(d->StreamOf(s.endpoint)->pipe, nullptr);
    auto* pipe = static_cast<USBD_PIPE_INFORMATION*>(d->StreamOf(s.endpoint)->pipe);
    EXPECT_EQ(pipe->EndpointAddress, s.endpoint);
    EXPECT_EQ(pipe->MaximumPacketSize, kAudioPacketBytes);
    EXPECT_EQ(pipe->PipeType, UsbdPipeTypeIsochronous);
    EXPECT_EQ(d->SelectAlternate(s.interface_number, 0), STATUS_SUCCESS);
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, AudioDescriptorTest, ::testing::ValuesIn(DescriptorCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AudioMachineTest, StringsAreTheStationsTheChildsAndTheConfigurations) {
  ASSERT_NO_FATAL_FAILURE(Start());
  usb::AudioClassDevice* d = Open(kAudioChildId);
  ASSERT_NE(d, nullptr);
  std::u16string text;
  EXPECT_EQ(d->GetString(1, &text), STATUS_SUCCESS);
  EXPECT_EQ(text, u"Vorn");
  EXPECT_EQ(d->GetString(2, &text), STATUS_SUCCESS);
  EXPECT_EQ(text, u"Audio");
  EXPECT_EQ(d->GetString(3, &text), STATUS_SUCCESS);
  EXPECT_EQ(text, u"Vorn USB Audio Configuration");
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  EXPECT_EQ(d->GetString(4, &text, &usbd), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(usbd, USBD_STATUS_NOT_SUPPORTED);
}

// Records a chip may send that give no audio child: the child is not made, nothing leaks
// (the fixture checks the module's pool tag at the end) and the station runs on.
struct RefusedCase {
  const char* name;
  void (*change)(AudioMachineOptions& o);
};
void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class AudioRefusedTest : public AudioMachineTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(AudioRefusedTest, NoAudioChildIsMade) {
  AudioMachineOptions o;
  o.support = 0x008;
  o.standalone_mic = 0;
  GetParam().change(o);
  ASSERT_NO_FATAL_FAILURE(Start(o));
  EXPECT_EQ(Child(kAudioChildId), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Records, AudioRefusedTest,
    ::testing::Values(
        RefusedCase{"version1", [](AudioMachineOptions& o) { o.cmd_version = 1; }},
        RefusedCase{"nine_channels", [](AudioMachineOptions& o) {
                      o.render.formats[1].channels = 9;
                      o.capture.formats[0].channels = 9;
                    }},
        RefusedCase{"zero_rate", [](AudioMachineOptions& o) { o.render.formats[0].rate = 0; }},
        RefusedCase{"default_format_past_the_end",
                    [](AudioMachineOptions& o) { o.render.default_format = 2; }},
        RefusedCase{"unit_kind_4", [](AudioMachineOptions& o) { o.render.units[1].kind = 4; }},
        RefusedCase{"fewer_formats_than_announced",
                    [](AudioMachineOptions& o) { o.render.format_count = 3; }},
        RefusedCase{"more_formats_than_a_request_can_carry", [](AudioMachineOptions& o) {
                      o.render.format_count = 0x1000;
                    }},
        RefusedCase{"rate_wider_than_three_bytes",
                    [](AudioMachineOptions& o) { o.render.formats[0].rate = 0x1000000; }},
        RefusedCase{"stream_tag_zero_in_both", [](AudioMachineOptions& o) {
                      o.render.tag = 0;
                      o.capture.tag = 0;
                    }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AudioMachineTest, AFailingUnitRequestLeavesNoChildAndNothingHeld) {
  AudioMachineOptions o;
  o.support = 0x008;
  o.standalone_mic = 0;
  o.jack1 = false;
  o.jack1_state = 0;
  // Discovery reads no unit: the first unit request is the module's.
  o.prepare = [](chip::Chip& chip) { chip.script().OnRequest(0xA2, {chip::ScriptKind::kStall}); };
  ASSERT_NO_FATAL_FAILURE(Start(o));
  EXPECT_EQ(chip_->log().CountVendor(0xA2), 1u) << "the module asked for its first unit";
  EXPECT_EQ(chip_->log().CountVendor(0xA3), 0u) << "and stopped there";
  EXPECT_EQ(Child(kAudioChildId), nullptr);
}

// A chip announcing more distinct rates than one format type descriptor can hold: the
// descriptor carries the first 82, its length stays a byte, every length adds up, and a
// rate past them is refused.
TEST_F(AudioMachineTest, RatesBeyondWhatADescriptorHoldsAreNotAnnounced) {
  AudioMachineOptions o;
  o.support = 0x008;
  o.standalone_mic = 0;
  o.jack1 = false;
  std::vector<uint32_t> rates;
  for (uint32_t i = 0; i < 100; ++i) rates.push_back(8000 + 100 * i);
  o.render = chip::RenderSetup(rates);
  ASSERT_NO_FATAL_FAILURE(Start(o));
  usb::AudioClassDevice* d = Open(kAudioChildId);
  ASSERT_NE(d, nullptr);
  const Bytes& config = d->configuration();
  EXPECT_EQ(static_cast<size_t>(config[2] | config[3] << 8), config.size());
  size_t sum = 0, format_length = 0;
  for (size_t at = 0; at < config.size() && config[at] >= 2; at += config[at]) {
    sum += config[at];
    if (config[at + 1] == 0x24 && config[at + 2] == 0x02 && at > 40) format_length = config[at];
  }
  EXPECT_EQ(sum, config.size());
  EXPECT_EQ(format_length, 8u + 3u * 82u);
  ASSERT_EQ(d->streams().size(), 1u);
  const auto& rates_seen = d->streams()[0].rates;
  ASSERT_EQ(rates_seen.size(), 82u);
  EXPECT_EQ(rates_seen.front(), 8000u);
  EXPECT_EQ(rates_seen.back(), 8000u + 100u * 81u);
  EXPECT_EQ(d->SetSampleRate(0x01, 8000 + 100 * 81), STATUS_SUCCESS);
  EXPECT_EQ(d->SetSampleRate(0x01, 8000 + 100 * 82), STATUS_NOT_SUPPORTED);
  uint32_t rate = 0;
  EXPECT_EQ(d->GetSampleRate(0x01, &rate), STATUS_SUCCESS);
  EXPECT_EQ(rate, 8000u + 100u * 81u);
}

}  // namespace
}  // namespace vorn::station::testing
