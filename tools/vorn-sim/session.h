// One run of the display road on a simulated machine: a display host with the plug-in, a chip
// model, and a changing desktop per monitor. The host opens the plug-in either on the chip
// itself (the direct road) or on the display child of a station driver bound to the chip
// (the station road: sim/road/station_road.h). The session brings the adapter up, sets a mode
// on each view the host was handed, presents the desktops step by step, waits until the
// monitors have caught up and every frame was acknowledged, and measures how far what each
// monitor shows is from its desktop. vorn-sim and the system tests both run it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/chip/chip.h"
#include "sim/host/desktop.h"
#include "sim/host/display_host.h"

namespace vorn::sim {

enum class Format { kRgb24, kYuv420, kYuv420Planar, kJpeg };
const char* FormatName(Format f);          // the option's spelling: rgb24, yuv420, ...
bool ParseFormat(const std::string& s, Format* f);
// The surface format code the frames of |f| carry (9, 6, 4, 13).
uint32_t SurfaceFormatOf(Format f);

// Where the host opens the plug-in: on the chip, or on the station's display child.
enum class Road { kDirect, kStation };
const char* RoadName(Road r);  // the option's spelling: direct, station
bool ParseRoad(const std::string& s, Road* r);
// Whether this build has the station driver for the station road.
bool StationRoadBuilt();

class StationRoad;

struct SessionOptions {
  Road road = Road::kDirect;
  Format format = Format::kRgb24;
  int monitors = 2;
  bool usb3 = true;
  uint32_t width = 1920, height = 1080;  // the mode asked for (the nearest offered is taken)
  uint32_t seed = 1;
  uint8_t memory_mib = 64;  // the adapter's frame memory; 3840x2160 is offered where it fits
  bool hardware_cursor = false;  // the pointer goes to the device's cursor, not into the desktop
};

// The chip an adapter of |o| is: monitors of the common modes, the format in its capability
// flags (the plug-in takes its format from there), planar YUV from a device of command-set
// version 2, which sends full YUV frames in the planar layout.
chip::ChipProfile SessionProfile(const SessionOptions& o);

// How a monitor's picture compares with its desktop.
struct Difference {
  bool shown = false;        // the monitor shows a picture of the desktop's size
  uint64_t pixels = 0;       // pixels that differ at all
  uint32_t max_channel = 0;  // the largest difference of one colour channel
  // Pixels of 2 x 2 blocks that are one colour on the desktop and differ there by more than
  // the colour-conversion rounding allows (kFlatTolerance).
  uint64_t flat_misses = 0;
  double psnr = 0;           // over B, G, R; 999 when equal
};
// Full-range conversion to Y, Cb, Cr and back rounds each of the three to the nearest step,
// which moves a channel by at most 0.5 + 1.772 x 0.5 + 0.5 < 2; fixed-point converters may
// add one more step.
inline constexpr uint32_t kFlatTolerance = 3;
Difference Compare(const host::Desktop& desktop, const chip::Picture& shown);

struct ViewState {
  DisplayInterface* display = nullptr;
  uint32_t width = 0, height = 0;
  std::unique_ptr<host::Desktop> desktop;
  std::unique_ptr<host::DesktopScene> scene;
  uint64_t presents = 0, rects = 0;
  bool active = true;  // presented to; a view whose monitor went is not
};

class Session {
 public:
  Session(host::DisplayHost& host, chip::Chip& chip, const SessionOptions& options);
  ~Session();  // closes the adapter if it is still open

  // On the station road first starts the station over the chip and waits for its display
  // child; then opens and starts the adapter and sets a mode on every view handed to the
  // host; false with |error| when one step fails.
  bool BringUp(std::string* error);
  // One step of every active desktop, presented; false when a Present failed.
  bool Step();
  // The monitor of |view| goes: its desktop is no longer presented.
  void Suspend(size_t view);
  // The plug-in handed |view| over again as |display| (another monitor): sets the mode
  // nearest to the one asked for, presents the whole desktop and presents it from now on.
  bool Resume(size_t view, DisplayInterface* display, std::string* error);
  // Waits up to |timeout_ms| real milliseconds until every monitor matches its desktop
  // (exactly, or within the rounding of the format: flat blocks within kFlatTolerance and a
  // PSNR of at least |min_psnr|), every frame message was acknowledged and nothing has been
  // sent for a moment. True when that was reached.
  bool Settle(int timeout_ms, double min_psnr);
  // Closes the adapter (its status); on the station road then removes the station.
  NTSTATUS Close();

  std::vector<ViewState>& views() { return views_; }
  host::Adapter* adapter() { return adapter_; }
  // The station of the station road, null on the direct road.
  StationRoad* station() { return road_.get(); }
  bool OnStationRoad() const { return road_ != nullptr; }
  // What the removed station left behind (pool blocks, IRPs in a driver), and the kernel rules
  // it broke; both empty on the direct road and in builds without the station driver.
  std::vector<std::string> StationLeftovers() const;
  std::vector<std::string> StationProblems() const;
  Difference DifferenceOf(size_t view) const;
  // Acknowledgements the chip sent, and display messages (type 0) it received.
  uint64_t Acks() const;
  uint64_t DisplayMessages() const;
  bool Matches(size_t view, double min_psnr) const;

 private:
  host::DisplayHost& host_;
  chip::Chip& chip_;
  SessionOptions o_;
  // The offered mode nearest in area to the one asked for, the asked one itself if offered.
  const TargetMode* Nearest(const std::vector<TargetMode>& modes) const;

  host::Adapter* adapter_ = nullptr;
  std::vector<ViewState> views_;
  // Shared only for its deleter, which is bound where the road is made: builds without the
  // station driver have no road to delete.
  std::shared_ptr<StationRoad> road_;
};

}  // namespace vorn::sim
