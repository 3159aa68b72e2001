// The bulk-IN pipe object as the start sequence creates, enables and destroys it. Its transfer
// engine is not built yet: the table offers no transfer operation and no Kick, so the tick
// and every caller that tests the optional slots leave it alone.
#include "station/kernel_utils.h"
#include "station/station_extension.h"

namespace vorn::station {
namespace {

constexpr ULONG kTagBulkInPipe = PoolTag("epbi");

struct BulkInPipe {
  StationExtension* Station;
  USBD_PIPE_INFORMATION PipeInfo;
  UCHAR Enabled;
};

void EnableBulkInPipe(PVOID object, UCHAR on) { static_cast<BulkInPipe*>(object)->Enabled = on; }

void DestroyBulkInPipe(PVOID object) {
  EnableBulkInPipe(object, 0);
  ExFreePoolWithTag(object, kTagBulkInPipe);
}

}  // namespace

NTSTATUS CreateBulkInPipe(StationExtension* station, PipeOps* table, ULONG table_size,
                     const USBD_PIPE_INFORMATION* info) {
  if (!station || !table || !info || table_size < sizeof(PipeOps)) return STATUS_INVALID_PARAMETER;
  *table = PipeOps{};
  auto* pipe = static_cast<BulkInPipe*>(AllocatePool(NonPagedPoolNx, sizeof(BulkInPipe), kTagBulkInPipe));
  if (!pipe) return STATUS_INSUFFICIENT_RESOURCES;
  pipe->Station = station;
  pipe->PipeInfo = *info;
  table->Object = pipe;
  table->Destroy = DestroyBulkInPipe;
  table->Enable = EnableBulkInPipe;
  return STATUS_SUCCESS;
}

}  // namespace vorn::station
