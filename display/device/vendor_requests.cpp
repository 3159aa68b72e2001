#include "display/device/vendor_requests.h"

#include <algorithm>
#include <cstring>

#include "display/device/bulk_write.h"
#include "display/device/trace.h"
#include "display/device/trace_messages.h"
#include "protocol/timing.h"
#include "protocol/vendor_request.h"

namespace vorn::display {
namespace {

void InitOptions(WDF_REQUEST_SEND_OPTIONS* options) {
  WDF_REQUEST_SEND_OPTIONS_INIT(options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
  WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(options, WDF_REL_TIMEOUT_IN_MS(kVendorTimeoutMs));
}

void TraceFailure(uint8_t code, uint16_t value, uint16_t index, NTSTATUS status) {
  TracePoint(kTraceVendor, kTraceError, kTraceUnitTransfers, kMsgVendorFailed,
             {code, value, index, static_cast<uint32_t>(status)});
}

// Runs one request under the device lock; a lock not had within 5 s sends nothing.
template <class Send>
NTSTATUS Locked(SorvikDevice* device, uint8_t code, uint16_t value, uint16_t index, Send send) {
  if (AcquireDeviceLock(device) != STATUS_SUCCESS) {
    TracePoint(kTraceVendor, kTraceError, kTraceUnitTransfers, kMsgLockTimeout, {code});
    return STATUS_UNSUCCESSFUL;
  }
  NTSTATUS status = send();
  ReleaseDeviceLock(device);
  if (!NT_SUCCESS(status)) TraceFailure(code, value, index, status);
  return status;
}

}  // namespace

NTSTATUS VendorRequestIn(SorvikDevice* device, WDFUSBDEVICE target, uint8_t code, uint16_t value,
                         uint16_t index, void* buffer, uint32_t length, ULONG* transferred) {
  WDF_USB_CONTROL_SETUP_PACKET setup;
  WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(&setup, BmRequestDeviceToHost, BmRequestToDevice, code,
                                           value, index);
  WDF_MEMORY_DESCRIPTOR memory;
  WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&memory, buffer, length);
  WDF_REQUEST_SEND_OPTIONS options;
  InitOptions(&options);
  ULONG moved = 0;
  NTSTATUS status = Wdf<WdfUsbTargetDeviceSendControlTransferSynchronouslyTableIndex>(
      device, target, WDFREQUEST{nullptr}, &options, &setup, &memory, &moved);
  if (transferred) *transferred = moved;
  return status;
}

NTSTATUS VendorRequestOut(SorvikDevice* device, WDFUSBDEVICE target, uint8_t code,
                          uint16_t value, uint16_t index, const void* buffer, uint32_t length) {
  WDF_USB_CONTROL_SETUP_PACKET setup;
  WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(&setup, BmRequestHostToDevice, BmRequestToDevice, code,
                                           value, index);
  WDF_MEMORY_DESCRIPTOR memory;
  PWDF_MEMORY_DESCRIPTOR data = nullptr;
  if (buffer && length > 0) {
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&memory, const_cast<void*>(buffer), length);
    data = &memory;
  }
  WDF_REQUEST_SEND_OPTIONS options;
  InitOptions(&options);
  ULONG moved = 0;
  return Wdf<WdfUsbTargetDeviceSendControlTransferSynchronouslyTableIndex>(
      device, target, WDFREQUEST{nullptr}, &options, &setup, data, &moved);
}

NTSTATUS AcquireDeviceLock(SorvikDevice* device) {
  if (!device->DeviceLock) return STATUS_INVALID_DEVICE_STATE;
  LONGLONG timeout = WDF_REL_TIMEOUT_IN_MS(kDeviceLockTimeoutMs);
  return Wdf<WdfWaitLockAcquireTableIndex>(device, device->DeviceLock, &timeout);
}

void ReleaseDeviceLock(SorvikDevice* device) {
  Wdf<WdfWaitLockReleaseTableIndex>(device, device->DeviceLock);
}


