// The station's device extension: everything one attached adapter's functional device object
// holds. It begins with the fields every device extension of the driver shares, so dispatch
// routines tell the station and its children apart by IsFdo. Zeroed at creation.
#pragma once

#include <cstddef>

#include "platform/kernel/interfaces.h"
#include "platform/kernel/pnp.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/thread.h"
#include "platform/kernel/timer.h"
#include "platform/kernel/usb.h"
#include "platform/kernel/wmi.h"
#include "station/device_extension.h"
#include "station/pipes/pipe_ops.h"

namespace vorn::station {

// FdoState values.
enum FdoStateValue : ULONG {
  kFdoNotStarted = 0,
  kFdoStarted = 1,
  kFdoStopPending = 2,
  kFdoStopped = 3,
  kFdoRemovePending = 4,
  kFdoSurpriseRemoved = 6,
  kFdoRemoved = 7,
};

constexpr ULONG kChildFunctionCount = 10;
constexpr ULONG kJackCount = 2;
constexpr ULONG kFirmwareKeyPathChars = 64;

// What the chip reports of one function (read by discovery).
struct StationExtension;

struct ChildFunctionDescriptor {
  USHORT VendorId;  // 0 or 0xFFFF: absent
  USHORT ProductId;
  UCHAR Data[128];  // from byte 4 a wide device text
};
static_assert(sizeof(ChildFunctionDescriptor) == 132);

// One audio jack.
struct JackRecord {
  UCHAR Info[16];   // jack information reply
  UCHAR State[16];  // jack state reply; byte 1 the state
  UCHAR Exists;
  UCHAR DetectionOn;
  UCHAR Spare[2];
};
static_assert(sizeof(JackRecord) == 36);

// One of the two user event slots of the control interface: an NS-mode client's event that
// the worker sets when the chip reports the slot's event. The interrupt pipe marks it pending
// (from its completion, at DISPATCH_LEVEL); the worker clears the mark and sets the event.
// Guarded by EventSlotMutex, except Pending, which is read and written whole as an atomic.
struct UserEventSlot {
  FILE_OBJECT* Owner;  // the handle that registered it
  ULONGLONG Handle;    // the caller's event handle
  KEVENT* Event;       // the referenced event; null while the slot is free
  UCHAR Pending;
  UCHAR Spare;
};
constexpr ULONG kUserEventSlotCount = 2;

// One of the ten sessions of the control interface that a handle binds by the name after the
// interface path ("\\display", ...). Filled once when the station gets its index. BoundFile
// is exchanged atomically: an exclusive session is bound by one handle at a time, and the
// shared one ("roothub") is never bound.
struct FileSession {
  ULONG Signature;  // kFileSessionSignature
  ULONG Index;      // also the bus channel of the same number
  StationExtension* Owner;
  FILE_OBJECT* BoundFile;  // null while free
  ULONG Id;                // the session's bus message type
  WCHAR Name[16];
  UCHAR NameLength;  // in characters
};
constexpr ULONG kFileSessionCount = 10;
constexpr ULONG kFileSessionSignature = 0x73736573;  // "sess"

struct StationExtension {
  // Shared with the child extensions.
  DEVICE_OBJECT* DeviceObject;
  ULONG FdoState;
  ULONG PreviousState;
  ULONG SystemPowerState;
  ULONG DevicePowerState;
  ULONG Reserved0;
  BOOLEAN IsFdo;
  BOOLEAN SurpriseRemoved;
  BOOLEAN Removed;
  UCHAR Reserved1[2];

