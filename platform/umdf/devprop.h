// Device property keys and property types, shared by the WDF function table (the plug-in
// assigns properties) and the host model (which records them for tests).
#pragma once

#include "platform/nt/types.h"

struct DEVPROPKEY {
  GUID fmtid;
  ULONG pid;

  friend bool operator==(const DEVPROPKEY& a, const DEVPROPKEY& b) {
    return a.fmtid == b.fmtid && a.pid == b.pid;
  }
};
static_assert(sizeof(DEVPROPKEY) == 20);

using DEVPROPTYPE = ULONG;
constexpr DEVPROPTYPE DEVPROP_TYPE_EMPTY = 0x00000000;
constexpr DEVPROPTYPE DEVPROP_TYPE_UINT32 = 0x00000007;
constexpr DEVPROPTYPE DEVPROP_TYPE_STRING = 0x00000012;

// The device's general property set of this host: its display name and its description.
inline constexpr GUID kDevicePropertySet = {
    0x6c1a4d37, 0x52e0, 0x4b8e, {0x9f, 0x12, 0x3a, 0x7c, 0x05, 0xd1, 0x8e, 0x44}};
inline constexpr DEVPROPKEY DEVPKEY_Device_DeviceDesc = {kDevicePropertySet, 2};
inline constexpr DEVPROPKEY DEVPKEY_Device_FriendlyName = {kDevicePropertySet, 14};
