// The version information of the USB stack the station runs on.
#pragma once

#include "platform/kernel/base.h"

namespace vorn::station {

struct UsbStackVersion {
  ULONG usbdi;          // USBDI version
  ULONG supported_usb;  // highest USB version supported, as a BCD number
};
UsbStackVersion QueryUsbStackVersion();

}  // namespace vorn::station
