// vorn-sim: runs the display road of the driver package on a simulated machine. It loads the
// display plug-in into the display host, binds the station driver to a simulated adapter with
// one or two monitors and opens the plug-in on the station's display child (or, with
// --road direct, on the adapter itself),
// plays a desktop scene on them (windows moving, text scrolling, a photo region playing, a
// pointer on its path) for the time asked, and at the end writes a PNG per monitor with the
// desktop on the left and what the monitor shows on the right, and prints a summary: messages
// by kind and format, bytes sent, which messages were acknowledged, messages and full frames
// per second and the difference between each desktop and its monitor. --capture writes the
// traffic the chip received to a file. --swap-monitor unplugs a monitor while the desktop
// plays and plugs another one (with another EDID) into its output once the plug-in has let
// the first go, and lists every acquire and release the host saw.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "display/device/sorvik_interface.h"
#include "display/device/trace_messages.h"
#include "platform/win32/trace_sink.h"
#include "platform/nt/clock.h"
#include "sim/chip/chip.h"
#include "sim/chip/edid_blob.h"
#include "sim/chip/monitor_plug.h"
#include "sim/host/display_host.h"
#include "sim/host/pointer.h"
#include "tools/vorn-sim/command_packets.h"
#include "tools/vorn-sim/png_writer.h"
#include "tools/vorn-sim/audio_road.h"
#include "tools/vorn-sim/panel_step.h"
#include "tools/vorn-sim/rom_update.h"
#include "tools/vorn-sim/session.h"

