// URBs: checked, turned into transfers on the device, completed at DISPATCH_LEVEL.
#include <algorithm>
#include <cstring>

#include "platform/kernel/violations.h"
#include "platform/usb/bus/usb_bus_internal.h"

namespace vorn::usb {
namespace {

void StatusOf(TransferStatus s, NTSTATUS* status, USBD_STATUS* usbd) {
  switch (s) {
    case TransferStatus::kSuccess: *status = STATUS_SUCCESS; *usbd = USBD_STATUS_SUCCESS; return;
    case TransferStatus::kStall: *status = STATUS_UNSUCCESSFUL; *usbd = USBD_STATUS_STALL_PID; return;
    case TransferStatus::kCancelled: *status = STATUS_CANCELLED; *usbd = USBD_STATUS_CANCELED; return;
    case TransferStatus::kDeviceGone: *status = STATUS_DEVICE_NOT_CONNECTED; *usbd = USBD_STATUS_DEVICE_GONE; return;
    default: *status = STATUS_UNSUCCESSFUL; *usbd = USBD_STATUS_XACT_ERROR; return;
  }
}

PVOID UrbBuffer(PVOID buffer, PMDL mdl) {
  if (buffer) return buffer;
  return mdl ? MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority) : nullptr;
}

NTSTATUS Fail(IRP* irp, URB* urb, NTSTATUS status, USBD_STATUS usbd) {
  urb->UrbHeader.Status = usbd;
  return CompleteNow(irp, status);
}

void CancelUrb(DEVICE_OBJECT* pdo, IRP* irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Port* port = Ext(pdo)->port;
  std::shared_ptr<Work> w;
  {
    std::lock_guard<std::mutex> guard(port->lock);
    auto it = port->pending.find(irp);
    if (it != port->pending.end()) w = it->second;
  }
  if (!w) return;
  w->cancel_requested = true;
  port->bus->Count(&BusCounters::cancelled);
  if (w->submitted) port->device->Cancel(w->transfer);
}

// SELECT_CONFIGURATION: fills the caller's interface records from the device's configuration.
NTSTATUS SelectConfiguration(Port* port, IRP* irp, URB* urb) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    kernel::ReportViolation("SELECT_CONFIGURATION at IRQL %d", KeGetCurrentIrql());
  auto& sc = urb->UrbSelectConfiguration;
  Transfer t;
  if (!sc.ConfigurationDescriptor) {
    t.setup = SetupPacket{kTypeStandard | kRecipientDevice, kRequestSetConfiguration, 0, 0, 0};
    RunSync(*port->device, t, std::chrono::seconds(5));
    std::lock_guard<std::mutex> guard(port->lock);
    port->pipes.clear();
    port->configuration_value = 0;
    return Fail(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
  }
  auto* config = reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(port->config.data());
  if (sc.ConfigurationDescriptor->bConfigurationValue != config->bConfigurationValue)
    return Fail(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  uint8_t* end = reinterpret_cast<uint8_t*>(urb) + urb->UrbHeader.Length;
  auto* info = &sc.Interface;
  std::vector<std::unique_ptr<Pipe>> pipes;
  for (int n = 0; n < config->bNumInterfaces; ++n) {
    if (reinterpret_cast<uint8_t*>(info) + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > end || info->Length < 24)
      return Fail(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    auto* desc = USBD_ParseConfigurationDescriptorEx(config, config, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
    if (!desc) return Fail(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    if (info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) + desc->bNumEndpoints * sizeof(USBD_PIPE_INFORMATION))
      return Fail(irp, urb, STATUS_BUFFER_TOO_SMALL, USBD_STATUS_BUFFER_TOO_SMALL);
    info->Class = desc->bInterfaceClass;
    info->SubClass = desc->bInterfaceSubClass;
    info->Protocol = desc->bInterfaceProtocol;
    info->InterfaceHandle = desc;
    info->NumberOfPipes = desc->bNumEndpoints;
    uint8_t* p = reinterpret_cast<uint8_t*>(desc) + desc->bLength;
    for (ULONG e = 0; e < desc->bNumEndpoints; ++e) {
      auto* ep = reinterpret_cast<USB_ENDPOINT_DESCRIPTOR*>(
          USBD_ParseDescriptors(config, config->wTotalLength, p, USB_ENDPOINT_DESCRIPTOR_TYPE));
      if (!ep) return Fail(irp, urb, STATUS_DEVICE_DATA_ERROR, USBD_STATUS_INVALID_PARAMETER);
      USBD_PIPE_INFORMATION& pi = info->Pipes[e];
      if (pi.MaximumTransferSize == 0) pi.MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      auto pipe = std::make_unique<Pipe>(Pipe{port, ep->bEndpointAddress, static_cast<uint8_t>(ep->bmAttributes & 3),
                                              ep->wMaxPacketSize, ep->bInterval, pi.MaximumTransferSize});
      pi.MaximumPacketSize = ep->wMaxPacketSize;
      pi.EndpointAddress = ep->bEndpointAddress;
      pi.Interval = ep->bInterval;
      pi.PipeType = static_cast<USBD_PIPE_TYPE>(ep->bmAttributes & 3);
      pi.PipeHandle = pipe.get();
      pipes.push_back(std::move(pipe));
      p = reinterpret_cast<uint8_t*>(ep) + ep->bLength;
    }
    info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(reinterpret_cast<uint8_t*>(info) + info->Length);
  }
  t.setup = SetupPacket{kTypeStandard | kRecipientDevice, kRequestSetConfiguration, config->bConfigurationValue, 0, 0};
  TransferStatus ts = RunSync(*port->device, t, std::chrono::seconds(5));
  NTSTATUS status;
  USBD_STATUS usbd;
  StatusOf(ts, &status, &usbd);
  if (!NT_SUCCESS(status)) return Fail(irp, urb, status, usbd);
  {
    std::lock_guard<std::mutex> guard(port->lock);
    port->pipes = std::move(pipes);
    port->configuration_value = config->bConfigurationValue;
  }
  sc.ConfigurationHandle = port->config.data();
  return Fail(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

Pipe* FindPipe(Port* port, USBD_PIPE_HANDLE handle) {
  std::lock_guard<std::mutex> guard(port->lock);
  for (auto& p : port->pipes)
    if (p.get() == handle) return p.get();
  return nullptr;
}

NTSTATUS StartAsync(Port* port, IRP* irp, URB* urb, Transfer t, bool cancellable) {
  auto w = std::make_shared<Work>();
  w->transfer = t;
  w->irp = irp;
  w->urb = urb;
  w->port = port;
  w->cancellable = cancellable;
  IoMarkIrpPending(irp);
  {
    std::lock_guard<std::mutex> guard(port->lock);
    port->pending[irp] = w;
  }
  IoSetCancelRoutine(irp, CancelUrb);
  if (Cancelled(irp) && IoSetCancelRoutine(irp, nullptr)) w->cancel_requested = true;  // cancelled before it started
  port->bus->Submit(w);
  return STATUS_PENDING;
}

}  // namespace

void UsbBus::Impl::Submit(const std::shared_ptr<Work>& w) {
  Count(&BusCounters::urbs);
  w->complete_inline = options.inline_completion;
  if (options.chaos) {
    if (Random(100) < options.chaos_inline_percent) {
      w->complete_inline = true;
      Count(&BusCounters::chaos_inline);
    }
    if (w->cancellable && w->transfer.length > 1 && Random(100) < options.chaos_short_percent) {
      w->transfer.length = 1 + static_cast<uint32_t>(Random(static_cast<int>(w->transfer.length - 1)));
      Count(&BusCounters::chaos_short);
    }
    bool cancel = w->cancellable && Random(100) < options.chaos_cancel_percent;
    int delay = Random(options.chaos_max_delay_us + 1);
    if (delay > 0 || cancel) {
      auto now = std::chrono::steady_clock::now();
      std::lock_guard<std::mutex> guard(chaos_lock);
      if (delay > 0) {
        chaos_queue.emplace(now + std::chrono::microseconds(delay), std::make_pair(w, false));
        Count(&BusCounters::chaos_delays);
      }
      if (cancel) {
        chaos_queue.emplace(now + std::chrono::microseconds(delay + Random(200)), std::make_pair(w, true));
        Count(&BusCounters::chaos_cancels);
      }
      chaos_cv.notify_all();
      if (delay > 0) return;
    }
  }
  StartTransfer(w);
}

void UsbBus::Impl::StartTransfer(const std::shared_ptr<Work>& w) {
  if (w->cancel_requested) {
    w->transfer.status = TransferStatus::kCancelled;
    w->transfer.actual = 0;
    TransferDone(w);
    return;
  }
  std::weak_ptr<Work> weak = w;
  w->transfer.complete = [this, weak](Transfer&) {
    if (auto sw = weak.lock()) TransferDone(sw);
  };
  w->submitted = true;
  Work* raw = w.get();
  std::shared_ptr<Work> keep = w;  // alive until the device has it
  w->port->device->Submit(raw->transfer);
  if (raw->cancel_requested) w->port->device->Cancel(raw->transfer);
}

void UsbBus::Impl::TransferDone(const std::shared_ptr<Work>& w) {
  Port* port = w->port;
  w->finished = true;
  {
    std::lock_guard<std::mutex> guard(port->lock);
    if (port->pending.erase(w->irp) == 0) {
      kernel::ReportViolation("USB device completed a transfer twice");
      return;
    }
    ++port->completing;
  }
  if (w->complete_inline) {
    FinishIrp(w);
    return;
  }
  std::lock_guard<std::mutex> guard(done_lock);
  done.push_back(w);
  done_cv.notify_one();
}

void UsbBus::Impl::FinishIrp(const std::shared_ptr<Work>& w) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  IRP* irp = w->irp;
  NTSTATUS status;
  USBD_STATUS usbd;
  StatusOf(w->transfer.status, &status, &usbd);
  if (w->transfer.status == TransferStatus::kPending) kernel::ReportViolation("transfer completed while pending");
  URB* urb = w->urb;
  urb->UrbHeader.Status = usbd;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      urb->UrbBulkOrInterruptTransfer.TransferBufferLength = w->transfer.actual;
      break;
    case URB_FUNCTION_CONTROL_TRANSFER:
      urb->UrbControlTransfer.TransferBufferLength = w->transfer.actual;
      break;
    default:  // descriptor, status, vendor and class requests share the length's place
      urb->UrbControlVendorClassRequest.TransferBufferLength = w->transfer.actual;
      break;
  }
  TakeBackFromCancel(irp);
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  Port* port = w->port;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  KeLowerIrql(old);
  std::lock_guard<std::mutex> guard(port->lock);
  --port->completing;
  port->idle_cv.notify_all();
}

void UsbBus::Impl::CompletionLoop() {
  std::unique_lock<std::mutex> lock(done_lock);
  for (;;) {
    done_cv.wait(lock, [&] { return stopping || !done.empty(); });
    if (done.empty()) return;
    auto w = std::move(done.front());
    done.pop_front();
    lock.unlock();
    FinishIrp(w);
    lock.lock();
  }
}

void UsbBus::Impl::ChaosLoop() {
  std::unique_lock<std::mutex> lock(chaos_lock);
  for (;;) {
    if (stopping && chaos_queue.empty()) return;
    if (chaos_queue.empty()) {
      chaos_cv.wait(lock);
      continue;
    }
    auto due = chaos_queue.begin()->first;
    if (std::chrono::steady_clock::now() < due) {
      chaos_cv.wait_until(lock, due);
      continue;
    }
    auto [w, cancel] = chaos_queue.begin()->second;
    chaos_queue.erase(chaos_queue.begin());
    chaos_acting_on = w->port;
    lock.unlock();
    if (cancel) {
      if (!w->finished) {
        w->cancel_requested = true;
        if (w->submitted) w->port->device->Cancel(w->transfer);
      }
    } else {
      StartTransfer(w);
    }
    lock.lock();
    chaos_acting_on = nullptr;
    chaos_cv.notify_all();
  }
}

void UsbBus::Impl::PurgeChaos(Port* port) {
  std::unique_lock<std::mutex> lock(chaos_lock);
  for (auto it = chaos_queue.begin(); it != chaos_queue.end();)
    it = it->second.first->port == port ? chaos_queue.erase(it) : std::next(it);
  chaos_cv.wait(lock, [&] { return chaos_acting_on != port; });
}

void UsbBus::Impl::CancelAll(Port* port, bool wait) {
  std::vector<std::shared_ptr<Work>> all;
  {
    std::lock_guard<std::mutex> guard(port->lock);
    for (auto& [irp, w] : port->pending) all.push_back(w);
  }
  for (auto& w : all) {
    w->cancel_requested = true;
    if (w->submitted) port->device->Cancel(w->transfer);
  }
  if (!wait) return;
  std::unique_lock<std::mutex> lock(port->lock);
  port->idle_cv.wait(lock, [&] { return port->pending.empty() && port->completing == 0; });
}

NTSTATUS BusInternalControl(DEVICE_OBJECT* device, IRP* irp) {
  DeviceExtension* ext = Ext(device);
  IO_STACK_LOCATION* st = IoGetCurrentIrpStackLocation(irp);
  if (ext->is_root) return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST);
  Port* port = ext->port;
  ULONG code = st->Parameters.DeviceIoControl.IoControlCode;
  if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
    auto* out = static_cast<ULONG*>(st->Parameters.Others.Argument1);
    if (!out) return CompleteNow(irp, STATUS_INVALID_PARAMETER);
    *out = port->reported && port->device->Connected() ? (USBD_PORT_ENABLED | USBD_PORT_CONNECTED) : 0;
    return CompleteNow(irp, STATUS_SUCCESS);
  }
  if (code == IOCTL_INTERNAL_USB_RESET_PORT) return CompleteNow(irp, STATUS_SUCCESS);
  if (code != IOCTL_INTERNAL_USB_SUBMIT_URB) return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST);
  auto* urb = static_cast<URB*>(st->Parameters.Others.Argument1);
  if (!urb) return CompleteNow(irp, STATUS_INVALID_PARAMETER);
  if (port->removed) return Fail(irp, urb, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
  if (!port->reported || !port->device->Connected())
    return Fail(irp, urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
  USHORT function = urb->UrbHeader.Function;
  Transfer t;
  switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return SelectConfiguration(port, irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: {
      Pipe* pipe = FindPipe(port, urb->UrbPipeRequest.PipeHandle);
      if (!pipe) return Fail(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      if (function == URB_FUNCTION_ABORT_PIPE) {
        std::vector<std::shared_ptr<Work>> on_pipe;
        {
          std::lock_guard<std::mutex> guard(port->lock);
          for (auto& [i, w] : port->pending)
            if (w->transfer.endpoint == pipe->endpoint) on_pipe.push_back(w);
        }
        for (auto& w : on_pipe) {
          w->cancel_requested = true;
          if (w->submitted) port->device->Cancel(w->transfer);
        }
      } else {
        port->device->ResetEndpoint(pipe->endpoint);
      }
      return Fail(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      auto& r = urb->UrbControlDescriptorRequest;
      t.buffer = static_cast<uint8_t*>(UrbBuffer(r.TransferBuffer, r.TransferBufferMDL));
      t.length = r.TransferBufferLength;
      t.setup = SetupPacket{kDirIn | kTypeStandard | kRecipientDevice, kRequestGetDescriptor,
                            static_cast<uint16_t>(r.DescriptorType << 8 | r.Index), r.LanguageId,
                            static_cast<uint16_t>(std::min<ULONG>(t.length, 0xFFFF))};
      break;
    }
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT: {
      auto& r = urb->UrbControlGetStatusRequest;
      t.buffer = static_cast<uint8_t*>(UrbBuffer(r.TransferBuffer, r.TransferBufferMDL));
      t.length = r.TransferBufferLength;
      t.setup = SetupPacket{static_cast<uint8_t>(kDirIn | (function - URB_FUNCTION_GET_STATUS_FROM_DEVICE)),
                            kRequestGetStatus, 0, r.Index, static_cast<uint16_t>(t.length)};
      break;
    }
    case URB_FUNCTION_CONTROL_TRANSFER: {
      auto& r = urb->UrbControlTransfer;
      t.buffer = static_cast<uint8_t*>(UrbBuffer(r.TransferBuffer, r.TransferBufferMDL));
      t.length = r.TransferBufferLength;
      std::memcpy(&t.setup, r.SetupPacket, 8);
      break;
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: {
      auto& r = urb->UrbControlVendorClassRequest;
      uint8_t type, recipient;
      switch (function) {
        case URB_FUNCTION_VENDOR_DEVICE: type = kTypeVendor; recipient = kRecipientDevice; break;
        case URB_FUNCTION_VENDOR_INTERFACE: type = kTypeVendor; recipient = kRecipientInterface; break;
        case URB_FUNCTION_VENDOR_ENDPOINT: type = kTypeVendor; recipient = kRecipientEndpoint; break;
        case URB_FUNCTION_VENDOR_OTHER: type = kTypeVendor; recipient = 3; break;
        case URB_FUNCTION_CLASS_DEVICE: type = kTypeClass; recipient = kRecipientDevice; break;
        case URB_FUNCTION_CLASS_INTERFACE: type = kTypeClass; recipient = kRecipientInterface; break;
        case URB_FUNCTION_CLASS_ENDPOINT: type = kTypeClass; recipient = kRecipientEndpoint; break;
        default: type = kTypeClass; recipient = 3; break;
      }
      t.buffer = static_cast<uint8_t*>(UrbBuffer(r.TransferBuffer, r.TransferBufferMDL));
      t.length = r.TransferBufferLength;
      if (t.length > 0xFFFF || (t.length && !t.buffer))
        return Fail(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      t.setup = SetupPacket{static_cast<uint8_t>(((r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? kDirIn : 0) | type |
                                                 recipient | (r.RequestTypeReservedBits & 0x1C)),
                            r.Request, r.Value, r.Index, static_cast<uint16_t>(t.length)};
      break;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      auto& r = urb->UrbBulkOrInterruptTransfer;
      Pipe* pipe = FindPipe(port, r.PipeHandle);
      if (!pipe || (pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt))
        return Fail(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      t.endpoint = pipe->endpoint;
      t.buffer = static_cast<uint8_t*>(UrbBuffer(r.TransferBuffer, r.TransferBufferMDL));
      t.length = r.TransferBufferLength;
      if ((t.length && !t.buffer) || t.length > pipe->max_transfer)
        return Fail(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      return StartAsync(port, irp, urb, t, true);
    }
    default:
      return Fail(irp, urb, STATUS_NOT_SUPPORTED, USBD_STATUS_NOT_SUPPORTED);
  }
  if (t.length && !t.buffer) return Fail(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  return StartAsync(port, irp, urb, t, false);
}

}  // namespace vorn::usb
