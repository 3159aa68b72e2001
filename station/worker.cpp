// The station's worker thread, as far as the station needs it now: it enables the control
// interface, takes it away when a pipe finds the device gone, and ends when asked. Function
// discovery, the ROM update and jack following join it with their modules.
#include "platform/kernel/interfaces.h"
#include "platform/kernel/thread.h"
#include "station/station_start.h"

namespace vorn::station {

void StationWorkerThread(PVOID context) {
  auto* station = static_cast<StationExtension*>(context);
  SetThdState(station, kThdRunning);
  for (ULONG slot : {kBulkInPipe, kInterruptPipe}) {
    PipeOps& ops = station->Pipes[slot];
    if (ops.Object && ops.Enable) ops.Enable(ops.Object, 1);
  }

  UNICODE_STRING* link = nullptr;
  SetThdState(station, kThdInterface);
  UNICODE_STRING* wanted = station->NsMode ? &station->InterfaceLink2 : &station->InterfaceLink1;
  if (wanted->Buffer && NT_SUCCESS(IoSetDeviceInterfaceState(wanted, TRUE))) {
    link = wanted;
  } else {
    SetThdError(station, kThdInterface);
  }

  if (link) {
    SetThdState(station, kThdServing);
    PVOID events[] = {&station->WorkerStopEvent, &station->WorkerKickEvent};
    while (ReadFlag(station->WorkerRunning)) {
      NTSTATUS wait = KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE,
                                               nullptr, nullptr);
      if (wait != STATUS_WAIT_0 + 1) break;
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
