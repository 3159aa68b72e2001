// Requests, preallocated memory and the synchronous write on an OUT pipe.
#include "platform/umdf/request.h"

#include "platform/umdf/host_state.h"
#include "platform/umdf/operations.h"
#include "platform/umdf/usb_target.h"

namespace vorn::umdf {

NTSTATUS WdfMemoryCreatePreallocated(PWDF_DRIVER_GLOBALS globals, PWDF_OBJECT_ATTRIBUTES attributes,
                                     PVOID buffer, size_t buffer_size, WDFMEMORY* memory) {
  constexpr const char* kOp = "WdfMemoryCreatePreallocated";
  HostState* host = CheckGlobals(globals, kOp);
  if (memory == nullptr) return STATUS_INVALID_PARAMETER;
  *memory = nullptr;
  if (buffer == nullptr || buffer_size == 0) return STATUS_INVALID_PARAMETER;
  Object* parent = nullptr;
  if (NTSTATUS s = ParentFrom(attributes, host->device, kOp, &parent); !NT_SUCCESS(s)) return s;
  auto* created = new Memory(parent->host(), buffer, buffer_size, true);
  Register(created, parent);
  *memory = HandleOf<WDFMEMORY>(created);
  return STATUS_SUCCESS;
}

PVOID WdfMemoryGetBuffer(PWDF_DRIVER_GLOBALS globals, WDFMEMORY memory, size_t* buffer_size) {
  constexpr const char* kOp = "WdfMemoryGetBuffer";
  CheckGlobals(globals, kOp);
  auto* found = Resolve<Memory>(memory, Kind::kMemory, kOp);
  if (buffer_size != nullptr) *buffer_size = found->size();
  return found->buffer();
}

NTSTATUS WdfRequestCreate(PWDF_DRIVER_GLOBALS globals, PWDF_OBJECT_ATTRIBUTES attributes,
                          WDFIOTARGET io_target, WDFREQUEST* request) {
  constexpr const char* kOp = "WdfRequestCreate";
  HostState* host = CheckGlobals(globals, kOp);
  if (request == nullptr) return STATUS_INVALID_PARAMETER;
  *request = nullptr;
  Object* fallback = host->device;
  if (io_target != nullptr) fallback = ResolveIoTarget(io_target, kOp)->host()->device;
  Object* parent = nullptr;
  if (NTSTATUS s = ParentFrom(attributes, fallback, kOp, &parent); !NT_SUCCESS(s)) return s;
  auto* created = new Request(parent->host());
  Register(created, parent);
  *request = HandleOf<WDFREQUEST>(created);
  return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetPipeFormatRequestForWrite(PWDF_DRIVER_GLOBALS globals, WDFUSBPIPE pipe,
                                               WDFREQUEST request, WDFMEMORY write_memory,
                                               PWDFMEMORY_OFFSET write_offset) {
  constexpr const char* kOp = "WdfUsbTargetPipeFormatRequestForWrite";
  CheckGlobals(globals, kOp);
  auto* target = Resolve<Pipe>(pipe, Kind::kPipe, kOp);
  auto* formatted = Resolve<Request>(request, Kind::kRequest, kOp);
  if (write_memory == nullptr) return STATUS_INVALID_PARAMETER;
  auto* memory = Resolve<Memory>(write_memory, Kind::kMemory, kOp);
  const EndpointInfo& endpoint = target->endpoint();
  if (target->is_in() ||
      (endpoint.type != WdfUsbPipeTypeBulk && endpoint.type != WdfUsbPipeTypeInterrupt))
    return STATUS_INVALID_DEVICE_REQUEST;
  size_t offset = 0;
  size_t length = memory->size();
  if (write_offset != nullptr) {
    if (write_offset->BufferOffset > memory->size() ||
        write_offset->BufferLength > memory->size() - write_offset->BufferOffset)
      return STATUS_INVALID_BUFFER_SIZE;
    offset = write_offset->BufferOffset;
    length = write_offset->BufferLength;
  }
  if (length > 0xFFFFFFFFu) return STATUS_INVALID_BUFFER_SIZE;
  std::lock_guard<std::mutex> guard(formatted->lock);
  if (formatted->in_flight) return STATUS_INVALID_DEVICE_STATE;
  formatted->formatted = true;
  formatted->pipe = target;
  formatted->memory = write_memory;
  formatted->offset = offset;
  formatted->length = length;
  return STATUS_SUCCESS;
}

BOOLEAN WdfRequestSend(PWDF_DRIVER_GLOBALS globals, WDFREQUEST request, WDFIOTARGET target,
                       PWDF_REQUEST_SEND_OPTIONS options) {
  constexpr const char* kOp = "WdfRequestSend";
  CheckGlobals(globals, kOp);
  auto* sent = Resolve<Request>(request, Kind::kRequest, kOp);
  Object* io_target = ResolveIoTarget(target, kOp);
  if (options == nullptr || (options->Flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) == 0)
    Trap("%s: only synchronous sends are served", kOp);

  auto refuse = [sent](NTSTATUS status) {
    std::lock_guard<std::mutex> guard(sent->lock);
    sent->status = status;
    return static_cast<BOOLEAN>(FALSE);
  };
  clock::Duration timeout{};
  if (NTSTATUS s = SendTimeout(options, clock::Duration::zero(), &timeout); !NT_SUCCESS(s))
    return refuse(s);

  Pipe* pipe = nullptr;
  const void* memory_handle = nullptr;
  size_t offset = 0;
  size_t length = 0;
  {
    std::lock_guard<std::mutex> guard(sent->lock);
    if (!sent->formatted || sent->in_flight) {
      sent->status = STATUS_INVALID_DEVICE_STATE;
      return FALSE;
    }
    if (sent->pipe != io_target) {
      sent->status = STATUS_INVALID_PARAMETER;
      return FALSE;
    }
    pipe = static_cast<Pipe*>(sent->pipe);
    memory_handle = sent->memory;
    offset = sent->offset;
    length = sent->length;
    const bool ignore_state = (options->Flags & WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE) != 0;
    if (!pipe->started() && !ignore_state) {
      sent->status = STATUS_INVALID_DEVICE_STATE;
      return FALSE;
    }
    sent->in_flight = true;
  }
  // The memory may have been deleted since the format: that is a fault of the caller.
  auto* memory = Resolve<Memory>(memory_handle, Kind::kMemory, kOp);

  usb::Transfer t;
  t.endpoint = pipe->endpoint().address;
  t.buffer = static_cast<uint8_t*>(memory->buffer()) + offset;
  t.length = static_cast<uint32_t>(length);
  const UsbResult r = pipe->target().Run(t, timeout);

  std::lock_guard<std::mutex> guard(sent->lock);
  sent->in_flight = false;
  sent->status = r.status;
  return TRUE;
}

NTSTATUS WdfRequestGetStatus(PWDF_DRIVER_GLOBALS globals, WDFREQUEST request) {
  constexpr const char* kOp = "WdfRequestGetStatus";
  CheckGlobals(globals, kOp);
  auto* found = Resolve<Request>(request, Kind::kRequest, kOp);
  std::lock_guard<std::mutex> guard(found->lock);
  return found->status;
}

}  // namespace vorn::umdf
