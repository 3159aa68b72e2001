// The display road measured end to end, plug-in to chip model, two 1920 x 1080 monitors, the
// chip acknowledging every frame at once:
// - full-screen updates per second per format, both monitors together; each monitor plays
//   pictures of its own, and the host presents the next one as soon as the plug-in has taken
//   a frame since the one before last (two in flight), so a fast plug-in never waits;
// - processor time per full frame, two ways: the plug-in's own (the thread clocks of every
//   thread it started: encode, send, hot-plug; less the chip model's reassembly, storing and
//   decoding, which run inside the send thread's bulk writes; plus its Present calls on the
//   host's thread) and the whole process (host, chip model and all), each set beside one
//   1080p BGRA memory copy;
// - the same over the station road (the plug-in on the display child of a station driver bound
//   to the chip, its frames going as the station's slices), and the station's own processor
//   time per frame two ways: the station road's whole process less the direct road's, and
//   the threads neither the plug-in nor the host run (the kernel stand-in's: the bus's
//   completions, DPCs, timers, work items, the station's worker);
// - the time from Present of a 64 x 64 rectangle to the chip, median and 99th percentile;
// - the goals as "goal" lines with the measured value and "met" or "missed".
// Prints plain lines a script can read.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/thread.h"
#include "tools/vorn-sim/session.h"

extern "C" SorvikDevice* OpenSorvikDevice(SorvikDeviceInterface* block);

