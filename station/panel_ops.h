// The panel operations of the control interface: each handler turns one control code into one
// or a few vendor requests to the chip (brightness, camera, touch, rotation, the panel value,
// language index and data, the panel key, night light, chip reset, third-party mode and version).
#pragma once

#include "platform/kernel/base.h"

namespace vorn::station {

struct StationExtension;

// |buffer| carries the u32 property id on entry; the answer (1 or 4 bytes) is written over its
// start.
NTSTATUS GetPanelProperty(StationExtension* station, ULONG id, UCHAR* buffer);
// |request| is the 16-byte property request (id at byte 0, value at byte 4).
NTSTATUS SetPanelProperty(StationExtension* station, const UCHAR* request);
// The panel's 16-byte key into |output|.
NTSTATUS GetPanelSecurityKey(StationExtension* station, UCHAR* output);
// 8 bytes of language index into |output|.
NTSTATUS GetLanguageIndex(StationExtension* station, ULONG selector, UCHAR* output);
NTSTATUS SetLanguageIndex(StationExtension* station, ULONG index);
// Sends |length| bytes of language |index| in 512-byte blocks.
NTSTATUS SetLanguageData(StationExtension* station, ULONG index, const UCHAR* data, ULONG length);
NTSTATUS SaveLanguageData(StationExtension* station);
// |input| is {view, mode, level}.
NTSTATUS NightLightControl(StationExtension* station, const UCHAR* input);
// |ramp| is the 772-byte gamma ramp: {view, mode, 2 spare bytes, three 256-byte tables}.
NTSTATUS SetNightLightTables(StationExtension* station, const UCHAR* ramp);
// The u32 third-party version into |output| (4 bytes).
NTSTATUS GetThirdPartyVersion(StationExtension* station, UCHAR* output);
NTSTATUS ResetChip(StationExtension* station);
NTSTATUS SetThirdPartyMode(StationExtension* station, ULONG mode);

}  // namespace vorn::station
