// Timing without a benchmark library, for comparisons inside one process: the contenders run
// in turn, round after round, so a busy moment of a shared machine falls on all of them alike,
// and each keeps its best round. Each round times a few calls in a row and divides.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace vorn::bench {

struct Contender {
  std::string name;
  std::function<void()> run;
  double bestSeconds = std::numeric_limits<double>::infinity();  // per call
};

// Runs every contender |calls| times per round for |rounds| rounds, in turn, and keeps each
// one's best time per call. One warm-up call each first.
inline void RunAlternating(std::vector<Contender>& contenders, int32_t rounds, int32_t calls) {
  using Clock = std::chrono::steady_clock;
  for (Contender& c : contenders) c.run();
  for (int32_t r = 0; r < rounds; ++r) {
    // Alternate the order too, so no contender always runs right after the same one.
    for (size_t k = 0; k < contenders.size(); ++k) {
      Contender& c = contenders[(r % 2 == 0) ? k : contenders.size() - 1 - k];
      const Clock::time_point start = Clock::now();
      for (int32_t i = 0; i < calls; ++i) c.run();
      const double seconds = std::chrono::duration<double>(Clock::now() - start).count() / calls;
      if (seconds < c.bestSeconds) c.bestSeconds = seconds;
    }
  }
}

}  // namespace vorn::bench
