// Starting and stopping an I/O target (a USB target device or a pipe). A stopped target
// refuses sends that do not ask to ignore its state; a pipe's continuous reader reads only
// while its target is started.
#include "platform/umdf/continuous_reader.h"
#include "platform/umdf/host_state.h"
#include "platform/umdf/operations.h"
#include "platform/umdf/usb_target.h"

namespace vorn::umdf {

NTSTATUS WdfIoTargetStart(PWDF_DRIVER_GLOBALS globals, WDFIOTARGET target) {
  constexpr const char* kOp = "WdfIoTargetStart";
  CheckGlobals(globals, kOp);
  auto* io_target = static_cast<IoTarget*>(ResolveIoTarget(target, kOp));
  if (io_target->kind() == Kind::kPipe) {
    auto* pipe = static_cast<Pipe*>(io_target);
    if (ContinuousReader::CurrentPipe() == pipe)
      Trap("%s: called from the continuous reader's own routine", kOp);
    if (!pipe->target().device().Connected()) return STATUS_DEVICE_NOT_CONNECTED;
    std::lock_guard<std::mutex> guard(pipe->reader_lock);
    pipe->set_started(true);
    if (pipe->reader) pipe->reader->Start();
    return STATUS_SUCCESS;
  }
  io_target->set_started(true);
  return STATUS_SUCCESS;
}

void WdfIoTargetStop(PWDF_DRIVER_GLOBALS globals, WDFIOTARGET target,
                     WDF_IO_TARGET_SENT_IO_ACTION action) {
  constexpr const char* kOp = "WdfIoTargetStop";
  CheckGlobals(globals, kOp);
  auto* io_target = static_cast<IoTarget*>(ResolveIoTarget(target, kOp));
  if (action != WdfIoTargetCancelSentIo)
    Trap("%s: only WdfIoTargetCancelSentIo is served (action %d)", kOp, static_cast<int>(action));
  if (io_target->kind() == Kind::kPipe && ContinuousReader::CurrentPipe() == io_target)
    Trap("%s: called from the continuous reader's own routine", kOp);
  io_target->set_started(false);
  if (io_target->kind() == Kind::kPipe) {
    auto* pipe = static_cast<Pipe*>(io_target);
    std::lock_guard<std::mutex> guard(pipe->reader_lock);
    if (pipe->reader) pipe->reader->Stop();
  }
}

}  // namespace vorn::umdf