namespace {

constexpr uint8_t kEdidHeader[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
// wIndex and the IpCommandPacket length are 16-bit fields.
constexpr uint32_t kWireFieldLimit = 0x10000;
// The first piece of a shape record too long for one IpCommandPacket.
constexpr uint32_t kIpShapePiece = 0x8000;

// An IN request under the held lock that must move exactly |length| bytes.
NTSTATUS ReadExactly(SorvikDevice* device, uint8_t code, uint16_t value, uint16_t index,
                     void* buffer, uint32_t length) {
  ULONG moved = 0;
  NTSTATUS status =
      VendorRequestIn(device, device->UsbDevice, code, value, index, buffer, length, &moved);
  if (NT_SUCCESS(status) && moved != length) status = STATUS_DEVICE_DATA_ERROR;
  return status;
}

NTSTATUS ReadEdidLocked(SorvikDevice* device, uint16_t view, void* buffer, uint32_t* size) {
  uint8_t area[kEdidAreaSize] = {};
  ULONG moved = 0;
  NTSTATUS status = VendorRequestIn(device, device->UsbDevice, protocol::ReqReadEdid, 0, view,
                                    area, kEdidBlockSize, &moved);
  if (!NT_SUCCESS(status)) return status;
  uint8_t sum = 0;
  for (uint32_t i = 0; i < kEdidBlockSize; ++i) sum = static_cast<uint8_t>(sum + area[i]);
  if (moved < kEdidBlockSize || sum != 0) return STATUS_UNSUCCESSFUL;

  uint32_t total = kEdidBlockSize;
  const uint32_t extensions = area[kEdidExtensionCountOffset];
  for (uint32_t block = 1; block <= extensions && block < kEdidMaxBlocks; ++block) {
    // A block that comes short would hand the caller zeros as EDID bytes.
    status = ReadExactly(device, protocol::ReqReadEdid,
                         static_cast<uint16_t>(block * kEdidBlockSize), view,
                         area + block * kEdidBlockSize, kEdidBlockSize);
    if (!NT_SUCCESS(status)) return status;
    total += kEdidBlockSize;
  }
  if (std::memcmp(area, kEdidHeader, sizeof kEdidHeader) == 0) {
    if (buffer) std::memcpy(buffer, area, std::min(*size, total));
    *size = total;
  }
  return status;
}

uint8_t CursorCode(uint16_t view, uint8_t code0, uint8_t code1) { return view == 0 ? code0 : code1; }

// One IpCommandPacket on bulk OUT endpoint 0x04, |n| data bytes behind it in the same transfer.
NTSTATUS SendIpCommand(SorvikDevice* device, uint8_t code, uint16_t value, uint16_t index,
                       const void* data, uint32_t n) {
  if (!device->IpBulkOutput) return STATUS_INVALID_DEVICE_STATE;
  if (n >= kWireFieldLimit) return STATUS_INVALID_PARAMETER;
  protocol::IpCommandPacket packet;
  packet.Request = code;
  packet.Value = value;
  packet.Index = index;
  packet.Length = static_cast<uint16_t>(n);
  const uint32_t total = static_cast<uint32_t>(protocol::kIpCommandPacketSize) + n;
  uint8_t head[protocol::kIpCommandPacketSize];
  uint8_t* bytes = head;
  if (n) {
    bytes = static_cast<uint8_t*>(HeapZalloc(device, total));
    if (!bytes) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(bytes + protocol::kIpCommandPacketSize, data, n);
  }
  protocol::EncodeIpCommandPacket(packet, protocol::MutableByteSpan(bytes, total));
  NTSTATUS status = BulkWrite(device, device->IpBulkOutput, bytes, total);
  if (bytes != head) HeapRelease(device, bytes);
  if (!NT_SUCCESS(status)) TraceFailure(code, value, index, status);
  return status;
}

// A shape record in IpCommandPackets. One that fits the packet's 16-bit length goes as one
// packet at index 0. A longer one (a 128-pixel image is 65,544 bytes with its header) goes as
// two: the first kIpShapePiece bytes at index 0, the rest at index kIpShapePiece, the index
// being the byte offset of the piece, as the wIndex of the control request the packet replaces
// carries it. A record the two pieces cannot carry is refused.
NTSTATUS SendIpShape(SorvikDevice* device, uint8_t code, uint16_t slot, const void* record,
                     uint32_t size) {
  if (size < kWireFieldLimit) return SendIpCommand(device, code, slot, 0, record, size);
  if (size - kIpShapePiece >= kWireFieldLimit) return STATUS_INVALID_PARAMETER;
  const auto* bytes = static_cast<const uint8_t*>(record);
  NTSTATUS status = SendIpCommand(device, code, slot, 0, bytes, kIpShapePiece);
  if (!NT_SUCCESS(status)) return status;
  return SendIpCommand(device, code, slot, static_cast<uint16_t>(kIpShapePiece),
                       bytes + kIpShapePiece, size - kIpShapePiece);
}

}  // namespace

NTSTATUS ReadDeviceValue(SorvikDevice* device, uint16_t item, void* buffer, uint16_t length) {
  return Locked(device, protocol::ReqReadDeviceValue, 0, item, [&] {
    return VendorRequestIn(device, device->UsbDevice, protocol::ReqReadDeviceValue, 0, item,
                           buffer, length, nullptr);
  });
}

NTSTATUS ReadCapabilityBlock(SorvikDevice* device, void* buffer, uint16_t index, uint16_t length) {
  if (!buffer) return STATUS_UNSUCCESSFUL;
  return Locked(device, protocol::ReqReadCapabilities, 0, index, [&] {
    return VendorRequestIn(device, device->UsbDevice, protocol::ReqReadCapabilities, 0, index,
                           buffer, length, nullptr);
  });
}

NTSTATUS QueryMemorySize(SorvikDevice* device, uint8_t* mib) {
  if (!mib) return STATUS_UNSUCCESSFUL;
  return Locked(device, protocol::ReqMemorySize, 0, 0, [&] {
    return ReadExactly(device, protocol::ReqMemorySize, 0, 0, mib, 1);
  });
}

NTSTATUS QueryMonitorStatus(SorvikDevice* device, uint16_t view, uint8_t* connected) {
  if (!connected) return STATUS_UNSUCCESSFUL;
  if (device->IpMode) {
    *connected = 1;
    return STATUS_SUCCESS;
  }
  return Locked(device, protocol::ReqMonitorStatus, view, 0, [&] {
    uint8_t answer = 0;
    NTSTATUS status = ReadExactly(device, protocol::ReqMonitorStatus, view, 0, &answer, 1);
    if (NT_SUCCESS(status)) *connected = answer;
    return status;
  });
}

NTSTATUS ResetBulkStream(SorvikDevice* device) {
  TracePoint(kTraceVendor, kTraceInfo, kTraceUnitTransfers, kMsgResetBulkStream);
  return Locked(device, protocol::ReqResetBulkStream, 0, 0, [&] {
    return VendorRequestOut(device, device->UsbDevice, protocol::ReqResetBulkStream, 0, 0,
                            nullptr, 0);
  });
}

NTSTATUS StartDisplay(SorvikDevice* device) {
  return Locked(device, protocol::ReqStartDisplay, 0, 0, [&] {
    return VendorRequestOut(device, device->UsbDevice, protocol::ReqStartDisplay, 0, 0, nullptr,
                            0);
  });
}

NTSTATUS ReadTimingTable(SorvikDevice* device, uint16_t view, uint32_t count, void* buffer,
                         uint32_t record_size) {
  if (!buffer) return STATUS_UNSUCCESSFUL;
  // A record larger than a chunk would make every request empty and the loop endless.
  if (record_size == 0 || record_size > kTimingChunkBytes) return STATUS_INVALID_PARAMETER;
  const uint64_t total = uint64_t{count} * record_size;
  if (total > kWireFieldLimit) return STATUS_INVALID_PARAMETER;
  auto* bytes = static_cast<uint8_t*>(buffer);
  std::memset(bytes, 0, static_cast<size_t>(total));
  if (total == 0) return STATUS_SUCCESS;
  return Locked(device, protocol::ReqReadTimings, view, 0, [&] {
    if (total <= kTimingChunkBytes)
      return ReadExactly(device, protocol::ReqReadTimings, view, 0, bytes,
                         static_cast<uint32_t>(total));
    const uint32_t per_request = kTimingChunkBytes / record_size;
    NTSTATUS status = STATUS_SUCCESS;
    for (uint32_t done = 0; done < count;) {
      const uint32_t records = std::min(per_request, count - done);
      const uint32_t offset = done * record_size;
      status = ReadExactly(device, protocol::ReqReadTimings, view, static_cast<uint16_t>(offset),
                           bytes + offset, records * record_size);
      if (!NT_SUCCESS(status)) break;
      done += records;
    }
    return status;
  });
}

NTSTATUS ReadEdidBlocks(SorvikDevice* device, uint16_t view, void* buffer, uint32_t* size) {
  if (!size) return STATUS_UNSUCCESSFUL;
  return Locked(device, protocol::ReqReadEdid, 0, view,
                [&] { return ReadEdidLocked(device, view, buffer, size); });
}

NTSTATUS SetTiming(SorvikDevice* device, uint16_t view, const void* record, uint32_t length) {
  if (device->IpMode) return STATUS_SUCCESS;
  if (!record || length != protocol::kTimingRecordSize) return STATUS_UNSUCCESSFUL;
  return Locked(device, protocol::ReqSetTiming, view, 0, [&] {
    return VendorRequestOut(device, device->UsbDevice, protocol::ReqSetTiming, view, 0, record,
                            length);
  });
}

NTSTATUS SetOutputEnable(SorvikDevice* device, uint16_t view, bool on) {
  const uint16_t value = on ? 1 : 0;
  TracePoint(kTraceOutputEnable, kTraceInfo, kTraceUnitTransfers, kMsgOutputEnable, {view, value});
  if (device->IpMode) return kOutputEnableLocal;
  return Locked(device, protocol::ReqSetOutput, view, value, [&] {
    return VendorRequestOut(device, device->UsbDevice, protocol::ReqSetOutput, view, value,
                            nullptr, 0);
  });
}

NTSTATUS SendGammaControl(SorvikDevice* device, uint16_t view, uint8_t mode) {
  const uint16_t value = static_cast<uint16_t>((view << 8) + mode);
  return Locked(device, protocol::ReqGammaControl, value, 0, [&] {
    return VendorRequestOut(device, device->UsbDevice, protocol::ReqGammaControl, value, 0,
                            nullptr, 0);
  });
}

NTSTATUS SendGammaTable(SorvikDevice* device, uint16_t view, uint16_t table, const void* bytes) {
  if (!bytes) return STATUS_UNSUCCESSFUL;
  const uint16_t value = static_cast<uint16_t>(view << 8);
  return Locked(device, protocol::ReqGammaTable, value, table, [&] {
    return VendorRequestOut(device, device->UsbDevice, protocol::ReqGammaTable, value, table,
                            bytes, kGammaTableSize);
  });
}

NTSTATUS SendCursorPosition(SorvikDevice* device, uint16_t view, int32_t x, int32_t y) {
  if (view >= kViewCountMax) return STATUS_INVALID_PARAMETER;
  const uint8_t code = CursorCode(view, protocol::ReqCursorPosition0, protocol::ReqCursorPosition1);
  const uint16_t wx = protocol::CursorCoordinateToWire(x);
  const uint16_t wy = protocol::CursorCoordinateToWire(y);
  if (device->IpMode) return SendIpCommand(device, code, wx, wy, nullptr, 0);
  return Locked(device, code, wx, wy, [&] {
    return VendorRequestOut(device, device->UsbDevice, code, wx, wy, nullptr, 0);
  });
}

NTSTATUS SendCursorShow(SorvikDevice* device, uint16_t view, uint16_t slot, uint16_t show) {
  if (view >= kViewCountMax) return STATUS_INVALID_PARAMETER;
  const uint8_t code = CursorCode(view, protocol::ReqCursorShow0, protocol::ReqCursorShow1);
  if (device->IpMode) return SendIpCommand(device, code, slot, show, nullptr, 0);
  return Locked(device, code, slot, show, [&] {
    return VendorRequestOut(device, device->UsbDevice, code, slot, show, nullptr, 0);
  });
}

NTSTATUS SendCursorShape(SorvikDevice* device, uint16_t view, uint16_t slot, const void* record,
                         uint32_t size) {
  if (view >= kViewCountMax || !record || size == 0) return STATUS_INVALID_PARAMETER;
  const uint8_t code = CursorCode(view, protocol::ReqCursorShape0, protocol::ReqCursorShape1);
  if (device->IpMode) return SendIpShape(device, code, slot, record, size);
  uint32_t chunk = device->ControlChunkSize;
  if (chunk == 0 || chunk > kTimingChunkBytes) chunk = kTimingChunkBytes;
  // A chunk's offset travels in wIndex. A last chunk past 16 bits (the 8 bytes beyond 64 KiB of
  // a 128-pixel image) would land on offset 0 and overwrite the header: a full chunk ending at
  // the end of the record goes instead, at an offset that fits, rewriting the bytes it overlaps
  // with their own values. A record longer than that cannot be addressed.
  if (size >= kWireFieldLimit + chunk) return STATUS_INVALID_PARAMETER;
  const auto* bytes = static_cast<const uint8_t*>(record);
  return Locked(device, code, slot, 0, [&] {
    NTSTATUS status = STATUS_SUCCESS;
    for (uint32_t offset = 0; offset < size && NT_SUCCESS(status); offset += chunk) {
      uint32_t at = offset;
      uint32_t n = std::min(chunk, size - offset);
      if (at >= kWireFieldLimit) {
        at = size - chunk;
        n = chunk;
      }
      status = VendorRequestOut(device, device->UsbDevice, code, slot, static_cast<uint16_t>(at),
                                bytes + at, n);
    }
    return status;
  });
}

NTSTATUS ReadIpDeviceInfo(SorvikDevice* device, void* buffer) {
  if (!buffer) return STATUS_INVALID_PARAMETER;
  return Locked(device, protocol::ReqIpDeviceInfo, 0, 0, [&] {
    return VendorRequestIn(device, device->UsbDevice, protocol::ReqIpDeviceInfo, 0, 0, buffer,
                           kIpDeviceInfoSize, nullptr);
  });
}

NTSTATUS ReadIpDisplayInfoBytes(SorvikDevice* device, void* buffer, uint32_t length,
                                ULONG* transferred) {
  if (!buffer) return STATUS_UNSUCCESSFUL;
  if (length >= kWireFieldLimit) return STATUS_INVALID_PARAMETER;
  return Locked(device, protocol::ReqIpDisplayInfo, 0, 0, [&] {
    return VendorRequestIn(device, device->UsbDevice, protocol::ReqIpDisplayInfo, 0, 0, buffer,
                           length, transferred);
  });
}

}  // namespace vorn::display
