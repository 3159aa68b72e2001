// The worker's half of the user event slots: the interrupt pipe marks a slot pending, the
// worker sets the event an NS-mode client registered in it.
#include "platform/kernel/sync.h"
#include "station/worker.h"

namespace vorn::station {

void SignalUserEvent(StationExtension* station, ULONG slot) {
  if (slot >= kUserEventSlotCount || !ReadFlag(station->NsMode)) return;
  KeWaitForSingleObject(&station->EventSlotMutex, Executive, KernelMode, FALSE, nullptr);
  if (KEVENT* event = station->UserEvents[slot].Event) KeSetEvent(event, 0, FALSE);
  KeReleaseMutex(&station->EventSlotMutex, FALSE);
}

}  // namespace vorn::station
