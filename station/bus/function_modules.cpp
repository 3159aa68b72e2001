#include "station/bus/function_modules.h"

#include "station/bus/station_services.h"
#include "station/driver_globals.h"

namespace vorn::station {
namespace {

constexpr size_t kDisplayFunction = 0;
constexpr size_t kAudioFunction = 3;
constexpr size_t kMicrophoneFunction = 8;
constexpr ULONG kDisplayMask = 1u << kDisplayFunction;
constexpr ULONG kAudioMask = 1u << kAudioFunction;

void Register(FunctionModuleInit init, const StationServiceTable* services,
              FunctionModuleEntry* entry) {
  if (NT_SUCCESS(init(kFunctionModuleVersion, &entry->Registered, services, &entry->Ops)))
    entry->Enabled = 1;
}

}  // namespace

FunctionModuleTable g_FunctionModules;

NTSTATUS RegisterFunctionModules() {
  // Each module keeps its own copy of the services.
  StationServiceTable services = MakeStationServiceTable();
  for (FunctionModuleEntry& entry : g_FunctionModules) entry = FunctionModuleEntry{};

  ULONG wanted = g_StationGlobals->SupportPDOs;
  if (wanted & kDisplayMask)
    Register(DisplayFunctionInit, &services, &g_FunctionModules[kDisplayFunction]);
  if (wanted & kAudioMask)
    Register(AudioFunctionInit, &services, &g_FunctionModules[kAudioFunction]);
  // The microphone is served by the audio module, enabled exactly when audio is.
  g_FunctionModules[kMicrophoneFunction] = g_FunctionModules[kAudioFunction];
  return STATUS_SUCCESS;
}

void UnloadFunctionModules() {
  for (FunctionModuleEntry& entry : g_FunctionModules) {
    if (!entry.Enabled) continue;
    entry.Enabled = 0;
    if (entry.Ops.Unload) entry.Ops.Unload(nullptr, nullptr);
  }
}

}  // namespace vorn::station
