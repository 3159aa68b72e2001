// The bulk-OUT pipe object as the start sequence creates, enables and destroys it. Its transfer
// engine is not built yet: the table offers no transfer operation and no Kick, so the tick
// and every caller that tests the optional slots leave it alone.
#include "station/kernel_utils.h"
#include "station/station_extension.h"

namespace vorn::station {
namespace {

constexpr ULONG kTagBulkOutPipe = PoolTag("epbo");

struct BulkOutPipe {
  StationExtension* Station;
  USBD_PIPE_INFORMATION PipeInfo;
  UCHAR Enabled;
};

void EnableBulkOutPipe(PVOID object, UCHAR on) { static_cast<BulkOutPipe*>(object)->Enabled = on; }

void DestroyBulkOutPipe(PVOID object) {
  EnableBulkOutPipe(object, 0);
  ExFreePoolWithTag(object, kTagBulkOutPipe);
}

}  // namespace

NTSTATUS CreateBulkOutPipe(StationExtension* station, PipeOps* table, ULONG table_size,
                     const USBD_PIPE_INFORMATION* info) {
  if (!station || !table || !info || table_size < sizeof(PipeOps)) return STATUS_INVALID_PARAMETER;
  *table = PipeOps{};
  auto* pipe = static_cast<BulkOutPipe*>(AllocatePool(NonPagedPoolNx, sizeof(BulkOutPipe), kTagBulkOutPipe));
  if (!pipe) return STATUS_INSUFFICIENT_RESOURCES;
  pipe->Station = station;
  pipe->PipeInfo = *info;
  table->Object = pipe;
  table->Destroy = DestroyBulkOutPipe;
  table->Enable = EnableBulkOutPipe;
  return STATUS_SUCCESS;
}

}  // namespace vorn::station
