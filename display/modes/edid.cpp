#include "display/modes/edid.h"

#include <cstring>

#include "display/modes/modes.h"

namespace vorn::display {
namespace {

constexpr uint8_t kEdidHeader[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
constexpr uint32_t kEstablishedOffset = 35;
constexpr uint32_t kStandardOffset = 38;
constexpr uint32_t kStandardCount = 8;
constexpr uint32_t kDescriptorOffsets[4] = {54, 72, 90, 108};
constexpr uint32_t kDescriptorSize = 18;
constexpr uint32_t kExtensionCountOffset = 126;
constexpr uint32_t kChecksumOffset = 127;
constexpr uint8_t kTagStandardTimings = 0xFA;
constexpr uint8_t kTagMonitorName = 0xFC;
constexpr uint8_t kCeaTag = 2;
constexpr uint8_t kCeaRevision = 3;
constexpr uint32_t kCeaDataStart = 4;
constexpr uint8_t kDataBlockVideo = 2;
constexpr uint8_t kDataBlockVendor = 3;
constexpr uint32_t kDefaultWidthLimit = 1920;
constexpr uint32_t kDefaultHeightLimit = 1080;
// The largest refresh a timing record holds.
constexpr uint32_t kMaxTimingRefresh = 0xFF;

struct Mode3 {
  uint16_t Width, Height, Refresh;
};

// Established timings: byte 35 bits 0-7, then byte 36 bits 0-7; a zero width adds nothing.
constexpr Mode3 kEstablished[16] = {
    {800, 600, 60},  {0, 0, 0},       {640, 480, 75},  {640, 480, 72},
    {640, 480, 67},  {640, 480, 60},  {720, 480, 88},  {720, 480, 70},
    {1280, 1024, 75}, {1024, 768, 75}, {1024, 768, 70}, {1024, 768, 60},
    {1024, 768, 87}, {832, 624, 75},  {800, 600, 75},  {800, 600, 72},
};

struct VideoFormat {
  uint16_t Width, Height;
  uint8_t Rate;
  uint8_t Interlaced;
  uint16_t SecondWidth;  // the pixel-doubled form, 0 when there is none
};

// Video identification codes 0-107; codes 108-127 carry nothing.
constexpr uint32_t kVideoFormatCount = 108;
constexpr VideoFormat kVideoFormats[kVideoFormatCount] = {
    {0, 0, 0, 0, 0},
    {640, 480, 60, 0, 0},     {720, 480, 60, 0, 0},     {720, 480, 60, 0, 0},
    {1280, 720, 60, 0, 0},    {1920, 1080, 60, 1, 0},   {720, 480, 60, 1, 0},
    {720, 480, 60, 1, 0},     {720, 240, 60, 0, 1440},  {720, 240, 60, 0, 1440},
    {2880, 480, 60, 1, 0},    {2880, 480, 60, 1, 0},    {2880, 240, 60, 0, 0},
    {2880, 240, 60, 0, 0},    {1440, 480, 60, 0, 0},    {1440, 480, 60, 0, 0},
    {1920, 1080, 60, 0, 0},   {720, 576, 50, 0, 0},     {720, 576, 50, 0, 0},
    {1280, 720, 50, 0, 0},    {1920, 1080, 50, 1, 0},   {720, 576, 50, 1, 0},
    {720, 576, 50, 1, 0},     {720, 288, 50, 0, 1440},  {720, 288, 50, 0, 1440},
    {2880, 576, 50, 1, 0},    {2880, 576, 50, 1, 0},    {2880, 288, 50, 0, 0},
    {2880, 288, 50, 0, 0},    {1440, 576, 50, 0, 0},    {1440, 576, 50, 0, 0},
    {1920, 1080, 50, 0, 0},   {1920, 1080, 24, 0, 0},   {1920, 1080, 25, 0, 0},
    {1920, 1080, 30, 0, 0},   {2880, 480, 60, 0, 0},    {2880, 480, 60, 0, 0},
    {2880, 576, 50, 0, 0},    {2880, 576, 50, 0, 0},    {1920, 1080, 50, 1, 0},
    {1920, 1080, 100, 1, 0},  {1280, 720, 100, 0, 0},   {720, 576, 100, 0, 0},
    {720, 576, 100, 0, 0},    {720, 576, 100, 1, 0},    {720, 576, 100, 1, 0},
    {1920, 1080, 120, 1, 0},  {1280, 720, 120, 0, 0},   {720, 480, 120, 0, 0},
    {720, 480, 120, 0, 0},    {720, 480, 120, 1, 0},    {720, 480, 120, 1, 0},
    {720, 576, 200, 0, 0},    {720, 576, 200, 0, 0},    {720, 576, 200, 1, 0},
    {720, 576, 200, 1, 0},    {720, 480, 240, 0, 0},    {720, 480, 240, 0, 0},
    {720, 480, 240, 1, 0},    {720, 480, 240, 1, 0},    {1280, 720, 24, 0, 0},
    {1280, 720, 25, 0, 0},    {1280, 720, 30, 0, 0},    {1920, 1080, 120, 0, 0},
    {1920, 1080, 100, 0, 0},  {1280, 720, 24, 0, 0},    {1280, 720, 25, 0, 0},
    {1280, 720, 30, 0, 0},    {1280, 720, 50, 0, 0},    {1280, 720, 60, 0, 0},
    {1280, 720, 100, 0, 0},   {1280, 720, 120, 0, 0},   {1920, 1080, 24, 0, 0},
    {1920, 1080, 25, 0, 0},   {1920, 1080, 30, 0, 0},   {1920, 1080, 50, 0, 0},
    {1920, 1080, 60, 0, 0},   {1920, 1080, 100, 0, 0},  {1920, 1080, 120, 0, 0},
    {1680, 720, 24, 0, 0},    {1680, 720, 25, 0, 0},    {1680, 720, 30, 0, 0},
    {1680, 720, 50, 0, 0},    {1680, 720, 60, 0, 0},    {1680, 720, 100, 0, 0},
    {1680, 720, 120, 0, 0},   {2560, 1080, 24, 0, 0},   {2560, 1080, 25, 0, 0},
    {2560, 1080, 30, 0, 0},   {2560, 1080, 50, 0, 0},   {2560, 1080, 60, 0, 0},
    {2560, 1080, 100, 0, 0},  {2560, 1080, 120, 0, 0},  {3840, 2160, 24, 0, 0},
    {3840, 2160, 25, 0, 0},   {3840, 2160, 30, 0, 0},   {3840, 2160, 50, 0, 0},
    {3840, 2160, 60, 0, 0},   {4096, 2160, 24, 0, 0},   {4096, 2160, 25, 0, 0},
    {4096, 2160, 30, 0, 0},   {4096, 2160, 50, 0, 0},   {4096, 2160, 60, 0, 0},
    {3840, 2160, 24, 0, 0},   {3840, 2160, 25, 0, 0},   {3840, 2160, 30, 0, 0},
    {3840, 2160, 50, 0, 0},   {3840, 2160, 60, 0, 0},
};
static_assert(sizeof(kVideoFormats) / sizeof(kVideoFormats[0]) == kVideoFormatCount);

struct Hdmi4kFormat {
  uint16_t Width, Height;
  uint8_t Refresh;
  uint16_t HBlank, HFront;
};
// HDMI_VIC codes 0-4 (0 empty); all at 297 MHz with the same sync and vertical blanking.
constexpr uint32_t kHdmi4kCount = 5;
constexpr Hdmi4kFormat kHdmi4kFormats[kHdmi4kCount] = {
    {0, 0, 0, 0, 0},
    {3840, 2160, 30, 560, 176},
    {3840, 2160, 25, 1440, 1056},
    {3840, 2160, 24, 1660, 1276},
    {4096, 2160, 24, 1404, 1020},
};
constexpr uint32_t kHdmi4kClockHz = 297000000;
constexpr uint32_t kHdmi4kHSync = 88;
constexpr uint32_t kHdmi4kVBlank = 90;
constexpr uint32_t kHdmi4kVFront = 8;
constexpr uint32_t kHdmi4kVSync = 10;
constexpr uint8_t kHdmiOui[3] = {0x03, 0x0C, 0x00};
constexpr uint8_t kHdmiForumOui[3] = {0xD8, 0x5D, 0xC4};

ViewModes& ModesOf(ViewContext* view) { return view->Modes; }

void AddStandardTiming(ViewContext* view, uint8_t b0, uint8_t b1, bool skip_zero_height) {
  if (b0 == 0x01 && b1 == 0x01) return;
  const uint32_t width = (b0 + 31u) * 8u;
  uint32_t height = 0;
  switch (b1 >> 6) {
    case 0: height = width * 10 / 16; break;
    case 1: height = width * 3 / 4; break;
    case 2: height = width * 4 / 5; break;
    default: height = width * 9 / 16; break;
  }
  if (skip_zero_height && height == 0) return;
  AddTiming(view, width, height, (b1 & 0x3Fu) + 60u);
}

// Whether a monitor timing the device lacks may be appended: within the device table's
// maxima and clock, and within the frame the view's buffers were sized for at Start (the
// largest device mode's width by the largest one's height), so that every mode offered can
// be set. The table's maxima can exceed that frame: records the list skips (a refresh of 0,
// widths over USB 2) still count towards them.
bool FitsDevice(const ViewContext* view, uint32_t width, uint32_t height, uint32_t clock_hz) {
  const ViewModes& m = view->Modes;
  return width <= m.TableMaxWidth && height <= m.TableMaxHeight &&
         clock_hz <= kMaxEdidPixelClockHz && ModeFrameBytes(width, height) <= m.BufferFrameBytes;
}

bool AppendEdidMode(ViewContext* view, uint32_t width, uint32_t height, uint32_t htotal,
                    uint32_t vtotal, uint32_t refresh, uint32_t clock_hz) {
  ViewModes& m = ModesOf(view);
  if (!m.Modes || m.ModeCount >= m.ModeCapacity) return false;
  ModeEntry& e = m.Modes[m.ModeCount++];
  e = ModeEntry{};
  e.Source = kEdidModeSource;
  e.Width = static_cast<uint16_t>(width);
  e.Height = static_cast<uint16_t>(height);
  e.BitsPerPixel = kModeBitsPerPixel;
  e.Refresh = static_cast<uint16_t>(refresh);
  e.Offered = 1;
  e.Valid = 1;
  e.PixelRateHz = clock_hz;
  e.HorizontalTotal = htotal;
  e.VerticalTotal = vtotal;
  return true;
}

// The whole treatment of one monitor timing: offer the device's mode with its exact timing,
// or append it when the device lacks it and it fits. True when a mode was appended.
bool TakeMonitorTiming(ViewContext* view, uint32_t clock_hz, uint32_t width, uint32_t height,
                       uint32_t refresh, uint32_t hblank, uint32_t vblank, uint32_t hfront,
                       uint32_t hsync, uint32_t vfront, uint32_t vsync, uint32_t borders,
                       uint8_t hpol, uint8_t vpol) {
  if (AddTiming(view, width, height, refresh)) {
    AddDetailedTiming(view, clock_hz, width, height, refresh, hblank, vblank, hfront, hsync,
                      vfront, vsync, borders, hpol, vpol);
    return false;
  }
  if (!FitsDevice(view, width, height, clock_hz)) return false;
  if (!AddDetailedTiming(view, clock_hz, width, height, refresh, hblank, vblank, hfront, hsync,
                         vfront, vsync, borders, hpol, vpol))
    return false;
  return AppendEdidMode(view, width, height, width + hblank, height + vblank, refresh, clock_hz);
}

void CopyMonitorName(ViewContext* view, const uint8_t* descriptor) {
  char* name = view->Modes.MonitorName;
  std::memset(name, 0, kMonitorNameSize);
  for (uint32_t i = 0; i < 13; ++i) {
    const char c = static_cast<char>(descriptor[5 + i]);
    name[i] = c == '\n' ? '\0' : c;
  }
}

void RecountOffered(ViewContext* view) { view->Modes.OfferedCount = CountOfferedModes(view); }

}  // namespace

bool AddTiming(ViewContext* view, uint32_t width, uint32_t height, uint32_t refresh) {
  ViewModes& m = ModesOf(view);
  bool found = false;
  for (uint32_t i = 0; i < m.ModeCount; ++i) {
    ModeEntry& e = m.Modes[i];
    if (e.Width != width || e.Height != height) continue;
    if (e.Refresh == refresh) {
      e.Offered = 1;
      found = true;
    } else if (e.Refresh < refresh) {
      e.Offered = 1;
    }
  }
  return found;
}

bool AddDetailedTiming(ViewContext* view, uint32_t clock_hz, uint32_t width, uint32_t height,
                       uint32_t refresh, uint32_t hblank, uint32_t vblank, uint32_t hfront,
                       uint32_t hsync, uint32_t vfront, uint32_t vsync, uint32_t,
                       uint8_t hpol, uint8_t vpol) {
  if (!clock_hz || !width || !height) return false;
  const uint32_t reference = PllReferenceMhz(view->Owner->HwPlatform);
  if (!reference) return false;
  PllParameters pll;
  if (!ComputePllParameters(clock_hz / 1000, reference, &pll)) return false;

  protocol::TimingRecord r;
  r.PixelClockKhz = clock_hz / 1000;
  r.RefreshHz = static_cast<uint8_t>(refresh);
  r.HorizontalTotal = static_cast<uint16_t>(width + hblank);
  r.Width = static_cast<uint16_t>(width);
  r.HSyncStart = static_cast<uint16_t>(width + hfront + 1);
  r.HSyncWidthMinus1 = static_cast<uint16_t>(hsync - 1);
  r.VerticalTotal = static_cast<uint16_t>(height + vblank);
  r.Height = static_cast<uint16_t>(height);
  r.VSyncStart = static_cast<uint16_t>(height + vfront + 1);
  r.VSyncWidthMinus1 = static_cast<uint16_t>(vsync - 1);
  r.PllFraction = pll.Fraction;
  r.PllDenominator = pll.Denominator;
  r.PllMultiplier = pll.Multiplier;
  r.PllDividerCode = pll.DividerCode;
  r.HSyncPositive = hpol;
  r.VSyncPositive = vpol;
  r.WidthFlag = protocol::TimingWidthFlag(static_cast<uint16_t>(width));

  TimingCacheEntry* free_entry = nullptr;
  for (TimingCacheEntry& e : view->Modes.TimingCache) {
    if (e.Valid && e.Width == width && e.Height == height && e.Refresh == refresh) {
      e.Record = r;
      return true;
    }
    if (!e.Valid && !free_entry) free_entry = &e;
  }
  if (!free_entry) return false;
  free_entry->Valid = 1;
  free_entry->Width = static_cast<uint16_t>(width);
  free_entry->Height = static_cast<uint16_t>(height);
  free_entry->Refresh = static_cast<uint16_t>(refresh);
  free_entry->Record = r;
  return true;
}

const TimingCacheEntry* FindCachedTiming(const ViewContext* view, uint32_t width,
                                         uint32_t height, uint32_t refresh) {
  for (const TimingCacheEntry& e : view->Modes.TimingCache)
    if (e.Valid && e.Width == width && e.Height == height && e.Refresh == refresh) return &e;
  return nullptr;
}

void ResetTimingLimits(ViewContext* view) {
  for (TimingCacheEntry& e : view->Modes.TimingCache) e = TimingCacheEntry{};
}

void PickBestMode(const ViewContext* view, uint32_t* width, uint32_t* height) {
  uint32_t w = 0, h = 0;
  const ViewModes& m = view->Modes;
  for (uint32_t i = 0; i < m.ModeCount; ++i) {
    const ModeEntry& e = m.Modes[i];
    if (!e.Offered || !e.Valid) continue;
    if (e.Width > w || (e.Width == w && e.Height > h)) {
      w = e.Width;
      h = e.Height;
    }
  }
  *width = w;
  *height = h;
}

void AddDefaultTimings(ViewContext* view) {
  ViewModes& m = ModesOf(view);
  uint32_t width_limit = kDefaultWidthLimit;
  uint64_t pixel_limit = uint64_t{kDefaultWidthLimit} * kDefaultHeightLimit;
  if (kDefaultWidthLimit > m.TableMaxWidth || kDefaultHeightLimit > m.TableMaxHeight) {
    uint32_t w, h;
    PickBestMode(view, &w, &h);
    width_limit = w;
    pixel_limit = uint64_t{w} * h;
  }
  for (uint32_t i = 0; i < m.ModeCount; ++i) {
    ModeEntry& e = m.Modes[i];
    e.Offered = e.Width <= width_limit && uint64_t{e.Width} * e.Height <= pixel_limit;
  }
  RecountOffered(view);
}

void ParseDetailedTiming(ViewContext* view, uint32_t, const uint8_t* d, bool from_extension) {
  const uint32_t clock_hz = (d[0] | (uint32_t{d[1]} << 8)) * 10000u;
  if (clock_hz == 0) {
    if (d[3] == kTagStandardTimings) {
      for (uint32_t i = 0; i < 6; ++i) AddStandardTiming(view, d[5 + 2 * i], d[6 + 2 * i], true);
    } else if (d[3] == kTagMonitorName) {
      if (!from_extension || view->Modes.MonitorName[0] == '\0') CopyMonitorName(view, d);
    }
    return;
  }
  const uint32_t width = d[2] | ((d[4] & 0xF0u) << 4);
  const uint32_t hblank = d[3] | ((d[4] & 0x0Fu) << 8);
  const uint32_t height = d[5] | ((d[7] & 0xF0u) << 4);
  const uint32_t vblank = d[6] | ((d[7] & 0x0Fu) << 8);
  const uint32_t hfront = d[8] | ((d[11] & 0xC0u) << 2);
  const uint32_t hsync = d[9] | ((d[11] & 0x30u) << 4);
  const uint32_t vfront = (d[10] >> 4) | ((d[11] & 0x0Cu) << 2);
  const uint32_t vsync = (d[10] & 0x0Fu) | ((d[11] & 0x03u) << 4);
  const uint32_t borders = d[15] | (uint32_t{d[16]} << 8);
  const uint8_t flags = d[17];
  if (flags & 0x80) return;
  const uint32_t total = (width + hblank) * (height + vblank);
  if (total == 0) return;
  uint32_t refresh = (clock_hz + total / 2) / total;
  // Below half a hertz nothing can be shown. The refresh travels in a byte: a faster monitor
  // keeps its timing (the clock and totals are exact) with the refresh the byte can hold.
  if (refresh == 0) return;
  if (refresh > kMaxTimingRefresh) refresh = kMaxTimingRefresh;
  TakeMonitorTiming(view, clock_hz, width, height, refresh, hblank, vblank, hfront, hsync, vfront,
                    vsync, borders, (flags >> 1) & 1, (flags >> 2) & 1);
}

NTSTATUS HdmiVsdb4kModes(ViewContext* view, const uint8_t* block, uint32_t length) {
  const uint8_t* p = block + 1;
  // Byte 7 of the payload says whether the video fields follow; a shorter block has none.
  if (length < 8 || !(p[7] & 0x20)) return STATUS_SUCCESS;
  uint32_t i = 8;
  if (p[7] & 0x80) i += 2;
  if (p[7] & 0x40) i += 2;
  if (i + 1 >= length) return STATUS_SUCCESS;
  uint32_t count = p[i + 1] >> 5;
  const uint32_t first = i + 2;
  if (first >= length) return STATUS_SUCCESS;
  if (count > length - first) count = length - first;
  for (uint32_t k = 0; k < count; ++k) {
    const uint8_t code = p[first + k];
    if (code == 0 || code >= kHdmi4kCount) continue;
    const Hdmi4kFormat& f = kHdmi4kFormats[code];
    TakeMonitorTiming(view, kHdmi4kClockHz, f.Width, f.Height, f.Refresh, f.HBlank, kHdmi4kVBlank,
                      f.HFront, kHdmi4kHSync, kHdmi4kVFront, kHdmi4kVSync, 0, 1, 1);
  }
  return STATUS_SUCCESS;
}

NTSTATUS CheckCeaBlock(const uint8_t* block) {
  uint8_t sum = 0;
  for (uint32_t i = 0; i < kEdidBlockSize; ++i) sum = static_cast<uint8_t>(sum + block[i]);
  if (sum != 0) return STATUS_UNSUCCESSFUL;
  if (block[0] != kCeaTag || block[1] > kCeaRevision) return STATUS_NOT_SUPPORTED;
  return STATUS_SUCCESS;
}

NTSTATUS ParseCeaExtension(ViewContext* view, const uint8_t* edid, uint32_t k) {
  const uint8_t* b = edid + (k + 1) * kEdidBlockSize;
  NTSTATUS status = CheckCeaBlock(b);
  if (status == STATUS_NOT_SUPPORTED) return STATUS_SUCCESS;
  if (!NT_SUCCESS(status)) return status;

  // Byte 2 is where the detailed timings start; below 4 the block has neither data blocks nor
  // timings, and the data blocks never run into the checksum byte.
  const uint32_t d = b[2];
  if (d < kCeaDataStart) return STATUS_SUCCESS;
  const uint32_t data_end = d < kChecksumOffset ? d : kChecksumOffset;
  uint32_t pos = kCeaDataStart;
  while (pos < data_end) {
    const uint8_t header = b[pos];
    const uint32_t tag = header >> 5;
    const uint32_t length = header & 0x1Fu;
    if (pos + 1 + length > data_end) return STATUS_SUCCESS;
    const uint8_t* payload = b + pos + 1;
    if (tag == kDataBlockVideo) {
      for (uint32_t i = 0; i < length; ++i) {
        const uint32_t code = payload[i] & 0x7Fu;
        if (code >= kVideoFormatCount) continue;
        const VideoFormat& f = kVideoFormats[code];
        if (f.Interlaced || f.Width == 0) continue;
        AddTiming(view, f.Width, f.Height, f.Rate);
        if (f.SecondWidth) AddTiming(view, f.SecondWidth, f.Height, f.Rate);
      }
    } else if (tag == kDataBlockVendor && length >= 3 &&
               (std::memcmp(payload, kHdmiOui, 3) == 0 ||
                std::memcmp(payload, kHdmiForumOui, 3) == 0)) {
      status = HdmiVsdb4kModes(view, b + pos, length);
      if (!NT_SUCCESS(status)) return status;
    }
    pos += 1 + length;
  }
  // Every descriptor that ends before the checksum byte, the last one starting at 109.
  for (uint32_t start = d; start + kDescriptorSize <= kChecksumOffset; start += kDescriptorSize)
    ParseDetailedTiming(view, start, b + start, true);
  return STATUS_SUCCESS;
}

void ParseEdidBlocks(ViewContext* view, uint8_t* edid, uint32_t size) {
  const uint32_t count_before = view->Modes.ModeCount;
  for (uint32_t bit = 0; bit < 16; ++bit) {
    const uint8_t byte = edid[kEstablishedOffset + bit / 8];
    const Mode3& m = kEstablished[bit];
    if ((byte >> (bit % 8)) & 1 && m.Width) AddTiming(view, m.Width, m.Height, m.Refresh);
  }
  for (uint32_t i = 0; i < kStandardCount; ++i)
    AddStandardTiming(view, edid[kStandardOffset + 2 * i], edid[kStandardOffset + 2 * i + 1],
                      false);
  for (uint32_t i = 0; i < 4; ++i)
    ParseDetailedTiming(view, i, edid + kDescriptorOffsets[i], false);

  const uint32_t n = edid[kExtensionCountOffset];
  if (size < (n + 1) * kEdidBlockSize) {
    edid[kExtensionCountOffset] = 0;
    edid[kChecksumOffset] = static_cast<uint8_t>(edid[kChecksumOffset] + n);
  } else {
    for (uint32_t k = 0; k < n; ++k) ParseCeaExtension(view, edid, k);
  }
  if (view->Modes.ModeCount != count_before) SortModes(view->Modes.Modes, view->Modes.ModeCount);
  RecountOffered(view);
  ComputeModeLimits(view);
}

NTSTATUS ProcessEdid(ViewContext* view, uint8_t* edid, uint32_t size) {
  ResetTimingLimits(view);
  ViewModes& m = ModesOf(view);
  // The name is this monitor's or none, never the one the view saw before.
  std::memset(m.MonitorName, 0, kMonitorNameSize);
  if (edid && size >= kEdidBlockSize && std::memcmp(edid, kEdidHeader, sizeof kEdidHeader) == 0) {
    for (uint32_t i = 0; i < m.ModeCount; ++i) m.Modes[i].Offered = 0;
    m.OfferedCount = 0;
    ParseEdidBlocks(view, edid, size);
    if (m.OfferedCount != 0) return STATUS_SUCCESS;
    // Nothing of the device's matched the monitor: offer what a monitor without an EDID gets,
    // judged from the whole table, rather than leave the view with no mode to set.
    for (uint32_t i = 0; i < m.ModeCount; ++i) m.Modes[i].Offered = m.Modes[i].Valid;
  }
  AddDefaultTimings(view);
  ComputeModeLimits(view);
  return STATUS_SUCCESS;
}

}  // namespace vorn::display
