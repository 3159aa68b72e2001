// A whole station on the chip model with its display child started under a pass-through
// upper driver, and helpers that hand URBs to the child's device object as an upper driver
// does (internal device-control requests), synchronously or kept pending.
#pragma once

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/kernel/wdm.h"
#include "protocol/bus_message.h"
#include "station/bus/child_pdo_extension.h"
#include "station/bus/display_child_module.h"
#include "station/worker.h"
#include "tests/station/station_machine.h"

namespace vorn::station::testing {

inline constexpr char16_t kDisplayChildId[] = u"USB\\VID_1D5C&PID_2000";

struct PassExt {
  DEVICE_OBJECT* lower;
};

inline NTSTATUS PassPnp(DEVICE_OBJECT* device, IRP* irp) {
  auto* ext = static_cast<PassExt*>(device->DeviceExtension);
  DEVICE_OBJECT* lower = ext->lower;
  bool remove = IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE;
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(lower, irp);
  if (remove) {
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  return status;
}
inline NTSTATUS PassPower(DEVICE_OBJECT* device, IRP* irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(static_cast<PassExt*>(device->DeviceExtension)->lower, irp);
}
inline NTSTATUS PassAddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
  DEVICE_OBJECT* fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(PassExt), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  static_cast<PassExt*>(fdo->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags |= DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}
inline NTSTATUS PassEntry(DRIVER_OBJECT* driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = PassPnp;
  driver->MajorFunction[IRP_MJ_POWER] = PassPower;
  driver->DriverExtension->AddDevice = PassAddDevice;
  driver->DriverUnload = [](DRIVER_OBJECT*) {};
  return STATUS_SUCCESS;
}

// One URB request in flight: its IRP (valid until |done|), status block and event.
struct UrbRequest {
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  IRP* irp = nullptr;
  NTSTATUS returned = STATUS_PENDING;
  bool Done() const { return KeReadStateEvent(const_cast<KEVENT*>(&event)) != 0; }
};

class DisplayChildTest : public StationMachineTest {
 protected:
  void TearDown() override {
    bus_.reset();
    kernel::pnp::WaitIdle();
    kernel::WaitWorkIdle();
    if (upper_) {
      kernel::pnp::UnregisterDriver(upper_);
      kernel::UnloadDriver(upper_);
      upper_ = nullptr;
    }
    EXPECT_EQ(kernel::pool::Outstanding(kTagDisplayChild).blocks, 0);
    StationMachineTest::TearDown();
  }

  // Starts a station with the display function only and waits until its child is started.
  ChildPdoExtension* Start(bool usb3 = false) {
    ULONG support = 1;
    SetParameter(u"SupportPDOs", REG_DWORD, &support, 4);
    chip::ProfileOptions options;
    options.usb3 = usb3;
    chip_ = std::make_unique<chip::Chip>(chip::MakeProfile(options));
    chip_->UseStationBulkOut(true);
    chip_->functions().SetFunction(0, 0x1D5C, 0x2000, u"Display");
    Boot();
    upper_ = kernel::LoadDriver(u"displayupper", PassEntry);
    kernel::pnp::RegisterDriver(kDisplayChildId, upper_);
    bus_ = std::make_unique<usb::UsbBus>();
    DEVICE_OBJECT* pdo = bus_->Attach(*chip_);
    if (!pdo) return nullptr;
    kernel::pnp::WaitIdle();
    node_ = kernel::pnp::FindNode(pdo);
    if (!node_) return nullptr;
    bool started = WaitFor([&] {
      for (kernel::pnp::DevNode* c : kernel::pnp::Children(node_))
        if (kernel::pnp::Info(c).state == kernel::pnp::NodeState::kStarted) return true;
      return false;
    });
    if (!started) return nullptr;
    kernel::pnp::WaitIdle();
    child_node_ = kernel::pnp::Children(node_).front();
    child_pdo_ = kernel::pnp::Pdo(child_node_);
    return static_cast<ChildPdoExtension*>(child_pdo_->DeviceExtension);
  }

  // Sends an internal device-control request to the child's device object; the request is
  // left in flight when the child keeps it pending.
  void Send(UrbRequest& r, ULONG code, PVOID argument) {
    KeInitializeEvent(&r.event, NotificationEvent, FALSE);
    r.irp = IoBuildDeviceIoControlRequest(code, child_pdo_, nullptr, 0, nullptr, 0, TRUE, &r.event, &r.iosb);
    ASSERT_NE(r.irp, nullptr);
    IoGetNextIrpStackLocation(r.irp)->Parameters.Others.Argument1 = argument;
    r.returned = IoCallDriver(child_pdo_, r.irp);
  }
  // Waits (30 s real) for a request to complete; its final status.
  NTSTATUS Finish(UrbRequest& r) {
    EXPECT_TRUE(WaitFor([&] { return r.Done(); })) << "the request completes";
    return r.Done() ? r.iosb.Status : STATUS_PENDING;
  }
  NTSTATUS Submit(URB* urb, ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB) {
    UrbRequest r;
    Send(r, code, urb);
    return Finish(r);
  }

  // Selects the configuration and keeps the three pipe handles (0x81, 0x02, 0x83).
  void Configure() {
    std::vector<UCHAR> block(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 3));
    auto* urb = reinterpret_cast<URB*>(block.data());
    USB_CONFIGURATION_DESCRIPTOR config{9, 2, 39, 1, 1, 3, 0x80, 0x78};
    UsbBuildSelectConfigurationRequest(urb, static_cast<USHORT>(block.size()), &config);
    auto& info = urb->UrbSelectConfiguration.Interface;
    info.Length = static_cast<USHORT>(block.size() - offsetof(_URB_SELECT_CONFIGURATION, Interface));
    ASSERT_EQ(Submit(urb), STATUS_SUCCESS);
    ASSERT_EQ(info.NumberOfPipes, 3u);
    for (int i = 0; i < 3; ++i) pipes_[i] = info.Pipes[i].PipeHandle;
  }

  // A bulk or interrupt transfer on |pipe| over |data|; |in| for the IN direction.
  static URB BulkUrb(PVOID pipe, void* data, ULONG length, bool in) {
    URB urb{};
    UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), pipe, data,
                                           nullptr, length, in ? USBD_TRANSFER_DIRECTION_IN : 0, nullptr);
    return urb;
  }

  std::unique_ptr<chip::Chip> chip_;
  DRIVER_OBJECT* upper_ = nullptr;
  kernel::pnp::DevNode* node_ = nullptr;
  kernel::pnp::DevNode* child_node_ = nullptr;
  DEVICE_OBJECT* child_pdo_ = nullptr;
  PVOID pipes_[3] = {};
};

// A message header of |type| for |total| payload bytes, as bytes at the start of |out|.
inline std::vector<UCHAR> MessageBytes(uint32_t type, uint32_t total, uint32_t slice_offset,
                                       ULONG payload_bytes, UCHAR fill = 0x5A) {
  protocol::BusMessageHeader h;
  h.Type = type;
  h.TotalLength = total;
  h.Address = 0x1000;
  if (type == 0) {
    h.Slice.SliceLength = total;
    h.Slice.SliceOffset = slice_offset;
  }
  std::vector<UCHAR> out(protocol::kBusMessageHeaderSize + payload_bytes, fill);
  std::memcpy(out.data(), &h, protocol::kBusMessageHeaderSize);
  return out;
}

}  // namespace vorn::station::testing
