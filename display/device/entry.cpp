// The library's entry points: load and unload (the trace provider), the framework's driver
// entry, and OpenSorvikDevice, the one export a display host calls.
#include <cstring>
#include <new>

#include "display/device/bring_up.h"
#include "display/device/device_callbacks.h"
#include "display/views/gamma.h"
#include "display/device/trace.h"
#include "display/device/trace_messages.h"
#include "platform/win32/heap.h"

#define MARREL_EXPORT extern "C" __attribute__((visibility("default")))

namespace vorn::display {
namespace {

constexpr DWORD kProcessDetach = 0;
constexpr DWORD kProcessAttach = 1;
constexpr SIZE_T kHeapInitialSize = 0x4000000;  // 64 MiB, growable without limit

void TraceEntry(uint8_t level, uint16_t number, std::initializer_list<uint32_t> args = {}) {
  TracePoint(kTraceEntry, level, kTraceUnitEntry, number, args);
}

NTSTATUS StartCallback(SorvikDevice* d) { return Start(d); }
NTSTATUS CloseCallback(SorvikDevice* d) { return Close(d); }
NTSTATUS PowerEventCallback(SorvikDevice* d, ULONG type) { return PowerEvent(d, type); }

}  // namespace

BOOL DllMain(HANDLE, DWORD reason, LPVOID) {
  if (reason == kProcessAttach)
    RegisterTraceProvider();
  else if (reason == kProcessDetach)
    UnregisterTraceProvider();
  return TRUE;
}

__attribute__((constructor)) static void LibraryLoaded() { DllMain(nullptr, kProcessAttach, nullptr); }
__attribute__((destructor)) static void LibraryUnloaded() { DllMain(nullptr, kProcessDetach, nullptr); }

SorvikDevice* OpenSorvikDeviceImpl(SorvikDeviceInterface* block) {
  if (!block) return nullptr;
  TraceEntry(kTraceInfo, kMsgOpenVersion, {block->VersionMajor, block->VersionMinor});
  if (!block->WdfFunctions || !block->WdfDriverGlobals) {
    TraceEntry(kTraceError, kMsgOpenNoTable);
    return nullptr;
  }

  HANDLE heap = HeapCreate(0, kHeapInitialSize, 0);
  if (!heap) {
    TraceEntry(kTraceError, kMsgOpenFailed, {static_cast<uint32_t>(STATUS_NO_MEMORY)});
    return nullptr;
  }
  void* memory = HeapAlloc(heap, HEAP_ZERO_MEMORY, sizeof(SorvikDevice));
  if (!memory) {
    HeapDestroy(heap);
    TraceEntry(kTraceError, kMsgOpenFailed, {static_cast<uint32_t>(STATUS_NO_MEMORY)});
    return nullptr;
  }
  auto* device = new (memory) SorvikDevice();
  device->hMyHeap = heap;
  device->WdfDriver = block->WdfDriverGlobals->Driver;
  // The device keeps its own copy of the block, with the host's table and globals: every WDF
  // call of this adapter goes through them, whatever other hosts open later.
  std::memcpy(&device->Host, block, sizeof(SorvikDeviceInterface));

  block->VersionMajor = kPluginVersionMajor;
  block->VersionMinor = kPluginVersionMinor;
  device->WdfDevice = block->WdfDevice;
  device->Closing = 0;
  block->Start = &StartCallback;
  block->Close = &CloseCallback;
  block->PowerEvent = &PowerEventCallback;

  NTSTATUS status = OpenDevice(device);
  if (!NT_SUCCESS(status)) {
    TraceEntry(kTraceError, kMsgOpenFailed, {static_cast<uint32_t>(status)});
    DeviceCleanup(device);
    FreeDevice(device);
    return nullptr;
  }

  block->ViewCount = device->ViewCount;
  block->GammaSupported = GammaOffered(device) ? 1 : 0;
  TraceEntry(kTraceInfo, kMsgOpened, {device->ViewCount, block->GammaSupported});
  return device;
}

}  // namespace vorn::display

MARREL_EXPORT SorvikDevice* OpenSorvikDevice(SorvikDeviceInterface* block) {
  return vorn::display::OpenSorvikDeviceImpl(block);
}

// The framework's driver entry: all work starts in OpenSorvikDevice.
MARREL_EXPORT NTSTATUS DriverEntry(PVOID, PVOID) { return STATUS_SUCCESS; }
