// The USB device as the bus sees it. The chip model implements it, and so does the station's
// display child when it presents itself upward; the user-mode WDF stand-in and the kernel's
// bus driver drive it.
//
// A device is reached only through transfers, as on a real bus: descriptors are read with
// standard GET_DESCRIPTOR control requests on endpoint 0. Every submitted transfer completes
// exactly once through its |complete| callback: inline from Submit, later from another
// thread, or with kCancelled after Cancel. A device may complete late (a time-out on the
// host side then cancels), short (|actual| < |length|), stalled, with an error, or find
// itself gone.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/nt/clock.h"

namespace vorn::usb {

// Standard request codes and descriptor types the stand-ins use.
constexpr uint8_t kRequestGetStatus = 0x00;
constexpr uint8_t kRequestClearFeature = 0x01;
constexpr uint8_t kRequestSetFeature = 0x03;
constexpr uint8_t kRequestSetAddress = 0x05;
constexpr uint8_t kRequestGetDescriptor = 0x06;
constexpr uint8_t kRequestGetConfiguration = 0x08;
constexpr uint8_t kRequestSetConfiguration = 0x09;
constexpr uint8_t kRequestGetInterface = 0x0A;
constexpr uint8_t kRequestSetInterface = 0x0B;

constexpr uint8_t kDescriptorDevice = 0x01;
constexpr uint8_t kDescriptorConfiguration = 0x02;
constexpr uint8_t kDescriptorString = 0x03;
constexpr uint8_t kDescriptorInterface = 0x04;
constexpr uint8_t kDescriptorEndpoint = 0x05;
constexpr uint8_t kDescriptorBos = 0x0F;
constexpr uint8_t kDescriptorSsEndpointCompanion = 0x30;

// bmRequestType bits.
constexpr uint8_t kDirIn = 0x80;
constexpr uint8_t kTypeStandard = 0x00;
constexpr uint8_t kTypeClass = 0x20;
constexpr uint8_t kTypeVendor = 0x40;
constexpr uint8_t kRecipientDevice = 0x00;
constexpr uint8_t kRecipientInterface = 0x01;
constexpr uint8_t kRecipientEndpoint = 0x02;

constexpr uint8_t kEndpointDirIn = 0x80;
constexpr uint16_t kFeatureEndpointHalt = 0;

struct SetupPacket {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;
};
static_assert(sizeof(SetupPacket) == 8);

enum class TransferStatus {
  kPending,     // not yet completed
  kSuccess,     // |actual| bytes moved; may be fewer than asked (a short transfer)
  kStall,       // the endpoint answered STALL
  kError,       // a transport error (CRC, babble, time-out on the wire)
  kCancelled,   // cancelled by the host before the device completed it
  kDeviceGone,  // the device is no longer on the bus
};

const char* TransferStatusName(TransferStatus s);

struct Transfer {
  // 0 for the default control pipe; otherwise the endpoint address (bit 7 set for IN).
  uint8_t endpoint = 0;
  SetupPacket setup{};  // control transfers only; the data stage is |buffer|/|length|
  uint8_t* buffer = nullptr;
  uint32_t length = 0;
  uint32_t actual = 0;
  TransferStatus status = TransferStatus::kPending;
  // A device that has the system's own statuses for the transfer (a station's child device,
  // whose requests end with an NTSTATUS and a USBD status) sets them here; the host then
  // reports these instead of the ones it would derive from |status|.
  bool has_system_status = false;
  int32_t system_status = 0;  // NTSTATUS
  int32_t usbd_status = 0;    // USBD status
  // Called exactly once, by the device, on any thread, possibly inside Submit.
  std::function<void(Transfer&)> complete;
  void* context = nullptr;
};

class UsbDevice {
 public:
  virtual ~UsbDevice() = default;

  // Starts |t|. The device owns it until it calls t.complete.
  virtual void Submit(Transfer& t) = 0;
  // Asks the device to end |t| early with kCancelled. It completes |t| (now or soon) unless
  // it is already completing; either way t.complete runs exactly once. Returns false when
  // the device does not hold |t|.
  virtual bool Cancel(Transfer& t) = 0;
  // Clears a halt on an endpoint (the host's pipe reset).
  virtual void ResetEndpoint(uint8_t endpoint) = 0;
  // False once the device has left the bus; every transfer then ends kDeviceGone.
  virtual bool Connected() const = 0;
};

// Runs one transfer and waits for it up to |timeout| of clock time (zero or negative waits
// without limit). On time-out the transfer is cancelled and the wait goes on until it has
// completed, so |t| is never left with the device; the result is then kCancelled and
// |timed_out| is set. Returns the final status.
TransferStatus RunSync(UsbDevice& device, Transfer& t, clock::Duration timeout,
                       bool* timed_out = nullptr);

}  // namespace vorn::usb