namespace {
constexpr const char* kVersion = "0.2.0";
constexpr UCHAR kTraceLevelInfo = 4;
constexpr ULONG kTraceAllAreas = 0xFFFF;
constexpr uint8_t kLargeMemoryMiB = 255;  // the most the adapter's memory query can report

struct Options {
  vorn::sim::SessionOptions session;
  double seconds = 3;
  uint32_t rate = 60;  // desktop steps per second
  std::string output = "vorn-sim-out";
  std::string capture;
  bool quiet = false;
  double swap_at = -1;  // seconds into play; negative: no swap
  bool command_packets = false;
};

void PrintUsage() {
  std::printf(
      "vorn-sim %s: the Vorn display plug-in on a simulated machine\n"
      "usage: vorn-sim [options]\n"
      "  Plays a changing desktop on the monitors of a simulated adapter through the display\n"
      "  plug-in, then writes a picture of each desktop beside its monitor and a summary.\n"
      "  --road R        station (default): the plug-in runs on the display child of the\n"
      "                  station driver bound to the adapter, its frames going as the\n"
      "                  station's slices; direct: the plug-in runs on the adapter itself\n"
      "  --format F      rgb24 (default), yuv420 (Y + interleaved CbCr), yuv420p (planar),\n"
      "                  jpeg\n"
      "  --monitors N    1 or 2 (default 2)\n"
      "  --usb N         2 or 3 (default 3)\n"
      "  --seconds S     how long the desktop changes (default 3)\n"
      "  --size WxH      the mode to ask for, each side 64 to 8192 (default 1920x1080); the\n"
      "                  monitors offer 800x600 to 2560x1440, and 3840x2160 on an adapter with\n"
      "                  the memory for it, which vorn-sim then simulates; the nearest offered\n"
      "                  mode is set\n"
      "  --rate N        desktop steps per second (default 60)\n"
      "  --output DIR    where the pictures go (default vorn-sim-out)\n"
      "  --capture FILE  write the chip's traffic to FILE (records BLKO, CTRL, INTI, RSET); on\n"
      "                  the station road the bulk records are the station's slices, and the\n"
      "                  control records include the station's own requests\n"
      "  --seed N        the desktop scene's seed (default 1)\n"
      "  --swap-monitor S  S seconds into play, unplug the last monitor and, once the plug-in\n"
      "                  has released it, plug another monitor (another EDID) into its output;\n"
      "                  the play goes on until the plug-in has handed that one over (the\n"
      "                  plug-in waits for four equal readings, one a second, each time)\n"
      "  --cursor C      software (default: the desktop draws the pointer) or hardware (the\n"
      "                  host moves the device's cursor and changes its shape each second:\n"
      "                  monochrome arrow, masked-colour hand, alpha ring)\n"
      "  --quiet         no progress lines\n"
      "  --rom           instead: the station driver's automatic ROM update of a simulated\n"
      "                  adapter, step by step with each block's burn result\n"
      "  --rom-image F   the image file to write (default: a built one)\n"
      "  --rom-size K    the built image's size in KiB (default 256)\n"
      "  --rom-block K   the largest block in KiB, 0 for one block (default 64)\n"
      "  --audio         instead: a tone played through the station driver's audio child and\n"
      "                  one recorded back, written as WAV files (played.wav, recorded.wav in\n"
      "                  --output) with their frequency, level, samples lost or repeated and\n"
      "                  drift; --seconds S, --audio-rate 48000|44100, --speed N (clock, 1-100,\n"
      "                  default 10), --drift-ppm P (the microphone's clock)\n"
      "  --panel         instead: an application on the panel library sets brightness,\n"
      "                  rotation and night light on a simulated adapter's station; each\n"
      "                  result and what the chip received\n"
      "  --brightness N  the brightness it sets, 0 to 100 (default 70)\n"
      "  --rotation S    the rotation state it sets, 1 to 4 (default 2)\n"
      "  --version, --help\n",
      kVersion);
  std::printf("%s", vorn::sim::kCommandPacketsUsage);
}

std::string PluginPath() {
  char exe[PATH_MAX] = {};
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  std::string dir = n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string(".");
  dir = dir.substr(0, dir.find_last_of('/'));
  return dir + "/../lib/libmarrel.so";
}

bool ParseUnsigned(const char* s, uint32_t lo, uint32_t hi, uint32_t* out) {
  char* end = nullptr;
  const unsigned long v = std::strtoul(s, &end, 10);
  if (!end || *end || end == s || v < lo || v > hi) return false;
  *out = static_cast<uint32_t>(v);
  return true;
}

const char* KindName(uint32_t type, uint32_t kind) {
  if (type == 7) return "two-plane patch";
  switch (kind) {
    case 1: return "rectangle 0";
    case 2: return "rectangle 1";
    case 3: return "full frame 0";
    case 4: return "full frame 1";
    case 7: return "JPEG patch";
  }
  return "other";
}

const char* SurfaceName(uint32_t format) {
  switch (format) {
    case 4: return "planar YUV 4:2:0";
    case 6: return "Y + CbCr 4:2:0";
    case 9: return "24-bit RGB";
    case 13: return "JPEG";
  }
  return "?";
}

// The desktop and the monitor side by side, 8 grey pixels between them.
std::vector<uint8_t> SideBySide(const vorn::host::Desktop& d, const vorn::chip::Picture* shown,
                                uint32_t* width) {
  const uint32_t w = d.width(), h = d.height(), gap = 8;
  *width = 2 * w + gap;
  std::vector<uint8_t> out(size_t{*width} * h * 4, 0x80);
  for (uint32_t y = 0; y < h; ++y) {
    std::memcpy(&out[size_t{y} * *width * 4], d.data() + size_t{y} * d.pitch(), size_t{w} * 4);
    if (shown && shown->width == w && shown->height == h)
      std::memcpy(&out[(size_t{y} * *width + w + gap) * 4], &shown->bgra[size_t{y} * w * 4], size_t{w} * 4);
    else
      std::memset(&out[(size_t{y} * *width + w + gap) * 4], 0, size_t{w} * 4);
  }
  return out;
}

// The monitor name of an EDID (its 0xFC descriptor), or "?".
std::string MonitorName(const std::vector<uint8_t>& edid) {
  for (size_t d = 54; d + 18 <= 126 && d + 18 <= edid.size(); d += 18) {
    if (edid[d] || edid[d + 1] || edid[d + 2] || edid[d + 3] != 0xFC) continue;
    std::string name;
    for (size_t i = d + 5; i < d + 18 && edid[i] != 0x0A; ++i) name += static_cast<char>(edid[i]);
    return name;
  }
  return "?";
}

// The monitor swap of --swap-monitor, one step at a time from the play loop.
class MonitorSwap {
 public:
  MonitorSwap(vorn::sim::Session& session, vorn::chip::Chip& chip, double at, bool quiet)
      : session_(session), chip_(chip), at_(at), quiet_(quiet) {}
  bool Wanted() const { return at_ >= 0; }
  bool Finished() const { return state_ == kDone || state_ == kFailed; }
  bool Failed() const { return state_ == kFailed; }

