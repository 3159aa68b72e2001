#include "sim/chip/audio_pcm_source.h"

#include <algorithm>
#include <chrono>

#include "platform/nt/clock.h"
#include "sim/chip/chip.h"

namespace vorn::chip {

bool AudioPcmSource::Start(const AudioSourceSettings& settings) {
  const audio::ToneFormat& f = settings.tone.format;
  if (f.rate == 0 || f.channels == 0 || f.channels > 8 || settings.piece_ms == 0) return false;
  std::lock_guard<std::mutex> guard(lock_);
  if (running_) return false;
  settings_ = settings;
  settings_.max_message_ms = std::max(settings_.max_message_ms, settings_.piece_ms);
  running_ = true;
  stop_ = false;
  captured_ = lost_ = messages_ = 0;
  start_ns_ = clock::NowNs();
  thread_ = std::thread([this] { Run(); });
  return true;
}

void AudioPcmSource::Stop() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!running_) return;
    stop_ = true;
  }
  stop_cv_.notify_all();
  thread_.join();
  std::lock_guard<std::mutex> guard(lock_);
  running_ = false;
}

uint64_t AudioPcmSource::CapturedFrames() const {
  std::lock_guard<std::mutex> guard(lock_);
  return captured_;
}

uint64_t AudioPcmSource::LostFrames() const {
  std::lock_guard<std::mutex> guard(lock_);
  return lost_;
}

uint64_t AudioPcmSource::Messages() const {
  std::lock_guard<std::mutex> guard(lock_);
  return messages_;
}

void AudioPcmSource::Run() {
  const audio::Tone& tone = settings_.tone;
  const uint32_t rate = tone.format.rate;
  const uint64_t piece = std::max<uint64_t>(1, uint64_t{rate} * settings_.piece_ms / 1000);
  const uint64_t most = piece * (settings_.max_message_ms / settings_.piece_ms);
  std::unique_lock<std::mutex> guard(lock_);
  while (!stop_) {
    // Frames due by now, in whole microseconds of the clock so the count only grows.
    const int64_t elapsed_us = (clock::NowNs() - start_ns_) / 1000;
    const int64_t drifted_us = elapsed_us + elapsed_us * settings_.drift_ppm / 1'000'000;
    const uint64_t due = static_cast<uint64_t>(std::max<int64_t>(0, drifted_us)) * rate / 1'000'000;
    while (!stop_ && due >= captured_ + piece) {
      const uint64_t frames = std::min(most, (due - captured_) / piece * piece);
      const bool full = chip_.bulk_in().QueuedMessages() >= kMaxQueuedMessages;
      // Held back, the frames stay due and go out once the host has read on.
      if (full && settings_.wait_for_host) break;
      const uint64_t first = captured_;
      captured_ += frames;
      if (full) {
        lost_ += frames;
        continue;
      }
      BulkInMessage m;
      m.payload = audio::RenderTone(tone, first, frames);
      m.header.Type = settings_.type;
      m.header.TotalLength = static_cast<uint32_t>(m.payload.size());
      m.header.Slice.SliceLength = m.header.TotalLength;
      ++messages_;
      // Not under the lock: the host may read the message inline and look back here.
      guard.unlock();
      chip_.SendBulkIn(std::move(m), true);
      guard.lock();
    }
    clock::WaitFor(stop_cv_, guard, std::chrono::milliseconds(settings_.piece_ms),
                   [this] { return stop_; });
  }
}

}  // namespace vorn::chip
