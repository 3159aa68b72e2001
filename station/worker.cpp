// The station's worker thread. Its first run updates the ROM when the firmware asks for it,
// discovers the chip's functions and creates their children; every run then enables one
// control interface and serves what other code posts to it (an enumeration, the user events,
// taking the interface away), and the first run follows the audio jacks. A restart after a
// power transition repeats none of the first-run work and follows no jack; a start after a
// Plug and Play STOP makes the children again, which the stop took away.
#include "station/worker.h"

#include "platform/kernel/interfaces.h"
#include "platform/kernel/sync.h"
#include "platform/kernel/thread.h"
#include "station/bus/child_pdos.h"
#include "station/driver_globals.h"
#include "station/kernel_utils.h"
#include "station/registry.h"
#include "station/station_start.h"

namespace vorn::station {
namespace {

constexpr LONGLONG kHundredNsPerMs = 10000;

NTSTATUS WaitFor(StationExtension* station, KEVENT* event, ULONG milliseconds) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -static_cast<LONGLONG>(milliseconds) * kHundredNsPerMs;
  LARGE_INTEGER* limit = milliseconds ? &timeout : nullptr;
  if (!event)
    return KeWaitForSingleObject(&station->WorkerStopEvent, Executive, KernelMode, FALSE, limit);
  PVOID events[] = {&station->WorkerStopEvent, event};
  return KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE, limit,
                                  nullptr);
}

// Discovery and child creation, as the first run and an enumeration request do them. The
// child module may refuse (it is not part of every build); the worker goes on either way.
void DiscoverAndCreate(StationExtension* station, UCHAR* remembered_jack) {
  SetThdState(station, kThdDiscovering);
  if (!NT_SUCCESS(DiscoverChildFunctions(station))) SetThdError(station, kThdDiscovering);
  SetThdState(station, kThdCreatingChildren);
  *remembered_jack = ReadFlag(station->JackState);
  CreateChildPdos(station, g_StationGlobals->SupportPDOs);
}

// The children as the first run makes them; the loop's time-out follows.
void MakeChildren(StationExtension* station, ULONG* timeout, UCHAR* remembered_jack) {
  UCHAR test_functions = 0;
  ReadParameter(u"TestFunctions", REG_BINARY, sizeof test_functions, &test_functions);
  if (test_functions) {
    *timeout = kTestFunctionsMilliseconds;
    return;
  }
  if (station->DriverModel == 1 && g_StationGlobals->SupportPDOs)
    DiscoverAndCreate(station, remembered_jack);
  *timeout = kJackFollowMilliseconds;
}

// The first run's own steps; false when the worker must end without an interface.
bool FirstRun(StationExtension* station, ULONG* timeout, UCHAR* remembered_jack) {
  station->WorkerInitialised = 1;
  WriteFlag(station->RecreateChildren, 0);  // this run makes them
  FormatFirmwareKeyPath(station->PrjCode, station->FirmwareKeyPath);
  station->DeviceRomAutoUpdateFlags = g_StationGlobals->RomAutoUpdateFlags;
  if (station->FirmwareKeyPath[0]) {
    UCHAR flags = 0;
    if (NT_SUCCESS(ReadFirmwareValue(station->FirmwareKeyPath, u"RomAutoUpdateFlags",
                                     REG_BINARY, sizeof flags, &flags)))
      station->DeviceRomAutoUpdateFlags = flags;
  }
  if (station->DeviceRomAutoUpdateFlags) {
    SetThdState(station, kThdRomUpdate);
    if (RomAutoUpdate(station)) return false;
  }
  SetThdState(station, kThdRomPause);
  if (WaitStop(station, kRomPauseMilliseconds) != STATUS_TIMEOUT ||
      !ReadFlag(station->WorkerRunning))
    return false;

  MakeChildren(station, timeout, remembered_jack);
  return true;
}

// One jack whose state changed: its function's child goes when nothing is plugged in and
// comes when something is.
void FollowJack(StationExtension* station, ULONG function, ULONG mask, UCHAR state) {
  bool exists = ChildExists(station, function);
  if (exists && state == 0) {
    MarkChildrenMissingByMask(station, mask);
  } else if (!exists && state != 0) {
    CreateChildPdos(station, mask);
  }
}