  DEVICE_OBJECT* LowerDeviceObject;
  DEVICE_OBJECT* PhysicalDeviceObject;
  UNICODE_STRING InterfaceLink1;  // main control interface
  UNICODE_STRING InterfaceLink2;  // NS control interface
  DEVICE_CAPABILITIES Capabilities;
  USB_DEVICE_DESCRIPTOR DeviceDescriptor;
  USB_CONFIGURATION_DESCRIPTOR* ConfigurationDescriptor;
  USB_STRING_DESCRIPTOR* ManufacturerString;
  USB_STRING_DESCRIPTOR* ProductString;
  USBD_INTERFACE_INFORMATION* InterfaceInfo;
  KSPIN_LOCK StateLock;
  KEVENT AbortEvent;
  KEVENT RemoveEvent;
  KEVENT IoIdleEvent;
  ULONG IoCount;
  KSPIN_LOCK IoCountLock;
  IRP* WaitWakeIrp;
  ULONG WaitWakeCompletionClaimed;
  ULONG WaitWakeArmed;
  ULONG RemoteWakeup;
  ULONG WaitWakeCancelRequested;
  ULONG OpenCount;
  WMILIB_CONTEXT WmiLibContext;
  KMUTEX ChildListMutex;
  LIST_ENTRY ChildList;
  ULONG ActiveFunctionCount;
  ULONG ChildCount;
  ULONG DriverModel;
  KMUTEX TimerMutex;
  KMUTEX EventSlotMutex;
  LONGLONG StartTime;
  UNICODE_STRING DriverKey;
  PipeOps Pipes[kPipeCount];
  FileSession Sessions[kFileSessionCount];
  KDPC TickDpc;
  KTIMER TickTimer;
  ULONG HwPlatform;
  ULONG BootCodeVersion;
  ULONG ImageCodeVersion;
  ULONG VendorCmdVersion;
  ULONG RomSize;
  ULONG Reserved2;
  UCHAR DeviceId[8];
  UCHAR PrjCode[16];
  ChildFunctionDescriptor ChildFunctions[kChildFunctionCount];
  JackRecord Jacks[kJackCount];
  KTHREAD* WorkerThread;
  KEVENT WorkerStopEvent;
  KEVENT WorkerKickEvent;
  WCHAR FirmwareKeyPath[kFirmwareKeyPathChars];
  KMUTEX RomMutex;
  KSPIN_LOCK RomBufferLock;
  KSPIN_LOCK RomResultLock;
  KEVENT RomTransferEvent;
  KEVENT RomBurnEvent;
  UCHAR RomHeader[32];
  UCHAR RomReply[64];
  UCHAR RomResult[16];
  PVOID RomBuffer;
  ULONG RomBytesDone;
  // Set while a ROM block is with the bulk-OUT pipe (from WriteAsync to RomTransferDone): the
  // block's buffer is not freed while it is set. Read and written as an atomic.
  UCHAR RomTransferOpen;
  UserEventSlot UserEvents[kUserEventSlotCount];
  UCHAR NsMode;
  UCHAR FeatureFlags[8];
  USHORT LanguageId;
  USHORT RomReadSequence;
  UCHAR WorkerRunning;
  // Set when the start sequence has finished and cleared first thing by the cleanup: the
  // station serves requests (control codes, children, the worker) only while it is set.
  UCHAR StartSucceeded;
  UCHAR TimerRunning;
  UCHAR DeviceGone;
  UCHAR StationIndex;
  UCHAR WmiRegistered;
  UCHAR WorkerInitialised;
  UCHAR EnumerateRequest;
  // Set by a Plug and Play STOP, which takes every child away: the worker of the next start
  // makes them again once the system has removed the old ones. Read and written as an atomic.
  UCHAR RecreateChildren;
  // Set once ChildListMutex and ChildList are initialised; read as an atomic, so the list
  // head is only ever touched under the mutex.
  UCHAR ChildListReady;
  // Set under ChildListMutex when STOP, SURPRISE_REMOVAL or REMOVE takes the children away,
  // cleared at the next START: a worker still inside a module's Create then (its requests
  // ended by the removal) adds no child that nothing would ever take away again.
  UCHAR ChildrenClosed;
  UCHAR InterfaceOffRequest;
  UCHAR RomStateCopy;
  UCHAR RomWriteCounter;
  UCHAR DeviceRomAutoUpdateFlags;
  UCHAR DeviceIdStale;
  UCHAR MicOnly;
  UCHAR JackState;
  KEVENT PanelBusyEvent;  // set while a panel save runs; the interrupt pipe clears it at its end
  IRP* PendingSystemPowerIrp;
};
static_assert(offsetof(StationExtension, FdoState) == offsetof(DeviceExtensionHead, State));
static_assert(offsetof(StationExtension, IsFdo) == offsetof(DeviceExtensionHead, IsFdo));
static_assert(offsetof(StationExtension, Removed) == offsetof(DeviceExtensionHead, Removed));
static_assert(sizeof(DEVICE_CAPABILITIES) == 64);

// The byte flags that threads, DPCs and completions share (DeviceGone, WorkerRunning,
// InterfaceOffRequest, StartSucceeded) are read and written whole, as atomics.
inline UCHAR ReadFlag(const UCHAR& flag) { return __atomic_load_n(&flag, __ATOMIC_SEQ_CST); }
inline void WriteFlag(UCHAR& flag, UCHAR value) { __atomic_store_n(&flag, value, __ATOMIC_SEQ_CST); }

inline StationExtension* Station(DEVICE_OBJECT* device) {
  return static_cast<StationExtension*>(device->DeviceExtension);
}

// Pool tags of the device object and the start sequence.
inline constexpr ULONG kTagConfiguration = PoolTag("xxxx");  // configuration descriptor
inline constexpr ULONG kTagInterfaceInfo = PoolTag("Intf");  // the first interface's copy
inline constexpr ULONG kTagSelect = PoolTag("Sele");         // configuration request
inline constexpr ULONG kTagRelations = PoolTag("pdo ");      // bus relations lists
inline constexpr ULONG kTagString = PoolTag("StrD");         // string descriptors
inline constexpr ULONG kTagStringUrb = PoolTag("SUrb");      // string descriptor requests
inline constexpr ULONG kTagDriverKey = PoolTag("DKey");      // the driver key name
inline constexpr ULONG kTagNaming = PoolTag("Name");         // device naming buffers

// The I/O count: requests in progress + 1. IoIdleEvent is set while no request is in
// progress; RemoveEvent once the count reaches 0.
void AcquireIoCount(StationExtension* station);
void ReleaseIoCount(StationExtension* station);

// Sends |urb| to the device below the station and waits for it, holding the I/O count.
NTSTATUS SubmitUrbSync(StationExtension* station, URB* urb);

// Whether the station serves requests: started, its start sequence succeeded, not gone.
// Control codes, child creation and the worker all check it.
bool StationServesRequests(const StationExtension* station);

}  // namespace vorn::station
