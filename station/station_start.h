// What makes an adapter a working station and what takes it apart: the station index that
// names its registry values, the start sequence run after a successful START, the 1 ms pipe
// tick with the worker thread, and the cleanup. Every step is recorded in the per-station
// values HalState and HalError.
#pragma once

#include "station/station_extension.h"

namespace vorn::station {

// HalState steps.
enum HalStep : ULONG {
  kHalIndexAssigned = 1,
  kHalCleanedUp = 2,
  kHalEntered = 3,
  kHalTimerStarting = 4,
  kHalTimerStopped = 5,
  kHalDriverKeyOpen = 6,
  kHalDriverKey = 7,
  kHalStrings = 8,
  kHalNaming = 9,
  kHalPipes = 10,
  kHalSessions = 11,
  kHalRomReplies = 12,
  kHalFirmware = 13,
  kHalWorkerStarting = 14,
};

// ThdState steps written here (the worker writes the rest).
enum ThdStep : ULONG {
  kThdAssigned = 0,
  kThdCreating = 1,
  kThdStopped = 2,
  kThdRunning = 3,
  kThdInterface = 8,
  kThdServing = 9,
  kThdEnding = 10,
};

// The fall-back strings of a device without the string index.
inline constexpr char16_t kDefaultManufacturer[] = u"QOR Corp.";
inline constexpr char16_t kDefaultProduct[] = u"Vorn USB Station";

// Station index range.
constexpr ULONG kFirstStationIndex = 0x80;
constexpr ULONG kLastStationIndex = 0xFE;

NTSTATUS AssignStationIndex(StationExtension* station);
NTSTATUS StationStart(StationExtension* station);
void StationCleanup(StationExtension* station);

// PASSIVE_LEVEL only. A station without pipes (its start sequence failed or was undone)
// starts neither tick nor worker: STATUS_DEVICE_NOT_READY.
NTSTATUS StartStationTimer(StationExtension* station);
void StopStationTimer(StationExtension* station);
NTSTATUS StartWorkerThread(StationExtension* station);
void StopWorkerThread(StationExtension* station);

// The worker's routine (started by StartWorkerThread).
void StationWorkerThread(PVOID context);

// A string descriptor read from the device ("StrD" pool, bLength + 4 zeroed bytes), or null
// on any failure, a descriptor shorter than its own head included.
USB_STRING_DESCRIPTOR* ReadStringDescriptor(StationExtension* station, UCHAR index);
// A string descriptor made from |text|, or null.
USB_STRING_DESCRIPTOR* MakeStringDescriptor(const char16_t* text);
// Writes DeviceDesc (policy bit 1) and FriendlyName (bit 0) under the device's Enum key.
NTSTATUS ApplyDeviceNamePolicy(StationExtension* station, const UNICODE_STRING* link,
                               const WCHAR* product, ULONG byte_count, ULONG policy);

void SetHalState(StationExtension* station, ULONG step);
void SetHalError(StationExtension* station, ULONG step);
void SetThdState(StationExtension* station, ULONG step);
void SetThdError(StationExtension* station, ULONG step);

LONGLONG MillisecondsSinceBoot();
LONGLONG MillisecondsSinceStart(const StationExtension* station);

// Tick DPC: kicks every pipe that has a Kick operation.
void PipeTickDpc(KDPC* dpc, PVOID context, PVOID argument1, PVOID argument2);

// Firmware identity (read at step 13) and NS mode.
NTSTATUS ReadFirmwareInfo(StationExtension* station);
void WriteSerialNumberValue(StationExtension* station, const UCHAR (&id)[8]);
// Writes a new device id (vendor request 0x33), reads it back from the chip and publishes its
// SerialNumber; STATUS_UNSUCCESSFUL when the chip reads back another id.
NTSTATUS WriteDeviceId(StationExtension* station, const UCHAR (&id)[8]);
// Reads the chip's computer-information block into NS_ComputerInfo and enters NS mode when
// the block is valid (NsMode 1, NS_Mode = 1); on any failure NsMode is 0.
NTSTATUS ReadNsComputerInfo(StationExtension* station);
void ClearNsMode(StationExtension* station);
// FirmwareKeyPath: "Parameters\Firmware\" and the project code as a key name (at most 16
// characters, up to the first that a key name cannot hold). False, and an empty path, when
// the code has no such character.
bool FormatFirmwareKeyPath(const UCHAR (&prj_code)[16], WCHAR (&path)[kFirmwareKeyPathChars]);
void DeleteNsValues(StationExtension* station);

// ROM reply channel (step 12) and its cleanup; served by the ROM module.
NTSTATUS ArmRomReplies(StationExtension* station);
void RomCleanup(StationExtension* station);

// Wait-wake (armed at START when the configuration allows remote wake-up).
NTSTATUS ArmWaitWake(StationExtension* station);
void CancelWaitWake(StationExtension* station);

// WMI registration of the station.
NTSTATUS WmiRegister(StationExtension* station);
void WmiDeregister(StationExtension* station);

}  // namespace vorn::station
