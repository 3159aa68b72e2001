// USB target creation, device information, strings and configuration selection.
#include <gtest/gtest.h>

#include "tests/platform/umdf/wdf_fixture.h"

namespace vorn::umdf::testing {
namespace {

NTSTATUS CreateTarget(const Host& host, WDFUSBDEVICE* target) {
  WDF_USB_DEVICE_CREATE_CONFIG config;
  WDF_USB_DEVICE_CREATE_CONFIG_INIT(&config, USBD_CLIENT_CONTRACT_VERSION_602);
  return Wdf(host).Call<WdfUsbTargetDeviceCreateWithParametersTableIndex>(
      host.WdfDevice(), &config, static_cast<PWDF_OBJECT_ATTRIBUTES>(nullptr), target);
}

NTSTATUS SelectSingle(const Host& host, WDFUSBDEVICE target,
                      WDF_USB_DEVICE_SELECT_CONFIG_PARAMS* params) {
  WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(params);
  return Wdf(host).Call<WdfUsbTargetDeviceSelectConfigTableIndex>(
      target, static_cast<PWDF_OBJECT_ATTRIBUTES>(nullptr), params);
}

TEST(UsbTarget, ReadsDescriptorsAndReportsTraits) {
  TestUsbDevice device;
  device.device_descriptor = DeviceDescriptor(0x0300, 2);
  Host host(&device);
  Wdf wdf(host);
  WDFUSBDEVICE target = nullptr;
  ASSERT_EQ(CreateTarget(host, &target), STATUS_SUCCESS);
  EXPECT_EQ(host.UsbClientContractVersion(), 0x602u);

  USB_DEVICE_DESCRIPTOR descriptor{};
  wdf.Call<WdfUsbTargetDeviceGetDeviceDescriptorTableIndex>(target, &descriptor);
  EXPECT_EQ(descriptor.bcdUSB, 0x0300);
  EXPECT_EQ(descriptor.iProduct, 2);
  EXPECT_EQ(descriptor.idVendor, 0x1234);

  WDF_USB_DEVICE_INFORMATION info;
  WDF_USB_DEVICE_INFORMATION_INIT(&info);
  ASSERT_EQ(wdf.Call<WdfUsbTargetDeviceRetrieveInformationTableIndex>(target, &info),
            STATUS_SUCCESS);
  // Configuration attributes 0xC0: self powered, no remote wake-up.
  EXPECT_EQ(info.Traits, WDF_USB_DEVICE_TRAIT_SELF_POWERED | WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED);
  EXPECT_EQ(info.UsbdVersionInformation.Supported_USB_Version, 0x0300u);

  info.Size = 4;
  EXPECT_EQ(wdf.Call<WdfUsbTargetDeviceRetrieveInformationTableIndex>(target, &info),
            STATUS_INFO_LENGTH_MISMATCH);
}

TEST(UsbTarget, CreationFailuresComeBackAsStatus) {
  struct Case {
    const char* name;
    void (*script)(TestUsbDevice&);
    NTSTATUS expected;
  };
  const Case cases[] = {
      {"device gone", [](TestUsbDevice& d) { d.SetConnected(false); }, STATUS_DEVICE_NOT_CONNECTED},
      {"short device descriptor", [](TestUsbDevice& d) { d.device_descriptor.resize(8); },
       STATUS_DEVICE_DATA_ERROR},
      {"wrong descriptor type", [](TestUsbDevice& d) { d.device_descriptor[1] = 2; },
       STATUS_DEVICE_DATA_ERROR},
      {"configuration shorter than its total",
       [](TestUsbDevice& d) { d.configuration.resize(d.configuration.size() - 3); },
       STATUS_DEVICE_DATA_ERROR},
      {"no configuration", [](TestUsbDevice& d) { d.configuration.clear(); },
       STATUS_DEVICE_DATA_ERROR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestUsbDevice device;
    c.script(device);
    Host host(&device);
    WDFUSBDEVICE target = reinterpret_cast<WDFUSBDEVICE>(1);
    EXPECT_EQ(CreateTarget(host, &target), c.expected);
    EXPECT_EQ(target, nullptr);
    EXPECT_EQ(host.LiveObjectCount(), 0u);
  }
  Host without_device(nullptr);
  WDFUSBDEVICE target = nullptr;
  EXPECT_EQ(CreateTarget(without_device, &target), STATUS_NO_SUCH_DEVICE);
}

TEST(UsbTarget, SelectsTheSingleInterfaceAndListsItsPipes) {
  TestUsbDevice device;
  device.configuration =
      ConfigurationDescriptor({{0x02, 2, 512}, {0x83, 3, 64}, {0x81, 2, 512}, {0x04, 2, 512}});
  Host host(&device);
  Wdf wdf(host);
  WDFUSBDEVICE target = nullptr;
  ASSERT_EQ(CreateTarget(host, &target), STATUS_SUCCESS);
  EXPECT_EQ(wdf.Call<WdfUsbTargetDeviceGetInterfaceTableIndex>(target, UCHAR{0}), nullptr);

  WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
  ASSERT_EQ(SelectSingle(host, target, &params), STATUS_SUCCESS);
  ASSERT_EQ(params.Types.SingleInterface.NumberConfiguredPipes, 4);
  WDFUSBINTERFACE usb_interface =
      wdf.Call<WdfUsbTargetDeviceGetInterfaceTableIndex>(target, UCHAR{0});
  EXPECT_EQ(usb_interface, params.Types.SingleInterface.ConfiguredUsbInterface);
  EXPECT_EQ(wdf.Call<WdfUsbTargetDeviceGetInterfaceTableIndex>(target, UCHAR{1}), nullptr);
  EXPECT_EQ(wdf.Call<WdfUsbInterfaceGetNumConfiguredPipesTableIndex>(usb_interface), 4);

  // SET_CONFIGURATION went out with the configuration's value.
  const auto log = device.ControlLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().bRequest, usb::kRequestSetConfiguration);
  EXPECT_EQ(log.back().wValue, 1);

  struct Expected {
    UCHAR address;
    WDF_USB_PIPE_TYPE type;
    ULONG max_packet;
    bool in;
  };
  const Expected expected[] = {{0x02, WdfUsbPipeTypeBulk, 512, false},
                               {0x83, WdfUsbPipeTypeInterrupt, 64, true},
                               {0x81, WdfUsbPipeTypeBulk, 512, true},
                               {0x04, WdfUsbPipeTypeBulk, 512, false}};
  for (UCHAR i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    WDF_USB_PIPE_INFORMATION info;
    WDF_USB_PIPE_INFORMATION_INIT(&info);
    WDFUSBPIPE pipe = wdf.Call<WdfUsbInterfaceGetConfiguredPipeTableIndex>(usb_interface, i, &info);
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(info.EndpointAddress, expected[i].address);
    EXPECT_EQ(info.PipeType, expected[i].type);
    EXPECT_EQ(info.MaximumPacketSize, expected[i].max_packet);
    EXPECT_EQ(wdf.Call<WdfUsbTargetPipeIsInEndpointTableIndex>(pipe),
              expected[i].in ? TRUE : FALSE);
    EXPECT_EQ(wdf.Call<WdfUsbTargetPipeIsOutEndpointTableIndex>(pipe),
              expected[i].in ? FALSE : TRUE);
  }
  EXPECT_EQ(wdf.Call<WdfUsbInterfaceGetConfiguredPipeTableIndex>(
                usb_interface, UCHAR{4}, static_cast<PWDF_USB_PIPE_INFORMATION>(nullptr)),
            nullptr);
  // Selecting twice is refused; the first selection stands.
  EXPECT_EQ(SelectSingle(host, target, &params), STATUS_INVALID_DEVICE_STATE);
}

TEST(UsbTarget, SingleInterfaceSelectionRefusesOtherConfigurations) {
  struct Case {
    const char* name;
    std::vector<uint8_t> configuration;
    NTSTATUS expected;
  };
  std::vector<uint8_t> zero_length = ConfigurationDescriptor(DisplayEndpoints());
  zero_length[9] = 0;  // the interface descriptor's bLength
  std::vector<uint8_t> overrun = ConfigurationDescriptor(DisplayEndpoints());
  overrun[overrun.size() - 7] = 40;  // the last endpoint claims more than there is
  const Case cases[] = {
      {"two interfaces", ConfigurationDescriptor(DisplayEndpoints(), 2),
       STATUS_INVALID_DEVICE_REQUEST},
      {"no interface", ConfigurationDescriptor({}, 0), STATUS_INVALID_DEVICE_REQUEST},
      {"descriptor of length zero", zero_length, STATUS_DEVICE_DATA_ERROR},
      {"descriptor running past the end", overrun, STATUS_DEVICE_DATA_ERROR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestUsbDevice device;
    device.configuration = c.configuration;
    Host host(&device);
    WDFUSBDEVICE target = nullptr;
    ASSERT_EQ(CreateTarget(host, &target), STATUS_SUCCESS);
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    EXPECT_EQ(SelectSingle(host, target, &params), c.expected);
    EXPECT_EQ(Wdf(host).Call<WdfUsbTargetDeviceGetInterfaceTableIndex>(target, UCHAR{0}), nullptr);
    for (const auto& setup : device.ControlLog())
      EXPECT_NE(setup.bRequest, usb::kRequestSetConfiguration);
  }
}

class QueryString : public BoundTarget {
 protected:
  NTSTATUS Query(WCHAR* buffer, USHORT* count, UCHAR index = 2) {
    return wdf->Call<WdfUsbTargetDeviceQueryStringTableIndex>(
        target, static_cast<WDFREQUEST>(nullptr), static_cast<PWDF_REQUEST_SEND_OPTIONS>(nullptr),
        buffer, count, index, USHORT{0x409});
  }
};

TEST_F(QueryString, CountsCharactersAndRefusesSmallBuffers) {
  device.strings[2] = StringDescriptor(u"Vorn Display");  // 12 characters
  WCHAR buffer[16];
  for (auto& c : buffer) c = u'#';

  USHORT count = 16;
  ASSERT_EQ(Query(buffer, &count), STATUS_SUCCESS);
  EXPECT_EQ(count, 12);
  EXPECT_EQ(WString(buffer, 12), u"Vorn Display");
  EXPECT_EQ(buffer[12], u'#');  // no terminating zero is written

  count = 12;  // exactly enough
  EXPECT_EQ(Query(buffer, &count), STATUS_SUCCESS);
  EXPECT_EQ(count, 12);

  for (auto& c : buffer) c = u'#';
  count = 11;
  EXPECT_EQ(Query(buffer, &count), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(count, 12);        // what it needs
  EXPECT_EQ(buffer[0], u'#');  // nothing copied

  count = 0;
  EXPECT_EQ(Query(nullptr, &count), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(count, 12);
}

TEST_F(QueryString, SixtyFourCharactersFitSixtyFourAndMalformedAnswersFail) {
  const WString long_name(64, u'x');
  device.strings[2] = StringDescriptor(long_name);
  WCHAR buffer[65] = {};
  USHORT count = 64;
  ASSERT_EQ(Query(buffer, &count), STATUS_SUCCESS);
  EXPECT_EQ(count, 64);
  EXPECT_EQ(buffer[64], 0);

  // A stalled index, a descriptor of the wrong type, and one cut short of its header.
  count = 64;
  EXPECT_EQ(Query(buffer, &count, 7), STATUS_UNSUCCESSFUL);
  device.strings[3] = {4, 2, 'a', 0};
  EXPECT_EQ(Query(buffer, &count, 3), STATUS_DEVICE_DATA_ERROR);
  device.strings[4] = {4};
  EXPECT_EQ(Query(buffer, &count, 4), STATUS_DEVICE_DATA_ERROR);
  // A length beyond what came, or odd, is taken as far as whole characters came.
  device.strings[5] = {200, 3, 'a', 0, 'b', 0, 'c'};
  count = 64;
  EXPECT_EQ(Query(buffer, &count, 5), STATUS_SUCCESS);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(WString(buffer, 2), u"ab");
}

}  // namespace
}  // namespace vorn::umdf::testing