  void Step(double played) {
    if (!Wanted() || Finished()) return;
    vorn::host::Adapter& a = *session_.adapter();
    const size_t view = session_.views().size() - 1;
    const DisplayInterface* display = session_.views()[view].display;
    if (state_ == kWaiting && played >= at_) {
      output_ = display->ViewIndex;
      acquires_ = Records(a, display).size();
      session_.Suspend(view);
      vorn::chip::UnplugMonitor(chip_, static_cast<int>(output_));
      Say(played, "unplugged");
      state_ = kUnplugged;
    } else if (state_ == kUnplugged) {
      const auto r = Records(a, display);
      if (!r.empty() && r.back().released) {
        Say(played, "released by the plug-in");
        edid_ = vorn::chip::MakeCommonEdid("Vorn Swap", false);
        vorn::chip::PlugMonitor(chip_, static_cast<int>(output_), edid_);
        Say(played, "another monitor (\"Vorn Swap\") plugged in");
        state_ = kPlugged;
      }
    } else if (state_ == kPlugged) {
      const auto r = Records(a, display);
      if (r.size() > acquires_ && r.back().context && !r.back().released) {
        std::string error;
        DisplayInterface* live = const_cast<DisplayInterface*>(r.back().live);
        if (!session_.Resume(view, live, &error)) {
          std::fprintf(stderr, "vorn-sim: the new monitor: %s\n", error.c_str());
          state_ = kFailed;
          return;
        }
        Say(played, "handed over again by the plug-in");
        state_ = kDone;
      }
    }
  }

 private:
  enum State { kWaiting, kUnplugged, kPlugged, kDone, kFailed };
  static std::vector<vorn::host::DisplayRecord> Records(const vorn::host::Adapter& a,
                                                        const DisplayInterface* display) {
    std::vector<vorn::host::DisplayRecord> out;
    for (const auto& r : a.Displays())
      if (r.live == display) out.push_back(r);
    return out;
  }
  void Say(double played, const char* what) const {
    if (!quiet_) std::printf("  %5.1f s: output %u: %s\n", played, output_, what);
    std::fflush(stdout);
  }

