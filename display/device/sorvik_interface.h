// The blocks the display host and the plug-in exchange: the SorvikDeviceInterface the host
// passes to OpenSorvikDevice, the DisplayInterface the plug-in hands to the host's
// AcquireDisplay for each view, and the callbacks both carry. The layouts are shared with the
// host, so every field keeps its place; in a 32-bit process the offsets are the fixed ones
// asserted below.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/nt/types.h"
#include "platform/umdf/wdf.h"

struct SorvikDevice;
struct ViewContext;
struct DisplayInterface;

// Host functions.
using PFN_ACQUIRE_DISPLAY = ULONG_PTR (*)(DisplayInterface* display);  // the host's context, 0 = none
using PFN_RELEASE_DISPLAY = void (*)(ULONG_PTR display_context);

// Device callbacks the plug-in writes back into the block.
using PFN_SORVIK_START = NTSTATUS (*)(SorvikDevice* device);
using PFN_SORVIK_CLOSE = NTSTATUS (*)(SorvikDevice* device);
using PFN_SORVIK_POWER_EVENT = NTSTATUS (*)(SorvikDevice* device, ULONG type);

// PowerEvent types the plug-in acts on.
constexpr ULONG kPowerEventStop = 3;
constexpr ULONG kPowerEventRestart = 4;

// The interface version the plug-in writes back.
constexpr USHORT kPluginVersionMajor = 1;
constexpr USHORT kPluginVersionMinor = 5;

struct SorvikDeviceInterface {
  ULONG HostReserved0;
  USHORT VersionMajor;  // the host's, then the plug-in's
  USHORT VersionMinor;
  WDFDEVICE WdfDevice;
  PFN_ACQUIRE_DISPLAY AcquireDisplay;
  PFN_RELEASE_DISPLAY ReleaseDisplay;
  const WDFFUNC* WdfFunctions;
  PWDF_DRIVER_GLOBALS WdfDriverGlobals;
  PFN_SORVIK_START Start;
  PFN_SORVIK_CLOSE Close;
  PFN_SORVIK_POWER_EVENT PowerEvent;
  ULONG HostReserved40;
  UCHAR ViewCount;
  UCHAR Padding45[3];
  ULONG GammaSupported;
  UCHAR HostReserved52[64];
};

// View callbacks (the host passes the DisplayInterface's Context first).
struct TargetMode;
struct HostMode {
  ULONG Width;
  ULONG Height;
  ULONG Refresh;
  ULONG BitsPerPixel;
};
static_assert(sizeof(HostMode) == 16);
struct HostRect {
  ULONG Left, Top, Right, Bottom;
};
static_assert(sizeof(HostRect) == 16);
struct HostUpdate {
  const void* Surface;
  ULONG Pitch;
  ULONG RectCount;
  const HostRect* Rects;
};
struct HostCursor;
using PFN_VIEW_GET_MODES = NTSTATUS (*)(ViewContext* view, TargetMode** modes, ULONG* count);
using PFN_VIEW_SET_MODE = NTSTATUS (*)(ViewContext* view, const HostMode* mode);
using PFN_VIEW_UPDATE_CURSOR = NTSTATUS (*)(ViewContext* view, const HostCursor* cursor);
using PFN_VIEW_PRESENT = NTSTATUS (*)(ViewContext* view, const HostUpdate* update);
using PFN_VIEW_SET_GAMMA = NTSTATUS (*)(ViewContext* view, const void* gamma_ramp);

// Output types of a view as the host sees them.
constexpr ULONG kOutputTypeOther = 0;
constexpr ULONG kOutputTypeDvi = 4;
constexpr ULONG kOutputTypeHdmi = 5;
constexpr USHORT kMaxCursorSize = 64;

struct DisplayInterface {
  ULONG Reserved0;
  ViewContext* Context;
  WDFDEVICE WdfDevice;
  PFN_VIEW_SET_MODE SetMode;
  PFN_VIEW_UPDATE_CURSOR UpdateCursor;
  ULONG_PTR Reserved20;
  PFN_VIEW_PRESENT Present;
  PFN_VIEW_GET_MODES GetModes;
  const UCHAR* EdidBuffer;
  ULONG EdidSize;
  ULONG ViewCount;
  ULONG ViewIndex;
  ULONG OutputType;
  ULONG Reserved52;
  USHORT MaxCursorWidth;
  USHORT MaxCursorHeight;
  ULONG TargetID;  // written by the host inside AcquireDisplay
  UCHAR Reserved64[12];
  PFN_VIEW_SET_GAMMA SetGamma;
  UCHAR Reserved80[64];
};

// The plug-in's one export.
using PFN_OPEN_SORVIK_DEVICE = SorvikDevice* (*)(SorvikDeviceInterface* block);
inline constexpr const char* kOpenSorvikDeviceName = "OpenSorvikDevice";

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(SorvikDeviceInterface) == 116);
static_assert(offsetof(SorvikDeviceInterface, VersionMajor) == 4);
static_assert(offsetof(SorvikDeviceInterface, VersionMinor) == 6);
static_assert(offsetof(SorvikDeviceInterface, WdfDevice) == 8);
static_assert(offsetof(SorvikDeviceInterface, AcquireDisplay) == 12);
static_assert(offsetof(SorvikDeviceInterface, ReleaseDisplay) == 16);
static_assert(offsetof(SorvikDeviceInterface, WdfFunctions) == 20);
static_assert(offsetof(SorvikDeviceInterface, WdfDriverGlobals) == 24);
static_assert(offsetof(SorvikDeviceInterface, Start) == 28);
static_assert(offsetof(SorvikDeviceInterface, Close) == 32);
static_assert(offsetof(SorvikDeviceInterface, PowerEvent) == 36);
static_assert(offsetof(SorvikDeviceInterface, ViewCount) == 44);
static_assert(offsetof(SorvikDeviceInterface, GammaSupported) == 48);
static_assert(offsetof(SorvikDeviceInterface, HostReserved52) == 52);
static_assert(sizeof(HostUpdate) == 16);

static_assert(sizeof(DisplayInterface) == 144);
static_assert(offsetof(DisplayInterface, Context) == 4);
static_assert(offsetof(DisplayInterface, WdfDevice) == 8);
static_assert(offsetof(DisplayInterface, SetMode) == 12);
static_assert(offsetof(DisplayInterface, UpdateCursor) == 16);
static_assert(offsetof(DisplayInterface, Present) == 24);
static_assert(offsetof(DisplayInterface, GetModes) == 28);
static_assert(offsetof(DisplayInterface, EdidBuffer) == 32);
static_assert(offsetof(DisplayInterface, EdidSize) == 36);
static_assert(offsetof(DisplayInterface, ViewCount) == 40);
static_assert(offsetof(DisplayInterface, ViewIndex) == 44);
static_assert(offsetof(DisplayInterface, OutputType) == 48);
static_assert(offsetof(DisplayInterface, MaxCursorWidth) == 56);
static_assert(offsetof(DisplayInterface, MaxCursorHeight) == 58);
static_assert(offsetof(DisplayInterface, TargetID) == 60);
static_assert(offsetof(DisplayInterface, SetGamma) == 76);
#else
// In a 64-bit process the pointer fields widen; the plug-in copies and writes the block by
// its fields, so only the order is fixed there.
static_assert(offsetof(SorvikDeviceInterface, WdfDevice) < offsetof(SorvikDeviceInterface, Start));
static_assert(offsetof(DisplayInterface, Context) < offsetof(DisplayInterface, SetGamma));
#endif
