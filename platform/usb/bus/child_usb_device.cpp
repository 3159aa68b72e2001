#include "platform/usb/bus/child_usb_device.h"

#include <cstring>
#include <vector>

#include "platform/kernel/pnp.h"
#include "platform/kernel/power.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/sync.h"
#include "platform/usb/bus/upper_driver.h"

namespace vorn::usb {
namespace {

constexpr ULONG kTagChildUrb = PoolTag("cUrb");

struct Pending {
  ChildUsbDevice* device;
  Transfer* transfer;
  URB* urb;
};

NTSTATUS UrbDone(DEVICE_OBJECT*, IRP* irp, PVOID context) {
  auto* p = static_cast<Pending*>(context);
  Pending copy = *p;
  delete p;
  copy.device->Finished(*copy.transfer, copy.urb, irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends an internal device-control request synchronously to |device| (setup-time requests).
NTSTATUS SendSync(DEVICE_OBJECT* device, ULONG code, PVOID argument) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  IRP* irp = IoBuildDeviceIoControlRequest(code, device, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
  if (IoCallDriver(device, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return iosb.Status;
}

TransferStatus FromNt(NTSTATUS status, USBD_STATUS usbd) {
  if (NT_SUCCESS(status) && (static_cast<ULONG>(usbd) >> 30) != 3) return TransferStatus::kSuccess;
  if (status == STATUS_CANCELLED) return TransferStatus::kCancelled;
  if (status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_NO_SUCH_DEVICE)
    return TransferStatus::kDeviceGone;
  if (usbd == USBD_STATUS_STALL_PID) return TransferStatus::kStall;
  return TransferStatus::kError;
}

}  // namespace

ChildUsbDevice::ChildUsbDevice(DEVICE_OBJECT* child) : child_(child) {}

ChildUsbDevice::~ChildUsbDevice() = default;

USBD_PIPE_HANDLE ChildUsbDevice::PipeOf(uint8_t endpoint) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = pipes_.find(endpoint);
  return it == pipes_.end() ? nullptr : it->second;
}

void ChildUsbDevice::Complete(Transfer& t, NTSTATUS status, USBD_STATUS usbd, uint32_t actual) {
  t.actual = actual;
  t.has_system_status = true;
  t.system_status = status;
  t.usbd_status = usbd;
  t.status = FromNt(status, usbd);
  t.complete(t);
}

void ChildUsbDevice::Submit(Transfer& t) {
  auto* urb = static_cast<URB*>(ExAllocatePoolWithTag(NonPagedPoolNx | POOL_ZERO_ALLOCATION, sizeof(URB), kTagChildUrb));
  if (!urb) return Complete(t, STATUS_INSUFFICIENT_RESOURCES, USBD_STATUS_INSUFFICIENT_RESOURCES, 0);
  const SetupPacket& s = t.setup;
  if (t.endpoint == 0) {
    const uint8_t type = s.bmRequestType & 0x60;
    if (type == kTypeStandard && s.bRequest == kRequestGetDescriptor) {
      UsbBuildGetDescriptorRequest(urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), static_cast<UCHAR>(s.wValue >> 8),
                                   static_cast<UCHAR>(s.wValue), s.wIndex, t.buffer, nullptr,
                                   std::min<uint32_t>(t.length, s.wLength), nullptr);
    } else if (type == kTypeStandard && s.bRequest == kRequestSetConfiguration) {
      ExFreePoolWithTag(urb, kTagChildUrb);
      // The configuration descriptor names the interfaces; the child fills their pipes.
      std::vector<UCHAR> config(512);
      URB get{};
      UsbBuildGetDescriptorRequest(&get, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), kDescriptorConfiguration, 0, 0,
                                   config.data(), nullptr, static_cast<ULONG>(config.size()), nullptr);
      NTSTATUS status = SendSync(child_, IOCTL_INTERNAL_USB_SUBMIT_URB, &get);
      if (!NT_SUCCESS(status)) return Complete(t, status, get.UrbHeader.Status, 0);
      auto* cd = reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(config.data());
      std::vector<USBD_INTERFACE_LIST_ENTRY> list;
      for (auto* i = USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, -1, -1, -1); i;
           i = USBD_ParseConfigurationDescriptorEx(cd, reinterpret_cast<UCHAR*>(i) + i->bLength, -1, -1, -1, -1, -1))
        list.push_back({i, nullptr});
      list.push_back({nullptr, nullptr});
      URB* select = USBD_CreateConfigurationRequestEx(cd, list.data());
      if (!select) return Complete(t, STATUS_INSUFFICIENT_RESOURCES, USBD_STATUS_INSUFFICIENT_RESOURCES, 0);
      status = SendSync(child_, IOCTL_INTERNAL_USB_SUBMIT_URB, select);
      USBD_STATUS usbd = select->UrbHeader.Status;
      if (NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto& e : list)
          for (ULONG p = 0; e.Interface && p < e.Interface->NumberOfPipes; ++p)
            pipes_[e.Interface->Pipes[p].EndpointAddress] = e.Interface->Pipes[p].PipeHandle;
      }
      ExFreePool(select);
      return Complete(t, status, usbd, 0);
    } else if (type == kTypeVendor || type == kTypeClass) {
      static constexpr USHORT kVendor[4] = {URB_FUNCTION_VENDOR_DEVICE, URB_FUNCTION_VENDOR_INTERFACE,
                                            URB_FUNCTION_VENDOR_ENDPOINT, URB_FUNCTION_VENDOR_OTHER};
      static constexpr USHORT kClass[4] = {URB_FUNCTION_CLASS_DEVICE, URB_FUNCTION_CLASS_INTERFACE,
                                           URB_FUNCTION_CLASS_ENDPOINT, URB_FUNCTION_CLASS_OTHER};
      const USHORT function = (type == kTypeVendor ? kVendor : kClass)[s.bmRequestType & 3];
      UsbBuildVendorRequest(urb, function, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                            (s.bmRequestType & kDirIn) ? USBD_TRANSFER_DIRECTION_IN : 0, 0, s.bRequest,
                            s.wValue, s.wIndex, t.length ? t.buffer : nullptr, nullptr,
                            std::min<uint32_t>(t.length, s.wLength), nullptr);
    } else {
      urb->UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
      urb->UrbHeader.Length = sizeof(_URB_CONTROL_TRANSFER);
      urb->UrbControlTransfer.TransferFlags = (s.bmRequestType & kDirIn) ? USBD_TRANSFER_DIRECTION_IN : 0;
      urb->UrbControlTransfer.TransferBuffer = t.buffer;
      urb->UrbControlTransfer.TransferBufferLength = t.length;
      std::memcpy(urb->UrbControlTransfer.SetupPacket, &s, sizeof s);
    }
  } else {
    USBD_PIPE_HANDLE pipe = PipeOf(t.endpoint);
    if (!pipe) {
      ExFreePoolWithTag(urb, kTagChildUrb);
      return Complete(t, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0);
    }
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), pipe, t.buffer, nullptr,
                                           t.length,
                                           (t.endpoint & kEndpointDirIn) ? USBD_TRANSFER_DIRECTION_IN : 0, nullptr);
  }
  Send(t, urb);
}