  vorn::sim::Session& session_;
  vorn::chip::Chip& chip_;
  double at_;
  bool quiet_;
  State state_ = kWaiting;
  unsigned output_ = 0;
  size_t acquires_ = 0;
  std::vector<uint8_t> edid_;
};

int Run(const Options& o) {
  using Clock = std::chrono::steady_clock;
  auto host = vorn::host::DisplayHost::Load(PluginPath(), nullptr);
  if (!host) {
    std::string error;
    vorn::host::DisplayHost::Load(PluginPath(), &error);
    std::fprintf(stderr, "vorn-sim: cannot load the display plug-in: %s\n", error.c_str());
    return 1;
  }
  vorn::win32::EnableTraceProvider(vorn::display::kTraceControlGuid, kTraceLevelInfo, kTraceAllAreas);
  vorn::chip::Chip chip(o.command_packets ? vorn::sim::CommandPacketProfile(o.session)
                                          : vorn::sim::SessionProfile(o.session));
  if (!o.capture.empty()) {
    std::string error;
    if (!chip.capture().Open(o.capture, &error)) {
      std::fprintf(stderr, "vorn-sim: cannot capture: %s\n", error.c_str());
      return 1;
    }
  }
  std::printf("vorn-sim %s: %d monitor(s), USB %d, format %s, %.1f s, %u MiB frame memory, %s road\n",
              kVersion, o.session.monitors, o.session.usb3 ? 3 : 2,
              vorn::sim::FormatName(o.session.format), o.seconds, o.session.memory_mib,
              vorn::sim::RoadName(o.session.road));
  vorn::sim::Session session(*host, chip, o.session);
  const int64_t opened_ns = vorn::clock::NowNs();
  std::string error;
  if (!session.BringUp(&error)) {
    std::fprintf(stderr, "vorn-sim: %s\n", error.c_str());
    return 1;
  }
  for (size_t i = 0; i < session.views().size(); ++i) {
    const auto& v = session.views()[i];
    if (v.width == o.session.width && v.height == o.session.height)
      std::printf("  monitor %u: %ux%u\n", v.display->ViewIndex, v.width, v.height);
    else
      std::printf("  monitor %u: %ux%u set; %ux%u was asked for, which the adapter does not offer "
                  "(the nearest offered mode was set)\n",
                  v.display->ViewIndex, v.width, v.height, o.session.width, o.session.height);
  }

  // The hardware pointer of each monitor: a shape of its own each second, moving every step.
  std::vector<vorn::host::Pointer> pointers;
  const vorn::host::PointerShape shapes[] = {vorn::host::ArrowPointer(), vorn::host::HandPointer(),
                                             vorn::host::RingPointer()};
  if (o.session.hardware_cursor)
    for (auto& v : session.views()) {
      pointers.emplace_back(*session.adapter(), v.display);
      pointers.back().SetShape(shapes[0], 0, 0);
    }
  auto move_pointers = [&](uint64_t step) {
    for (size_t i = 0; i < pointers.size(); ++i) {
      const auto& v = session.views()[i];
      if (step % o.rate == 0)
        pointers[i].SetShape(shapes[(step / o.rate) % 3], pointers[i].x(), pointers[i].y());
      // Back and forth across the screen, and slower up and down.
      const uint32_t tx = static_cast<uint32_t>(step * 9 % (2 * v.width));
      const uint32_t ty = static_cast<uint32_t>(step * 4 % (2 * v.height));
      pointers[i].MoveTo(static_cast<int32_t>(tx < v.width ? tx : 2 * v.width - tx),
                         static_cast<int32_t>(ty < v.height ? ty : 2 * v.height - ty));
    }
  };

  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(o.seconds);
  auto next_report = start + std::chrono::seconds(1);
  uint64_t steps = 0;
  bool present_ok = true;
  MonitorSwap swap(session, chip, o.swap_at, o.quiet);
  // A swap not finished when the play time is over gets 20 s more from its start.
  const auto swap_end = std::max<Clock::time_point>(
      std::chrono::time_point_cast<Clock::duration>(end),
      start + std::chrono::duration_cast<Clock::duration>(
                  std::chrono::duration<double>(std::max(o.swap_at, 0.0))) +
          std::chrono::seconds(20));
  while (Clock::now() < end || (swap.Wanted() && !swap.Finished() && Clock::now() < swap_end)) {
    swap.Step(std::chrono::duration<double>(Clock::now() - start).count());
    present_ok = session.Step() && present_ok;
    move_pointers(steps);
    ++steps;
    const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(static_cast<double>(steps) / o.rate));
    const bool swapping = swap.Wanted() && !swap.Finished();
    std::this_thread::sleep_until(due < end || swapping ? due : end);
    if (!o.quiet && Clock::now() >= next_report) {
      next_report += std::chrono::seconds(1);
      uint64_t bytes = 0;
      for (const auto& [k, c] : chip.traffic().Counts()) bytes += c.bytes;
      std::printf("  %5.1f s: %llu steps, %llu messages, %.1f MB, %llu acknowledged\n",
                  std::chrono::duration<double>(Clock::now() - start).count(),
                  static_cast<unsigned long long>(steps),
                  static_cast<unsigned long long>(chip.traffic().Messages()), bytes / 1e6,
                  static_cast<unsigned long long>(session.Acks()));
      std::fflush(stdout);
    }
  }
  const double played = std::chrono::duration<double>(Clock::now() - start).count();
  const double min_psnr = o.session.format == vorn::sim::Format::kJpeg ? 28.0 : 30.0;
  const bool settled = session.Settle(10000, min_psnr);

  // Pictures.
  mkdir(o.output.c_str(), 0777);
  for (size_t i = 0; i < session.views().size(); ++i) {
    const auto& v = session.views()[i];
    // The monitor's picture with the device's cursor over it.
    auto shown = chip.Screen(static_cast<int>(v.display->ViewIndex));
    uint32_t w = 0;
    const std::vector<uint8_t> both = SideBySide(*v.desktop, shown ? &*shown : nullptr, &w);
    const std::string path = o.output + "/monitor-" + std::to_string(v.display->ViewIndex) + ".png";
    if (!vorn::sim::WritePng(path, both.data(), w, v.height, w * 4, &error))
      std::fprintf(stderr, "vorn-sim: %s\n", error.c_str());
    else
      std::printf("wrote %s (desktop left, monitor right)\n", path.c_str());
  }

