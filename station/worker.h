// The station's worker thread and function discovery: the waits the worker makes, the
// discovery of the chip's functions and jacks, and the automatic ROM update hook it calls on
// its first run.
#pragma once

#include "station/station_extension.h"

namespace vorn::station {

// ThdState steps of the first run (the start sequence writes the others).
constexpr ULONG kThdRomUpdate = 4;
constexpr ULONG kThdRomPause = 5;
constexpr ULONG kThdDiscovering = 6;
constexpr ULONG kThdCreatingChildren = 7;

// The worker's loop time-outs: jack following, and the test mode without discovery.
constexpr ULONG kJackFollowMilliseconds = 1500;
constexpr ULONG kTestFunctionsMilliseconds = 2;
constexpr ULONG kRomPauseMilliseconds = 10;

// The child functions discovery reads or makes, and their masks.
constexpr ULONG kAudioFunctionIndex = 3;
constexpr ULONG kMicrophoneFunctionIndex = 8;
constexpr ULONG kAudioFunctionMask = 1u << kAudioFunctionIndex;
constexpr ULONG kMicrophoneFunctionMask = 1u << kMicrophoneFunctionIndex;

// Waits for WorkerStopEvent; 0 milliseconds waits without time-out. STATUS_WAIT_0 on the
// stop, STATUS_TIMEOUT when the time ran out.
NTSTATUS WaitStop(StationExtension* station, ULONG milliseconds);
// Waits for WorkerStopEvent (STATUS_WAIT_0) or |event| (STATUS_WAIT_0 + 1); 0 = no time-out.
NTSTATUS WaitStopOrEvent(StationExtension* station, KEVENT* event, ULONG milliseconds);

// Reads the chip's function descriptors and jacks (or enters NS mode, where there are no
// functions) and counts the active functions. The first failing descriptor read ends it with
// its status. PASSIVE_LEVEL, the worker only.
NTSTATUS DiscoverChildFunctions(StationExtension* station);

// The automatic ROM update of the worker's first run; true when the worker must end (boot
// code written, or an image written and the chip reset).
bool RomAutoUpdate(StationExtension* station);

// Sets the event registered in user event slot |slot|, when one is (NS mode only).
void SignalUserEvent(StationExtension* station, ULONG slot);

}  // namespace vorn::station
