#include <cstring>

#include "display/device/bring_up.h"
#include "display/device/trace.h"
#include "display/device/trace_messages.h"
#include "display/device/vendor_requests.h"
#include "protocol/capability_block.h"

namespace vorn::display {
namespace {

constexpr uint32_t kMaxQuality = 100;
constexpr uint8_t kMaxFlipMode = 3;
constexpr uint8_t kMaxYv12 = 2;

// Reads |width| bytes of value |name| into |out| (zeroed first); false when the value is
// missing or cannot be read at that width.
bool QueryValue(SorvikDevice* device, WDFKEY key, const char16_t* name, void* out, ULONG width) {
  UNICODE_STRING value_name;
  size_t chars = std::char_traits<char16_t>::length(name);
  value_name.Length = static_cast<USHORT>(chars * sizeof(WCHAR));
  value_name.MaximumLength = value_name.Length;
  value_name.Buffer = const_cast<WCHAR*>(name);
  std::memset(out, 0, width);
  ULONG queried = 0, type = 0;
  NTSTATUS status = Wdf<WdfRegistryQueryValueTableIndex>(device, key, &value_name, width, out,
                                                         &queried, &type);
  return NT_SUCCESS(status);
}

void SetDefaults(SorvikDevice* device) {
  device->CursorSlotTotal = kCursorSlotTotal;
  device->JpegSampling = kDefaultJpegSampling;
  device->BandwidthLimit = 0;
  device->MaxPixels = kDefaultMaxPixels;
  device->ControlChunkSize = kControlChunkSize;
  device->JpegQuality = kDefaultJpegQuality;
  device->FlipMode = 0;
  device->FormatMode = 0;
  device->DetectMonitor = kDetectFromCapabilities;
}

}  // namespace

void ReadRegistrySettings(SorvikDevice* device) {
  SetDefaults(device);
  if (!device->WdfDriver) return;
  WDFKEY key = nullptr;
  NTSTATUS status = Wdf<WdfDriverOpenParametersRegistryKeyTableIndex>(
      device, device->WdfDriver, KEY_READ, PWDF_OBJECT_ATTRIBUTES{nullptr}, &key);
  if (!NT_SUCCESS(status) || !key) return;

  uint32_t quality = 0;
  if (QueryValue(device, key, u"QorQuality", &quality, sizeof quality) && quality <= kMaxQuality)
    device->JpegQuality = quality;
  uint8_t flip = 0;
  if (QueryValue(device, key, u"FlipMode", &flip, 1) && flip <= kMaxFlipMode)
    device->FlipMode = flip;
  uint8_t yv12 = 0;
  if (QueryValue(device, key, u"YV12", &yv12, 1) && yv12 <= kMaxYv12) device->FormatMode = yv12;
  uint8_t detect = 0;
  if (QueryValue(device, key, u"DetectMonitor", &detect, 1)) device->DetectMonitor = detect;

  Wdf<WdfRegistryCloseTableIndex>(device, key);
}

NTSTATUS ReadCapabilities(SorvikDevice* device) {
  uint8_t raw[protocol::kCapabilityBlockSize] = {};
  NTSTATUS status = ReadCapabilityBlock(device, raw, 0, sizeof raw);
  if (!NT_SUCCESS(status)) return status;
  protocol::CapabilityBlock block;
  protocol::DecodeCapabilityBlock(protocol::AsBytes(raw, sizeof raw), &block);
  if (block.Magic != protocol::kCapabilityMagic) return STATUS_INVALID_PARAMETER;

  const uint32_t flags = block.CapabilityFlags;
  device->CapabilityFlags = flags;
  device->Rotation = static_cast<uint8_t>(protocol::CapabilityRotation(flags));
  if (flags & protocol::kCapForceFlipMode) device->FlipMode = 1;
  device->ThreeStagingFrames = (flags & protocol::kCapThreeStagingFrames) ? 1 : 0;
  device->NoAckTracking = (flags & protocol::kCapNoAckTracking) ? 1 : 0;
  if (block.QualityOverride >= 1 && block.QualityOverride <= kMaxQuality)
    device->JpegQuality = block.QualityOverride;
  device->BandwidthLimit = block.BandwidthLimit;
  device->FormatMode = static_cast<uint8_t>(protocol::CapabilityFormatMode(flags, device->BcdUsb));

  uint8_t present = 0;
  for (uint16_t i = 0; i < kViewCountMax; ++i) {
    const uint32_t descriptor = block.ViewDescriptor[i];
    const uint32_t type = protocol::ViewDescriptorType(descriptor);
    if (type == 0) continue;
    ViewContext& view = device->Views[i];
    view.Present = 1;
    view.DeviceTimingCount = protocol::ViewDescriptorTimingCount(descriptor);
    view.DescriptorType = static_cast<uint8_t>(type);
    const uint32_t detect_bit = i == 0 ? protocol::kCapDetectView0 : protocol::kCapDetectView1;
    view.DetectEnabled = device->DetectMonitor == kDetectFromCapabilities
                             ? ((flags & detect_bit) ? 1 : 0)
                             : device->DetectMonitor;
    ++present;
  }
  TracePoint(kTraceHost, kTraceInfo, kTraceUnitBringUp, kMsgCapabilities,
             {flags, block.ViewDescriptor[0], block.ViewDescriptor[1], present});
  if (present == 0) return STATUS_UNSUCCESSFUL;
  device->ViewCount = present;
  return STATUS_SUCCESS;
}

}  // namespace vorn::display
