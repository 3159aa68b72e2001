// The USB driver interface of the kernel: internal control codes, USB request blocks (URBs),
// pipe and interface records, the standard descriptors, and the USBD helpers that parse
// configuration descriptors and build requests. Layouts are those of x86-64.
#pragma once

#include "platform/kernel/irp.h"
#include "platform/kernel/pnp.h"

constexpr ULONG IOCTL_INTERNAL_USB_SUBMIT_URB = 0x220003;
constexpr ULONG IOCTL_INTERNAL_USB_RESET_PORT = 0x220007;
constexpr ULONG IOCTL_INTERNAL_USB_GET_PORT_STATUS = 0x220013;
constexpr ULONG IOCTL_INTERNAL_USB_GET_TOPOLOGY_ADDRESS = 0x22043F;
constexpr ULONG USBD_PORT_ENABLED = 0x1;
constexpr ULONG USBD_PORT_CONNECTED = 0x2;

constexpr USHORT URB_FUNCTION_SELECT_CONFIGURATION = 0x0000;
constexpr USHORT URB_FUNCTION_SELECT_INTERFACE = 0x0001;
constexpr USHORT URB_FUNCTION_ABORT_PIPE = 0x0002;
constexpr USHORT URB_FUNCTION_CONTROL_TRANSFER = 0x0008;
constexpr USHORT URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER = 0x0009;
constexpr USHORT URB_FUNCTION_ISOCH_TRANSFER = 0x000A;
constexpr USHORT URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE = 0x000B;
constexpr USHORT URB_FUNCTION_GET_STATUS_FROM_DEVICE = 0x0013;
constexpr USHORT URB_FUNCTION_GET_STATUS_FROM_INTERFACE = 0x0014;
constexpr USHORT URB_FUNCTION_GET_STATUS_FROM_ENDPOINT = 0x0015;
constexpr USHORT URB_FUNCTION_VENDOR_DEVICE = 0x0017;
constexpr USHORT URB_FUNCTION_VENDOR_INTERFACE = 0x0018;
constexpr USHORT URB_FUNCTION_VENDOR_ENDPOINT = 0x0019;
constexpr USHORT URB_FUNCTION_CLASS_DEVICE = 0x001A;
constexpr USHORT URB_FUNCTION_CLASS_INTERFACE = 0x001B;
constexpr USHORT URB_FUNCTION_CLASS_ENDPOINT = 0x001C;
constexpr USHORT URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL = 0x001E;
constexpr USHORT URB_FUNCTION_CLASS_OTHER = 0x001F;
constexpr USHORT URB_FUNCTION_VENDOR_OTHER = 0x0020;
constexpr USHORT URB_FUNCTION_SYNC_RESET_PIPE = 0x0030;
constexpr USHORT URB_FUNCTION_SYNC_CLEAR_STALL = 0x0031;

constexpr ULONG USBD_TRANSFER_DIRECTION_IN = 0x1;
constexpr ULONG USBD_SHORT_TRANSFER_OK = 0x2;
constexpr ULONG USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE = 0x10000;
constexpr USBD_STATUS USBD_STATUS_INVALID_PARAMETER = static_cast<USBD_STATUS>(0x80000300);

using USBD_PIPE_HANDLE = PVOID;
using USBD_CONFIGURATION_HANDLE = PVOID;
using USBD_INTERFACE_HANDLE = PVOID;

enum USBD_PIPE_TYPE { UsbdPipeTypeControl = 0, UsbdPipeTypeIsochronous = 1, UsbdPipeTypeBulk = 2, UsbdPipeTypeInterrupt = 3 };

