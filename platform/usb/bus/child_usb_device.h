// A station's child device as a USB device for a host above it (the user-mode WDF stand-in):
// every transfer becomes a URB sent to the child's device stack, and ends with the child's
// own NTSTATUS and USBD status carried in the transfer. Standard GET_DESCRIPTOR and
// SET_CONFIGURATION become the descriptor and configuration URBs, vendor and class setups the
// vendor/class request URBs, bulk and interrupt transfers a BULK_OR_INTERRUPT URB on the pipe
// the configuration named for the endpoint. Cancel cancels the URB's IRP; ResetEndpoint is a
// SYNC_RESET_PIPE_AND_CLEAR_STALL; Connected follows the port status.
#pragma once

#include <functional>
#include <map>
#include <mutex>

#include "platform/kernel/usb.h"
#include "platform/usb/usb_device.h"

namespace vorn::usb {

class ChildUsbDevice : public UsbDevice {
 public:
  explicit ChildUsbDevice(DEVICE_OBJECT* child);
  ~ChildUsbDevice() override;

  void Submit(Transfer& t) override;
  bool Cancel(Transfer& t) override;
  void ResetEndpoint(uint8_t endpoint) override;
  bool Connected() const override;

  // Called from the completion of each URB request (internal).
  void Finished(Transfer& t, URB* urb, IRP* irp);

  struct InFlight {
    IRP* irp = nullptr;
    URB* urb = nullptr;
    int cancelling = 0;  // Cancel calls between taking the IRP and IoCancelIrp returning
    bool done = false;   // completed while a cancel was in progress: that cancel finishes it
  };

 private:
  // Sends |urb| for |t|; completes |t| when the child answers.
  void Send(Transfer& t, URB* urb);
  void Complete(Transfer& t, NTSTATUS status, USBD_STATUS usbd, uint32_t actual);
  void Finalize(Transfer& t, URB* urb, IRP* irp);
  USBD_PIPE_HANDLE PipeOf(uint8_t endpoint);

  DEVICE_OBJECT* child_;
  mutable std::mutex lock_;
  std::map<Transfer*, InFlight> in_flight_;
  std::map<uint8_t, USBD_PIPE_HANDLE> pipes_;
};

// An upper driver the PnP manager binds to a station child by its hardware id. Once the
// child has started, |arrived| gets a USB device over it (a host above opens its plug-in on
// that device); on surprise removal or removal |leaving| is called first, and the device is
// deleted once it returns, so the host must have closed everything it runs on the device.
// Both are called on the PnP manager's thread.
class ChildUsbDriver {
 public:
  using Notify = std::function<void(ChildUsbDevice*)>;
  ChildUsbDriver(WStringView name, WStringView hardware_id, Notify arrived, Notify leaving);
  ~ChildUsbDriver();  // unregisters and unloads the driver (its devices must be gone)
  ChildUsbDriver(const ChildUsbDriver&) = delete;
  ChildUsbDriver& operator=(const ChildUsbDriver&) = delete;

  DRIVER_OBJECT* driver() const { return driver_; }

  // Internal: the notifications, from the driver's dispatch routines.
  void Arrived(ChildUsbDevice* device) { if (arrived_) arrived_(device); }
  void Leaving(ChildUsbDevice* device) { if (leaving_) leaving_(device); }

 private:
  DRIVER_OBJECT* driver_ = nullptr;
  Notify arrived_, leaving_;
};

}  // namespace vorn::usb
