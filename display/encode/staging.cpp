#include "display/encode/staging.h"

#include "display/encode/encode_thread.h"
#include "display/send/send_trace.h"
#include "display/device/trace.h"
#include "platform/win32/synch.h"

namespace vorn::display {

bool WaitConsumed(ViewContext* view) {
  HANDLE events[2] = {view->StopEvent, view->SystemMem->ConsumedEvent};
  return WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1;
}

StagingResult ReserveStaging(ViewContext* view, uint64_t need, StagingSpace* out) {
  SystemMemObj* mem = view->SystemMem;
  if (!mem->Staging || need > mem->StagingSize) {
    TracePoint(kTraceEntry, kTraceError, kTraceUnitPipeline, kMsgStagingShort,
               {view->Index, static_cast<uint32_t>(need), mem->StagingSize});
    return StagingResult::TooSmall;
  }
  uint32_t position = mem->WritePos <= mem->StagingSize ? mem->WritePos : mem->StagingSize;
  uint64_t space = mem->StagingSize - position;
  // After a wrap whose pass handed nothing off, the write position stands before the packet
  // in flight: until the send thread took it, the room ends where it starts.
  if (position <= mem->InFlight && WaitForSingleObject(mem->ConsumedEvent, 0) != WAIT_OBJECT_0)
    space = mem->InFlight - position;
  if (space < need) {
    position = 0;
    const bool consumed = WaitForSingleObject(mem->ConsumedEvent, 0) == WAIT_OBJECT_0;
    space = consumed ? mem->StagingSize : mem->InFlight;
    if (space < need) {
      if (!WaitConsumed(view)) return StagingResult::Stopped;
      space = mem->StagingSize;
    }
    LockUntimed(view->Owner, mem->HandoffLock);
    mem->WritePos = 0;
    Unlock(view->Owner, mem->HandoffLock);
  }
  out->Packet = mem->Staging + position;
  out->Space = static_cast<uint32_t>(space);
  return StagingResult::Ready;
}

void HandOff(ViewContext* view, FrameHandoff handoff) {
  SystemMemObj* mem = view->SystemMem;
  ResetEvent(mem->ConsumedEvent);
  LockUntimed(view->Owner, mem->HandoffLock);
  mem->InFlight = mem->WritePos;
  const uint64_t end = uint64_t{mem->WritePos} + handoff.Length;
  mem->WritePos = end < mem->StagingSize ? static_cast<uint32_t>(end) : mem->StagingSize;
  handoff.Offset = mem->InFlight;
  mem->Handoff = handoff;
  Unlock(view->Owner, mem->HandoffLock);
  SetEvent(mem->ReadyEvent);
}

}  // namespace vorn::display
