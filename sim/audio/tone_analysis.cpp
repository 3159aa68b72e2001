#include "sim/audio/tone_analysis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

namespace vorn::audio {
namespace {

constexpr size_t kWindow = 32;  // samples that place a sample in the tone (most of a cycle)
constexpr double kFullScale = 32767.0;
// Places tried before a stream is taken to hold no tone, and samples in a row that fit no
// place before the rest is counted as changed unseen (each try walks the tone's period).
constexpr size_t kStartSearch = 4096;
constexpr size_t kGiveUpAfter = 256;

class Reference {
 public:
  Reference(const Tone& tone, uint32_t channel, int32_t gain_q16)
      : tone_(tone), channel_(channel), gain_(gain_q16) {
    const uint32_t rate = tone.format.rate ? tone.format.rate : 1;
    const double f = tone.Frequency(channel);
    // The tone repeats after rate / gcd(f, rate) samples when f is whole; otherwise a
    // second's worth of places is searched.
    if (f == std::floor(f) && f > 0)
      period_ = rate / std::gcd<uint64_t, uint64_t>(static_cast<uint64_t>(f), rate);
    else
      period_ = rate;
    table_.resize(period_);
    for (uint64_t n = 0; n < period_; ++n) table_[n] = Scaled(tone_.Sample(n, channel_));
  }

  int16_t At(uint64_t n) const { return table_[n % period_]; }
  uint64_t period() const { return period_; }

  // Whether samples[pos...] (up to kWindow of them) equal the tone from place n on.
  bool Matches(const std::vector<int16_t>& s, size_t pos, uint64_t n) const {
    const size_t end = std::min(s.size(), pos + kWindow);
    for (size_t i = pos; i < end; ++i)
      if (s[i] != At(n + (i - pos))) return false;
    return true;
  }

  // The place (mod period) whose window matches samples[pos...], or false.
  bool Locate(const std::vector<int16_t>& s, size_t pos, uint64_t* n) const {
    for (uint64_t k = 0; k < period_; ++k) {
      if (s[pos] == table_[k] && Matches(s, pos, k)) {
        *n = k;
        return true;
      }
    }
    return false;
  }

 private:
  int16_t Scaled(int16_t v) const {
    if (gain_ == 0x10000) return v;
    return static_cast<int16_t>((static_cast<int32_t>(v) * gain_) >> 16);
  }

