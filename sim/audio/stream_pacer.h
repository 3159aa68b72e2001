// A clock that waits for an audio stream. The stand-ins that carry a stream through the
// station driver (the audio class client's isochronous streaming, the kernel's timer and
// DPC, the bulk pipes' completions, the chip's speaker and microphone) run on real threads,
// while the driver's rules are in clock time: a URB more than 15 ms late restarts the
// stream, render data waits in a two-second ring until the bulk-OUT pipe has sent it, the
// chip keeps at most 64 captured messages. On a fast clock a millisecond of real time is many
// milliseconds of clock time, so a loaded machine would break those rules by being slow, not
// by any fault of the driver. The pacer holds the clock (clock::HoldAt) so that it never runs
// past what the stand-ins have done:
// - not past the frame where a client's next URB starts: no URB comes late;
// - render: not more than kPlayedAheadMs past what the chip has played, so the client cannot
//   write the ring further ahead of the bulk-OUT pipe than the ring holds.
// A stream not started yet holds the clock where it stands. The clock still runs at its
// speed while everything keeps up. Whatever a ceiling waits for must not need the clock to
// pass it: the URBs complete on the audio timer, whose 1 ms period spans the speed's worth
// of milliseconds of clock, so a client's lead must be larger than that (300 ms for speed
// 100); the bulk-OUT pipe sends on events. The station reads bulk IN on its timer tick, so
// the clock cannot wait for the chip's microphone queue (it would stand before the tick that
// reads it): a paced microphone waits for its host instead (AudioSourceSettings).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/usb/bus/audio_class_stream.h"
#include "sim/chip/audio_pcm_sink.h"

namespace vorn::audio {

struct StreamPaceSettings {
  std::function<ULONG()> frame;  // the bus interface's frame number (ms)
  // Render: the client's OUT stream and the chip's speaker; null when not paced.
  const usb::IsochStream* render = nullptr;
  const chip::AudioPcmSink* speaker = nullptr;
  uint32_t render_bytes_per_ms = 192;
  uint32_t render_preload_bytes = 0;  // the silence the chip gets in front of the stream
  // Capture: the client's IN stream; null when not paced.
  const usb::IsochStream* capture = nullptr;
};

class StreamPacer {
 public:
  static constexpr int64_t kPlayedAheadMs = 1000;  // of the two-second render ring

  StreamPacer() = default;
  ~StreamPacer() { Stop(); }
  StreamPacer(const StreamPacer&) = delete;
  StreamPacer& operator=(const StreamPacer&) = delete;

  // Holds the clock where it stands and paces it from then on; false when running already or
  // without a frame counter or anything to pace.
  bool Start(const StreamPaceSettings& settings);
  // Lets the clock run free again.
  void Stop();
  // What the clock waits for: the clock's time and frame and each ceiling, for a report.
  std::string Describe() const;

 private:
  void Run();
  // The clock time (ns) the clock may reach now; each ceiling's name and time into |parts|.
  int64_t Ceiling(std::string* parts = nullptr) const;
  // The clock time at which the frame counter shows |frame| at most.
  int64_t FrameNs(int64_t frame) const { return frame_base_ns_ + frame * 1'000'000; }

  StreamPaceSettings settings_;
  int64_t frame_base_ns_ = 0;
  std::mutex lock_;
  std::condition_variable stop_cv_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace vorn::audio
