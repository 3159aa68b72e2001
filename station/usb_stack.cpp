#include "station/usb_stack.h"

#include "platform/kernel/usb.h"

namespace vorn::station {

UsbStackVersion QueryUsbStackVersion() {
  USBD_VERSION_INFORMATION info{};
  USBD_GetUSBDIVersion(&info);
  return {info.USBDI_Version, info.Supported_USB_Version};
}

}  // namespace vorn::station