namespace {

using Clock = std::chrono::steady_clock;
using vorn::sim::Format;

// The goals, two 1080p monitors with acknowledgements at once.
constexpr double kGoalYuvFramesPerSecond = 600;
constexpr double kGoalCopiesPerFrame = 4;
constexpr double kGoalLatencyMs = 2;
constexpr double kGoalJpegLatencyMs = 30;
// Two 1080p monitors of YUV 4:2:0 through the station.
constexpr double kGoalStationYuvFramesPerSecond = 300;

double Seconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double CopySeconds() {
  const size_t n = size_t{1920} * 1080 * 4;
  std::vector<uint8_t> a(n, 1), b(n, 2);
  double best = 1e9;
  for (int i = 0; i < 30; ++i) {
    const auto t0 = Clock::now();
    std::memcpy(b.data(), a.data(), n);
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    best = std::min(best, s);
    a[i] = b[n - 1 - i];  // keeps the copies from being dropped
  }
  return best;
}

// Processor seconds of the plug-in's threads: in this program only the plug-in starts threads
// through the user-mode services (the host, its continuous reader and the chip model do not).
double PluginThreadSeconds() {
  return static_cast<double>(vorn::win32::StartedThreadsCpuNanoseconds()) * 1e-9;
}

void Goal(const std::string& what, double value, const char* unit, bool met) {
  std::printf("goal %s: %.2f %s %s\n", what.c_str(), value, unit, met ? "met" : "missed");
}

struct Figures {
  double fps = 0;
  double process_per_frame = 0;  // seconds
  double model_per_frame = 0;    // the chip model's reassembly, storing and decoding
};

// Full-screen updates on both monitors for two seconds: frames per second and CPU per frame.
// |direct| holds the direct road's figures when |road| is the station's.
Figures Throughput(Format format, double copy, vorn::sim::Road road, const Figures& direct) {
  vorn::host::DisplayHost host(&OpenSorvikDevice);
  vorn::sim::SessionOptions o;
  o.format = format;
  o.road = road;
  const bool station = road == vorn::sim::Road::kStation;
  vorn::chip::Chip chip(vorn::sim::SessionProfile(o));
  vorn::sim::Session s(host, chip, o);
  std::string error;
  if (!s.BringUp(&error)) {
    std::printf("%s on the %s road: %s\n", FormatName(format), RoadName(road), error.c_str());
    return {};
  }
  s.Settle(5000, 0);
  auto& views = s.views();
  // Two pictures per monitor, drawn beforehand so the drawing is not measured, each monitor's
  // unlike the other's.
  std::vector<std::vector<vorn::host::Desktop>> pictures;
  for (size_t i = 0; i < views.size(); ++i) {
    pictures.emplace_back();
    for (uint32_t k = 0; k < 2; ++k) {
      pictures[i].emplace_back(views[i].width, views[i].height);
      pictures[i][k].Photo(pictures[i][k].bounds(), static_cast<uint32_t>(1 + 2 * i + k),
                           static_cast<uint32_t>(k * 40 + i * 90));
    }
  }
  chip.bulk_out().MeasureCpu(true);
  chip.station_bulk_out().MeasureCpu(true);
  const uint64_t model0 = chip.bulk_out().CpuNanoseconds() + chip.station_bulk_out().CpuNanoseconds();
  const double threads0 = PluginThreadSeconds();
  const double process0 = Seconds(CLOCK_PROCESS_CPUTIME_ID);
  const double main0 = Seconds(CLOCK_THREAD_CPUTIME_ID);
  auto frames = [&](size_t i) { return chip.frames().FullFrames(static_cast<int>(views[i].display->ViewIndex)); };
  std::vector<uint64_t> frames0(views.size());
  for (size_t i = 0; i < views.size(); ++i) frames0[i] = frames(i);

  // Per monitor: the frame count read before each of the last two Presents. The next Present
  // goes once a frame has come after the one before last: the pending update makes at least
  // one more frame, so the host can neither stall nor run ahead of the plug-in by more than
  // two pictures. A monitor that shows nothing new for 100 ms is presented to again anyway
  // (and counted), in case an update was sent as something else than a full frame.
  struct Feed {
    uint64_t before[2] = {~uint64_t{0}, ~uint64_t{0}};
    uint32_t turn = 0;
    Clock::time_point last;
  };
  std::vector<Feed> feeds(views.size());
  double present_cpu = 0;
  uint64_t presents = 0, nudges = 0;
  const auto t0 = Clock::now();
  const auto end = t0 + std::chrono::seconds(2);
  while (Clock::now() < end) {
    bool presented = false;
    for (size_t i = 0; i < views.size(); ++i) {
      Feed& f = feeds[i];
      const uint64_t now = frames(i);
      const bool due = f.before[0] == ~uint64_t{0} || now > f.before[0];
      const bool stuck = Clock::now() - f.last > std::chrono::milliseconds(100);
      if (!due && !stuck) continue;
      if (!due) ++nudges;
      f.before[0] = f.before[1];
      f.before[1] = now;
      const vorn::host::Desktop& p = pictures[i][f.turn++ & 1];
      const double c0 = Seconds(CLOCK_THREAD_CPUTIME_ID);
      s.adapter()->Present(views[i].display, p.data(), p.pitch(), {p.bounds()});
      present_cpu += Seconds(CLOCK_THREAD_CPUTIME_ID) - c0;
      f.last = Clock::now();
      ++presents;
      presented = true;
    }
    if (!presented) std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  const double process = Seconds(CLOCK_PROCESS_CPUTIME_ID) - process0;
  const double main_thread = Seconds(CLOCK_THREAD_CPUTIME_ID) - main0;
  const double threads = PluginThreadSeconds() - threads0;
  const double model =
      static_cast<double>(chip.bulk_out().CpuNanoseconds() + chip.station_bulk_out().CpuNanoseconds() - model0) * 1e-9;
  uint64_t full = 0;
  for (size_t i = 0; i < views.size(); ++i) full += frames(i) - frames0[i];
  const std::string label = std::string(FormatName(format)) + (station ? "-station" : "");
  const char* name = label.c_str();
  std::printf("fps %-16s %8.1f full %ux%u frames/s in all, %zu monitors (%llu frames, %llu "
              "presents, %llu of them re-sent after 100 ms, in %.2f s)\n",
              name, static_cast<double>(full) / seconds, views[0].width, views[0].height,
              views.size(), static_cast<unsigned long long>(full),
              static_cast<unsigned long long>(presents), static_cast<unsigned long long>(nudges),
              seconds);
  if (full == 0) {
    s.Close();
    return {};
  }
  const double n = static_cast<double>(full);
  const Figures figures{n / seconds, process / n, model / n};
  if (station) {
    // The plug-in's threads run the station's dispatch inside their bulk writes here, and the
    // kernel stand-in's threads (the bus's completions above all) run the station's
    // completions and the chip model; the station's own share is what the road adds to the
    // whole process, less what the chip model's reassembly on this road costs more.
    const double kernel_threads = process - threads - main_thread;
    std::printf("cpu %-16s process %.3f ms per frame; plug-in threads %.3f (with the station's "
                "dispatch), host thread %.3f, kernel threads %.3f, of all these the chip model "
                "%.3f\n",
                name, process / n * 1e3, threads / n * 1e3, main_thread / n * 1e3,
                kernel_threads / n * 1e3, model / n * 1e3);
    if (direct.process_per_frame > 0) {
      const double own = (process / n - model / n) - (direct.process_per_frame - direct.model_per_frame);
      std::printf("cpu %-16s station %.3f ms per frame (the process less the chip model, %.3f, "
                  "against the direct road's %.3f); 1080p BGRA copy %.3f ms\n",
                  name, own * 1e3, (process - model) / n * 1e3,
                  (direct.process_per_frame - direct.model_per_frame) * 1e3, copy * 1e3);
      std::printf("ratio %s-cpu-per-frame/bgra-copy %.2f\n", name, own / copy);
    }
    if (format == Format::kYuv420 || format == Format::kYuv420Planar)
      Goal(std::string(name) + " full frames/s, two monitors, through the station, >= 300",
           figures.fps, "frames/s", figures.fps >= kGoalStationYuvFramesPerSecond);
    s.Close();
    for (const std::string& l : s.StationLeftovers()) std::printf("%s: left behind: %s\n", name, l.c_str());
    return figures;
  }
  const double plugin = threads - model + present_cpu;
  std::printf("cpu %-8s plug-in %.3f ms per frame: its threads %.3f less the chip model in its "
              "bulk writes %.3f, Present on the host's thread %.3f\n",
              name, plugin / n * 1e3, threads / n * 1e3, model / n * 1e3,
              present_cpu / n * 1e3);
  std::printf("cpu %-8s process %.3f ms per frame (host, plug-in and chip model); 1080p BGRA "
              "copy %.3f ms\n",
              name, process / n * 1e3, copy * 1e3);
  std::printf("ratio %s-plugin-cpu-per-frame/bgra-copy %.2f\n", name, plugin / n / copy);
  std::printf("ratio %s-process-cpu-per-frame/bgra-copy %.2f\n", name, process / n / copy);
  if (format == Format::kYuv420 || format == Format::kYuv420Planar) {
    const double fps = n / seconds;
    Goal(std::string(name) + " full frames/s, two monitors, >= 600", fps, "frames/s",
         fps >= kGoalYuvFramesPerSecond);
    Goal(std::string(name) + " plug-in cpu per frame <= 4 1080p BGRA copies", plugin / n / copy,
         "copies", plugin / n / copy <= kGoalCopiesPerFrame);
  }
  s.Close();
  return figures;
}

void Latency(Format format) {
  vorn::host::DisplayHost host(&OpenSorvikDevice);
  vorn::sim::SessionOptions o;
  o.format = format;
  o.monitors = 1;
  vorn::chip::Chip chip(vorn::sim::SessionProfile(o));
  vorn::sim::Session s(host, chip, o);
  std::string error;
  if (!s.BringUp(&error)) {
    std::printf("%s: %s\n", FormatName(format), error.c_str());
    return;
  }
  s.Step();
  s.Settle(5000, 0);
  auto& v = s.views()[0];
  std::vector<double> us;
  for (uint32_t i = 0; i < (format == Format::kJpeg ? 40u : 200u); ++i) {
    const uint32_t x = (i * 64) % (v.width - 64), y = ((i * 7) % 16) * 64 % (v.height - 64);
    const HostRect r{x, y, x + 64, y + 64};
    v.desktop->Fill(r, 0x102030 + i);
    v.desktop->TakeDirty();
    // JPEG patches are display messages the chip acknowledges; YUV and RGB patches are
    // two-plane writes, which have no acknowledgement, so their end is the chip's receipt.
    const bool acked = format == Format::kJpeg;
    auto now = [&] { return acked ? chip.frames().AckedSequences().size() : chip.frames().Messages(); };
    const size_t before = now();
    const auto t0 = Clock::now();
    s.adapter()->Present(v.display, v.desktop->data(), v.desktop->pitch(), {r});
    while (now() == before && Clock::now() - t0 < std::chrono::seconds(2)) std::this_thread::yield();
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    // JPEG views refresh the whole screen at full quality 50 ms after the last update, and
    // that encode takes a while: let it pass (the chip quiet for 200 ms, at most 10 s) so
    // that it does not stand in the next sample.
    if (acked) {
      uint64_t last = chip.frames().Messages();
      auto quiet = Clock::now();
      const auto give_up = quiet + std::chrono::seconds(10);
      while (Clock::now() - quiet < std::chrono::milliseconds(200) && Clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const uint64_t m = chip.frames().Messages();
        if (m != last) {
          last = m;
          quiet = Clock::now();
        }
      }
    }
  }
  std::sort(us.begin(), us.end());
  const double median = us[us.size() / 2], p99 = us[us.size() * 99 / 100];
  const char* name = FormatName(format);
  std::printf("latency %-8s Present 64x64 to %s: median %.0f us, p99 %.0f us (%zu samples)\n",
              name, format == Format::kJpeg ? "acknowledgement" : "chip receipt", median, p99,
              us.size());
  const double limit = format == Format::kJpeg ? kGoalJpegLatencyMs : kGoalLatencyMs;
  Goal(std::string(name) + " Present 64x64 p99 < " + std::to_string(static_cast<int>(limit)) + " ms",
       p99 / 1e3, "ms", p99 / 1e3 < limit);
  s.Close();
}

}  // namespace

// With an argument, a road and optionally a format: only that road's throughput (for a
// profiler), e.g. "bench_pipeline station yuv420".
int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const double copy = CopySeconds();
  if (argc > 1) {
    vorn::sim::Road road;
    Format only = Format::kYuv420;
    if (!vorn::sim::ParseRoad(argv[1], &road) || (argc > 2 && !vorn::sim::ParseFormat(argv[2], &only))) {
      std::fprintf(stderr, "usage: bench_pipeline [direct|station [rgb24|yuv420|yuv420p|jpeg]]\n");
      return 2;
    }
    for (Format f : {Format::kRgb24, Format::kYuv420, Format::kYuv420Planar, Format::kJpeg})
      if (argc == 2 || f == only) Throughput(f, copy, road, {});
    return 0;
  }
  for (Format f : {Format::kRgb24, Format::kYuv420, Format::kYuv420Planar, Format::kJpeg}) {
    const Figures direct = Throughput(f, copy, vorn::sim::Road::kDirect, {});
    if (vorn::sim::StationRoadBuilt()) Throughput(f, copy, vorn::sim::Road::kStation, direct);
  }
  for (Format f : {Format::kYuv420, Format::kRgb24, Format::kJpeg}) Latency(f);
  return 0;
}
