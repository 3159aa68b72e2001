// The station's child devices (one per discovered function), as the device object, the power
// dispatcher, the worker and the bus relations reach them.
#pragma once

#include "platform/kernel/irp.h"
#include "platform/kernel/pnp.h"
#include "platform/kernel/pool.h"

namespace vorn::station {

struct StationExtension;
struct ChildPdoExtension;
struct ChildDescriptor;
struct FunctionModuleOps;

// Pool tags of the children: ids and texts, and the location strings handed out.
inline constexpr ULONG kTagChild = PoolTag("pdo ");
inline constexpr ULONG kTagLocation = PoolTag("locs");

// Runs, for every child, the eject, the marking as missing and the deletion whose flag is
// set, in that order. STOP and SURPRISE_REMOVAL of the station mark every child missing;
// REMOVE deletes every child. From then on no child is made or revived (SetChildrenClosed)
// until the station starts again.
void RemoveChildPdos(StationExtension* station, bool eject, bool mark_missing,
                     bool delete_children);
// Closes the child list to new children, or opens it again (START).
void SetChildrenClosed(StationExtension* station, bool closed);

// Appends every present child to |relations| (room for |capacity| entries), each with a
// reference taken; a child that is not present is marked missing. ChildListMutex is held by
// the caller.
void AppendPresentChildren(StationExtension* station, DEVICE_RELATIONS* relations,
                           ULONG capacity);

// Builds and creates the children of |mask| (bit i: function i) that the chip offers and the
// jacks allow; always STATUS_SUCCESS. Called by the worker after discovery, on an
// enumeration request and on a jack change.
NTSTATUS CreateChildPdos(StationExtension* station, ULONG mask);
NTSTATUS CreateChildPdo(StationExtension* station, const ChildDescriptor* descriptor);
NTSTATUS InitChildPdo(StationExtension* station, DEVICE_OBJECT* pdo,
                      const ChildDescriptor* descriptor, const FunctionModuleOps* ops);
// Whether the child of |function| (key StationIndex << 8 | function) is in the child list.
bool ChildExists(StationExtension* station, ULONG function);
// Whether a child marked missing is still listed: the system has not removed it yet.
bool ChildrenLeaving(StationExtension* station);

// By key (0: every child; another key stops at its first match): STATUS_NO_SUCH_DEVICE for
// an empty list, STATUS_INVALID_PARAMETER when no child matched, else STATUS_SUCCESS. By mask
// (0: every child, else each set bit of 0-9): always STATUS_SUCCESS.
NTSTATUS MarkChildMissingByKey(StationExtension* station, ULONG key);
void MarkChildrenMissingByMask(StationExtension* station, ULONG mask);
NTSTATUS DeleteChildByKey(StationExtension* station, ULONG key);
void DeleteChildrenByMask(StationExtension* station, ULONG mask);
NTSTATUS EjectChildByKey(StationExtension* station, ULONG key);
void EjectChildrenByMask(StationExtension* station, ULONG mask);

// Gives up the bus's hold on an unlinked child: its module object, ids and texts are freed
// and the device deleted once no upper driver holds one of its interfaces.
void DeleteChildPdo(ChildPdoExtension* child);
void FreeChildPdoResources(ChildPdoExtension* child);

// The dispatch routines of a child device.
NTSTATUS PdoPnp(DEVICE_OBJECT* child, IRP* irp);
NTSTATUS PdoPower(DEVICE_OBJECT* child, IRP* irp);

// Identity and interfaces of a child, for PdoPnp; each returns the status to complete with
// and sets the IRP's Information on success.
NTSTATUS PdoQueryCapabilities(ChildPdoExtension* child, IRP* irp);
NTSTATUS PdoQueryId(ChildPdoExtension* child, IRP* irp);
NTSTATUS PdoQueryDeviceText(ChildPdoExtension* child, IRP* irp);
NTSTATUS PdoQueryInterface(ChildPdoExtension* child, IRP* irp);
NTSTATUS PdoQueryBusInformation(ChildPdoExtension* child, IRP* irp);
// The capabilities of the top of the station's device stack, asked synchronously.
NTSTATUS QueryParentCapabilities(StationExtension* station, DEVICE_CAPABILITIES* out);

// The reference routines of every interface a child hands out (context: the child).
void ChildInterfaceReference(PVOID child);
void ChildInterfaceDereference(PVOID child);
NTSTATUS PdoGetLocationString(PVOID child, WCHAR** location_strings);

// The private child interface: hands out nothing but the child's extension.
#pragma pack(push, 1)
struct StationChildInterface {
  USHORT Size;
  USHORT Version;
  PVOID Context;  // the ChildPdoExtension
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
};
#pragma pack(pop)
static_assert(sizeof(StationChildInterface) == 4 + 3 * sizeof(void*));
constexpr USHORT kStationChildInterfaceVersion = 1;

}  // namespace vorn::station
