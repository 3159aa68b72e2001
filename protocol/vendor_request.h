// VendorRequest: the chip's vendor control requests on the default pipe, one code space
// shared by the plug-in and the station driver, with the setup values each request carries;
// the device-value items of ReqReadDeviceValue; and the 16-byte IpCommandPacket that carries
// the cursor requests on adapters with bulk OUT endpoint 0x04.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "protocol/byte_order.h"

namespace vorn::protocol {

// bmRequestType of a vendor request to the device.
inline constexpr uint8_t kVendorRequestTypeOut = 0x40;
inline constexpr uint8_t kVendorRequestTypeIn = 0xC0;
// The time-out a sender gives a vendor request unless it says otherwise.
inline constexpr uint32_t kVendorRequestTimeoutMs = 2000;
// The largest data stage of one request of a chunked transfer (cursor shapes, timing tables,
// language data).
inline constexpr uint32_t kVendorChunkSize = 512;

enum VendorRequest : uint8_t {
  // Sent by the plug-in (the station forwards them unchanged from its display child).
  ReqSetOutput = 0x03,
  ReqCursorPosition0 = 0x04,
  ReqCursorShow0 = 0x05,
  ReqCursorPosition1 = 0x06,
  ReqCursorShow1 = 0x07,
  ReqCursorShape0 = 0x10,
  ReqCursorShape1 = 0x11,
  ReqSetTiming = 0x12,
  ReqResetBulkStream = 0x14,
  ReqGammaControl = 0x1C,  // also the station's night-light control
  ReqGammaTable = 0x1D,    // also the station's night-light tables
  ReqStartDisplay = 0x31,
  ReqReadEdid = 0x80,
  ReqMonitorStatus = 0x87,
  ReqMemorySize = 0x88,
  ReqReadTimings = 0x89,
  ReqReadDeviceValue = 0xB0,  // also the station's firmware identity
  ReqReadCapabilities = 0xB3,
  ReqIpDeviceInfo = 0xC8,
  ReqIpDisplayInfo = 0xC9,

