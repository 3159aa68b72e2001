#include "tests/fuzz/edid_fuzz_target.h"

#include <cstdlib>
#include <new>
#include <vector>

#include "display/modes/edid.h"
#include "display/modes/modes.h"
#include "platform/win32/heap.h"

namespace vorn::fuzz {
namespace {

struct Mode {
  uint16_t w, h;
  uint8_t r;
  uint32_t khz;
};
constexpr Mode kTable[] = {
    {640, 480, 60, 25175},    {800, 600, 60, 40000},     {1024, 768, 60, 65000},
    {1280, 720, 60, 74250},   {1280, 1024, 60, 108000},  {1920, 1080, 50, 148500},
    {1920, 1080, 60, 148500}, {2560, 1440, 60, 241500},  {3840, 2160, 30, 297000},
};

ViewContext* MakeView() {
  auto* device = new SorvikDevice();
  device->hMyHeap = HeapCreate(0, 0, 0);
  device->BcdUsb = 0x300;
  ViewContext* view = &device->Views[0];
  view->Owner = device;
  constexpr uint32_t count = sizeof kTable / sizeof kTable[0];
  view->DeviceTimingCount = count;
  view->Modes.DeviceTimings = static_cast<protocol::TimingRecord*>(
      display::HeapZalloc(device, count * sizeof(protocol::TimingRecord)));
  for (uint32_t i = 0; i < count; ++i) {
    protocol::TimingRecord& r = view->Modes.DeviceTimings[i];
    r.Width = kTable[i].w;
    r.Height = kTable[i].h;
    r.RefreshHz = kTable[i].r;
    r.PixelClockKhz = kTable[i].khz;
    r.HorizontalTotal = static_cast<uint16_t>(kTable[i].w + 160);
    r.VerticalTotal = static_cast<uint16_t>(kTable[i].h + 45);
  }
  display::ComputeTimingLimits(view);
  return view;
}

}  // namespace

int RunEdidInput(const uint8_t* data, size_t size) {
  static ViewContext* view = MakeView();
  if (display::BuildModeList(view) != STATUS_SUCCESS) std::abort();
  // A buffer of exactly the input's size, so any read past it is caught.
  std::vector<uint8_t> edid(data, data + size);
  display::ProcessEdid(view, edid.empty() ? nullptr : edid.data(),
                       static_cast<uint32_t>(edid.size()));
  const display::ViewModes& m = view->Modes;
  if (m.ModeCount > m.ModeCapacity || m.OfferedCount > m.ModeCount) std::abort();
  uint32_t cached = 0;
  for (const display::TimingCacheEntry& e : m.TimingCache) cached += e.Valid;
  if (m.ModeCount > view->DeviceTimingCount + cached) std::abort();
  for (uint32_t i = 0; i < m.ModeCount; ++i) {
    const display::ModeEntry& e = m.Modes[i];
    if (e.BitsPerPixel != display::kModeBitsPerPixel) std::abort();
    if (e.Offered && (e.Width > m.TableMaxWidth || e.Height > m.TableMaxHeight)) std::abort();
    if (i && (e.Width < m.Modes[i - 1].Width)) std::abort();
  }
  // Whatever the EDID says, the monitor has a mode to set: the table holds modes within the
  // offer of a monitor without an EDID.
  if (m.OfferedCount == 0) std::abort();
  if (!NT_SUCCESS(display::BuildTargetModes(view))) std::abort();
  return 0;
}

}  // namespace vorn::fuzz
