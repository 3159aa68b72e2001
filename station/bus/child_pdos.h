// The station's child devices (one per discovered function), as the device object, the power
// dispatcher and the bus relations reach them.
#pragma once

#include "platform/kernel/irp.h"
#include "platform/kernel/pnp.h"

namespace vorn::station {

struct StationExtension;

// Runs, for every child, the eject, the marking as missing and the deletion whose flag is
// set, in that order. STOP and SURPRISE_REMOVAL of the station mark every child missing;
// REMOVE deletes every child.
void RemoveChildPdos(StationExtension* station, bool eject, bool mark_missing,
                     bool delete_children);

// Appends every present child to |relations| (room for |capacity| entries), each with a
// reference taken. ChildListMutex is held by the caller.
void AppendPresentChildren(StationExtension* station, DEVICE_RELATIONS* relations,
                           ULONG capacity);

// Builds and creates the children of |mask| (bit i: function i). Called by the worker after
// discovery, on an enumeration request and on a jack change.
NTSTATUS CreateChildPdos(StationExtension* station, ULONG mask);
// Whether the child of |function| (key StationIndex << 8 | function) is in the child list.
bool ChildExists(StationExtension* station, ULONG function);
// Marks the children of |mask| missing (0: every child), for the next bus relations.
void MarkChildrenMissingByMask(StationExtension* station, ULONG mask);

// The dispatch routines of a child device.
NTSTATUS PdoPnp(DEVICE_OBJECT* child, IRP* irp);
NTSTATUS PdoPower(DEVICE_OBJECT* child, IRP* irp);

}  // namespace vorn::station