  const Tone& tone_;
  uint32_t channel_;
  int32_t gain_;
  uint64_t period_ = 1;
  std::vector<int16_t> table_;
};

size_t ZeroRun(const std::vector<int16_t>& s, size_t pos) {
  size_t end = pos;
  while (end < s.size() && s[end] == 0) ++end;
  return end - pos;
}

// Frequency from the rising zero crossings of samples [begin, end), interpolated between
// the two samples around each crossing.
double CrossingFrequency(const std::vector<int16_t>& s, size_t begin, size_t end, uint32_t rate) {
  double first = -1, last = -1;
  uint64_t count = 0;
  for (size_t i = begin + 1; i < end; ++i) {
    if (s[i - 1] < 0 && s[i] >= 0) {
      const double a = s[i - 1], b = s[i];
      const double t = static_cast<double>(i - 1) + (-a) / (b - a);
      if (count == 0) first = t;
      last = t;
      ++count;
    }
  }
  if (count < 2 || last <= first) return 0;
  return static_cast<double>(count - 1) * rate / (last - first);
}

}  // namespace

double SineLevelDbfs(double amplitude) {
  const double rms = amplitude * kFullScale / std::sqrt(2.0);
  return 20.0 * std::log10(rms / kFullScale);
}

ToneAnalysis AnalyseTone(const Tone& tone, uint32_t channel, const std::vector<int16_t>& s,
                         int32_t gain_q16) {
  ToneAnalysis a;
  a.samples = s.size();
  const uint32_t rate = tone.format.rate ? tone.format.rate : 1;
  const Reference ref(tone, channel, gain_q16);

  size_t pos = ZeroRun(s, 0);
  a.leading_silence = pos;
  uint64_t n = 0;
  // The tone begins at the first sample outside the leading silence that can be placed.
  const size_t search_end = std::min(s.size(), pos + kStartSearch);
  while (pos < search_end && !ref.Locate(s, pos, &n)) {
    ++a.changed;
    ++pos;
  }
  if (pos >= search_end) {
    a.changed = 0;  // nothing placed: the stream holds no tone
    return a;
  }
  a.found = true;
  a.first_index = n;

  double sum_squares = 0;
  uint64_t heard = 0;
  size_t stretch_begin = pos, best_begin = pos, best_end = pos;
  auto end_stretch = [&](size_t at) {
    if (at - stretch_begin > best_end - best_begin) {
      best_begin = stretch_begin;
      best_end = at;
    }
  };

  size_t misfits = 0;  // samples in a row that fit no place
  while (pos < s.size()) {
    const int16_t v = s[pos];
    if (v == ref.At(n)) {
      misfits = 0;
      ++a.matched;
      sum_squares += static_cast<double>(v) * v;
      ++heard;
      a.peak = std::max(a.peak, std::abs(static_cast<double>(v)) / kFullScale);
      ++pos;
      ++n;
      continue;
    }
    if (v == 0) {
      const size_t run = ZeroRun(s, pos);
      end_stretch(pos);
      if (pos + run == s.size()) {
        a.trailing_silence = run;
        break;
      }
      ++a.silence_runs;
      a.silence_samples += run;
      pos += run;
      stretch_begin = pos;
      continue;
    }
    // Out of place: find where the tone goes on, the nearer way round its period.
    uint64_t m = 0;
    if (ref.Locate(s, pos, &m)) {
      const int64_t period = static_cast<int64_t>(ref.period());
      int64_t d = (static_cast<int64_t>(m) - static_cast<int64_t>(n % ref.period())) % period;
      if (d < 0) d += period;
      if (d > period / 2) d -= period;
      end_stretch(pos);
      stretch_begin = pos;
      if (d > 0)
        a.lost += static_cast<uint64_t>(d);
      else
        a.repeated += static_cast<uint64_t>(-d);
      n = static_cast<uint64_t>(static_cast<int64_t>(n) + d);
      misfits = 0;
      continue;
    }
    if (++misfits > kGiveUpAfter) {
      a.changed += s.size() - pos;
      pos = s.size();
      break;
    }
    ++a.changed;
    sum_squares += static_cast<double>(v) * v;
    ++heard;
    ++pos;
    ++n;
  }
  end_stretch(pos);
  a.drift_samples = static_cast<int64_t>(a.silence_samples) + static_cast<int64_t>(a.repeated) -
                    static_cast<int64_t>(a.lost);
  a.frequency_hz = CrossingFrequency(s, best_begin, best_end, rate);
  if (heard) {
    const double rms = std::sqrt(sum_squares / static_cast<double>(heard));
    a.level_dbfs = rms > 0 ? 20.0 * std::log10(rms / kFullScale) : -200;
  }
  return a;
}

std::string ToneAnalysis::Summary(uint32_t rate) const {
  char line[320];
  const double per_ms = rate ? rate / 1000.0 : 1;
  std::snprintf(line, sizeof line,
                "%s: %.2f Hz, %.2f dBFS, %llu samples (%llu matched), lost %llu, repeated %llu, "
                "changed %llu, %llu silence runs (%.1f ms), drift %lld samples (%.2f ms)",
                found ? "tone" : "no tone", frequency_hz, level_dbfs,
                static_cast<unsigned long long>(samples), static_cast<unsigned long long>(matched),
                static_cast<unsigned long long>(lost), static_cast<unsigned long long>(repeated),
                static_cast<unsigned long long>(changed),
                static_cast<unsigned long long>(silence_runs), silence_samples / per_ms,
                static_cast<long long>(drift_samples), drift_samples / per_ms);
  return line;
}

}  // namespace vorn::audio
