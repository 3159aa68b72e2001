// A short stream played and one recorded through the station's audio child: the audio class
// client takes the child, selects alternate setting 1 and 48 kHz on both streams and streams
// a tone to the render endpoint while the chip's microphone sends one that the client reads
// from the capture endpoint. A clean run carries the whole length both ways; whatever run it
// is, render URBs the client was told played carry no more than reached the chip, unless a
// transfer failed on the way.
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/pnp.h"
#include "platform/kernel/registry.h"
#include "platform/usb/bus/audio_class_client.h"
#include "platform/usb/bus/audio_class_stream.h"
#include "sim/audio/tone.h"
#include "sim/chip/audio_pcm_source.h"
#include "sim/chip/transfer_faults.h"
#include "tests/sweep/scenarios.h"
#include "tests/sweep/station_bench.h"

namespace vorn::sweep {

namespace {

constexpr uint32_t kRate = 48000;
constexpr uint32_t kFrameBytes = 4;  // 16-bit stereo
constexpr uint64_t kStreamBytes = kRate / 5 * kFrameBytes;  // 200 ms each way

// The client's side: the device it was handed and the two streams running on it. The streams
// end before the device goes (the class driver's part on removal).
struct Client {
  std::mutex lock;
  usb::AudioClassDevice* device = nullptr;
  int arrivals = 0, leavings = 0;
  usb::IsochStream render, capture;
  std::mutex received_lock;
  uint64_t received = 0;

