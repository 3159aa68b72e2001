// The display road measured end to end, plug-in to chip model, two 1920 x 1080 monitors:
// - full-screen updates per second per format, with the chip acknowledging at once;
// - CPU time per full frame (all threads of the process: the plug-in's encode and send
//   threads, the host's Present copies and the chip model's stores into frame memory) set
//   beside one 1080p BGRA memory copy, as "ratio <format> <cpu per frame / copy>";
// - the time from Present of a 64 x 64 rectangle to its acknowledgement, median and 99th
//   percentile.
// Prints plain lines a script can read.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "tools/vorn-sim/session.h"

extern "C" SorvikDevice* OpenSorvikDevice(SorvikDeviceInterface* block);

namespace {

using Clock = std::chrono::steady_clock;
using vorn::sim::Format;

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
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

uint64_t FullFrames(vorn::chip::Chip& chip) {
  uint64_t n = 0;
  for (const auto& [key, count] : chip.traffic().Counts())
    if (key.type == 0 && (key.kind == 3 || key.kind == 4)) n += count.messages;
  return n;
}

// Full-screen updates on both monitors for |seconds|; frames per second and CPU per frame.
void Throughput(Format format, double copy) {
  vorn::host::DisplayHost host(&OpenSorvikDevice);
  vorn::sim::SessionOptions o;
  o.format = format;
  vorn::chip::Chip chip(vorn::sim::SessionProfile(o));
  vorn::sim::Session s(host, chip, o);
  std::string error;
  if (!s.BringUp(&error)) {
    std::printf("%s: %s\n", FormatName(format), error.c_str());
    return;
  }
  s.Settle(5000, 0);
  const uint64_t frames0 = FullFrames(chip);
  const double cpu0 = CpuSeconds();
  const auto t0 = Clock::now();
  const auto end = t0 + std::chrono::seconds(2);
  // Two pictures drawn beforehand, presented in turn, so the drawing is not measured.
  const auto& first = s.views()[0];
  std::vector<vorn::host::Desktop> pictures(2, vorn::host::Desktop(first.width, first.height));
  for (uint32_t i = 0; i < 2; ++i) pictures[i].Photo(pictures[i].bounds(), 1, i * 40);
  uint32_t turn = 0;
  while (Clock::now() < end) {
    for (auto& v : s.views()) {
      const vorn::host::Desktop& p = pictures[++turn & 1];
      s.adapter()->Present(v.display, p.data(), p.pitch(), {p.bounds()});
    }
    // The host composes at most as fast as the plug-in takes frames: wait for a frame to go.
    const uint64_t before = FullFrames(chip);
    while (FullFrames(chip) == before && Clock::now() < end) std::this_thread::yield();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  const double cpu = CpuSeconds() - cpu0;
  const uint64_t frames = FullFrames(chip) - frames0;
  std::printf("fps %-8s %8.1f full 1920x1080 frames/s (%llu in %.2f s)\n", FormatName(format),
              frames / seconds, static_cast<unsigned long long>(frames), seconds);
  if (frames) {
    std::printf("cpu %-8s %8.3f ms per frame, 1080p BGRA copy %.3f ms\n", FormatName(format),
                cpu / frames * 1e3, copy * 1e3);
    std::printf("ratio %s %.2f\n", FormatName(format), cpu / frames / copy);
  }
  s.Close();
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
    const size_t before = acked ? chip.frames().AckedSequences().size() : chip.traffic().Messages();
    auto now = [&] { return acked ? chip.frames().AckedSequences().size() : chip.traffic().Messages(); };
    const auto t0 = Clock::now();
    s.adapter()->Present(v.display, v.desktop->data(), v.desktop->pitch(), {r});
    while (now() == before && Clock::now() - t0 < std::chrono::seconds(2)) std::this_thread::yield();
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    // JPEG views refresh the whole screen at full quality 50 ms after the last update, and
    // that encode takes a while: let it pass so that it does not stand in the next sample.
    if (acked) std::this_thread::sleep_for(std::chrono::milliseconds(400));
  }
  std::sort(us.begin(), us.end());
  std::printf("latency %-8s Present 64x64 to %s: median %.0f us, p99 %.0f us\n",
              FormatName(format), format == Format::kJpeg ? "acknowledgement" : "chip receipt", us[us.size() / 2], us[us.size() * 99 / 100]);
  s.Close();
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const double copy = CopySeconds();
  for (Format f : {Format::kRgb24, Format::kYuv420, Format::kYuv420Planar, Format::kJpeg})
    Throughput(f, copy);
  for (Format f : {Format::kYuv420, Format::kRgb24, Format::kJpeg}) Latency(f);
  return 0;
}