void FollowJacks(StationExtension* station, UCHAR* remembered_jack) {
  UCHAR now = ReadFlag(station->JackState);
  if (now == *remembered_jack) return;
  *remembered_jack = now;
  station->Jacks[0].State[1] = now & 0x07;
  station->Jacks[1].State[1] = (now >> 6) & 1;
  if (station->Jacks[0].DetectionOn)
    FollowJack(station, kAudioFunctionIndex, kAudioFunctionMask, station->Jacks[0].State[1]);
  if (station->Jacks[1].DetectionOn) {
    bool mic = g_StationGlobals->StandaloneMic && !station->MicOnly;
    FollowJack(station, mic ? kMicrophoneFunctionIndex : kAudioFunctionIndex,
               mic ? kMicrophoneFunctionMask : kAudioFunctionMask, station->Jacks[1].State[1]);
  }
}

}  // namespace

NTSTATUS WaitStop(StationExtension* station, ULONG milliseconds) {
  return WaitFor(station, nullptr, milliseconds);
}

NTSTATUS WaitStopOrEvent(StationExtension* station, KEVENT* event, ULONG milliseconds) {
  return WaitFor(station, event, milliseconds);
}

void StationWorkerThread(PVOID context) {
  auto* station = static_cast<StationExtension*>(context);
  SetThdState(station, kThdRunning);
  for (ULONG slot : {kBulkInPipe, kInterruptPipe}) {
    PipeOps& ops = station->Pipes[slot];
    if (ops.Object && ops.Enable) ops.Enable(ops.Object, 1);
  }

  ULONG timeout = 0;  // a restart waits without time-out
  UCHAR remembered_jack = ReadFlag(station->JackState);
  bool go_on = station->WorkerInitialised || FirstRun(station, &timeout, &remembered_jack);

  UNICODE_STRING* link = nullptr;
  if (go_on) {
    SetThdState(station, kThdInterface);
    UNICODE_STRING* wanted =
        ReadFlag(station->NsMode) ? &station->InterfaceLink2 : &station->InterfaceLink1;
    if (wanted->Buffer && NT_SUCCESS(IoSetDeviceInterfaceState(wanted, TRUE))) {
      link = wanted;
    } else {
      SetThdError(station, kThdInterface);
      go_on = false;
    }
  }

  if (go_on) {
    SetThdState(station, kThdServing);
    bool enumerated = false;  // this run has served its one enumeration request
    while (ReadFlag(station->WorkerRunning)) {
      // A start after a Plug and Play STOP, which took the children away: they are made
      // again, and followed as at the first run, once the system has removed the old ones
      // (each removal kicks the worker). Made earlier, a child would take its old self's
      // place under the same name and keep the old device's state.
      if (ReadFlag(station->RecreateChildren) && !ChildrenLeaving(station)) {
        MakeChildren(station, &timeout, &remembered_jack);
        WriteFlag(station->RecreateChildren, 0);
        SetThdState(station, kThdServing);
      }
      NTSTATUS wait = WaitStopOrEvent(station, &station->WorkerKickEvent, timeout);
      if (wait == STATUS_TIMEOUT) {
        FollowJacks(station, &remembered_jack);
        continue;
      }
      if (wait != STATUS_WAIT_0 + 1) break;
      if (ReadFlag(station->EnumerateRequest)) {
        WriteFlag(station->EnumerateRequest, 0);
        if (!enumerated) {
          enumerated = true;
          if (g_StationGlobals->SupportPDOs) DiscoverAndCreate(station, &remembered_jack);
        }
      }
      for (ULONG slot = 0; slot < kUserEventSlotCount; ++slot) {
        if (ReadFlag(station->UserEvents[slot].Pending)) {
          WriteFlag(station->UserEvents[slot].Pending, 0);
          SignalUserEvent(station, slot);
        }
      }
      // Cleared whether or not the interface is still on: every pipe that finds the device
      // gone asks again.
      if (ReadFlag(station->InterfaceOffRequest)) {
        WriteFlag(station->InterfaceOffRequest, 0);
        if (link) IoSetDeviceInterfaceState(link, FALSE);
        link = nullptr;
      }
    }
  }

  if (link) IoSetDeviceInterfaceState(link, FALSE);
  for (ULONG slot : {kBulkInPipe, kInterruptPipe}) {
    PipeOps& ops = station->Pipes[slot];
    if (ops.Object && ops.Enable) ops.Enable(ops.Object, 0);
  }
  SetThdState(station, kThdEnding);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace vorn::station
