// The user event slots of an NS-mode client: registration and release by the control
// interface, and the worker's half: the interrupt pipe marks a slot pending, the worker sets
// the event the client registered in it.
#include "platform/kernel/object.h"
#include "platform/kernel/sync.h"
#include "station/control_interface.h"
#include "station/worker.h"

namespace vorn::station {
namespace {

class SlotLock {
 public:
  explicit SlotLock(StationExtension* station) : station_(station) {
    KeWaitForSingleObject(&station_->EventSlotMutex, Executive, KernelMode, FALSE, nullptr);
  }
  ~SlotLock() { KeReleaseMutex(&station_->EventSlotMutex, FALSE); }
  SlotLock(const SlotLock&) = delete;
  SlotLock& operator=(const SlotLock&) = delete;

 private:
  StationExtension* station_;
};

void ClearSlot(UserEventSlot& slot) {
  ObDereferenceObject(slot.Event);
  slot.Event = nullptr;
  slot.Owner = nullptr;
  slot.Handle = 0;
}

}  // namespace

NTSTATUS RegisterUserEvent(StationExtension* station, FILE_OBJECT* file, ULONG slot,
                           ULONGLONG handle) {
  if (!ReadFlag(station->NsMode)) return STATUS_UNSUCCESSFUL;
  if (slot >= kUserEventSlotCount || handle == 0) return STATUS_INVALID_PARAMETER;
  SlotLock lock(station);
  UserEventSlot& s = station->UserEvents[slot];
  if (s.Event) return s.Handle == handle ? STATUS_SUCCESS : STATUS_ALREADY_COMMITTED;
  PVOID event = nullptr;
  NTSTATUS status = ObReferenceObjectByHandle(
      reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle)), EVENT_MODIFY_STATE | SYNCHRONIZE,
      *ExEventObjectType, UserMode, &event, nullptr);
  if (!NT_SUCCESS(status)) return status;
  s.Owner = file;
  s.Handle = handle;
  s.Event = static_cast<KEVENT*>(event);
  return STATUS_SUCCESS;
}

NTSTATUS UnregisterUserEvent(StationExtension* station, FILE_OBJECT* file, ULONG slot,
                             ULONGLONG handle) {
  if (!ReadFlag(station->NsMode)) return STATUS_UNSUCCESSFUL;
  if (slot >= kUserEventSlotCount) return STATUS_INVALID_PARAMETER;
  if (handle == 0) return STATUS_UNSUCCESSFUL;
  SlotLock lock(station);
  UserEventSlot& s = station->UserEvents[slot];
  if (!s.Event || s.Owner != file || s.Handle != handle) return STATUS_UNSUCCESSFUL;
  ClearSlot(s);
  return STATUS_SUCCESS;
}

void ReleaseFileEventSlots(StationExtension* station, FILE_OBJECT* file) {
  SlotLock lock(station);
  for (UserEventSlot& s : station->UserEvents)
    if (s.Event && s.Owner == file) ClearSlot(s);
}

void SignalUserEvent(StationExtension* station, ULONG slot) {
  if (slot >= kUserEventSlotCount || !ReadFlag(station->NsMode)) return;
  SlotLock lock(station);
  if (KEVENT* event = station->UserEvents[slot].Event) KeSetEvent(event, 0, FALSE);
}

}  // namespace vorn::station