void ChildUsbDevice::Send(Transfer& t, URB* urb) {
  IRP* irp = IoAllocateIrp(child_->StackSize, FALSE);
  if (!irp) {
    ExFreePoolWithTag(urb, kTagChildUrb);
    return Complete(t, STATUS_INSUFFICIENT_RESOURCES, USBD_STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, UrbDone, new Pending{this, &t, urb}, TRUE, TRUE, TRUE);
  {
    std::lock_guard<std::mutex> guard(lock_);
    in_flight_[&t] = InFlight{irp, urb, 0, false};
  }
  IoCallDriver(child_, irp);
}

void ChildUsbDevice::Finished(Transfer& t, URB* urb, IRP* irp) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = in_flight_.find(&t);
    if (it != in_flight_.end() && it->second.cancelling > 0) {
      it->second.done = true;  // the cancel still holds the IRP pointer
      return;
    }
    if (it != in_flight_.end()) in_flight_.erase(it);
  }
  Finalize(t, urb, irp);
}

void ChildUsbDevice::Finalize(Transfer& t, URB* urb, IRP* irp) {
  NTSTATUS status = irp->IoStatus.Status;
  USBD_STATUS usbd = urb->UrbHeader.Status;
  uint32_t actual = 0;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      actual = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
      break;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      actual = urb->UrbControlDescriptorRequest.TransferBufferLength;
      break;
    case URB_FUNCTION_CONTROL_TRANSFER:
      actual = urb->UrbControlTransfer.TransferBufferLength;
      break;
    default:
      actual = urb->UrbControlVendorClassRequest.TransferBufferLength;
      break;
  }
  if (!NT_SUCCESS(status)) actual = 0;
  IoFreeIrp(irp);
  ExFreePoolWithTag(urb, kTagChildUrb);
  Complete(t, status, usbd, actual);
}

