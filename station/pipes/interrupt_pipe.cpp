// The interrupt-IN pipe object as the start sequence creates, enables and destroys it. Its transfer
// engine is not built yet: the table offers no transfer operation and no Kick, so the tick
// and every caller that tests the optional slots leave it alone.
#include "station/kernel_utils.h"
#include "station/station_extension.h"

namespace vorn::station {
namespace {

constexpr ULONG kTagInterruptPipe = PoolTag("epii");

struct InterruptPipe {
  StationExtension* Station;
  USBD_PIPE_INFORMATION PipeInfo;
  UCHAR Enabled;
};

void EnableInterruptPipe(PVOID object, UCHAR on) { static_cast<InterruptPipe*>(object)->Enabled = on; }

void DestroyInterruptPipe(PVOID object) {
  EnableInterruptPipe(object, 0);
  ExFreePoolWithTag(object, kTagInterruptPipe);
}

}  // namespace

NTSTATUS CreateInterruptPipe(StationExtension* station, PipeOps* table, ULONG table_size,
                     const USBD_PIPE_INFORMATION* info) {
  if (!station || !table || !info || table_size < sizeof(PipeOps)) return STATUS_INVALID_PARAMETER;
  *table = PipeOps{};
  auto* pipe = static_cast<InterruptPipe*>(AllocatePool(NonPagedPoolNx, sizeof(InterruptPipe), kTagInterruptPipe));
  if (!pipe) return STATUS_INSUFFICIENT_RESOURCES;
  pipe->Station = station;
  pipe->PipeInfo = *info;
  table->Object = pipe;
  table->Destroy = DestroyInterruptPipe;
  table->Enable = EnableInterruptPipe;
  return STATUS_SUCCESS;
}

}  // namespace vorn::station