#pragma pack(push, 1)
struct USB_DEVICE_DESCRIPTOR {
  UCHAR bLength, bDescriptorType;
  USHORT bcdUSB;
  UCHAR bDeviceClass, bDeviceSubClass, bDeviceProtocol, bMaxPacketSize0;
  USHORT idVendor, idProduct, bcdDevice;
  UCHAR iManufacturer, iProduct, iSerialNumber, bNumConfigurations;
};
struct USB_CONFIGURATION_DESCRIPTOR {
  UCHAR bLength, bDescriptorType;
  USHORT wTotalLength;
  UCHAR bNumInterfaces, bConfigurationValue, iConfiguration, bmAttributes, MaxPower;
};
struct USB_INTERFACE_DESCRIPTOR {
  UCHAR bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting, bNumEndpoints;
  UCHAR bInterfaceClass, bInterfaceSubClass, bInterfaceProtocol, iInterface;
};
struct USB_ENDPOINT_DESCRIPTOR {
  UCHAR bLength, bDescriptorType, bEndpointAddress, bmAttributes;
  USHORT wMaxPacketSize;
  UCHAR bInterval;
};
struct USB_COMMON_DESCRIPTOR {
  UCHAR bLength, bDescriptorType;
};
struct USB_STRING_DESCRIPTOR {
  UCHAR bLength, bDescriptorType;
  WCHAR bString[1];
};
#pragma pack(pop)
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);

constexpr UCHAR USB_DEVICE_DESCRIPTOR_TYPE = 1;
constexpr UCHAR USB_CONFIGURATION_DESCRIPTOR_TYPE = 2;
constexpr UCHAR USB_STRING_DESCRIPTOR_TYPE = 3;
constexpr UCHAR USB_INTERFACE_DESCRIPTOR_TYPE = 4;
constexpr UCHAR USB_ENDPOINT_DESCRIPTOR_TYPE = 5;

struct USBD_PIPE_INFORMATION {
  USHORT MaximumPacketSize;
  UCHAR EndpointAddress;
  UCHAR Interval;
  USBD_PIPE_TYPE PipeType;
  USBD_PIPE_HANDLE PipeHandle;
  ULONG MaximumTransferSize;
  ULONG PipeFlags;
};
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24);

struct USBD_INTERFACE_INFORMATION {
  USHORT Length;  // of this record, its pipe records included
  UCHAR InterfaceNumber;
  UCHAR AlternateSetting;
  UCHAR Class, SubClass, Protocol, Reserved;
  USBD_INTERFACE_HANDLE InterfaceHandle;
  ULONG NumberOfPipes;
  USBD_PIPE_INFORMATION Pipes[1];
};
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48);
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 24);

struct USBD_VERSION_INFORMATION {
  ULONG USBDI_Version;
  ULONG Supported_USB_Version;
};

struct _URB_HEADER {
  USHORT Length;
  USHORT Function;
  USBD_STATUS Status;
  PVOID UsbdDeviceHandle;
  ULONG UsbdFlags;
};
static_assert(sizeof(_URB_HEADER) == 24);

struct _URB_HCD_AREA {
  PVOID Reserved8[8];
};