  // Sent by the station only: panel operations.
  ReqSetCameraTouch = 0x16,
  ReqSetLanguageIndex = 0x17,
  ReqSetBrightness = 0x18,
  ReqSetPanelDword = 0x19,
  ReqSetLanguageData = 0x1A,
  ReqSaveLanguageData = 0x1B,
  ReqSetThirdPartyMode = 0x1E,
  ReqSetRotation = 0x1F,
  ReqGetCameraTouch = 0x8B,
  ReqGetBrightness = 0x8C,
  ReqGetLanguageIndex = 0x8D,
  ReqGetPanelSecurityKey = 0x8E,
  ReqGetPanelDword = 0x8F,
  // Audio.
  ReqSetAudioFeature = 0x23,
  ReqSetAudioStreamState = 0x24,
  ReqReadJackInfo = 0xA1,
  ReqReadAudioUnit = 0xA2,
  ReqReadAudioUnitValues = 0xA3,
  ReqReadJackState = 0xA4,
  ReqReadAudioFormats = 0xA5,
  // Chip, identity, ROM and NS mode.
  ReqResetChip = 0x30,
  ReqWriteDeviceId = 0x33,
  ReqReadRom = 0x34,
  ReqNsWrite = 0x4C,
  ReqReadFunctionInfo = 0xB1,
  ReqReadRomSize = 0xB4,
  ReqNsRead = 0xCC,  // wValue 1, 104 bytes: the computer-information block
};

enum class VendorDirection : uint8_t { Out, In };

// A setup field that the sender fills (a view, a coordinate, an offset...).
inline constexpr int32_t kSetByCaller = -1;

struct VendorRequestInfo {
  uint8_t Request;
  const char* Name;
  VendorDirection Direction;
  int32_t Value;       // the fixed wValue, or kSetByCaller
  int32_t Index;       // the fixed wIndex, or kSetByCaller
  uint16_t MinLength;  // range of the data-stage length; 0 and 0 means no data stage
  uint16_t MaxLength;
};

// Every request in the code space. Direction IN with no data stage is real: several panel
// requests are IN transfers of length 0.
inline constexpr VendorRequestInfo kVendorRequests[] = {
    // code, name, direction, wValue, wIndex, length range
    {ReqSetOutput, "ReqSetOutput", VendorDirection::Out, kSetByCaller, kSetByCaller, 0, 0},
    {ReqCursorPosition0, "ReqCursorPosition0", VendorDirection::Out, kSetByCaller, kSetByCaller, 0, 0},
    {ReqCursorShow0, "ReqCursorShow0", VendorDirection::Out, kSetByCaller, kSetByCaller, 0, 0},
    {ReqCursorPosition1, "ReqCursorPosition1", VendorDirection::Out, kSetByCaller, kSetByCaller, 0, 0},
    {ReqCursorShow1, "ReqCursorShow1", VendorDirection::Out, kSetByCaller, kSetByCaller, 0, 0},
    {ReqCursorShape0, "ReqCursorShape0", VendorDirection::Out, kSetByCaller, kSetByCaller, 1, 512},
    {ReqCursorShape1, "ReqCursorShape1", VendorDirection::Out, kSetByCaller, kSetByCaller, 1, 512},
    {ReqSetTiming, "ReqSetTiming", VendorDirection::Out, kSetByCaller, 0, 32, 32},
    {ReqResetBulkStream, "ReqResetBulkStream", VendorDirection::Out, 0, 0, 0, 0},
    {ReqGammaControl, "ReqGammaControl", VendorDirection::Out, kSetByCaller, kSetByCaller, 0, 0},
    {ReqGammaTable, "ReqGammaTable", VendorDirection::Out, kSetByCaller, kSetByCaller, 256, 256},
    {ReqStartDisplay, "ReqStartDisplay", VendorDirection::Out, 0, 0, 0, 0},
    {ReqReadEdid, "ReqReadEdid", VendorDirection::In, kSetByCaller, kSetByCaller, 128, 128},
    {ReqMonitorStatus, "ReqMonitorStatus", VendorDirection::In, kSetByCaller, 0, 1, 1},
    {ReqMemorySize, "ReqMemorySize", VendorDirection::In, 0, 0, 1, 1},
    {ReqReadTimings, "ReqReadTimings", VendorDirection::In, kSetByCaller, kSetByCaller, 1, 512},
    {ReqReadDeviceValue, "ReqReadDeviceValue", VendorDirection::In, 0, kSetByCaller, 4, 16},
    {ReqReadCapabilities, "ReqReadCapabilities", VendorDirection::In, 0, 0, 112, 112},
    {ReqIpDeviceInfo, "ReqIpDeviceInfo", VendorDirection::In, 0, 0, 8, 8},
    {ReqIpDisplayInfo, "ReqIpDisplayInfo", VendorDirection::In, 0, 0, 16, 0xFFFF},

    {ReqSetCameraTouch, "ReqSetCameraTouch", VendorDirection::In, kSetByCaller, kSetByCaller, 0, 0},
    {ReqSetLanguageIndex, "ReqSetLanguageIndex", VendorDirection::Out, kSetByCaller, 0, 0, 0},
    {ReqSetBrightness, "ReqSetBrightness", VendorDirection::In, kSetByCaller, 0, 0, 0},
    {ReqSetPanelDword, "ReqSetPanelDword", VendorDirection::Out, 0, 0, 4, 4},
    {ReqSetLanguageData, "ReqSetLanguageData", VendorDirection::Out, kSetByCaller, kSetByCaller, 1, 512},
    {ReqSaveLanguageData, "ReqSaveLanguageData", VendorDirection::Out, 0, 0, 0, 0},
    {ReqSetThirdPartyMode, "ReqSetThirdPartyMode", VendorDirection::Out, kSetByCaller, 0, 0, 0},
    {ReqSetRotation, "ReqSetRotation", VendorDirection::In, kSetByCaller, kSetByCaller, 0, 0},
    {ReqGetCameraTouch, "ReqGetCameraTouch", VendorDirection::In, kSetByCaller, 0, 1, 1},
    {ReqGetBrightness, "ReqGetBrightness", VendorDirection::In, 0, 0, 1, 1},
    {ReqGetLanguageIndex, "ReqGetLanguageIndex", VendorDirection::In, kSetByCaller, 0, 8, 8},
    {ReqGetPanelSecurityKey, "ReqGetPanelSecurityKey", VendorDirection::In, 0, 0, 16, 16},
    {ReqGetPanelDword, "ReqGetPanelDword", VendorDirection::In, 0, 0, 4, 4},

    {ReqSetAudioFeature, "ReqSetAudioFeature", VendorDirection::Out, kSetByCaller, kSetByCaller, 40, 40},
    {ReqSetAudioStreamState, "ReqSetAudioStreamState", VendorDirection::Out, 0, kSetByCaller, 16, 16},
    {ReqReadJackInfo, "ReqReadJackInfo", VendorDirection::In, 0, kSetByCaller, 16, 16},
    {ReqReadAudioUnit, "ReqReadAudioUnit", VendorDirection::In, kSetByCaller, kSetByCaller, 16, 16},
    {ReqReadAudioUnitValues, "ReqReadAudioUnitValues", VendorDirection::In, kSetByCaller, kSetByCaller, 40, 40},
    {ReqReadJackState, "ReqReadJackState", VendorDirection::In, 0, kSetByCaller, 16, 16},
    {ReqReadAudioFormats, "ReqReadAudioFormats", VendorDirection::In, kSetByCaller, kSetByCaller, 0, 0xFFFF},

    {ReqResetChip, "ReqResetChip", VendorDirection::Out, 0, 0, 0, 0},
    {ReqWriteDeviceId, "ReqWriteDeviceId", VendorDirection::Out, 0, 0, 8, 8},
    {ReqReadRom, "ReqReadRom", VendorDirection::Out, kSetByCaller, kSetByCaller, 2, 2},
    {ReqNsWrite, "ReqNsWrite", VendorDirection::Out, kSetByCaller, kSetByCaller, 0, 0xFFFF},
    {ReqReadFunctionInfo, "ReqReadFunctionInfo", VendorDirection::In, 0, kSetByCaller, 132, 132},
    {ReqReadRomSize, "ReqReadRomSize", VendorDirection::In, 0, 0, 4, 4},
    {ReqNsRead, "ReqNsRead", VendorDirection::In, kSetByCaller, kSetByCaller, 0, 0xFFFF},
};

inline constexpr size_t kVendorRequestCount = sizeof(kVendorRequests) / sizeof(kVendorRequests[0]);

// The table entry of |request|, or null for a code outside the code space.
constexpr const VendorRequestInfo* FindVendorRequest(uint8_t request) {
  for (const VendorRequestInfo& info : kVendorRequests) {
    if (info.Request == request) return &info;
  }
  return nullptr;
}

// Whether a setup agrees with the table: direction, the fixed wValue and wIndex, and a data
// length within the range.
constexpr bool MatchesVendorSetup(const VendorRequestInfo& info, VendorDirection direction,
                                  uint16_t value, uint16_t index, uint16_t length) {
  return info.Direction == direction &&
         (info.Value == kSetByCaller || info.Value == value) &&
         (info.Index == kSetByCaller || info.Index == index) && length >= info.MinLength &&
         length <= info.MaxLength;
}

// The items of ReqReadDeviceValue (its wIndex).
enum DeviceValueItem : uint16_t {
  DeviceValueHwPlatform = 0,
  DeviceValueBootCodeVersion = 1,
  DeviceValueImageCodeVersion = 2,
  DeviceValuePrjCode = 3,
  DeviceValueVendorCmdVersion = 4,
  DeviceValueDeviceId = 5,
  DeviceValueThirdPartyVersion = 6,
};

// Bytes of an item's answer; 0 for an item no one reads.
constexpr uint32_t DeviceValueSize(uint32_t item) {
  switch (item) {
    case DeviceValueHwPlatform:
    case DeviceValueBootCodeVersion:
    case DeviceValueImageCodeVersion:
    case DeviceValueVendorCmdVersion:
    case DeviceValueThirdPartyVersion: return 4;
    case DeviceValuePrjCode: return 16;
    case DeviceValueDeviceId: return 8;
    default: return 0;
  }
}

// Cursor coordinates in ReqCursorPosition0/1 (and their IpCommandPacket form): a negative
// coordinate c travels as the 16-bit value of c - 1.
constexpr uint16_t CursorCoordinateToWire(int32_t c) {
  return static_cast<uint16_t>(c < 0 ? c - 1 : c);
}
constexpr int32_t CursorCoordinateFromWire(uint16_t v) {
  const int32_t s = static_cast<int16_t>(v);
  return s < 0 ? s + 1 : s;
}

inline constexpr size_t kIpCommandPacketSize = 16;

// The cursor requests 0x04-0x07, 0x10 and 0x11 as they travel on bulk OUT endpoint 0x04. A
// shape upload is one transfer of this header followed by Length bytes of shape record.
struct IpCommandPacket {
  uint16_t Request = 0;  // the vendor request it replaces
  uint16_t Value = 0;    // its wValue
  uint16_t Index = 0;    // its wIndex
  uint16_t Length = 0;   // data bytes after the packet (0 except for a shape)
  uint8_t Reserved[8] = {};
};
static_assert(sizeof(IpCommandPacket) == kIpCommandPacketSize);
static_assert(offsetof(IpCommandPacket, Request) == 0);
static_assert(offsetof(IpCommandPacket, Value) == 2);
static_assert(offsetof(IpCommandPacket, Index) == 4);
static_assert(offsetof(IpCommandPacket, Length) == 6);
static_assert(offsetof(IpCommandPacket, Reserved) == 8);

// Writes the 16-byte packet; bytes 8-15 are written as zero. False, with nothing written, when
// |out| is shorter than 16 bytes.
inline bool EncodeIpCommandPacket(const IpCommandPacket& c, MutableByteSpan out) {
  if (out.size() < kIpCommandPacketSize) return false;
  uint8_t* p = out.data();
  StoreLe16(p + 0, c.Request);
  StoreLe16(p + 2, c.Value);
  StoreLe16(p + 4, c.Index);
  StoreLe16(p + 6, c.Length);
  std::memset(p + 8, 0, 8);
  return true;
}

inline bool DecodeIpCommandPacket(ByteSpan in, IpCommandPacket* out) {
  if (!out || in.size() < kIpCommandPacketSize) return false;
  const uint8_t* p = in.data();
  IpCommandPacket c;
  c.Request = LoadLe16(p + 0);
  c.Value = LoadLe16(p + 2);
  c.Index = LoadLe16(p + 4);
  c.Length = LoadLe16(p + 6);
  std::memcpy(c.Reserved, p + 8, sizeof c.Reserved);
  *out = c;
  return true;
}

}  // namespace vorn::protocol
