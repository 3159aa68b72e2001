#include "display/modes/modes.h"

#include <cstring>

#include "display/cursor/cursor.h"
#include "display/device/device_threads.h"
#include "display/modes/edid.h"
#include "display/views/present.h"
#include "display/views/view_buffers.h"
#include "display/device/vendor_requests.h"

namespace vorn::display {
namespace {

constexpr uint32_t kPllMinKhz = 25000;
constexpr uint32_t kPllMaxKhz = 400000;
constexpr double kVcoMinMhz = 800.0;
constexpr uint32_t kPllReference0Mhz = 48;
constexpr uint32_t kPllReference1Mhz = 40;
// ReadTimingTable addresses records by byte offset in a 16-bit field.
constexpr uint32_t kMaxDeviceTimings = 0x10000 / protocol::kTimingRecordSize;
constexpr uint32_t kOffsetAlignX = 32;
constexpr uint32_t kOffsetAlignY = 16;
constexpr uint32_t kPitchAlign = 16;

bool Rotated(uint8_t rotation) { return rotation == 1 || rotation == 3; }

// Half the spare room, rounded up to |align| when the picture still fits, else down.
uint32_t CentringOffset(uint32_t mode, uint32_t request, uint32_t align) {
  if (request >= mode) return 0;
  const uint32_t half = (mode - request) / 2;
  const uint32_t up = (half + align - 1) / align * align;
  return up + request <= mode ? up : half / align * align;
}

}  // namespace

uint32_t PllReferenceMhz(uint32_t hw_platform) {
  if (hw_platform == 0) return kPllReference0Mhz;
  if (hw_platform == 1) return kPllReference1Mhz;
  return 0;
}

bool ComputePllParameters(uint32_t clock_khz, uint32_t reference_mhz, PllParameters* out) {
  if (clock_khz < kPllMinKhz || clock_khz > kPllMaxKhz || reference_mhz == 0) return false;
  struct Divider {
    uint32_t Value;
    uint8_t Code;
  };
  constexpr Divider kDividers[] = {{4, 3}, {8, 1}, {16, 2}, {32, 0}};
  // Every step is rounded to double precision (volatile keeps a 32-bit build from carrying
  // extended precision along), so 29.7 gives the fraction 699 on every build.
  volatile double mhz = clock_khz / 1000.0;
  for (const Divider& d : kDividers) {
    volatile double vco = d.Value * mhz;
    if (vco < kVcoMinMhz) continue;
    volatile double quotient = vco / reference_mhz;
    const uint32_t multiplier = static_cast<uint32_t>(quotient);
    volatile double fraction = quotient - multiplier;
    volatile double thousandths = fraction * 1000.0;
    out->Multiplier = static_cast<uint8_t>(multiplier);
    out->Fraction = static_cast<uint16_t>(thousandths);
    out->Denominator = protocol::kPllDenominator;
    out->DividerCode = d.Code;
    return true;
  }
  return false;
}

void ComputeTimingLimits(ViewContext* view) {
  ViewModes& m = view->Modes;
  uint32_t w = 0, h = 0;
  for (uint32_t i = 0; i < view->DeviceTimingCount && m.DeviceTimings; ++i) {
    if (m.DeviceTimings[i].Width > w) w = m.DeviceTimings[i].Width;
    if (m.DeviceTimings[i].Height > h) h = m.DeviceTimings[i].Height;
  }
  if (Rotated(view->Owner->Rotation)) {
    const uint32_t t = w;
    w = h;
    h = t;
  }
  if (view->Owner->BcdUsb < kUsb3BcdUsb && w > kUsb2MaxWidth) {
    w = kUsb2MaxWidth;
    h = kUsb2MaxHeight;
  }
  m.TableMaxWidth = static_cast<uint16_t>(w);
  m.TableMaxHeight = static_cast<uint16_t>(h);
}

NTSTATUS ReadDeviceTimings(ViewContext* view) {
  SorvikDevice* device = view->Owner;
  ViewModes& m = view->Modes;
  m.TableMaxWidth = 0;
  m.TableMaxHeight = 0;
  HeapRelease(device, m.DeviceTimings);
  m.DeviceTimings = nullptr;
  const uint32_t count = view->DeviceTimingCount;
  if (count == 0 || count > kMaxDeviceTimings) return STATUS_INVALID_PARAMETER;
  const uint32_t bytes = count * protocol::kTimingRecordSize;
  auto* raw = static_cast<uint8_t*>(HeapZalloc(device, bytes));
  auto* records =
      static_cast<protocol::TimingRecord*>(HeapZalloc(device, count * sizeof(protocol::TimingRecord)));
  if (!raw || !records) {
    HeapRelease(device, raw);
    HeapRelease(device, records);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  NTSTATUS status =
      ReadTimingTable(device, view->Index, count, raw, protocol::kTimingRecordSize);
  if (NT_SUCCESS(status)) {
    for (uint32_t i = 0; i < count; ++i) {
      protocol::TimingRecord r;
      protocol::DecodeTimingRecord({raw + i * protocol::kTimingRecordSize,
                                    protocol::kTimingRecordSize},
                                   &r);
      records[i] = protocol::FromDeviceTableForm(r);
    }
  }
  HeapRelease(device, raw);
  if (!NT_SUCCESS(status)) {
    HeapRelease(device, records);
    return status;
  }
  m.DeviceTimings = records;
  ComputeTimingLimits(view);
  return STATUS_SUCCESS;
}

void SortModes(ModeEntry* modes, uint32_t count) {
  if (!modes) return;
  auto before = [](const ModeEntry& a, const ModeEntry& b) {
    if (a.Width != b.Width) return a.Width < b.Width;
    if (a.Height != b.Height) return a.Height < b.Height;
    return a.Refresh < b.Refresh;
  };
  for (uint32_t pass = 0; pass + 1 < count; ++pass)
    for (uint32_t i = 0; i + 1 < count - pass; ++i)
      if (before(modes[i + 1], modes[i])) {
        const ModeEntry t = modes[i];
        modes[i] = modes[i + 1];
        modes[i + 1] = t;
      }
}

uint32_t CountOfferedModes(const ViewContext* view) {
  uint32_t n = 0;
  for (uint32_t i = 0; i < view->Modes.ModeCount; ++i)
    if (view->Modes.Modes[i].Offered && view->Modes.Modes[i].Valid) ++n;
  return n;
}

void ComputeModeLimits(ViewContext* view) {
  ViewModes& m = view->Modes;
  m.ModeMaxWidth = m.ModeMaxHeight = m.ModeMaxFrameBytes = 0;
  for (uint32_t i = 0; i < m.ModeCount; ++i) {
    const ModeEntry& e = m.Modes[i];
    if (!e.Valid || !e.Offered) continue;
    if (e.Width > m.ModeMaxWidth) m.ModeMaxWidth = e.Width;
    if (e.Height > m.ModeMaxHeight) m.ModeMaxHeight = e.Height;
    const uint32_t bytes = ModeFrameBytes(e.Width, e.Height);
    if (bytes > m.ModeMaxFrameBytes) m.ModeMaxFrameBytes = bytes;
  }
}

NTSTATUS BuildModeList(ViewContext* view) {
  SorvikDevice* device = view->Owner;
  ViewModes& m = view->Modes;
  HeapRelease(device, m.Modes);
  m.Modes = nullptr;
  m.ModeCount = m.ModeCapacity = m.OfferedCount = 0;
  const uint32_t count = m.DeviceTimings ? view->DeviceTimingCount : 0;
  const uint32_t capacity = count + kExtraModeEntries;
  m.Modes = static_cast<ModeEntry*>(HeapZalloc(device, capacity * sizeof(ModeEntry)));
  if (!m.Modes) return STATUS_INSUFFICIENT_RESOURCES;
  m.ModeCapacity = capacity;

  const bool rotated = Rotated(device->Rotation);
  const bool usb2 = device->BcdUsb < kUsb3BcdUsb;
  for (uint32_t i = 0; i < count; ++i) {
    const protocol::TimingRecord& r = m.DeviceTimings[i];
    if (!r.Width || !r.Height || !r.RefreshHz) continue;
    const uint16_t w = rotated ? r.Height : r.Width;
    const uint16_t h = rotated ? r.Width : r.Height;
    if (usb2 && w > kUsb2MaxWidth) continue;
    ModeEntry* same = nullptr;
    for (uint32_t j = 0; j < m.ModeCount && !same; ++j)
      if (m.Modes[j].Width == w && m.Modes[j].Height == h && m.Modes[j].Refresh == r.RefreshHz)
        same = &m.Modes[j];
    if (same) {
      same->Offered = 1;
      same->Valid = 1;
      same->Source = i;
      continue;
    }
    ModeEntry& e = m.Modes[m.ModeCount++];
    e.Source = i;
    e.Width = w;
    e.Height = h;
    e.BitsPerPixel = kModeBitsPerPixel;
    e.Refresh = r.RefreshHz;
    e.Offered = 1;
    e.Valid = 1;
    e.PixelRateHz = uint64_t{r.PixelClockKhz} * 1000;
    e.HorizontalTotal = rotated ? r.VerticalTotal : r.HorizontalTotal;
    e.VerticalTotal = rotated ? r.HorizontalTotal : r.VerticalTotal;
  }
  SortModes(m.Modes, m.ModeCount);
  m.OfferedCount = CountOfferedModes(view);
  ComputeModeLimits(view);
  return STATUS_SUCCESS;
}

NTSTATUS BuildTargetModes(ViewContext* view) {
  SorvikDevice* device = view->Owner;
  ViewModes& m = view->Modes;
  // The previous array is not freed: the host may still be reading it (see HandedModes).
  m.Targets = nullptr;
  m.TargetCount = 0;
  const uint32_t count = CountOfferedModes(view);
  if (count == 0) return STATUS_INVALID_PARAMETER;
  auto* list = static_cast<HandedModes*>(
      HeapZalloc(device, sizeof(HandedModes) + size_t{count} * sizeof(TargetMode)));
  if (!list) return STATUS_INSUFFICIENT_RESOURCES;
  TargetMode* targets = list->Modes();
  uint32_t n = 0;
  for (uint32_t i = 0; i < m.ModeCount && n < count; ++i) {
    const ModeEntry& e = m.Modes[i];
    if (!e.Offered || !e.Valid) continue;
    TargetMode& t = targets[n++];
    t.PixelRateHz = e.PixelRateHz;
    t.Width = e.Width;
    t.Height = e.Height;
    t.HorizontalTotal = e.HorizontalTotal;
    t.VerticalTotal = e.VerticalTotal;
    t.RefreshHz = e.Refresh;
    t.BitsPerPixel = static_cast<uint8_t>(e.BitsPerPixel);
    t.Valid = 1;
  }
  list->Count = n;
  // A list the view offered before is handed out again as the same array.
  for (HandedModes* old = m.HandedLists; old; old = old->Next) {
    if (old->Count == n && std::memcmp(old->Modes(), targets, n * sizeof(TargetMode)) == 0) {
      HeapRelease(device, list);
      m.Targets = old->Modes();
      m.TargetCount = n;
      return STATUS_SUCCESS;
    }
  }
  list->Next = m.HandedLists;
  m.HandedLists = list;
  m.Targets = targets;
  m.TargetCount = n;
  return STATUS_SUCCESS;
}

NTSTATUS RebuildModes(ViewContext* view) {
  LockModes(view);
  NTSTATUS status = STATUS_SUCCESS;
  if (!NT_SUCCESS(ReadDeviceTimings(view)) || !NT_SUCCESS(BuildModeList(view)))
    status = STATUS_UNSUCCESSFUL;
  UnlockModes(view);
  if (!NT_SUCCESS(status)) return status;
  // The staging buffers and the system frame hold one frame of the largest offered width by
  // the largest offered height (which may be larger than any one offered mode's frame). The
  // EDID adds no mode that does not fit it, and a mode set never takes one that does not.
  view->Modes.BufferFrameBytes = 0;
  if (!NT_SUCCESS(AllocFrameBuffers(view)) || !NT_SUCCESS(AllocSystemFrame(view))) {
    FreeFrameBuffers(view);
    FreeSystemFrame(view);
    return STATUS_UNSUCCESSFUL;
  }
  view->Modes.BufferFrameBytes = ViewBufferFrameBytes(view);
  return STATUS_SUCCESS;
}

void LockModes(ViewContext* view) {
  if (view->ModeLock) LockUntimed(view->Owner, view->ModeLock);
}

void UnlockModes(ViewContext* view) {
  if (view->ModeLock) Unlock(view->Owner, view->ModeLock);
}

void ReleaseModes(ViewContext* view) {
  SorvikDevice* device = view->Owner;
  ViewModes& m = view->Modes;
  HeapRelease(device, m.DeviceTimings);
  HeapRelease(device, m.Modes);
  while (HandedModes* list = m.HandedLists) {
    m.HandedLists = list->Next;
    HeapRelease(device, list);
  }
  m.DeviceTimings = nullptr;
  m.Modes = nullptr;
  m.Targets = nullptr;
  m.ModeCount = m.ModeCapacity = m.OfferedCount = m.TargetCount = 0;
}

const ModeEntry* FindMode(const ViewContext* view, uint32_t width, uint32_t height,
                          uint32_t refresh, uint32_t bpp) {
  const ViewModes& m = view->Modes;
  auto usable = [&](const ModeEntry& e) { return e.Offered && e.Valid && e.BitsPerPixel == bpp; };
  for (uint32_t i = m.ModeCount; i-- > 0;) {
    const ModeEntry& e = m.Modes[i];
    if (e.Width == width && e.Height == height && e.BitsPerPixel == bpp && e.Refresh == refresh) {
      if (e.Offered && e.Valid) return &e;
      break;
    }
  }
  const ModeEntry* largest = nullptr;
  for (uint32_t i = m.ModeCount; i-- > 0 && !largest;)
    if (usable(m.Modes[i])) largest = &m.Modes[i];
  if (!largest || largest->Width < width || largest->Height < height) return nullptr;
  for (uint32_t i = 0; i < m.ModeCount; ++i) {
    const ModeEntry& e = m.Modes[i];
    if (usable(e) && e.Refresh == refresh && e.Width >= width && e.Height >= height) return &e;
  }
  return largest;
}

namespace {

bool ApplyMode(ViewContext* view, const ModeEntry& mode) {
  SorvikDevice* device = view->Owner;
  ViewModes& m = view->Modes;
  bool ok = true;
  const protocol::TimingRecord* record = nullptr;
  if (const TimingCacheEntry* cached = FindCachedTiming(view, mode.Width, mode.Height, mode.Refresh))
    record = &cached->Record;
  else if (m.DeviceTimings && mode.Source < view->DeviceTimingCount)
    record = &m.DeviceTimings[mode.Source];
  if (record) {
    uint8_t bytes[protocol::kTimingRecordSize];
    protocol::EncodeTimingRecord(*record, {bytes, sizeof bytes});
    if (!NT_SUCCESS(SetTiming(device, view->Index, bytes, sizeof bytes))) ok = false;
  } else {
    ok = false;
  }
  m.OutputWanted = 1;
  if (!NT_SUCCESS(SetOutputEnable(device, view->Index, true))) {
    m.OutputWanted = 0;
    ok = false;
  }
  m.BitsPerPixel = mode.BitsPerPixel;
  m.Width = mode.Width;
  m.Height = mode.Height;
  const bool rotated = Rotated(m.Rotation);
  m.DeviceWidth = rotated ? mode.Height : mode.Width;
  m.DeviceHeight = rotated ? mode.Width : mode.Height;
  return ok;
}

}  // namespace

bool SelectModeAndStart(ViewContext* view, uint32_t width, uint32_t height, uint32_t refresh,
                        uint32_t bpp) {
  StopViewThreads(view);
  // The send thread may still be building the stopped view's last packet from its mode and
  // centring offsets: nothing of them changes before it took that packet.
  SettleViewPacket(view);
  // The mode list may be rebuilt meanwhile (a monitor plugged in): it is read and the mode
  // applied under the view's mode lock.
  LockModes(view);
  const ModeEntry* found = FindMode(view, width, height, refresh, bpp);
  // The frame buffers were sized at Start; no mode larger than they hold is ever set.
  if (!found || ModeFrameBytes(found->Width, found->Height) > view->Modes.BufferFrameBytes) {
    UnlockModes(view);
    return false;
  }
  const ModeEntry mode = *found;
  ViewModes& m = view->Modes;
  m.Rotation = view->Owner->Rotation & 3;
  ApplyMode(view, mode);
  UnlockModes(view);
  // Shapes are converted for the new rotation and uploaded again.
  ResetCursorCache(view->Hwc, true);
  SetCursorMode(view->Hwc, mode.Width, mode.Height, m.Rotation);
  view->PreferYuv = mode.Width > kYuvPreferredWidth ? 1 : 0;
  m.SystemFramePitch = (mode.Width + kPitchAlign - 1) / kPitchAlign * kPitchAlign * (bpp / 8);
  m.OffsetX = CentringOffset(mode.Width, width, kOffsetAlignX);
  m.OffsetY = CentringOffset(mode.Height, height, kOffsetAlignY);
  StartViewThreads(view);
  return true;
}

}  // namespace vorn::display
