// The URBs and port requests of a child device, sent to the display child of a whole station
// over the chip model: the emulated descriptors byte for byte, configuration, the URB checks
// (each refused with its NTSTATUS and USBD status) and vendor requests reaching the chip.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "protocol/vendor_request.h"
#include "station/bus/urb_handlers.h"
#include "tests/station/urb_child_fixture.h"

namespace vorn::station::testing {
namespace {

using Bytes = std::vector<UCHAR>;

class UrbTest : public DisplayChildTest {
 protected:
  // GET_DESCRIPTOR_FROM_DEVICE into a buffer of |length|; the bytes it reports written.
  Bytes Descriptor(UCHAR type, UCHAR index, ULONG length, NTSTATUS* status = nullptr,
                   ULONG* usbd = nullptr) {
    Bytes buffer(length, 0xEE);
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, index, 0x0409,
                                 buffer.data(), nullptr, length, nullptr);
    NTSTATUS s = Submit(&urb);
    if (status) *status = s;
    if (usbd) *usbd = static_cast<ULONG>(urb.UrbHeader.Status);
    if (!NT_SUCCESS(s)) return {};
    buffer.resize(urb.UrbControlDescriptorRequest.TransferBufferLength);
    return buffer;
  }
  static Bytes StringBytes(std::u16string_view text, int nuls = 0) {
    Bytes out{static_cast<UCHAR>(2 + 2 * (text.size() + nuls)), 3};
    for (char16_t c : text) {
      out.push_back(static_cast<UCHAR>(c));
      out.push_back(static_cast<UCHAR>(c >> 8));
    }
    out.insert(out.end(), 2 * nuls, 0);
    return out;
  }
};

struct SpeedCase {
  const char* name;
  bool usb3;
  Bytes device;
  Bytes config;
};
void PrintTo(const SpeedCase& c, std::ostream* os) { *os << c.name; }

class UrbDescriptorTest : public UrbTest, public ::testing::WithParamInterface<SpeedCase> {};

TEST_P(UrbDescriptorTest, DescriptorsAndStringsAreTheEmulatedDevicesByteForByte) {
  const SpeedCase& c = GetParam();
  ChildPdoExtension* child = Start(c.usb3);
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(Descriptor(1, 0, 18), c.device);
  EXPECT_EQ(Descriptor(2, 0, 255), c.config);
  // Too short for the set: its first 9 bytes, and only 9 reported.
  EXPECT_EQ(Descriptor(2, 0, 9), Bytes(c.config.begin(), c.config.begin() + 9));
  EXPECT_EQ(Descriptor(3, 0, 255), (Bytes{4, 3, 0x09, 0x04}));
  EXPECT_EQ(Descriptor(3, 0, 3), (Bytes{4, 3}));
  EXPECT_EQ(Descriptor(3, 2, 255), StringBytes(u"Display"));
  EXPECT_EQ(Descriptor(3, 3, 255), StringBytes(u"Vorn Display Configuration", 3));
  EXPECT_EQ(Descriptor(3, 4, 255), StringBytes(u"Vorn Display Interface", 3));
  // A string that does not fit: its head only.
  EXPECT_EQ(Descriptor(3, 4, 10), (Bytes{static_cast<UCHAR>(2 + 2 * 25), 3}));
  Bytes manufacturer = Descriptor(3, 1, 255);
  ASSERT_GE(manufacturer.size(), 2u);
  EXPECT_EQ(manufacturer[0], manufacturer.size());
  EXPECT_EQ(manufacturer[1], 3);
}

const Bytes kHighSpeedDevice = {0x12, 0x01, 0x00, 0x02, 0xFF, 0x00, 0x00, 64,   0x5C,
                                0x1D, 0x00, 0x20, 0x01, 0x00, 0x01, 0x02, 0x00, 0x01};
const Bytes kSuperSpeedDevice = {0x12, 0x01, 0x00, 0x03, 0xFF, 0x00, 0x00, 9,    0x5C,
                                 0x1D, 0x00, 0x20, 0x01, 0x00, 0x01, 0x02, 0x00, 0x01};
const Bytes kHighSpeedConfig = {
    0x09, 0x02, 0x27, 0x00, 0x01, 0x01, 0x03, 0x80, 0x78, 0x09, 0x04, 0x00, 0x00,
    0x03, 0xFF, 0x00, 0x00, 0x04, 0x07, 0x05, 0x81, 0x02, 0x00, 0x02, 0x00, 0x07,
    0x05, 0x02, 0x02, 0x00, 0x02, 0x00, 0x07, 0x05, 0x83, 0x03, 0x40, 0x00, 0x08};
const Bytes kSuperSpeedConfig = {
    0x09, 0x02, 0x39, 0x00, 0x01, 0x01, 0x03, 0x80, 0x1E, 0x09, 0x04, 0x00, 0x00, 0x03, 0xFF,
    0x00, 0x00, 0x04, 0x07, 0x05, 0x81, 0x02, 0x00, 0x04, 0x00, 0x06, 0x30, 0x0F, 0x00, 0x00,
    0x00, 0x07, 0x05, 0x02, 0x02, 0x00, 0x04, 0x00, 0x06, 0x30, 0x0F, 0x00, 0x00, 0x00, 0x07,
    0x05, 0x83, 0x03, 0x40, 0x00, 0x05, 0x06, 0x30, 0x0F, 0x00, 0x00, 0x00};

INSTANTIATE_TEST_SUITE_P(Speeds, UrbDescriptorTest,
                         ::testing::Values(SpeedCase{"usb2", false, kHighSpeedDevice, kHighSpeedConfig},
                                           SpeedCase{"usb3", true, kSuperSpeedDevice, kSuperSpeedConfig}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UrbTest, SelectingTheConfigurationGivesTheInterfaceAndItsPipesAndPortRequestsAnswer) {
  ChildPdoExtension* child = Start();
  ASSERT_NE(child, nullptr);
  ULONG port = 0xFFFF;
  EXPECT_EQ(Submit(reinterpret_cast<URB*>(&port), IOCTL_INTERNAL_USB_GET_PORT_STATUS), STATUS_SUCCESS);
  EXPECT_EQ(port, USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
  UCHAR topology[32];
  std::memset(topology, 0xEE, sizeof topology);
  EXPECT_EQ(Submit(reinterpret_cast<URB*>(topology), IOCTL_INTERNAL_USB_GET_TOPOLOGY_ADDRESS), STATUS_SUCCESS);
  EXPECT_EQ(Bytes(topology, topology + 32), Bytes(32, 0));
  EXPECT_EQ(Submit(nullptr, IOCTL_INTERNAL_USB_GET_TOPOLOGY_ADDRESS), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(Submit(nullptr, IOCTL_INTERNAL_USB_RESET_PORT), STATUS_SUCCESS);
  EXPECT_EQ(Submit(nullptr, 0x220FFF), STATUS_INVALID_DEVICE_REQUEST);

  // Unconfigure first: success, the attributes stay as they were (0).
  URB unconfigure{};
  UsbBuildSelectConfigurationRequest(&unconfigure, sizeof(_URB_SELECT_CONFIGURATION), nullptr);
  EXPECT_EQ(Submit(&unconfigure), STATUS_SUCCESS);
  EXPECT_EQ(child->ConfigAttributes, 0);

  Configure();
  EXPECT_EQ(child->ConfigAttributes, 0x80);
  const PVOID expected[3] = {pipes_[0], pipes_[1], pipes_[2]};
  for (PVOID p : expected) EXPECT_NE(p, nullptr);

  // GET_STATUS of the device: bus-powered, no wake-up; byte 1 untouched.
  UCHAR status[2] = {0xEE, 0xEE};
  URB get_status{};
  get_status.UrbHeader.Function = URB_FUNCTION_GET_STATUS_FROM_DEVICE;
  get_status.UrbHeader.Length = sizeof(_URB_CONTROL_GET_STATUS_REQUEST);
  get_status.UrbControlGetStatusRequest.TransferBuffer = status;
  get_status.UrbControlGetStatusRequest.TransferBufferLength = 2;
  EXPECT_EQ(Submit(&get_status), STATUS_SUCCESS);
  EXPECT_EQ(status[0], 0);
  EXPECT_EQ(status[1], 0xEE);

  // A reset of each pipe succeeds; SELECT_INTERFACE gives the same record.
  for (PVOID pipe : expected) {
    URB reset{};
    reset.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    reset.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    reset.UrbPipeRequest.PipeHandle = pipe;
    EXPECT_EQ(Submit(&reset), STATUS_SUCCESS);
    EXPECT_EQ(reset.UrbHeader.Status, USBD_STATUS_SUCCESS);
  }
}

TEST_F(UrbTest, VendorRequestsReachTheChipAndItsFailuresComeBackAsFailures) {
  ASSERT_NE(Start(), nullptr);
  Configure();
  chip_->log().Clear();
  // As a VENDOR_DEVICE URB and as a vendor setup of a CONTROL_TRANSFER.
  UCHAR answer = 0;
  URB vendor{};
  UsbBuildVendorRequest(&vendor, URB_FUNCTION_VENDOR_DEVICE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        USBD_TRANSFER_DIRECTION_IN, 0, protocol::ReqMemorySize, 0, 0, &answer, nullptr, 1,
                        nullptr);
  EXPECT_EQ(Submit(&vendor), STATUS_SUCCESS);
  EXPECT_EQ(vendor.UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(answer, 64);
  EXPECT_EQ(vendor.UrbControlVendorClassRequest.TransferBufferLength, 1u);

  answer = 0;
  URB control{};
  control.UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
  control.UrbHeader.Length = sizeof(_URB_CONTROL_TRANSFER);
  control.UrbControlTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
  control.UrbControlTransfer.TransferBuffer = &answer;
  control.UrbControlTransfer.TransferBufferLength = 1;
  const UCHAR setup[8] = {0xC0, protocol::ReqMemorySize, 0, 0, 0, 0, 1, 0};
  std::memcpy(control.UrbControlTransfer.SetupPacket, setup, 8);
  EXPECT_EQ(Submit(&control), STATUS_SUCCESS);
  EXPECT_EQ(answer, 64);
  EXPECT_EQ(chip_->log().CountVendor(protocol::ReqMemorySize), 2u);

  // A request the chip stalls fails with a failing URB status too.
  chip_->script().OnRequest(protocol::ReqMemorySize, {chip::ScriptKind::kStall, 1, 0});
  URB stalled = vendor;
  EXPECT_FALSE(NT_SUCCESS(Submit(&stalled)));
  EXPECT_TRUE(UsbdFailed(static_cast<ULONG>(stalled.UrbHeader.Status)));
}

// ---------------------------------------------------------------------------------------
// The URB checks: each case builds one refused request.

struct Ctx {
  PVOID pipes[3];
  UCHAR data[256];
};
struct CheckCase {
  const char* name;
  std::function<void(URB& urb, Ctx& ctx)> build;
  NTSTATUS status;
  USBD_STATUS usbd;
};
void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }

void Short(URB& u, USHORT function, USHORT full) {
  u.UrbHeader.Function = function;
  u.UrbHeader.Length = static_cast<USHORT>(full - 1);
}
void Bulk(URB& u, PVOID pipe, void* data, ULONG length, bool in) {
  UsbBuildInterruptOrBulkTransferRequest(&u, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), pipe, data, nullptr,
                                         length, in ? USBD_TRANSFER_DIRECTION_IN : 0, nullptr);
}
void Header(UCHAR* data, uint32_t type, uint32_t total) {
  protocol::BusMessageHeader h;
  h.Type = type;
  h.TotalLength = total;
  std::memcpy(data, &h, sizeof h);
}
void Control(URB& u, std::initializer_list<UCHAR> setup, void* data, ULONG length) {
  u.UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
  u.UrbHeader.Length = sizeof(_URB_CONTROL_TRANSFER);
  u.UrbControlTransfer.TransferBuffer = data;
  u.UrbControlTransfer.TransferBufferLength = length;
  std::copy(setup.begin(), setup.end(), u.UrbControlTransfer.SetupPacket);
}
void SelectWithRecordLength(URB& u, USHORT record_length) {
  static USB_CONFIGURATION_DESCRIPTOR config{9, 2, 39, 1, 1, 3, 0x80, 0x78};
  UsbBuildSelectConfigurationRequest(&u, sizeof(_URB_SELECT_CONFIGURATION), &config);
  u.UrbSelectConfiguration.Interface.Length = record_length;
}

class UrbCheckTest : public UrbTest, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(UrbCheckTest, ARefusedUrbGetsItsStatusTwice) {
  const CheckCase& c = GetParam();
  ASSERT_NE(Start(), nullptr);
  Configure();
  // A URB block larger than any URB, so a case may describe more than its fixed part.
  alignas(8) UCHAR block[512] = {};
  auto* urb = reinterpret_cast<URB*>(block);
  Ctx ctx{{pipes_[0], pipes_[1], pipes_[2]}, {}};
  c.build(*urb, ctx);
  EXPECT_EQ(Submit(urb), c.status);
  EXPECT_EQ(urb->UrbHeader.Status, c.usbd);
  // The child still serves: a good request afterwards succeeds.
  EXPECT_EQ(Descriptor(1, 0, 18).size(), 18u);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, UrbCheckTest,
    ::testing::Values(
        CheckCase{"select_configuration_one_byte_short",
                  [](URB& u, Ctx&) { Short(u, URB_FUNCTION_SELECT_CONFIGURATION, 84); },
                  STATUS_INVALID_DEVICE_REQUEST, USBD_STATUS_DATA_BUFFER_ERROR},
        CheckCase{"select_interface_one_byte_short",
                  [](URB& u, Ctx&) { Short(u, URB_FUNCTION_SELECT_INTERFACE, 56); },
                  STATUS_INVALID_DEVICE_REQUEST, USBD_STATUS_DATA_BUFFER_ERROR},
        CheckCase{"reset_pipe_one_byte_short",
                  [](URB& u, Ctx&) { Short(u, URB_FUNCTION_SYNC_RESET_PIPE, 40); },
                  STATUS_INVALID_DEVICE_REQUEST, USBD_STATUS_DATA_BUFFER_ERROR},
        CheckCase{"control_one_byte_short",
                  [](URB& u, Ctx&) { Short(u, URB_FUNCTION_CONTROL_TRANSFER, 136); },
                  STATUS_INVALID_DEVICE_REQUEST, USBD_STATUS_DATA_BUFFER_ERROR},
        CheckCase{"bulk_one_byte_short",
                  [](URB& u, Ctx&) { Short(u, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 128); },
                  STATUS_INVALID_DEVICE_REQUEST, USBD_STATUS_DATA_BUFFER_ERROR},
        CheckCase{"isoch_one_byte_short",
                  [](URB& u, Ctx&) { Short(u, URB_FUNCTION_ISOCH_TRANSFER, 152); },
                  STATUS_INVALID_DEVICE_REQUEST, USBD_STATUS_DATA_BUFFER_ERROR},
        CheckCase{"class_interface_one_byte_short",
                  [](URB& u, Ctx&) { Short(u, URB_FUNCTION_CLASS_INTERFACE, 136); },
                  STATUS_INVALID_DEVICE_REQUEST, USBD_STATUS_DATA_BUFFER_ERROR},
        CheckCase{"unknown_function",
                  [](URB& u, Ctx&) {
                    u.UrbHeader.Function = 0x0007;
                    u.UrbHeader.Length = 200;
                  },
                  STATUS_INVALID_DEVICE_REQUEST, USBD_STATUS_NOT_SUPPORTED},
        CheckCase{"select_configuration_record_past_the_urb",
                  [](URB& u, Ctx&) { SelectWithRecordLength(u, 200); }, STATUS_INVALID_PARAMETER,
                  USBD_STATUS_INVALID_PARAMETER},
        CheckCase{"select_configuration_record_of_length_zero",
                  [](URB& u, Ctx&) { SelectWithRecordLength(u, 0); }, STATUS_INVALID_PARAMETER,
                  USBD_STATUS_INVALID_PARAMETER},
        CheckCase{"select_configuration_of_a_second_configuration",
                  [](URB& u, Ctx&) {
                    static USB_CONFIGURATION_DESCRIPTOR second{9, 2, 39, 1, 2, 3, 0x80, 0x78};
                    UsbBuildSelectConfigurationRequest(&u, 200, &second);
                  },
                  STATUS_NOT_SUPPORTED, USBD_STATUS_NOT_SUPPORTED},
        CheckCase{"select_interface_of_an_unknown_configuration",
                  [](URB& u, Ctx& c) {
                    u.UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
                    u.UrbHeader.Length = 200;
                    u.UrbSelectInterface.ConfigurationHandle = c.data;
                    u.UrbSelectInterface.Interface.Length = 96;
                  },
                  STATUS_NOT_SUPPORTED, USBD_STATUS_NOT_SUPPORTED},
        CheckCase{"vendor_setup_longer_than_the_buffer",
                  [](URB& u, Ctx& c) { Control(u, {0xC0, protocol::ReqMemorySize, 0, 0, 0, 0, 64, 0}, c.data, 1); },
                  STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
        CheckCase{"class_setup_in_a_control_transfer",
                  [](URB& u, Ctx& c) { Control(u, {0xA1, 1, 0, 0, 0, 0, 1, 0}, c.data, 1); },
                  STATUS_NOT_SUPPORTED, USBD_STATUS_NOT_SUPPORTED},
        CheckCase{"get_status_of_the_device_into_one_byte",
                  [](URB& u, Ctx& c) { Control(u, {0x80, 0, 0, 0, 0, 0, 1, 0}, c.data, 1); },
                  STATUS_NOT_SUPPORTED, USBD_STATUS_NOT_SUPPORTED},
        CheckCase{"vendor_urb_with_a_length_and_no_buffer",
                  [](URB& u, Ctx&) {
                    UsbBuildVendorRequest(&u, URB_FUNCTION_VENDOR_DEVICE, 136, USBD_TRANSFER_DIRECTION_IN, 0,
                                          protocol::ReqMemorySize, 0, 0, nullptr, nullptr, 1, nullptr);
                  },
                  STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
        CheckCase{"bulk_of_length_zero",
                  [](URB& u, Ctx& c) { Bulk(u, c.pipes[1], c.data, 0, false); },
                  STATUS_INSUFFICIENT_RESOURCES, USBD_STATUS_INSUFFICIENT_RESOURCES},
        CheckCase{"bulk_on_an_unknown_pipe",
                  [](URB& u, Ctx& c) { Bulk(u, c.data, c.data, 64, false); },
                  STATUS_INSUFFICIENT_RESOURCES, USBD_STATUS_INSUFFICIENT_RESOURCES},
        CheckCase{"bulk_in_on_0x81", [](URB& u, Ctx& c) { Bulk(u, c.pipes[0], c.data, 64, true); },
                  STATUS_NOT_SUPPORTED, USBD_STATUS_NOT_SUPPORTED},
        CheckCase{"bulk_in_on_0x02", [](URB& u, Ctx& c) { Bulk(u, c.pipes[1], c.data, 64, true); },
                  STATUS_NOT_SUPPORTED, USBD_STATUS_NOT_SUPPORTED},
        CheckCase{"interrupt_read_of_63_bytes",
                  [](URB& u, Ctx& c) { Bulk(u, c.pipes[2], c.data, 63, true); }, STATUS_UNSUCCESSFUL,
                  USBD_STATUS_DATA_BUFFER_ERROR},
        CheckCase{"out_shorter_than_a_header",
                  [](URB& u, Ctx& c) { Bulk(u, c.pipes[1], c.data, 31, false); }, STATUS_UNSUCCESSFUL,
                  USBD_STATUS_DATA_BUFFER_ERROR},
        CheckCase{"out_header_of_type_5",
                  [](URB& u, Ctx& c) {
                    Header(c.data, 5, 16);
                    Bulk(u, c.pipes[1], c.data, 48, false);
                  },
                  STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_BUFFER_ERROR},
        CheckCase{"out_first_piece_longer_than_its_message",
                  [](URB& u, Ctx& c) {
                    Header(c.data, 0, 16);
                    Bulk(u, c.pipes[1], c.data, 49, false);
                  },
                  STATUS_NOT_SUPPORTED, USBD_STATUS_NOT_SUPPORTED},
        CheckCase{"isoch_packets_past_the_urb",
                  [](URB& u, Ctx& c) {
                    u.UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
                    u.UrbHeader.Length = sizeof(_URB_ISOCH_TRANSFER);
                    u.UrbIsochronousTransfer.PipeHandle = c.pipes[1];
                    u.UrbIsochronousTransfer.TransferBuffer = c.data;
                    u.UrbIsochronousTransfer.TransferBufferLength = 64;
                    u.UrbIsochronousTransfer.NumberOfPackets = 2;
                  },
                  STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
        CheckCase{"isoch_on_a_display_child",
                  [](URB& u, Ctx& c) {
                    u.UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
                    u.UrbHeader.Length = sizeof(_URB_ISOCH_TRANSFER);
                    u.UrbIsochronousTransfer.PipeHandle = c.pipes[1];
                    u.UrbIsochronousTransfer.TransferBuffer = c.data;
                    u.UrbIsochronousTransfer.TransferBufferLength = 64;
                    u.UrbIsochronousTransfer.NumberOfPackets = 1;
                  },
                  STATUS_NOT_SUPPORTED, USBD_STATUS_NOT_SUPPORTED},
        CheckCase{"device_descriptor_into_17_bytes",
                  [](URB& u, Ctx& c) {
                    UsbBuildGetDescriptorRequest(&u, 136, 1, 0, 0, c.data, nullptr, 17, nullptr);
                  },
                  STATUS_BUFFER_TOO_SMALL, USBD_STATUS_BUFFER_TOO_SMALL},
        CheckCase{"configuration_descriptor_into_8_bytes",
                  [](URB& u, Ctx& c) {
                    UsbBuildGetDescriptorRequest(&u, 136, 2, 0, 0, c.data, nullptr, 8, nullptr);
                  },
                  STATUS_BUFFER_TOO_SMALL, USBD_STATUS_BUFFER_TOO_SMALL},
        CheckCase{"descriptor_without_a_buffer",
                  [](URB& u, Ctx&) {
                    UsbBuildGetDescriptorRequest(&u, 136, 1, 0, 0, nullptr, nullptr, 18, nullptr);
                  },
                  STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
        CheckCase{"descriptor_of_type_7",
                  [](URB& u, Ctx& c) {
                    UsbBuildGetDescriptorRequest(&u, 136, 7, 0, 0, c.data, nullptr, 64, nullptr);
                  },
                  STATUS_NOT_SUPPORTED, USBD_STATUS_NOT_SUPPORTED},
        CheckCase{"string_of_an_unknown_index",
                  [](URB& u, Ctx& c) {
                    UsbBuildGetDescriptorRequest(&u, 136, 3, 9, 0x409, c.data, nullptr, 64, nullptr);
                  },
                  STATUS_NOT_SUPPORTED, USBD_STATUS_NOT_SUPPORTED},
        CheckCase{"get_status_into_one_byte",
                  [](URB& u, Ctx& c) {
                    u.UrbHeader.Function = URB_FUNCTION_GET_STATUS_FROM_DEVICE;
                    u.UrbHeader.Length = 136;
                    u.UrbControlGetStatusRequest.TransferBuffer = c.data;
                    u.UrbControlGetStatusRequest.TransferBufferLength = 1;
                  },
                  STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorn::station::testing