  // Summary.
  std::printf("summary after %.2f s, %llu desktop steps per monitor:\n", played,
              static_cast<unsigned long long>(steps));
  uint64_t bytes = 0, frames = 0, jpeg_bytes = 0, jpeg_pixels = 0;
  for (const auto& [k, c] : chip.traffic().Counts()) {
    if (k.type == 0 && k.format == 13) {
      jpeg_bytes += c.bytes;
      jpeg_pixels += c.pixels;
      // Full frames that fill their view carry no size of their own: they are the view's mode.
      if ((k.kind == 3 || k.kind == 4) && c.pixels == 0) {
        for (const auto& v : session.views())
          if (v.display->ViewIndex == k.kind - 3) jpeg_pixels += c.messages * v.width * v.height;
      }
    }
    std::printf("  %-16s %-17s %8llu messages %12llu bytes\n", KindName(k.type, k.kind),
                SurfaceName(k.format), static_cast<unsigned long long>(c.messages),
                static_cast<unsigned long long>(c.bytes));
    bytes += c.bytes;
    frames += c.messages;
  }
  if (jpeg_bytes != 0)
    std::printf("  compression:      %.1f : 1 (JPEG messages against 24-bit pixels)\n",
                3.0 * static_cast<double>(jpeg_pixels) / static_cast<double>(jpeg_bytes));
  const uint64_t display_messages = session.DisplayMessages();
  uint64_t full_frames = 0;
  for (const auto& [k, c] : chip.traffic().Counts())
    if (k.type == 0 && (k.kind == 3 || k.kind == 4)) full_frames += c.messages;
  std::printf("  bytes sent:       %llu (%.1f MB/s)\n", static_cast<unsigned long long>(bytes),
              bytes / 1e6 / played);
  // Only display messages carry a sequence the chip acknowledges; two-plane patches carry none.
  std::printf("  acknowledged:     %llu of %llu display messages (the only messages with a "
              "sequence to acknowledge)%s\n",
              static_cast<unsigned long long>(session.Acks()),
              static_cast<unsigned long long>(display_messages),
              session.Acks() == display_messages ? "" : ", some missing");
  if (frames != display_messages)
    std::printf("  not acknowledged: %llu two-plane patches (they carry no sequence)\n",
                static_cast<unsigned long long>(frames - display_messages));
  std::printf("  messages/second:  %.1f (all %llu messages over the time played)\n",
              frames / played, static_cast<unsigned long long>(frames));
  std::printf("  full frames/s:    %.1f (%llu full-frame messages)\n", full_frames / played,
              static_cast<unsigned long long>(full_frames));
  for (size_t i = 0; i < session.views().size(); ++i) {
    const vorn::sim::Difference d = session.DifferenceOf(i);
    const unsigned view = session.views()[i].display->ViewIndex;
    if (!d.shown) {
      std::printf("  monitor %u:        shows no picture of the desktop's size\n", view);
      continue;
    }
    if (d.pixels == 0)
      std::printf("  monitor %u:        equals its desktop\n", view);
    else
      std::printf("  monitor %u:        %llu pixels differ, at most %u per channel, PSNR %.1f dB\n",
                  view, static_cast<unsigned long long>(d.pixels), d.max_channel, d.psnr);
  }
  if (swap.Wanted()) {
    std::printf("  the host saw (seconds since the adapter was opened):\n");
    for (const vorn::host::DisplayRecord& r : session.adapter()->Displays()) {
      std::printf("    %6.2f s  acquire  output %u, context 0x%llx, EDID %u bytes (\"%s\")\n",
                  (r.acquired_ns - opened_ns) / 1e9, r.block.ViewIndex,
                  static_cast<unsigned long long>(r.context), r.block.EdidSize,
                  MonitorName(r.edid).c_str());
      if (r.released)
        std::printf("    %6.2f s  release  output %u, context 0x%llx\n",
                    (r.released_ns - opened_ns) / 1e9, r.block.ViewIndex,
                    static_cast<unsigned long long>(r.context));
    }
    if (!swap.Finished()) std::printf("  the monitor swap did not finish\n");
  }
  const size_t violations = chip.violations().Count();
  std::printf("  protocol violations: %zu\n", violations);
  for (const std::string& m : chip.violations().Messages()) std::printf("    %s\n", m.c_str());
  if (!o.capture.empty()) {
    const bool ok = chip.capture().Close();
    std::printf("  capture:          %s, %llu records%s\n", o.capture.c_str(),
                static_cast<unsigned long long>(chip.capture().Records()),
                ok ? "" : " (a write failed, the file is incomplete)");
  }
  const NTSTATUS closed = session.Close();
  if (!NT_SUCCESS(closed)) std::printf("close: %s\n", StatusName(closed).c_str());
  // The station was removed with the adapter: what it left behind, and what went wrong in it.
  bool station_clean = true;
  if (session.OnStationRoad()) {
    uint64_t slices = 0;
    for (uint32_t c = 0; c < vorn::chip::StationBulkOut::kChannels; ++c) slices += chip.station_bulk_out().Completed(c);
    std::printf("  station:          %llu messages put together from its slices, removed",
                static_cast<unsigned long long>(slices));
    const std::vector<std::string> left = session.StationLeftovers();
    const std::vector<std::string> problems = session.StationProblems();
    std::printf("%s\n", left.empty() && problems.empty() ? " leaving nothing behind" : "");
    for (const std::string& l : left) std::printf("    left behind: %s\n", l.c_str());
    for (const std::string& p : problems) std::printf("    %s\n", p.c_str());
    station_clean = left.empty() && problems.empty();
  }
  if (!settled) std::printf("the monitors did not catch up with the desktops\n");
  const bool swapped = !swap.Wanted() || (swap.Finished() && !swap.Failed());
  return settled && present_ok && swapped && violations == 0 && NT_SUCCESS(closed) && station_clean ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--audio") != 0) continue;
#ifdef VORN_SIM_AUDIO
    return vorn::sim::RunAudioRoadFromArgs(argc, argv);
#else
    std::fprintf(stderr, "vorn-sim: --audio needs the station driver, which this build lacks\n");
    return 2;
#endif
  }
  Options o;
  // The package's own road where this build has the station driver.
  o.session.road = vorn::sim::StationRoadBuilt() ? vorn::sim::Road::kStation : vorn::sim::Road::kDirect;
  vorn::sim::RomUpdateOptions rom;
  bool rom_mode = false;
  vorn::sim::PanelStepOptions panel;
  bool panel_mode = false;
  bool road_given = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    auto bad = [&](const char* what) {
      std::fprintf(stderr, "vorn-sim: %s: %s\n", a.c_str(), what);
      return 2;
    };
    uint32_t n = 0;
    if (a == "--version") {
      std::printf("vorn-sim %s\n", kVersion);
      return 0;
    }
    if (a == "--help" || a == "-h") {
      PrintUsage();
      return 0;
    }
    if (a == "--quiet") {
      o.quiet = rom.quiet = panel.quiet = true;
      continue;
    }
    if (a == "--rom") {
      rom_mode = true;
      continue;
    }
    if (a == vorn::sim::kCommandPacketsOption) {
      o.command_packets = true;
      continue;
    }
    if (a == "--panel") {
      panel_mode = true;
      continue;
    }
    if (!value) {
      std::fprintf(stderr, "vorn-sim: unknown or incomplete argument '%s'\n", a.c_str());
      PrintUsage();
      return 2;
    }
    ++i;
    if (a == "--road") {
      if (!vorn::sim::ParseRoad(value, &o.session.road)) return bad("station or direct");
      road_given = true;
      if (o.session.road == vorn::sim::Road::kStation && !vorn::sim::StationRoadBuilt())
        return bad("this build has no station driver: only direct");
    } else if (a == "--format") {
      if (!vorn::sim::ParseFormat(value, &o.session.format)) return bad("rgb24, yuv420, yuv420p or jpeg");
    } else if (a == "--monitors") {
      if (!ParseUnsigned(value, 1, 2, &n)) return bad("1 or 2");
      o.session.monitors = static_cast<int>(n);
    } else if (a == "--usb") {
      if (!ParseUnsigned(value, 2, 3, &n)) return bad("2 or 3");
      o.session.usb3 = n == 3;
    } else if (a == "--seconds" || a == "--duration") {
      char* end = nullptr;
      o.seconds = std::strtod(value, &end);
      if (!end || *end || !(o.seconds > 0 && o.seconds <= 3600)) return bad("a time in seconds, up to 3600");
    } else if (a == "--size") {
      uint32_t w = 0, h = 0;
      const std::string s = value;
      const size_t x = s.find('x');
      if (x == std::string::npos || !ParseUnsigned(s.substr(0, x).c_str(), 64, 8192, &w) ||
          !ParseUnsigned(s.substr(x + 1).c_str(), 64, 8192, &h))
        return bad("WIDTHxHEIGHT, each from 64 to 8192 (the monitors offer 800x600 to 3840x2160)");
      o.session.width = w;
      o.session.height = h;
    } else if (a == "--rate") {
      if (!ParseUnsigned(value, 1, 1000, &o.rate)) return bad("1 to 1000 steps a second");
    } else if (a == "--seed") {
      if (!ParseUnsigned(value, 0, 0xFFFFFFFFu, &o.session.seed)) return bad("a number");
    } else if (a == "--cursor") {
      const std::string c = value;
      if (c != "software" && c != "hardware") return bad("software or hardware");
      o.session.hardware_cursor = c == "hardware";
    } else if (a == "--output") {
      o.output = value;
    } else if (a == "--capture") {
      o.capture = value;
    } else if (a == "--swap-monitor") {
      char* end = nullptr;
      o.swap_at = std::strtod(value, &end);
      if (!end || *end || !(o.swap_at >= 0 && o.swap_at <= 3600)) return bad("a time in seconds, up to 3600");
    } else if (a == "--brightness") {
      if (!ParseUnsigned(value, 0, 100, &panel.brightness)) return bad("0 to 100");
      panel_mode = true;
    } else if (a == "--rotation") {
      if (!ParseUnsigned(value, 1, 4, &panel.rotation)) return bad("1 to 4");
      panel_mode = true;
    } else if (a == "--rom-image") {
      rom.image_file = value;
      rom_mode = true;
    } else if (a == "--rom-size" || a == "--rom-block") {
      char* end = nullptr;
      unsigned long k = std::strtoul(value, &end, 10);
      if (!end || *end || k > 65536) return bad("a size in KiB");
      (a == "--rom-size" ? rom.image_kib : rom.block_kib) = static_cast<uint32_t>(k);
      rom_mode = true;
    } else {
      std::fprintf(stderr, "vorn-sim: unknown argument '%s'\n", a.c_str());
      PrintUsage();
      return 2;
    }
  }
  if (rom_mode && panel_mode) {
    std::fprintf(stderr, "vorn-sim: --rom and --panel are two runs: choose one\n");
    return 2;
  }
  if (panel_mode) {
#ifdef VORN_SIM_PANEL
    return vorn::sim::RunPanelStep(panel);
#else
    std::fprintf(stderr, "vorn-sim: --panel needs the station driver and the panel library, which this build lacks\n");
    return 2;
#endif
  }
  if (rom_mode) {
#ifdef VORN_SIM_ROM
    return vorn::sim::RunRomUpdate(rom);
#else
    std::fprintf(stderr, "vorn-sim: --rom needs the station driver, which this build lacks\n");
    return 2;
#endif
  }
  // A mode above 2560x1440 needs an adapter with the memory for 3840x2160 frames.
  if (uint64_t{o.session.width} * o.session.height > uint64_t{2560} * 1440)
    o.session.memory_mib = kLargeMemoryMiB;
  if (o.command_packets) {
    // The station's display child offers the bulk and interrupt endpoints only, so an adapter
    // with the command-packet endpoint runs the plug-in on the adapter itself.
    if (road_given && o.session.road == vorn::sim::Road::kStation) {
      std::fprintf(stderr, "vorn-sim: %s runs on the direct road only: the station's display "
                           "child has no endpoint 0x04\n", vorn::sim::kCommandPacketsOption);
      return 2;
    }
    o.session.road = vorn::sim::Road::kDirect;
    vorn::sim::UseCommandPackets(&o.session);
  }
  return Run(o);
}
