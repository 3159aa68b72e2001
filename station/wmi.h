// The station's WMI data block: one instance per station through which management tools read
// and set the driver-wide bulk debug level. The block's routines are served by the WMI library
// from the context WmiRegister fills; DispatchSystemControl hands the library every
// system-control request of the station and passes down what is not the station's.
#pragma once

#include <cstddef>

#include "platform/kernel/wmi.h"
#include "station/station_extension.h"

namespace vorn::station {

// The instance: the bulk debug level, then the station's name as a counted wide string (the
// byte length including the terminating zero, then the characters and the zero).
#pragma pack(push, 1)
struct WmiStationInstance {
  ULONG BulkDebugLevel;
  USHORT NameBytes;
  WCHAR Name[10];
};
#pragma pack(pop)
static_assert(sizeof(WmiStationInstance) == 26);
static_assert(offsetof(WmiStationInstance, NameBytes) == 4);
static_assert(offsetof(WmiStationInstance, Name) == 6);

inline constexpr WCHAR kWmiStationName[] = u"Ostravine";
static_assert(sizeof(kWmiStationName) == sizeof(WmiStationInstance::Name));
inline constexpr char16_t kWmiMofResourceName[] = u"MofResourceName";
// The one item a tool may set on its own.
inline constexpr ULONG kWmiItemBulkDebugLevel = 1;

// The routines of the station's WMILIB_CONTEXT.
NTSTATUS WmiQueryRegInfo(DEVICE_OBJECT* device, ULONG* reg_flags, PUNICODE_STRING instance_name,
                         PUNICODE_STRING* registry_path, PUNICODE_STRING mof_resource_name,
                         DEVICE_OBJECT** pdo);
NTSTATUS WmiQueryDataBlock(DEVICE_OBJECT* device, IRP* irp, ULONG guid_index, ULONG instance_index,
                           ULONG instance_count, ULONG* instance_lengths, ULONG buffer_avail,
                           PUCHAR buffer);
NTSTATUS WmiSetDataBlock(DEVICE_OBJECT* device, IRP* irp, ULONG guid_index, ULONG instance_index,
                         ULONG buffer_size, PUCHAR buffer);
NTSTATUS WmiSetDataItem(DEVICE_OBJECT* device, IRP* irp, ULONG guid_index, ULONG instance_index,
                        ULONG item_id, ULONG buffer_size, PUCHAR buffer);

}  // namespace vorn::station