struct _URB_SELECT_CONFIGURATION {
  _URB_HEADER Hdr;
  USB_CONFIGURATION_DESCRIPTOR* ConfigurationDescriptor;  // null: unconfigure
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  USBD_INTERFACE_INFORMATION Interface;  // bNumInterfaces records follow, each Length long
};
struct _URB_SELECT_INTERFACE {
  _URB_HEADER Hdr;
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  USBD_INTERFACE_INFORMATION Interface;
};
struct _URB_PIPE_REQUEST {
  _URB_HEADER Hdr;
  USBD_PIPE_HANDLE PipeHandle;
  ULONG Reserved;
};
struct _URB_CONTROL_TRANSFER {
  _URB_HEADER Hdr;
  USBD_PIPE_HANDLE PipeHandle;  // null: the default pipe
  ULONG TransferFlags;
  ULONG TransferBufferLength;
  PVOID TransferBuffer;
  PMDL TransferBufferMDL;
  void* UrbLink;
  _URB_HCD_AREA hca;
  UCHAR SetupPacket[8];
};
struct _URB_BULK_OR_INTERRUPT_TRANSFER {
  _URB_HEADER Hdr;
  USBD_PIPE_HANDLE PipeHandle;
  ULONG TransferFlags;
  ULONG TransferBufferLength;
  PVOID TransferBuffer;
  PMDL TransferBufferMDL;
  void* UrbLink;
  _URB_HCD_AREA hca;
};
struct USBD_ISO_PACKET_DESCRIPTOR {
  ULONG Offset;
  ULONG Length;
  USBD_STATUS Status;
};
struct _URB_ISOCH_TRANSFER {
  _URB_HEADER Hdr;
  USBD_PIPE_HANDLE PipeHandle;
  ULONG TransferFlags;
  ULONG TransferBufferLength;
  PVOID TransferBuffer;
  PMDL TransferBufferMDL;
  void* UrbLink;
  _URB_HCD_AREA hca;
  ULONG StartFrame;
  ULONG NumberOfPackets;
  ULONG ErrorCount;
  USBD_ISO_PACKET_DESCRIPTOR IsoPacket[1];
};
struct _URB_CONTROL_DESCRIPTOR_REQUEST {
  _URB_HEADER Hdr;
  PVOID Reserved;
  ULONG Reserved0;
  ULONG TransferBufferLength;
  PVOID TransferBuffer;
  PMDL TransferBufferMDL;
  void* UrbLink;
  _URB_HCD_AREA hca;
  USHORT Reserved1;
  UCHAR Index;
  UCHAR DescriptorType;
  USHORT LanguageId;
  USHORT Reserved2;
};
struct _URB_CONTROL_GET_STATUS_REQUEST {
  _URB_HEADER Hdr;
  PVOID Reserved;
  ULONG Reserved0;
  ULONG TransferBufferLength;
  PVOID TransferBuffer;
  PMDL TransferBufferMDL;
  void* UrbLink;
  _URB_HCD_AREA hca;
  UCHAR Reserved1[4];
  USHORT Index;
  USHORT Reserved2;
};
struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST {
  _URB_HEADER Hdr;
  PVOID Reserved;
  ULONG TransferFlags;
  ULONG TransferBufferLength;
  PVOID TransferBuffer;
  PMDL TransferBufferMDL;
  void* UrbLink;
  _URB_HCD_AREA hca;
  UCHAR RequestTypeReservedBits;
  UCHAR Request;
  USHORT Value;
  USHORT Index;
  USHORT Reserved1;
};
static_assert(sizeof(_URB_SELECT_CONFIGURATION) == 88);
static_assert(sizeof(_URB_PIPE_REQUEST) == 40);
static_assert(sizeof(_URB_CONTROL_TRANSFER) == 136);
static_assert(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) == 128);
static_assert(sizeof(_URB_ISOCH_TRANSFER) == 152);
static_assert(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) == 136);
static_assert(sizeof(_URB_CONTROL_GET_STATUS_REQUEST) == 136);
static_assert(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136);

union URB {
  _URB_HEADER UrbHeader;
  _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
  _URB_SELECT_INTERFACE UrbSelectInterface;
  _URB_PIPE_REQUEST UrbPipeRequest;
  _URB_CONTROL_TRANSFER UrbControlTransfer;
  _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
  _URB_ISOCH_TRANSFER UrbIsochronousTransfer;
  _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
  _URB_CONTROL_GET_STATUS_REQUEST UrbControlGetStatusRequest;
  _URB_CONTROL_VENDOR_OR_CLASS_REQUEST UrbControlVendorClassRequest;
};
using PURB = URB*;

struct USBD_INTERFACE_LIST_ENTRY {
  USB_INTERFACE_DESCRIPTOR* InterfaceDescriptor;
  USBD_INTERFACE_INFORMATION* Interface;  // set by USBD_CreateConfigurationRequestEx
};

// The USB bus interface a USB device's PDO hands out on QUERY_INTERFACE, versions 0 to 3.
inline constexpr GUID USB_BUS_INTERFACE_USBDI_GUID = {0xD4A3B6E2, 0x61C9, 0x4E07, {0x8B, 0x35, 0xF0, 0x2C, 0x9D, 0x14, 0x7A, 0x6E}};
using PUSB_BUSIFFN_GETUSBDI_VERSION = void (*)(PVOID bus_context, USBD_VERSION_INFORMATION* version, ULONG* hcd_capabilities);
using PUSB_BUSIFFN_QUERY_BUS_TIME = NTSTATUS (*)(PVOID bus_context, ULONG* current_frame);
using PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB = NTSTATUS (*)(PVOID bus_context, URB* urb);
using PUSB_BUSIFFN_QUERY_BUS_INFORMATION = NTSTATUS (*)(PVOID bus_context, ULONG level, PVOID buffer, ULONG* buffer_length,
                                                        ULONG* actual_length);
using PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED = BOOLEAN (*)(PVOID bus_context);
using PUSB_BUSIFFN_ENUM_LOG_ENTRY = NTSTATUS (*)(PVOID bus_context, ULONG driver_tag, ULONG enum_tag, ULONG p1, ULONG p2);
using PUSB_BUSIFFN_QUERY_BUS_TIME_EX = NTSTATUS (*)(PVOID bus_context, ULONG* high_speed_frame_counter);
using PUSB_BUSIFFN_QUERY_CONTROLLER_TYPE = NTSTATUS (*)(PVOID bus_context, ULONG* hcdi_option_flags, USHORT* pci_vendor_id,
                                                        USHORT* pci_device_id, UCHAR* pci_class, UCHAR* pci_subclass,
                                                        UCHAR* pci_revision_id, UCHAR* pci_prog_if);

struct USB_BUS_INTERFACE_USBDI_V0 {
  USHORT Size;
  USHORT Version;
  PVOID BusContext;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
  PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
  PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
  PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
  PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
};
struct USB_BUS_INTERFACE_USBDI_V1 : USB_BUS_INTERFACE_USBDI_V0 {
  PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
};
struct USB_BUS_INTERFACE_USBDI_V2 : USB_BUS_INTERFACE_USBDI_V1 {
  PUSB_BUSIFFN_ENUM_LOG_ENTRY EnumLogEntry;
};
struct USB_BUS_INTERFACE_USBDI_V3 : USB_BUS_INTERFACE_USBDI_V2 {
  PUSB_BUSIFFN_QUERY_BUS_TIME_EX QueryBusTimeEx;
  PUSB_BUSIFFN_QUERY_CONTROLLER_TYPE QueryControllerType;
};
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V0) == 64);
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) == 72);
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V2) == 80);
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V3) == 96);

// The USB stack's version (USBDI 0x600, USB 0x200).
void USBD_GetUSBDIVersion(USBD_VERSION_INFORMATION* info);
// The first descriptor of |type| at or after |start| within the configuration; null if none.
USB_COMMON_DESCRIPTOR* USBD_ParseDescriptors(PVOID descriptors, ULONG length, PVOID start, LONG type);
// The first interface descriptor at or after |start| matching every field that is not -1.
USB_INTERFACE_DESCRIPTOR* USBD_ParseConfigurationDescriptorEx(
    USB_CONFIGURATION_DESCRIPTOR* config, PVOID start, LONG interface_number,
    LONG alternate_setting, LONG interface_class, LONG interface_subclass, LONG interface_protocol);
// A SELECT_CONFIGURATION URB (pool; free with ExFreePool) for the interfaces of |list|, which
// ends with an entry whose InterfaceDescriptor is null; each entry's Interface is set.
PURB USBD_CreateConfigurationRequestEx(USB_CONFIGURATION_DESCRIPTOR* config, USBD_INTERFACE_LIST_ENTRY* list);

constexpr USHORT GET_SELECT_CONFIGURATION_REQUEST_SIZE(ULONG interfaces, ULONG pipes) {
  return static_cast<USHORT>(sizeof(_URB_SELECT_CONFIGURATION) +
                             (interfaces - 1) * (sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION)) +
                             (pipes > 0 ? pipes - 1 : 0) * sizeof(USBD_PIPE_INFORMATION));
}

void UsbBuildGetDescriptorRequest(PURB urb, USHORT length, UCHAR type, UCHAR index, USHORT language,
                                  PVOID buffer, PMDL mdl, ULONG buffer_length, PURB link);
void UsbBuildSelectConfigurationRequest(PURB urb, USHORT length, USB_CONFIGURATION_DESCRIPTOR* config);
void UsbBuildInterruptOrBulkTransferRequest(PURB urb, USHORT length, USBD_PIPE_HANDLE pipe, PVOID buffer,
                                            PMDL mdl, ULONG buffer_length, ULONG flags, PURB link);
void UsbBuildVendorRequest(PURB urb, USHORT function, USHORT length, ULONG flags, UCHAR reserved_bits,
                           UCHAR request, USHORT value, USHORT index, PVOID buffer, PMDL mdl,
                           ULONG buffer_length, PURB link);
