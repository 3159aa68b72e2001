// The GUIDs that cross deliverables: the station's device interfaces and WMI block, and the
// plug-in's trace provider.
#pragma once

#include "platform/nt/types.h"

namespace vorn::protocol {

// The station's main control interface, which the panel library enumerates and watches.
inline constexpr GUID kMainControlInterfaceGuid = {
    0x6F1D2A94, 0x5C3B, 0x4E87, {0xA1, 0xD6, 0x0B, 0x9E, 0x7C, 0x3F, 0x4A, 0x21}};
// The control interface enabled instead of the main one in NS mode.
inline constexpr GUID kNsControlInterfaceGuid = {
    0x3B8E6C10, 0x9D24, 0x4F6A, {0xB5, 0xE3, 0x7C, 0x2A, 0x1D, 0x9F, 0x0E, 0x84}};
// Registered and enabled only while a ROM image is written.
inline constexpr GUID kRomInterfaceGuid = {
    0xA7C41E95, 0x2F6B, 0x4D38, {0x9E, 0x0C, 0x5B, 0x1F, 0x8A, 0x3D, 0x6C, 0x72}};
// The station's WMI data block.
inline constexpr GUID kWmiDataBlockGuid = {
    0x5D92F3A8, 0x1C7E, 0x4B05, {0x8F, 0x46, 0xE3, 0xA0, 0xB2, 0xC9, 0xD5, 0x17}};
// The private child interface, which hands out a child's ChildPdoExtension.
inline constexpr GUID kChildInterfaceGuid = {
    0xC2E85B17, 0x6A4D, 0x4F91, {0xB3, 0xC8, 0x9D, 0x07, 0xE1, 0xF4, 0xA6, 0x3B}};
// The control GUID of the plug-in's trace provider.
inline constexpr GUID kPlugInTraceControlGuid = {
    0x98F03B06, 0xE5DE, 0x4CAD, {0x9F, 0xF7, 0x6D, 0x2A, 0xD7, 0xB6, 0x65, 0x25}};

}  // namespace vorn::protocol