bool ChildUsbDevice::Cancel(Transfer& t) {
  IRP* irp = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = in_flight_.find(&t);
    if (it == in_flight_.end() || it->second.done) return false;
    ++it->second.cancelling;
    irp = it->second.irp;
  }
  // The IRP stays valid meanwhile: a completion that comes now leaves it to this cancel.
  IoCancelIrp(irp);
  InFlight finished;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = in_flight_.find(&t);
    if (--it->second.cancelling > 0 || !it->second.done) return true;
    finished = it->second;
    in_flight_.erase(it);
  }
  Finalize(t, finished.urb, finished.irp);
  return true;
}

void ChildUsbDevice::ResetEndpoint(uint8_t endpoint) {
  USBD_PIPE_HANDLE pipe = PipeOf(endpoint);
  if (!pipe) return;
  URB urb{};
  urb.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
  urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
  urb.UrbPipeRequest.PipeHandle = pipe;
  SendSync(child_, IOCTL_INTERNAL_USB_SUBMIT_URB, &urb);
}

bool ChildUsbDevice::Connected() const {
  ULONG port = 0;
  return NT_SUCCESS(SendSync(child_, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port)) &&
         (port & USBD_PORT_CONNECTED) != 0;
}

}  // namespace vorn::usb

// The upper driver over a station child.
namespace vorn::usb {
namespace {

struct UpperExtension {
  ChildUsbDriver* owner;
  DEVICE_OBJECT* lower;
  ChildUsbDevice* device;
};

std::mutex g_drivers_lock;
std::map<DRIVER_OBJECT*, ChildUsbDriver*>& Drivers() {
  static std::map<DRIVER_OBJECT*, ChildUsbDriver*> drivers;
  return drivers;
}

NTSTATUS UpperPnp(DEVICE_OBJECT* fdo, IRP* irp) {
  auto* ext = static_cast<UpperExtension*>(fdo->DeviceExtension);
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (minor != IRP_MN_START_DEVICE) return upper::ForwardPnp<UpperExtension>(fdo, irp, minor);
  // The child starts first; the device over it is handed up only once it runs.
  const NTSTATUS status = upper::StartLower(ext->lower, irp);
  if (NT_SUCCESS(status) && !ext->device) {
    ext->device = new ChildUsbDevice(ext->lower);
    ext->owner->Arrived(ext->device);
  }
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS UpperAddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
  ChildUsbDriver* owner = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_drivers_lock);
    auto it = Drivers().find(driver);
    if (it != Drivers().end()) owner = it->second;
  }
  return upper::AddUpperDevice<UpperExtension>(driver, pdo, owner);
}

NTSTATUS UpperEntry(DRIVER_OBJECT* driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = UpperPnp;
  driver->MajorFunction[IRP_MJ_POWER] = upper::PassPower<UpperExtension>;
  driver->DriverExtension->AddDevice = UpperAddDevice;
  driver->DriverUnload = [](DRIVER_OBJECT*) {};
  return STATUS_SUCCESS;
}

}  // namespace

ChildUsbDriver::ChildUsbDriver(WStringView name, WStringView hardware_id, Notify arrived, Notify leaving)
    : arrived_(std::move(arrived)), leaving_(std::move(leaving)) {
  driver_ = kernel::LoadDriver(name, UpperEntry);
  if (!driver_) return;
  {
    std::lock_guard<std::mutex> guard(g_drivers_lock);
    Drivers()[driver_] = this;
  }
  kernel::pnp::RegisterDriver(hardware_id, driver_);
}

ChildUsbDriver::~ChildUsbDriver() {
  if (!driver_) return;
  kernel::pnp::UnregisterDriver(driver_);
  kernel::UnloadDriver(driver_);
  std::lock_guard<std::mutex> guard(g_drivers_lock);
  Drivers().erase(driver_);
}

}  // namespace vorn::usb
