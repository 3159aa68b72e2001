#include "tools/vorn-sim/session.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "display/modes/mode_types.h"
#include "protocol/capability_block.h"
#ifdef VORN_SIM_STATION_ROAD
#include "sim/road/station_road.h"
#endif

namespace vorn::sim {
namespace {
// The plug-in's memory layout for views of kWideViewWidth or more moves the rectangle ring
// to the top kWideRingSize bytes; views wider than kYuvAboveWidth prefer YUV frames.
constexpr uint32_t kWideViewWidth = 2560;
constexpr uint32_t kWideRingSize = 8u << 20;
constexpr uint32_t kYuvAboveWidth = 2048;
}  // namespace

const char* RoadName(Road r) { return r == Road::kStation ? "station" : "direct"; }

bool ParseRoad(const std::string& s, Road* r) {
  for (Road c : {Road::kDirect, Road::kStation})
    if (s == RoadName(c)) {
      *r = c;
      return true;
    }
  return false;
}

bool StationRoadBuilt() {
#ifdef VORN_SIM_STATION_ROAD
  return true;
#else
  return false;
#endif
}

const char* FormatName(Format f) {
  switch (f) {
    case Format::kRgb24: return "rgb24";
    case Format::kYuv420: return "yuv420";
    case Format::kYuv420Planar: return "yuv420p";
    case Format::kJpeg: return "jpeg";
  }
  return "?";
}

bool ParseFormat(const std::string& s, Format* f) {
  for (Format c : {Format::kRgb24, Format::kYuv420, Format::kYuv420Planar, Format::kJpeg})
    if (s == FormatName(c)) {
      *f = c;
      return true;
    }
  return false;
}

uint32_t SurfaceFormatOf(Format f) {
  switch (f) {
    case Format::kRgb24: return 9;
    case Format::kYuv420: return 6;
    case Format::kYuv420Planar: return 4;
    case Format::kJpeg: return 13;
  }
  return 0;
}

chip::ChipProfile SessionProfile(const SessionOptions& o) {
  chip::ChipProfile p = chip::MakeProfile({o.monitors, o.memory_mib, o.usb3, true});
  // FormatMode: 0 JPEG, 1 YUV 4:2:0, 2 24-bit RGB; 3 would read as 0.
  const uint32_t mode = o.format == Format::kRgb24 ? 2 : o.format == Format::kJpeg ? 0 : 1;
  const uint32_t shift = o.usb3 ? protocol::kCapFormatModeUsb3Shift : protocol::kCapFormatModeUsb2Shift;
  p.capability_flags |= mode << shift;
  if (o.format == Format::kYuv420Planar) p.device_values[chip::kDeviceValueCmdVersion] = 2;
  return p;
}

Difference Compare(const host::Desktop& desktop, const chip::Picture& shown) {
  Difference d;
  const uint32_t w = desktop.width(), h = desktop.height();
  if (shown.width != w || shown.height != h || shown.bgra.size() != size_t{w} * h * 4) return d;
  d.shown = true;
  const uint8_t* a = desktop.data();
  const uint8_t* b = shown.bgra.data();
  uint64_t squares = 0;
  for (size_t i = 0; i < size_t{w} * h; ++i) {
    bool differs = false;
    for (int c = 0; c < 3; ++c) {
      const int diff = std::abs(int{a[i * 4 + c]} - int{b[i * 4 + c]});
      if (diff) differs = true;
      d.max_channel = std::max<uint32_t>(d.max_channel, static_cast<uint32_t>(diff));
      squares += static_cast<uint64_t>(diff * diff);
    }
    if (differs) ++d.pixels;
  }
  auto px = [&](const uint8_t* p, uint32_t x, uint32_t y) {
    const uint8_t* q = p + (size_t{y} * w + x) * 4;
    return uint32_t{q[0]} | uint32_t{q[1]} << 8 | uint32_t{q[2]} << 16;
  };
  for (uint32_t y = 0; y + 1 < h; y += 2)
    for (uint32_t x = 0; x + 1 < w; x += 2) {
      const uint32_t c = px(a, x, y);
      if (px(a, x + 1, y) != c || px(a, x, y + 1) != c || px(a, x + 1, y + 1) != c) continue;
      for (uint32_t k = 0; k < 4; ++k) {
        const uint32_t m = px(b, x + (k & 1), y + (k >> 1));
        for (int s = 0; s < 24; s += 8) {
          const int diff = std::abs(static_cast<int>((c >> s) & 0xFF) - static_cast<int>((m >> s) & 0xFF));
          if (static_cast<uint32_t>(diff) > kFlatTolerance) {
            ++d.flat_misses;
            break;
          }
        }
      }
    }
  if (squares == 0) {
    d.psnr = 999;
  } else {
    const double mse = static_cast<double>(squares) / (3.0 * w * h);
    d.psnr = 10.0 * std::log10(255.0 * 255.0 / mse);
  }
  return d;
}

Session::Session(host::DisplayHost& host, chip::Chip& chip, const SessionOptions& options)
    : host_(host), chip_(chip), o_(options) {}

Session::~Session() { Close(); }

bool Session::BringUp(std::string* error) {
  // In 24-bit RGB the plug-in keeps no rectangle ring: all of memory may hold planes.
  if (o_.format == Format::kRgb24) chip_.frames().SetRing(chip_.frames().MemorySize(), chip_.frames().MemorySize());
  usb::UsbDevice* device = &chip_;
  if (o_.road == Road::kStation) {
#ifdef VORN_SIM_STATION_ROAD
    road_ = std::make_shared<StationRoad>();
    if (!road_->Start(chip_, error)) return false;
    // The child goes before Close (the station was removed under the host): the host lets
    // go of it first.
    road_->OnLeaving([this] {
      if (adapter_ && adapter_->IsOpen()) adapter_->Close();
    });
    device = road_->Device();
#else
    if (error) *error = "this build has no station driver for the station road";
    return false;
#endif
  }
  adapter_ = &host_.AddAdapter(device);
  bool wide_offered = false;
  if (!adapter_->Open()) {
    if (error) *error = "the plug-in refused the adapter";
    return false;
  }
  NTSTATUS status = adapter_->Start();
  if (!NT_SUCCESS(status)) {
    if (error) *error = "Start failed: " + StatusName(status);
    return false;
  }
  // Every view's modes first: the plug-in lays out memory for views 2560 or more wide once
  // either view offers such a mode, and the chip must know that layout's ring before the
  // first frame (the black frames of SetMode) reaches it.
  struct Pick {
    DisplayInterface* display;
    TargetMode mode;
  };
  std::vector<Pick> picks;
  for (size_t n = 0; DisplayInterface* display = adapter_->HeldDisplay(n); ++n) {
    std::vector<TargetMode> modes;
    status = adapter_->GetModes(display, &modes);
    if (!NT_SUCCESS(status) || modes.empty()) {
      if (error) *error = "GetModes failed: " + StatusName(status);
      return false;
    }
    const TargetMode* pick = Nearest(modes);
    for (const TargetMode& m : modes)
      if (m.Width >= kWideViewWidth) wide_offered = true;
    picks.push_back({display, *pick});
  }
  if (picks.empty()) {
    if (error) *error = "the plug-in handed no view to the host";
    return false;
  }
  // Two views of which one offers a mode 2560 or more wide share memory in the wide layout,
  // whose ring is 8 MiB: tell the chip, so that it checks planes against that ring.
  if (o_.format != Format::kRgb24 && picks.size() == 2 && wide_offered) {
    const uint32_t size = chip_.frames().MemorySize();
    if (size > kWideRingSize) chip_.frames().SetRing(size - kWideRingSize, size - chip::FrameStore::kRingTopGap);
  }
  for (size_t n = 0; n < picks.size(); ++n) {
    DisplayInterface* display = picks[n].display;
    const TargetMode* pick = &picks[n].mode;
    status = adapter_->SetMode(display, pick->Width, pick->Height, pick->RefreshHz ? pick->RefreshHz : 60);
    if (!NT_SUCCESS(status)) {
      if (error) *error = "SetMode failed: " + StatusName(status);
      return false;
    }
    ViewState v;
    v.display = display;
    v.width = pick->Width;
    v.height = pick->Height;
    v.desktop = std::make_unique<host::Desktop>(v.width, v.height);
    host::SceneOptions so;
    so.seed = o_.seed + static_cast<uint32_t>(n) * 101;
    so.cursor = !o_.hardware_cursor;  // the device draws the pointer itself
    v.scene = std::make_unique<host::DesktopScene>(*v.desktop, so);
    chip_.frames().SetMode(static_cast<int>(display->ViewIndex), v.width, v.height);
    views_.push_back(std::move(v));
  }
  return true;
}

const TargetMode* Session::Nearest(const std::vector<TargetMode>& modes) const {
  const TargetMode* pick = &modes[0];
  auto distance = [&](const TargetMode& m) {
    return std::llabs(static_cast<long long>(m.Width) * m.Height -
                      static_cast<long long>(o_.width) * o_.height) +
           (m.Width == o_.width && m.Height == o_.height ? 0 : 1);
  };
  for (const TargetMode& m : modes)
    if (m.Width && m.Height && distance(m) < distance(*pick)) pick = &m;
  return pick;
}

void Session::Suspend(size_t view) {
  if (view < views_.size()) views_[view].active = false;
}

bool Session::Resume(size_t view, DisplayInterface* display, std::string* error) {
  if (view >= views_.size() || !display) {
    if (error) *error = "no such view";
    return false;
  }
  ViewState& v = views_[view];
  std::vector<TargetMode> modes;
  NTSTATUS status = adapter_->GetModes(display, &modes);
  if (!NT_SUCCESS(status) || modes.empty()) {
    if (error) *error = "GetModes failed: " + StatusName(status);
    return false;
  }
  const TargetMode pick = *Nearest(modes);
  status = adapter_->SetMode(display, pick.Width, pick.Height, pick.RefreshHz ? pick.RefreshHz : 60);
  if (!NT_SUCCESS(status)) {
    if (error) *error = "SetMode failed: " + StatusName(status);
    return false;
  }
  v.display = display;
  if (pick.Width != v.width || pick.Height != v.height) {
    v.width = pick.Width;
    v.height = pick.Height;
    v.desktop = std::make_unique<host::Desktop>(v.width, v.height);
    host::SceneOptions so;
    so.seed = o_.seed + static_cast<uint32_t>(view) * 101;
    v.scene = std::make_unique<host::DesktopScene>(*v.desktop, so);
  }
  chip_.frames().SetMode(static_cast<int>(display->ViewIndex), v.width, v.height);
  // The new monitor has seen nothing of the desktop yet.
  const std::vector<HostRect> all{{0, 0, v.width, v.height}};
  status = adapter_->Present(display, v.desktop->data(), v.desktop->pitch(), all);
  if (!NT_SUCCESS(status)) {
    if (error) *error = "Present failed: " + StatusName(status);
    return false;
  }
  v.active = true;
  return true;
}

bool Session::Step() {
  bool ok = true;
  for (ViewState& v : views_) {
    if (!v.active) continue;
    const std::vector<HostRect> rects = v.scene->Step();
    if (rects.empty()) continue;
    const NTSTATUS status = adapter_->Present(v.display, v.desktop->data(), v.desktop->pitch(), rects);
    if (!NT_SUCCESS(status)) ok = false;
    ++v.presents;
    v.rects += rects.size();
  }
  return ok;
}

Difference Session::DifferenceOf(size_t view) const {
  const ViewState& v = views_[view];
  auto shown = chip_.frames().Shown(static_cast<int>(v.display->ViewIndex));
  if (!shown) return {};
  return Compare(*v.desktop, *shown);
}

bool Session::Matches(size_t view, double min_psnr) const {
  const Difference d = DifferenceOf(view);
  if (!d.shown) return false;
  // Views wider than 2048 pixels go as YUV whatever the format.
  if (o_.format == Format::kRgb24 && views_[view].width <= kYuvAboveWidth) return d.pixels == 0;
  if (o_.format == Format::kJpeg) return d.psnr >= min_psnr;
  return d.flat_misses == 0 && d.psnr >= min_psnr;
}

uint64_t Session::Acks() const { return chip_.frames().AckedSequences().size(); }

uint64_t Session::DisplayMessages() const {
  uint64_t n = 0;
  for (const auto& [key, count] : chip_.traffic().Counts())
    if (key.type == 0) n += count.messages;
  return n;
}

bool Session::Settle(int timeout_ms, double min_psnr) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
  uint64_t last_messages = ~uint64_t{0};
  auto quiet_since = Clock::now();
  while (Clock::now() < end) {
    const uint64_t messages = chip_.traffic().Messages();
    if (messages != last_messages) {
      last_messages = messages;
      quiet_since = Clock::now();
    }
    bool all = Acks() == DisplayMessages() && chip_.frames().PendingAcks() == 0;
    for (size_t i = 0; all && i < views_.size(); ++i) all = !views_[i].active || Matches(i, min_psnr);
    if (all && Clock::now() - quiet_since >= std::chrono::milliseconds(100)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::vector<std::string> Session::StationLeftovers() const {
#ifdef VORN_SIM_STATION_ROAD
  if (road_) return road_->Leftovers();
#endif
  return {};
}

std::vector<std::string> Session::StationProblems() const {
  std::vector<std::string> out;
#ifdef VORN_SIM_STATION_ROAD
  // The adapter's own protocol violations are the chip's, reported with it.
  if (road_)
    for (const std::string& p : road_->Problems())
      if (p.rfind("adapter: ", 0) != 0) out.push_back(p);
#endif
  return out;
}

NTSTATUS Session::Close() {
  NTSTATUS status = STATUS_SUCCESS;
  if (adapter_ && adapter_->IsOpen()) status = adapter_->Close();
#ifdef VORN_SIM_STATION_ROAD
  if (road_) road_->Remove();
#endif
  return status;
}

}  // namespace vorn::sim
