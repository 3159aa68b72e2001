#include "tools/vorn-sim/audio_road.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/kernel/irp.h"
#include "platform/kernel/pnp.h"
#include "platform/kernel/registry.h"
#include "platform/nt/clock.h"
#include "platform/usb/bus/audio_class_client.h"
#include "platform/usb/bus/audio_class_stream.h"
#include "platform/usb/bus/usb_bus.h"
#include "sim/audio/stream_pacer.h"
#include "sim/audio/tone_analysis.h"
#include "sim/audio/wav_writer.h"
#include "sim/chip/audio_pcm_source.h"
#include "sim/chip/chip.h"
#include "station/driver_entry.h"

namespace vorn::sim {
namespace {

namespace reg = kernel::registry;

constexpr char16_t kService[] = u"hollin";
constexpr char16_t kHardwareId[] = u"USB\\VID_3A5C&PID_0101";
constexpr uint32_t kFrameBytes = 4;  // 16-bit stereo
constexpr uint32_t kPreloadMs = 40;  // the station's render preload by default
constexpr int kWaitSeconds = 120;    // real time, for each step

template <class F>
bool WaitReal(F done, int seconds = kWaitSeconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Reports one direction; true when its tone came through whole.
bool Report(const char* what, const audio::Tone& tone, const std::vector<uint8_t>& pcm,
            const std::string& path, bool quiet) {
  const bool written = audio::WriteWav(path, {tone.format.rate, 2, 16}, pcm.data(), pcm.size());
  bool whole = true;
  for (uint32_t ch = 0; ch < 2; ++ch) {
    const audio::ToneAnalysis a =
        audio::AnalyseTone(tone, ch, audio::ChannelSamples(pcm.data(), pcm.size(), 2, ch));
    whole = whole && a.Whole();
    std::printf("audio: %s %s: %s\n", what, ch ? "right" : "left", a.Summary(tone.format.rate).c_str());
  }
  if (!quiet || !written)
    std::printf("audio: %s %s %s\n", what, written ? "written to" : "could not be written to",
                path.c_str());
  return whole && written;
}

struct Received {
  std::mutex lock;
  std::vector<uint8_t> pcm;
  size_t Size() {
    std::lock_guard<std::mutex> guard(lock);
    return pcm.size();
  }
};

}  // namespace

int RunAudioRoad(const AudioRoadOptions& o) {
  if (o.rate != 48000 && o.rate != 44100) {
    std::fprintf(stderr, "vorn-sim: --audio-rate: 48000 or 44100\n");
    return 2;
  }
  std::error_code ec;
  std::filesystem::create_directories(o.output, ec);
  clock::ScopedSpeed speed(o.speed);

  // One station, both audio streams on one audio child.
  const WString parameters = WString(reg::kServicesPath) + u"\\" + kService + u"\\Parameters";
  reg::SetDword(parameters, u"SupportPDOs", 0x108);
  const uint8_t one_child = 0;
  reg::SetValue(parameters, u"StandaloneMic", REG_BINARY, &one_child, 1);

  chip::ChipProfile profile = chip::MakeProfile({});
  profile.device_values[chip::kDeviceValueCmdVersion] = 8;
  chip::Chip chip(std::move(profile));
  chip.UseStationBulkOut(true);
  chip.functions().SetFunction(3, 0x1D5C, 0x3000, u"Audio");
  chip.functions().SetJack(0, true, true, 1);
  chip.functions().SetJack(1, true, true, 1);
  chip.audio().SetStream(0, chip::RenderSetup({48000, 44100}));
  chip.audio().SetStream(1, chip::CaptureSetup({48000, 44100}));
  chip.SetJackState(0x41);

  NTSTATUS status = STATUS_UNSUCCESSFUL;
  DRIVER_OBJECT* driver = kernel::LoadDriver(kService, DriverEntry, &status);
  if (!driver) {
    std::fprintf(stderr, "vorn-sim: the station driver did not load (0x%08X)\n",
                 static_cast<unsigned>(status));
    return 1;
  }
  kernel::pnp::RegisterDriver(kHardwareId, driver);

  std::mutex lock;
  usb::AudioClassDevice* device = nullptr;
  int result = 1;
  {
    usb::AudioClassDriver client(
        u"audioclient",
        [&](usb::AudioClassDevice* d) {
          std::lock_guard<std::mutex> guard(lock);
          if (!device) device = d;
        },
        [&](usb::AudioClassDevice* d) {
          std::lock_guard<std::mutex> guard(lock);
          if (device == d) device = nullptr;
        });
    usb::UsbBus bus;
    bus.Attach(chip);
    auto held = [&] {
      std::lock_guard<std::mutex> guard(lock);
      return device;
    };
    if (!WaitReal([&] { return held() != nullptr; })) {
      std::printf("audio: the audio class client never got the audio child\n");
    } else {
      usb::AudioClassDevice* d = held();
      const usb::AudioClassDevice::Stream* render = d->StreamOf(0x01);
      const usb::AudioClassDevice::Stream* capture = d->StreamOf(0x82);
      bool ready = render && capture;
      for (const auto* s : {render, capture}) {
        if (!ready) break;
        ready = d->SelectAlternate(s->interface_number, 1) == STATUS_SUCCESS &&
                d->SetSampleRate(s->endpoint, o.rate) == STATUS_SUCCESS;
      }
      if (!ready) {
        std::printf("audio: the audio child's streams could not be set to %u Hz\n", o.rate);
      } else {
        if (!o.quiet)
          std::printf("audio: playing and recording %.1f s at %u Hz, clock at %.0fx\n", o.seconds,
                      o.rate, o.speed);
        audio::Tone tone;
        tone.format = {o.rate, 2};
        uint64_t frames = 0;
        usb::IsochStream out, in;
        usb::IsochStreamSettings s;
        s.target = d->lower();
        s.rate = o.rate;
        s.frame_bytes = kFrameBytes;
        s.depth = 32;
        s.lead_ms = 300;
        s.query_bus_time = [d](ULONG* f) { return d->QueryBusTime(f); };
        s.pipe = d->StreamOf(0x01)->pipe;
        s.source = [&](uint8_t* buffer, uint32_t bytes) {
          audio::RenderTone(tone, frames, bytes / kFrameBytes, buffer);
          frames += bytes / kFrameBytes;
        };
        chip::AudioPcmSource mic(chip);
        chip::AudioSourceSettings mic_settings;
        mic_settings.tone = tone;
        mic_settings.drift_ppm = o.drift_ppm;
        mic_settings.wait_for_host = true;  // the paced clock cannot wait for the host's reads
        Received received;
        usb::IsochStreamSettings c = s;
        c.source = nullptr;
        c.in = true;
        c.pipe = d->StreamOf(0x82)->pipe;
        c.sink = [&](const uint8_t* buffer, const USBD_ISO_PACKET_DESCRIPTOR* p, uint32_t n,
                     NTSTATUS st) {
          if (!NT_SUCCESS(st)) return;
          std::lock_guard<std::mutex> guard(received.lock);
          for (uint32_t i = 0; i < n; ++i)
            received.pcm.insert(received.pcm.end(), buffer + p[i].Offset,
                                buffer + p[i].Offset + p[i].Length);
        };
        const uint64_t bytes = static_cast<uint64_t>(o.seconds * o.rate) * kFrameBytes;
        // The clock waits for the streams, so that a loaded machine cannot make them late.
        audio::StreamPacer pacer;
        audio::StreamPaceSettings pace;
        pace.frame = [d] {
          ULONG f = 0;
          d->QueryBusTime(&f);
          return f;
        };
        pace.render = &out;
        pace.speaker = &chip.audio_out();
        pace.render_bytes_per_ms = o.rate * kFrameBytes / 1000;
        pace.render_preload_bytes = o.rate * kFrameBytes * kPreloadMs / 1000;
        pace.capture = &in;
        const bool started =
            pacer.Start(pace) && mic.Start(mic_settings) && out.Start(s) && in.Start(c);
        const bool done = started && WaitReal([&] {
          return chip.audio_out().PlayedBytes() >= bytes && received.Size() >= bytes;
        });
        out.Stop();
        in.Stop();
        mic.Stop();
        pacer.Stop();
        std::printf("audio: URBs sent late: %llu played, %llu recorded; microphone frames lost: %llu\n",
                    static_cast<unsigned long long>(out.Counts().late),
                    static_cast<unsigned long long>(in.Counts().late),
                    static_cast<unsigned long long>(mic.LostFrames()));
        if (!done) std::printf("audio: the streams did not carry %.1f s in time\n", o.seconds);
        const bool played = Report("played", tone, chip.audio_out().Played(),
                                   o.output + "/played.wav", o.quiet);
        std::vector<uint8_t> recorded;
        {
          std::lock_guard<std::mutex> guard(received.lock);
          recorded = received.pcm;
        }
        const bool back = Report("recorded", tone, recorded, o.output + "/recorded.wav", o.quiet);
        result = done && played && back ? 0 : 1;
      }
    }
    bus.Detach(chip);
    kernel::pnp::WaitIdle();
  }
  kernel::pnp::UnregisterDriver(driver);
  kernel::UnloadDriver(driver);
  return result;
}

int RunAudioRoadFromArgs(int argc, char** argv) {
  AudioRoadOptions o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--audio") continue;
    if (a == "--quiet") {
      o.quiet = true;
      continue;
    }
    const char* value = i + 1 < argc ? argv[++i] : nullptr;
    char* end = nullptr;
    const double v = value ? std::strtod(value, &end) : 0;
    const bool number = value && end && !*end;
    if (a == "--seconds" && number && v > 0 && v <= 600) {
      o.seconds = v;
    } else if (a == "--audio-rate" && number && (v == 48000 || v == 44100)) {
      o.rate = static_cast<uint32_t>(v);
    } else if (a == "--speed" && number && v >= 1 && v <= 100) {
      o.speed = v;
    } else if (a == "--drift-ppm" && number && v >= -20000 && v <= 20000) {
      o.drift_ppm = static_cast<int32_t>(v);
    } else if (a == "--output" && value) {
      o.output = value;
    } else {
      std::fprintf(stderr,
                   "vorn-sim --audio: '%s' %s (--seconds 0-600, --audio-rate 48000|44100, "
                   "--speed 1-100, --drift-ppm -20000-20000, --output DIR, --quiet)\n",
                   a.c_str(), value ? "is out of range" : "is unknown or lacks its value");
      return 2;
    }
  }
  return RunAudioRoad(o);
}

}  // namespace vorn::sim
