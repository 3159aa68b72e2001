// The chip's audio output: every type-3 message the host sends on the audio channel is PCM
// for the speaker, played in the order it came. The sink keeps what it played (up to
// kMaxKeptBytes; later bytes are counted, not kept) and the length of each message. A message
// whose header is not a plain audio header (one slice, every other field zero) is played all
// the same, as the chip plays it, and counted, so a test can tell that its host sent only
// plain ones.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "sim/chip/bulk_out.h"

namespace vorn::chip {

class AudioPcmSink {
 public:
  static constexpr size_t kMaxKeptBytes = 64u << 20;
  static constexpr size_t kKeptLengths = 4096;

  AudioPcmSink() = default;

  // Called with every completed bulk OUT message; takes those of the audio type.
  void OnMessage(const BusMessage& m);

  // Messages whose header had more than type, lengths and one slice set.
  uint64_t IrregularHeaders() const;
  // Bytes played in all (kept or not) and in how many messages.
  uint64_t PlayedBytes() const;
  uint64_t Messages() const;
  // The PCM played, oldest first, as far as it was kept.
  std::vector<uint8_t> Played() const;
  // The payload length of the last kKeptLengths messages, oldest first.
  std::vector<uint32_t> MessageLengths() const;
  // Forgets what was played and the lengths (the counts too).
  void Clear();
  // Waits until at least |bytes| have been played in all, or |real_timeout| of real time has
  // passed; true when they have.
  bool WaitForPlayed(uint64_t bytes, std::chrono::milliseconds real_timeout) const;

 private:
  mutable std::mutex lock_;
  mutable std::condition_variable played_cv_;
  std::vector<uint8_t> pcm_;
  std::deque<uint32_t> lengths_;
  uint64_t played_ = 0;
  uint64_t messages_ = 0;
  uint64_t irregular_ = 0;
};

}  // namespace vorn::chip
