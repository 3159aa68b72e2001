// Calls into a host's table the way the plug-in makes them, and a fixture with a USB target
// bound to a test device and its configuration selected.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "platform/umdf/host.h"
#include "platform/umdf/wdf.h"
#include "tests/platform/umdf/test_usb_device.h"

namespace vorn::umdf::testing {

// Death tests fork without exec: the 32-bit tests run under an emulator that cannot exec
// the test program again, and the traps under test need no other thread.
inline void UseForkingDeathTests() { GTEST_FLAG_SET(death_test_style, "fast"); }

// Calls slot |Index| of |functions| with |globals| first.
struct Wdf {
  const WDFFUNC* functions;
  WDF_DRIVER_GLOBALS* globals;

  explicit Wdf(const Host& host)
      : functions(host.WdfFunctions()), globals(host.WdfDriverGlobals()) {}

  template <WDFFUNCENUM Index, class... Args>
  auto Call(Args... args) const {
    return WdfSlot<Index>(functions)(globals, args...);
  }
};

class BoundTarget : public ::testing::Test {
 protected:
  // Creates the target and selects the configuration; the device script may be changed first
  // by overriding Script().
  void SetUp() override {
    Script(device);
    host = std::make_unique<Host>(&device);
    wdf = std::make_unique<Wdf>(*host);
    WDF_USB_DEVICE_CREATE_CONFIG config;
    WDF_USB_DEVICE_CREATE_CONFIG_INIT(&config, USBD_CLIENT_CONTRACT_VERSION_602);
    ASSERT_EQ(wdf->Call<WdfUsbTargetDeviceCreateWithParametersTableIndex>(
                  reinterpret_cast<WDFDEVICE>(host->WdfDevice()), &config,
                  static_cast<PWDF_OBJECT_ATTRIBUTES>(nullptr), &target),
              STATUS_SUCCESS);
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
    ASSERT_EQ(wdf->Call<WdfUsbTargetDeviceSelectConfigTableIndex>(
                  target, static_cast<PWDF_OBJECT_ATTRIBUTES>(nullptr), &params),
              STATUS_SUCCESS);
    usb_interface = params.Types.SingleInterface.ConfiguredUsbInterface;
    for (UCHAR i = 0; i < params.Types.SingleInterface.NumberConfiguredPipes; ++i) {
      WDF_USB_PIPE_INFORMATION info;
      WDF_USB_PIPE_INFORMATION_INIT(&info);
      WDFUSBPIPE pipe =
          wdf->Call<WdfUsbInterfaceGetConfiguredPipeTableIndex>(usb_interface, i, &info);
      if (info.EndpointAddress == 0x02) bulk_out = pipe;
      if (info.EndpointAddress == 0x83) interrupt_in = pipe;
      if (info.EndpointAddress == 0x81) bulk_in = pipe;
    }
  }

  void TearDown() override {
    wdf.reset();
    host.reset();
  }

  virtual void Script(TestUsbDevice&) {}

  TestUsbDevice device;
  std::unique_ptr<Host> host;
  std::unique_ptr<Wdf> wdf;
  WDFUSBDEVICE target = nullptr;
  WDFUSBINTERFACE usb_interface = nullptr;
  WDFUSBPIPE bulk_out = nullptr;
  WDFUSBPIPE interrupt_in = nullptr;
  WDFUSBPIPE bulk_in = nullptr;
};

}  // namespace vorn::umdf::testing