  usb::AudioClassDevice* Get() {
    std::lock_guard<std::mutex> guard(lock);
    return device;
  }
  void StopStreams() {
    render.Stop();
    capture.Stop();
  }
  uint64_t Received() {
    std::lock_guard<std::mutex> guard(received_lock);
    return received;
  }
};

std::string CountsText(const char* what, const usb::IsochStreamCounts& c) {
  return std::string(what) + " " + std::to_string(c.succeeded) + " ok, " + std::to_string(c.failed) +
         " failed (" + StatusName(c.last_failure) + "), " + std::to_string(c.cancelled) + " cancelled";
}

// Selects alternate 1 and the rate on both streams and starts them; false at the first step
// that fails. Runs under the client's lock, so that the device stays while it is used.
bool StartStreams(Run& run, Client& client, const audio::Tone& tone, uint64_t* frames) {
  std::lock_guard<std::mutex> guard(client.lock);
  usb::AudioClassDevice* d = client.device;
  if (!d) return false;
  const usb::AudioClassDevice::Stream* render = d->StreamOf(0x01);
  const usb::AudioClassDevice::Stream* capture = d->StreamOf(0x82);
  // A discovery that lost a jack's records to a fault makes the child without its stream.
  if (!render || !capture) {
    run.Step("a stream is missing");
    run.Expect(!run.clean(), "a clean audio child has a render and a capture stream");
    return false;
  }
  for (const auto* s : {render, capture}) {
    const NTSTATUS selected = d->SelectAlternate(s->interface_number, 1);
    const NTSTATUS rate = NT_SUCCESS(selected) ? d->SetSampleRate(s->endpoint, kRate) : selected;
    run.Step("stream " + std::to_string(s->endpoint) + ": " + StatusName(rate));
    if (!NT_SUCCESS(rate)) return false;
  }
  usb::IsochStreamSettings out;
  out.target = d->lower();
  out.rate = kRate;
  out.frame_bytes = kFrameBytes;
  out.depth = 32;
  out.lead_ms = 300;
  out.query_bus_time = [d](ULONG* f) { return d->QueryBusTime(f); };
  out.pipe = render->pipe;
  out.source = [&tone, frames](uint8_t* buffer, uint32_t bytes) {
    audio::RenderTone(tone, *frames, bytes / kFrameBytes, buffer);
    *frames += bytes / kFrameBytes;
  };
  usb::IsochStreamSettings in = out;
  in.source = nullptr;
  in.in = true;
  in.pipe = capture->pipe;
  in.sink = [&client](const uint8_t*, const USBD_ISO_PACKET_DESCRIPTOR* p, uint32_t n, NTSTATUS st) {
    if (!NT_SUCCESS(st)) return;
    std::lock_guard<std::mutex> guard(client.received_lock);
    for (uint32_t i = 0; i < n; ++i) client.received += p[i].Length;
  };
  return client.render.Start(out) && client.capture.Start(in);
}

void PlayRecord(Run& run) {
  Client client;
  // The client outlives the bench, whose end takes the audio child away.
  std::unique_ptr<usb::AudioClassDriver> driver;
  chip::ChipProfile profile = chip::MakeProfile({});
  profile.device_values[chip::kDeviceValueCmdVersion] = 8;
  auto owned = std::make_unique<StationBench>(run, std::move(profile), [] {
    const ULONG support = 0x108;  // the audio and microphone children
    StationBench::SetParameter(u"SupportPDOs", REG_DWORD, &support, sizeof support);
    const UCHAR one_child = 0;  // both streams on the audio child
    StationBench::SetParameter(u"StandaloneMic", REG_BINARY, &one_child, 1);
  });
  StationBench& bench = *owned;
  if (!bench.loaded()) return;
  // The stream's 1 ms timer sees ten times real speed; the bench's hundred would make every
  // URB late and restart the stream's timing each time.
  clock::ScopedSpeed speed(10);
  chip::Chip& chip = bench.chip();
  chip.functions().SetFunction(3, 0x1D5C, 0x3000, u"Audio");
  chip.functions().SetJack(0, true, true, 1);
  chip.functions().SetJack(1, true, true, 1);
  chip.audio().SetStream(0, chip::RenderSetup({kRate}));
  chip.audio().SetStream(1, chip::CaptureSetup({kRate}));
  chip.SetJackState(0x41);
  driver = std::make_unique<usb::AudioClassDriver>(
      u"audioclient",
      [&](usb::AudioClassDevice* d) {
        std::lock_guard<std::mutex> guard(client.lock);
        if (client.device) return;
        client.device = d;
        ++client.arrivals;
      },
      [&](usb::AudioClassDevice* d) {
        std::lock_guard<std::mutex> guard(client.lock);
        if (client.device != d) return;
        client.StopStreams();
        client.device = nullptr;
        ++client.leavings;
      });
  if (!run.Expect(driver->driver() != nullptr, "the audio class client loads")) return;

  audio::Tone tone;
  tone.format = {kRate, 2};
  uint64_t frames = 0;
  chip::AudioPcmSource mic(chip);
  if (!bench.Attach()) {
    run.Expect(!run.clean(), "a clean chip is attached");
  } else {
    bench.Settle();
    kernel::pnp::WaitIdle();
    const bool handed = client.Get() != nullptr;
    run.Step(handed ? "audio child handed over" : "no audio child");
    if (run.clean()) run.Expect(handed, "a clean station hands over its audio child");
    chip::AudioSourceSettings mic_settings;
    mic_settings.tone = tone;
    bool streaming = handed && mic.Start(mic_settings);
    if (streaming) {
      // The class requests wait for the chip's answer without limit, as the class driver's
      // own requests do: one the chip never answers holds the client's thread until a user
      // pulls the adapter, which ends it.
      std::atomic<bool> returned{false};
      bool started = false;
      const bool fired_before = chip::TransferFaultFired();
      std::thread starter([&] {
        started = StartStreams(run, client, tone, &frames);
        returned = true;
      });
      const bool ended = WaitReal([&] {
        return returned.load() || (run.injection().kind == FaultKind::kTimeOut && !fired_before &&
                                   chip::TransferFaultFired());
      });
      run.Expect(ended, "setting the streams up neither returns nor is held by the chip");
      if (!returned.load()) {
        run.Step("stream set-up held");
        run.StartPull();
      }
      starter.join();
      streaming = started;
    }
    run.Step(streaming ? "streaming" : "not streaming");
    if (run.clean()) run.Expect(streaming, "a clean audio child streams");
    if (streaming) {
      // Both directions carry the stream, or a URB failed, or the adapter went. A transfer the
      // chip holds for ever (a render send, a microphone read) holds back only what the chip
      // gets: the client's URBs run on the station's clock, so the client still plays and
      // records the whole length.
      const bool time_out = run.injection().kind == FaultKind::kTimeOut;
      const bool settled = WaitReal([&] {
        const bool client_done =
            client.render.Counts().bytes >= kStreamBytes && client.Received() >= kStreamBytes;
        return (chip.audio_out().PlayedBytes() >= kStreamBytes && client.Received() >= kStreamBytes) ||
               client.render.Counts().failed > 0 || client.capture.Counts().failed > 0 ||
               run.pulled() || !client.Get() ||
               (time_out && chip::TransferFaultFired() && client_done);
      });
      run.Expect(settled, "the streams neither carry the stream nor fail");
      const bool carried = chip.audio_out().PlayedBytes() >= kStreamBytes && client.Received() >= kStreamBytes;
      if (run.clean()) run.Expect(carried, "a clean run plays and records the whole stream");
    }
  }
  {
    std::lock_guard<std::mutex> guard(client.lock);
    client.StopStreams();
  }
  mic.Stop();
  const usb::IsochStreamCounts played = client.render.Counts();
  const usb::IsochStreamCounts recorded = client.capture.Counts();
  run.Step(CountsText("render", played) + "; " + CountsText("capture", recorded) + "; chip played " +
           std::to_string(chip.audio_out().PlayedBytes()));
  run.EndWork();
  // Render data leaves for the chip as its URB arrives and the URB completes a few frames
  // later: with no transfer lost on the way, what the client was told played reached the chip.
  if (played.failed == 0 && !run.pulled() && !chip::TransferFaultFired() && played.bytes > 0)
    run.Expect(WaitReal([&] { return chip.audio_out().PlayedBytes() >= played.bytes; }),
               "the client was told " + std::to_string(played.bytes) + " bytes played, the chip played " +
                   std::to_string(chip.audio_out().PlayedBytes()));
  if (run.clean())
    for (const std::string& v : chip.violations().Messages()) run.Problem("chip: " + v);
  bench.Remove();
  // A removal that failed (its own allocation) leaves the station until the bench goes.
  owned.reset();
  std::lock_guard<std::mutex> guard(client.lock);
  run.Expect(client.leavings == client.arrivals, "an audio child handed over never left");
}

}  // namespace

Scenario AudioPlayRecordScenario() { return {"AudioPlayRecord", PlayRecord}; }

}  // namespace vorn::sweep
