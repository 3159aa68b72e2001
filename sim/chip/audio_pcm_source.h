// The chip's microphone: a test tone captured at its sample rate on the process clock and
// sent to the host on the bulk IN endpoint, each message announced on the interrupt
// endpoint as the chip announces every bulk IN message. Samples are due as the clock runs
// (optionally a little fast or slow, as a microphone whose crystal drifts); whatever is due is
// sent in whole pieces, several due pieces in one message of at most max_message_ms. A host
// that falls behind by more than kMaxQueuedMessages loses the pieces that would not fit, as
// a real chip overwrites its buffer: they are counted and the tone goes on past them (unless
// the settings make the microphone wait for the host).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "sim/audio/tone.h"

namespace vorn::chip {

class Chip;

struct AudioSourceSettings {
  audio::Tone tone;
  uint32_t piece_ms = 10;        // the capture granule; 1 or more
  uint32_t max_message_ms = 40;  // the most one message carries
  int32_t drift_ppm = 0;         // > 0: the microphone runs fast against the clock
  uint32_t type = 0x83;          // the message type (microphone)
  // A host that falls behind makes the microphone wait instead of losing pieces: for a run
  // on a fast clock, where the host's stand-ins lag in real time and the clock cannot wait
  // for them (the station reads bulk IN on its timer tick, which only a running clock brings).
  bool wait_for_host = false;
};

class AudioPcmSource {
 public:
  static constexpr size_t kMaxQueuedMessages = 64;

  explicit AudioPcmSource(Chip& chip) : chip_(chip) {}
  ~AudioPcmSource() { Stop(); }
  AudioPcmSource(const AudioPcmSource&) = delete;
  AudioPcmSource& operator=(const AudioPcmSource&) = delete;

  // Starts capturing from tone sample 0 at the current time; false when already running or
  // the settings cannot be used (no rate, no channels, a piece of 0 ms).
  bool Start(const AudioSourceSettings& settings);
  // Stops; what was not sent yet is never sent.
  void Stop();

  // Frames the microphone captured (sent or lost), frames lost to a full queue, messages sent.
  uint64_t CapturedFrames() const;
  uint64_t LostFrames() const;
  uint64_t Messages() const;

 private:
  void Run();

  Chip& chip_;
  AudioSourceSettings settings_;
  mutable std::mutex lock_;
  std::condition_variable stop_cv_;
  std::thread thread_;
  bool running_ = false;
  bool stop_ = false;
  int64_t start_ns_ = 0;
  uint64_t captured_ = 0;
  uint64_t lost_ = 0;
  uint64_t messages_ = 0;
};

}  // namespace vorn::chip
