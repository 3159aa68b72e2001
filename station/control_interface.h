// The station's user-mode control interface: handles and the ten file sessions they bind, the
// two user event slots of an NS-mode client, and the pass-through requests behind the control
// codes (NS vendor read and write, a user's vendor control transfer, a user's bus message).
#pragma once

#include "platform/kernel/irp.h"
#include "station/station_extension.h"

namespace vorn::station {

// The session every handle may share; all others are one handle's at a time.
constexpr ULONG kSharedSessionIndex = 9;

// Fills session |index| (0-9) of |station| from the session table.
void InitSession(FileSession* session, StationExtension* station, ULONG index);

// The first session whose name equals |name| without its leading '\' (ASCII letters compared
// without case); null when the name is shorter than two characters, lacks the '\' or matches
// nothing.
FileSession* FindSessionByName(StationExtension* station, const UNICODE_STRING* name);
// Finds the session named by |file|'s name and binds it: FsContext points at it and, for an
// exclusive session, the session's bound file is |file| (exchanged atomically, so of two
// opens at once only one binds). Null when there is no name, no such session or it is bound.
FileSession* BindSession(StationExtension* station, FILE_OBJECT* file);
// |file|'s session when FsContext points at one that is free or bound to |file|, else null.
FileSession* SessionFromFile(FILE_OBJECT* file);
// Clears |file|'s FsContext and the session's bound file when that is |file|.
void UnbindSession(FileSession* session, FILE_OBJECT* file);

// User events (control code 0x222438); NS mode only, else STATUS_UNSUCCESSFUL.
NTSTATUS RegisterUserEvent(StationExtension* station, FILE_OBJECT* file, ULONG slot,
                           ULONGLONG handle);
NTSTATUS UnregisterUserEvent(StationExtension* station, FILE_OBJECT* file, ULONG slot,
                             ULONGLONG handle);
// Clears every slot |file| registered (its handle's cleanup).
void ReleaseFileEventSlots(StationExtension* station, FILE_OBJECT* file);

// NS vendor requests: a read (0xCC IN, the caller's buffer zeroed first) and a write (0x4C OUT)
// of |length| bytes, 2 s time-out. A length above what a setup packet can carry (0xFFFF) is
// refused with STATUS_INVALID_PARAMETER; once the device is gone STATUS_DEVICE_NOT_CONNECTED.
NTSTATUS NsVendorRead(StationExtension* station, USHORT value, USHORT index, ULONG length,
                      PVOID buffer);
NTSTATUS NsVendorWrite(StationExtension* station, USHORT value, USHORT index, ULONG length,
                       const void* buffer);

// The 8-byte record of a user's control transfer: {view, request, wValue, wIndex, wLength}.
constexpr ULONG kUserControlRecordBytes = 8;
// A vendor OUT request with wLength bytes of |buffer|; for a view other than 0 the cursor
// requests go to that view's cursor, and every other request is refused.
NTSTATUS UserControlTransfer(IRP* irp, StationExtension* station, const UCHAR* record,
                             const void* buffer);

// A bus message (header and payload) from |buffer| of |length| bytes, handed to the bulk-OUT
// pipe in place. STATUS_PENDING: the IRP is the pipe's, completed when every byte is sent.
NTSTATUS SendUserMessage(IRP* irp, StationExtension* station, const void* buffer, ULONG length);
void UserMessageCancel(DEVICE_OBJECT* device, IRP* irp);
void UserMessageComplete(PVOID context, IRP* irp, ULONG request_id, ULONG header_bytes,
                         ULONG data_bytes, NTSTATUS status, ULONG usbd_status);

}  // namespace vorn::station
