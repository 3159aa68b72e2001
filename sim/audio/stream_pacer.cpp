#include "sim/audio/stream_pacer.h"

#include <algorithm>
#include <chrono>

#include "platform/nt/clock.h"

namespace vorn::audio {
namespace {

// How often the hold is moved on, in real time: the clock waits at most this long for the
// pacer once the stand-ins have caught up.
constexpr auto kPaceInterval = std::chrono::microseconds(200);

}  // namespace

bool StreamPacer::Start(const StreamPaceSettings& settings) {
  if (thread_.joinable() || !settings.frame) return false;
  const bool render = settings.render && settings.speaker && settings.render_bytes_per_ms;
  const bool capture = settings.capture != nullptr;
  if (!render && !capture) return false;
  settings_ = settings;
  if (!render) settings_.render = nullptr;
  if (!capture) settings_.capture = nullptr;
  // With the clock standing, frame f shows for clock times in [base + f ms, base + (f+1) ms):
  // the earliest base the frame allows keeps every frame ceiling at or below its frame.
  clock::HoldAt(clock::NowNs());
  const int64_t now = clock::NowNs();
  const int64_t frame = settings_.frame();
  frame_base_ns_ = now - (frame + 1) * 1'000'000 + 1;
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_ = false;
  }
  thread_ = std::thread([this] { Run(); });
  return true;
}

void StreamPacer::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_ = true;
  }
  stop_cv_.notify_all();
  thread_.join();
  clock::ReleaseHold();
}

int64_t StreamPacer::Ceiling(std::string* parts) const {
  const int64_t now = clock::NowNs();
  int64_t ceiling = INT64_MAX;
  auto limit = [&](const char* name, int64_t at) {
    ceiling = std::min(ceiling, at);
    if (parts) *parts += " " + std::string(name) + " " + std::to_string((at - now) / 1000) + " us ahead;";
  };
  auto client = [&](const usb::IsochStream* s) -> usb::IsochStreamProgress {
    const usb::IsochStreamProgress p = s->Progress();
    limit(s == settings_.render ? "render URBs" : "capture URBs", p.started ? FrameNs(p.next_start) : now);
    return p;
  };
  if (settings_.render) {
    const usb::IsochStreamProgress p = client(settings_.render);
    if (p.started) {
      const uint64_t played = settings_.speaker->PlayedBytes();
      const uint64_t data = played > settings_.render_preload_bytes ? played - settings_.render_preload_bytes : 0;
      const int64_t played_ms = static_cast<int64_t>(data / settings_.render_bytes_per_ms);
      limit("played", FrameNs(int64_t{p.first_start} + played_ms + kPlayedAheadMs));
    }
  }
  if (settings_.capture) client(settings_.capture);
  return ceiling;
}

std::string StreamPacer::Describe() const {
  std::string parts;
  Ceiling(&parts);
  return "clock " + std::to_string(clock::NowNs() / 1000) + " us, frame " +
         std::to_string(settings_.frame ? settings_.frame() : 0) + ";" + parts;
}

void StreamPacer::Run() {
  std::unique_lock<std::mutex> guard(lock_);
  while (!stop_) {
    guard.unlock();
    clock::HoldAt(Ceiling());
    guard.lock();
    // Real time: the pacer looks at the stand-ins, it does not take part in the clock.
    stop_cv_.wait_for(guard, kPaceInterval, [this] { return stop_; });
  }
}

}  // namespace vorn::audio
