// The display host's WDF function table, as a plug-in calls it.
//
// The host hands a plug-in three things: its WDF device, a table of function pointers in the
// UMDF 2.15 order, and its driver globals. Every WDF operation is the table entry of its
// index, cast to the operation's function type and called with the driver globals first:
//
//   auto send = WdfSlot<WdfRequestSendTableIndex>(functions);
//   BOOLEAN sent = send(globals, request, WdfUsbTargetPipeAsIoTarget(pipe), &options);
//
// Slots the host does not serve print their index and abort. Handles are opaque pointers to
// the host's objects; a handle that names no live object of the expected kind aborts too
// (a programming fault of the caller, as a framework verifier would report it). Failures
// of the device, the registry or the arguments come back as NTSTATUS values.
//
// Each operation works for the host its handle belongs to; the driver globals only have to
// be those of some live host. Objects created without a parent in their attributes belong
// to the WDF device of the host whose globals were passed.
//
// Every time-out is in units of 100 ns: negative is relative to now, positive is absolute
// on the process clock (platform/nt/clock.h), zero means "do not wait" for a lock and "no
// limit" for a request (where the time-out flag is set).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/nt/status.h"
#include "platform/nt/types.h"
#include "platform/umdf/devprop.h"

// ---- Handles -------------------------------------------------------------------------------
// Each handle type is a pointer to an empty tag; the tags mirror the framework's object kinds,
// so a pipe or a USB target device converts to an I/O target, and every handle converts to
// WDFOBJECT.
using WDFOBJECT = void*;
using WDFCONTEXT = void*;
struct WDFDRIVER__ {};
struct WDFDEVICE__ {};
struct WDFIOTARGET__ {};
struct WDFUSBDEVICE__ : WDFIOTARGET__ {};
struct WDFUSBPIPE__ : WDFIOTARGET__ {};
struct WDFUSBINTERFACE__ {};
struct WDFREQUEST__ {};
struct WDFMEMORY__ {};
struct WDFWAITLOCK__ {};
struct WDFKEY__ {};
using WDFDRIVER = WDFDRIVER__*;
using WDFDEVICE = WDFDEVICE__*;
using WDFIOTARGET = WDFIOTARGET__*;
using WDFUSBDEVICE = WDFUSBDEVICE__*;
using WDFUSBPIPE = WDFUSBPIPE__*;
using WDFUSBINTERFACE = WDFUSBINTERFACE__*;
using WDFREQUEST = WDFREQUEST__*;
using WDFMEMORY = WDFMEMORY__*;
using WDFWAITLOCK = WDFWAITLOCK__*;
using WDFKEY = WDFKEY__*;

#define WDF_NO_HANDLE nullptr
#define WDF_NO_OBJECT_ATTRIBUTES nullptr
#define WDF_NO_SEND_OPTIONS nullptr

inline WDFIOTARGET WdfUsbTargetPipeAsIoTarget(WDFUSBPIPE pipe) { return pipe; }
inline WDFIOTARGET WdfUsbTargetDeviceAsIoTarget(WDFUSBDEVICE device) { return device; }

// ---- Driver globals ------------------------------------------------------------------------
// The first word is the driver handle (the parent of the Parameters registry key).
struct WDF_DRIVER_GLOBALS {
  WDFDRIVER Driver;
  ULONG DriverFlags;
  ULONG DriverTag;
  CHAR DriverName[32];
};
using PWDF_DRIVER_GLOBALS = WDF_DRIVER_GLOBALS*;
static_assert(offsetof(WDF_DRIVER_GLOBALS, Driver) == 0);
static_assert(sizeof(WDF_DRIVER_GLOBALS) == sizeof(void*) + 40);

// ---- Object attributes ---------------------------------------------------------------------
// Only the parent is honoured: deleting an object deletes its children first. Without
// attributes (or with a null parent) an object's parent is the WDF device.
struct WDF_OBJECT_ATTRIBUTES {
  ULONG Size;
  WDFOBJECT ParentObject;
};
using PWDF_OBJECT_ATTRIBUTES = WDF_OBJECT_ATTRIBUTES*;
static_assert(sizeof(WDF_OBJECT_ATTRIBUTES) == 2 * sizeof(void*));
static_assert(offsetof(WDF_OBJECT_ATTRIBUTES, ParentObject) == sizeof(void*));

inline void WDF_OBJECT_ATTRIBUTES_INIT(PWDF_OBJECT_ATTRIBUTES attributes) {
  *attributes = {};
  attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
}

// ---- Time-outs -----------------------------------------------------------------------------
constexpr LONGLONG WDF_REL_TIMEOUT_IN_MS(ULONGLONG ms) {
  return -static_cast<LONGLONG>(ms * 10000);
}
constexpr LONGLONG WDF_REL_TIMEOUT_IN_SEC(ULONGLONG s) {
  return -static_cast<LONGLONG>(s * 10000000);
}

// ---- Request send options ------------------------------------------------------------------
constexpr ULONG WDF_REQUEST_SEND_OPTION_TIMEOUT = 0x00000001;
constexpr ULONG WDF_REQUEST_SEND_OPTION_SYNCHRONOUS = 0x00000002;
constexpr ULONG WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE = 0x00000004;

struct WDF_REQUEST_SEND_OPTIONS {
  ULONG Size;
  ULONG Flags;
  LONGLONG Timeout;
};
using PWDF_REQUEST_SEND_OPTIONS = WDF_REQUEST_SEND_OPTIONS*;
static_assert(sizeof(WDF_REQUEST_SEND_OPTIONS) == 16);
static_assert(offsetof(WDF_REQUEST_SEND_OPTIONS, Timeout) == 8);

inline void WDF_REQUEST_SEND_OPTIONS_INIT(PWDF_REQUEST_SEND_OPTIONS options, ULONG flags) {
  *options = {};
  options->Size = sizeof(WDF_REQUEST_SEND_OPTIONS);
  options->Flags = flags;
}
inline void WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(PWDF_REQUEST_SEND_OPTIONS options,
                                                 LONGLONG timeout) {
  options->Flags |= WDF_REQUEST_SEND_OPTION_TIMEOUT;
  options->Timeout = timeout;
}

// ---- Memory --------------------------------------------------------------------------------
struct WDFMEMORY_OFFSET {
  size_t BufferOffset;
  size_t BufferLength;
};
using PWDFMEMORY_OFFSET = WDFMEMORY_OFFSET*;
static_assert(sizeof(WDFMEMORY_OFFSET) == 2 * sizeof(size_t));

enum WDF_MEMORY_DESCRIPTOR_TYPE : int32_t {
  WdfMemoryDescriptorTypeInvalid = 0,
  WdfMemoryDescriptorTypeBuffer = 1,
  WdfMemoryDescriptorTypeHandle = 3,
};

struct WDF_MEMORY_DESCRIPTOR {
  WDF_MEMORY_DESCRIPTOR_TYPE Type;
  union {
    struct {
      PVOID Buffer;
      ULONG Length;
    } BufferType;
    struct {
      WDFMEMORY Memory;
      PWDFMEMORY_OFFSET Offsets;
    } HandleType;
  } u;
};
using PWDF_MEMORY_DESCRIPTOR = WDF_MEMORY_DESCRIPTOR*;
static_assert(offsetof(WDF_MEMORY_DESCRIPTOR, u) == sizeof(void*));
static_assert(sizeof(WDF_MEMORY_DESCRIPTOR) == 3 * sizeof(void*));

inline void WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(PWDF_MEMORY_DESCRIPTOR descriptor, PVOID buffer,
                                              ULONG length) {
  *descriptor = {};
  descriptor->Type = WdfMemoryDescriptorTypeBuffer;
  descriptor->u.BufferType.Buffer = buffer;
  descriptor->u.BufferType.Length = length;
}
inline void WDF_MEMORY_DESCRIPTOR_INIT_HANDLE(PWDF_MEMORY_DESCRIPTOR descriptor, WDFMEMORY memory,
                                              PWDFMEMORY_OFFSET offsets) {
  *descriptor = {};
  descriptor->Type = WdfMemoryDescriptorTypeHandle;
  descriptor->u.HandleType.Memory = memory;
  descriptor->u.HandleType.Offsets = offsets;
}

// ---- USB descriptors and control transfers -------------------------------------------------
struct USB_DEVICE_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT bcdUSB;
  UCHAR bDeviceClass;
  UCHAR bDeviceSubClass;
  UCHAR bDeviceProtocol;
  UCHAR bMaxPacketSize0;
  USHORT idVendor;
  USHORT idProduct;
  USHORT bcdDevice;
  UCHAR iManufacturer;
  UCHAR iProduct;
  UCHAR iSerialNumber;
  UCHAR bNumConfigurations;
};
using PUSB_DEVICE_DESCRIPTOR = USB_DEVICE_DESCRIPTOR*;
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, bcdUSB) == 2);
static_assert(offsetof(USB_DEVICE_DESCRIPTOR, iProduct) == 15);

// The client contract version the plug-in asks for.
constexpr ULONG USBD_CLIENT_CONTRACT_VERSION_602 = 0x602;

struct WDF_USB_DEVICE_CREATE_CONFIG {
  ULONG Size;
  ULONG USBDClientContractVersion;
};
using PWDF_USB_DEVICE_CREATE_CONFIG = WDF_USB_DEVICE_CREATE_CONFIG*;
static_assert(sizeof(WDF_USB_DEVICE_CREATE_CONFIG) == 8);

inline void WDF_USB_DEVICE_CREATE_CONFIG_INIT(PWDF_USB_DEVICE_CREATE_CONFIG config,
                                              ULONG contract_version) {
  *config = {};
  config->Size = sizeof(WDF_USB_DEVICE_CREATE_CONFIG);
  config->USBDClientContractVersion = contract_version;
}

// Traits of WDF_USB_DEVICE_INFORMATION.
constexpr ULONG WDF_USB_DEVICE_TRAIT_SELF_POWERED = 0x00000001;
constexpr ULONG WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE = 0x00000002;
constexpr ULONG WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED = 0x00000004;

struct USBD_VERSION_INFORMATION {
  ULONG USBDI_Version;
  ULONG Supported_USB_Version;  // the device's bcdUSB
};

struct WDF_USB_DEVICE_INFORMATION {
  ULONG Size;
  USBD_VERSION_INFORMATION UsbdVersionInformation;
  ULONG HcdPortCapabilities;
  ULONG Traits;
};
using PWDF_USB_DEVICE_INFORMATION = WDF_USB_DEVICE_INFORMATION*;
static_assert(sizeof(WDF_USB_DEVICE_INFORMATION) == 20);
static_assert(offsetof(WDF_USB_DEVICE_INFORMATION, Traits) == 16);

inline void WDF_USB_DEVICE_INFORMATION_INIT(PWDF_USB_DEVICE_INFORMATION information) {
  *information = {};
  information->Size = sizeof(WDF_USB_DEVICE_INFORMATION);
}

enum WDF_USB_BMREQUEST_DIRECTION : int32_t {
  BmRequestHostToDevice = 0,
  BmRequestDeviceToHost = 1,
};
enum WDF_USB_BMREQUEST_TYPE : int32_t {
  BmRequestStandard = 0,
  BmRequestClass = 1,
  BmRequestVendor = 2,
};
enum WDF_USB_BMREQUEST_RECIPIENT : int32_t {
  BmRequestToDevice = 0,
  BmRequestToInterface = 1,
  BmRequestToEndpoint = 2,
  BmRequestToOther = 3,
};

// The eight setup bytes; wLength is set by the framework from the data stage's length.
union WDF_USB_CONTROL_SETUP_PACKET {
  struct {
    UCHAR bmRequestType;
    UCHAR bRequest;
    USHORT wValue;
    USHORT wIndex;
    USHORT wLength;
  } Packet;
  struct {
    UCHAR Bytes[8];
  } Generic;
};
using PWDF_USB_CONTROL_SETUP_PACKET = WDF_USB_CONTROL_SETUP_PACKET*;
static_assert(sizeof(WDF_USB_CONTROL_SETUP_PACKET) == 8);

inline void WDF_USB_CONTROL_SETUP_PACKET_INIT(PWDF_USB_CONTROL_SETUP_PACKET packet,
                                              WDF_USB_BMREQUEST_DIRECTION direction,
                                              WDF_USB_BMREQUEST_TYPE type,
                                              WDF_USB_BMREQUEST_RECIPIENT recipient, BYTE request,
                                              USHORT value, USHORT index) {
  *packet = {};
  packet->Packet.bmRequestType = static_cast<UCHAR>((direction << 7) | (type << 5) | recipient);
  packet->Packet.bRequest = request;
  packet->Packet.wValue = value;
  packet->Packet.wIndex = index;
}
inline void WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(PWDF_USB_CONTROL_SETUP_PACKET packet,
                                                     WDF_USB_BMREQUEST_DIRECTION direction,
                                                     WDF_USB_BMREQUEST_RECIPIENT recipient,
                                                     BYTE request, USHORT value, USHORT index) {
  WDF_USB_CONTROL_SETUP_PACKET_INIT(packet, direction, BmRequestVendor, recipient, request, value,
                                    index);
}

// ---- Configuration, interfaces and pipes ---------------------------------------------------
enum WdfUsbTargetDeviceSelectConfigType : int32_t {
  WdfUsbTargetDeviceSelectConfigTypeInvalid = 0,
  WdfUsbTargetDeviceSelectConfigTypeSingleInterface = 2,
};

struct WDF_USB_DEVICE_SELECT_CONFIG_PARAMS {
  ULONG Size;
  WdfUsbTargetDeviceSelectConfigType Type;
  union {
    struct {
      UCHAR NumberConfiguredPipes;             // out
      WDFUSBINTERFACE ConfiguredUsbInterface;  // out
    } SingleInterface;
  } Types;
};
using PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS = WDF_USB_DEVICE_SELECT_CONFIG_PARAMS*;
static_assert(offsetof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS, Types) == 8);
static_assert(sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS) == 8 + 2 * sizeof(void*));

inline void WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(
    PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS params) {
  *params = {};
  params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
  params->Type = WdfUsbTargetDeviceSelectConfigTypeSingleInterface;
}

enum WDF_USB_PIPE_TYPE : int32_t {
  WdfUsbPipeTypeInvalid = 0,
  WdfUsbPipeTypeControl = 1,
  WdfUsbPipeTypeIsochronous = 2,
  WdfUsbPipeTypeBulk = 3,
  WdfUsbPipeTypeInterrupt = 4,
};

struct WDF_USB_PIPE_INFORMATION {
  ULONG Size;
  ULONG MaximumPacketSize;
  UCHAR EndpointAddress;
  UCHAR Interval;
  UCHAR SettingIndex;
  WDF_USB_PIPE_TYPE PipeType;
  ULONG MaximumTransferSize;
};
using PWDF_USB_PIPE_INFORMATION = WDF_USB_PIPE_INFORMATION*;
static_assert(sizeof(WDF_USB_PIPE_INFORMATION) == 20);
static_assert(offsetof(WDF_USB_PIPE_INFORMATION, PipeType) == 12);

inline void WDF_USB_PIPE_INFORMATION_INIT(PWDF_USB_PIPE_INFORMATION information) {
  *information = {};
  information->Size = sizeof(WDF_USB_PIPE_INFORMATION);
}

// ---- I/O targets ---------------------------------------------------------------------------
enum WDF_IO_TARGET_SENT_IO_ACTION : int32_t {
  WdfIoTargetSentIoUndefined = 0,
  WdfIoTargetCancelSentIo = 1,
  WdfIoTargetWaitForSentIoToComplete = 2,
  WdfIoTargetLeaveSentIoPending = 3,
};

// ---- Continuous reader ---------------------------------------------------------------------
// Completion of one read: |buffer| holds header, data and trailer; the data starts at the
// configured header length and |bytes| counts the data. Runs on the reader's own thread, one
// completion at a time.
using PFN_WDF_USB_READER_COMPLETION_ROUTINE = void (*)(WDFUSBPIPE pipe, WDFMEMORY buffer,
                                                       size_t bytes, WDFCONTEXT context);
// A read failed: every read of the reader has ended. TRUE resets the pipe and starts the
// reads again; FALSE leaves the reader stopped until its I/O target is stopped and started.
using PFN_WDF_USB_READERS_FAILED = BOOLEAN (*)(WDFUSBPIPE pipe, NTSTATUS status,
                                               USBD_STATUS usbd_status);

struct WDF_USB_CONTINUOUS_READER_CONFIG {
  ULONG Size;
  size_t TransferLength;
  size_t HeaderLength;
  size_t TrailerLength;
  UCHAR NumPendingReads;  // 0: the default (kWdfDefaultNumPendingReads)
  PWDF_OBJECT_ATTRIBUTES BufferAttributes;
  PFN_WDF_USB_READER_COMPLETION_ROUTINE EvtUsbTargetPipeReadComplete;
  WDFCONTEXT EvtUsbTargetPipeReadCompleteContext;
  PFN_WDF_USB_READERS_FAILED EvtUsbTargetPipeReadersFailed;
};
using PWDF_USB_CONTINUOUS_READER_CONFIG = WDF_USB_CONTINUOUS_READER_CONFIG*;
static_assert(sizeof(WDF_USB_CONTINUOUS_READER_CONFIG) == 9 * sizeof(void*));
static_assert(offsetof(WDF_USB_CONTINUOUS_READER_CONFIG, EvtUsbTargetPipeReadersFailed) ==
              8 * sizeof(void*));

constexpr UCHAR kWdfDefaultNumPendingReads = 2;
constexpr UCHAR kWdfMaxNumPendingReads = 16;

inline void WDF_USB_CONTINUOUS_READER_CONFIG_INIT(PWDF_USB_CONTINUOUS_READER_CONFIG config,
                                                  PFN_WDF_USB_READER_COMPLETION_ROUTINE complete,
                                                  WDFCONTEXT context, size_t transfer_length) {
  *config = {};
  config->Size = sizeof(WDF_USB_CONTINUOUS_READER_CONFIG);
  config->TransferLength = transfer_length;
  config->EvtUsbTargetPipeReadComplete = complete;
  config->EvtUsbTargetPipeReadCompleteContext = context;
}

// ---- Device properties ---------------------------------------------------------------------
struct WDF_DEVICE_PROPERTY_DATA {
  ULONG Size;
  const DEVPROPKEY* PropertyKey;
  LCID Lcid;
  ULONG Flags;
};
using PWDF_DEVICE_PROPERTY_DATA = WDF_DEVICE_PROPERTY_DATA*;
static_assert(sizeof(WDF_DEVICE_PROPERTY_DATA) == 2 * sizeof(void*) + 8);

inline void WDF_DEVICE_PROPERTY_DATA_INIT(PWDF_DEVICE_PROPERTY_DATA data, const DEVPROPKEY* key) {
  *data = {};
  data->Size = sizeof(WDF_DEVICE_PROPERTY_DATA);
  data->PropertyKey = key;
}

// ---- The function table --------------------------------------------------------------------
using WDFFUNC = void (*)(void);

enum WDFFUNCENUM : int32_t {
  WdfDeviceAssignPropertyTableIndex = 56,
  WdfDriverOpenParametersRegistryKeyTableIndex = 59,
  WdfIoTargetStartTableIndex = 106,
  WdfIoTargetStopTableIndex = 107,
  WdfMemoryCreatePreallocatedTableIndex = 118,
  WdfMemoryGetBufferTableIndex = 119,
  WdfObjectDeleteTableIndex = 129,
  WdfRegistryCloseTableIndex = 133,
  WdfRegistryQueryValueTableIndex = 136,
  WdfRequestCreateTableIndex = 148,
  WdfRequestSendTableIndex = 152,
  WdfRequestGetStatusTableIndex = 153,
  WdfWaitLockCreateTableIndex = 192,
  WdfWaitLockAcquireTableIndex = 193,
  WdfWaitLockReleaseTableIndex = 194,
  WdfUsbTargetDeviceCreateWithParametersTableIndex = 203,
  WdfUsbTargetDeviceRetrieveInformationTableIndex = 204,
  WdfUsbTargetDeviceGetDeviceDescriptorTableIndex = 205,
  WdfUsbTargetDeviceQueryStringTableIndex = 207,
  WdfUsbTargetDeviceSelectConfigTableIndex = 211,
  WdfUsbTargetDeviceSendControlTransferSynchronouslyTableIndex = 212,
  WdfUsbTargetPipeIsInEndpointTableIndex = 217,
  WdfUsbTargetPipeIsOutEndpointTableIndex = 218,
  WdfUsbTargetPipeSetNoMaximumPacketSizeCheckTableIndex = 220,
  WdfUsbTargetPipeFormatRequestForWriteTableIndex = 222,
  WdfUsbTargetPipeConfigContinuousReaderTableIndex = 225,
  WdfUsbTargetPipeResetSynchronouslyTableIndex = 228,
  WdfUsbTargetDeviceGetInterfaceTableIndex = 236,
  WdfUsbInterfaceGetNumConfiguredPipesTableIndex = 238,
  WdfUsbInterfaceGetConfiguredPipeTableIndex = 239,
  // Slots from here on, like every unlisted one below it, trap.
  WdfFunctionTableNumEntries = 256,
};

// The operation at each served slot. Every one takes the driver globals first.

// Records the property on the WDF device; |size| bytes at |data| of |type|.
using PFN_WDFDEVICEASSIGNPROPERTY = NTSTATUS (*)(PWDF_DRIVER_GLOBALS, WDFDEVICE device,
                                                 PWDF_DEVICE_PROPERTY_DATA property_data,
                                                 DEVPROPTYPE type, ULONG size, PVOID data);
// Opens the driver's Parameters key. STATUS_OBJECT_NAME_NOT_FOUND when the host has none.
using PFN_WDFDRIVEROPENPARAMETERSREGISTRYKEY = NTSTATUS (*)(PWDF_DRIVER_GLOBALS, WDFDRIVER driver,
                                                            ACCESS_MASK desired_access,
                                                            PWDF_OBJECT_ATTRIBUTES key_attributes,
                                                            WDFKEY* key);
// Starts an I/O target; on a pipe with a configured continuous reader, starts its reads.
using PFN_WDFIOTARGETSTART = NTSTATUS (*)(PWDF_DRIVER_GLOBALS, WDFIOTARGET target);
// Stops an I/O target. WdfIoTargetCancelSentIo cancels the reader's reads and returns once
// every completion routine that had started has returned; none runs after.
using PFN_WDFIOTARGETSTOP = void (*)(PWDF_DRIVER_GLOBALS, WDFIOTARGET target,
                                     WDF_IO_TARGET_SENT_IO_ACTION action);
// Memory over the caller's buffer; the buffer is not freed with the object.
using PFN_WDFMEMORYCREATEPREALLOCATED = NTSTATUS (*)(PWDF_DRIVER_GLOBALS,
                                                     PWDF_OBJECT_ATTRIBUTES attributes,
                                                     PVOID buffer, size_t buffer_size,
                                                     WDFMEMORY* memory);
using PFN_WDFMEMORYGETBUFFER = PVOID (*)(PWDF_DRIVER_GLOBALS, WDFMEMORY memory,
                                         size_t* buffer_size);
// Deletes an object the caller created (with its children). Framework-owned objects (the
// device, the driver, interfaces, pipes) cannot be deleted.
using PFN_WDFOBJECTDELETE = void (*)(PWDF_DRIVER_GLOBALS, WDFOBJECT object);
using PFN_WDFREGISTRYCLOSE = void (*)(PWDF_DRIVER_GLOBALS, WDFKEY key);
// Missing value: STATUS_OBJECT_NAME_NOT_FOUND. A value longer than |value_length|:
// STATUS_BUFFER_OVERFLOW, nothing copied, |*value_length_queried| = the length needed.
using PFN_WDFREGISTRYQUERYVALUE = NTSTATUS (*)(PWDF_DRIVER_GLOBALS, WDFKEY key,
                                               PCUNICODE_STRING value_name, ULONG value_length,
                                               PVOID value, ULONG* value_length_queried,
                                               ULONG* value_type);
using PFN_WDFREQUESTCREATE = NTSTATUS (*)(PWDF_DRIVER_GLOBALS,
                                          PWDF_OBJECT_ATTRIBUTES request_attributes,
                                          WDFIOTARGET io_target, WDFREQUEST* request);
// Only synchronous sends are served (an asynchronous one traps). Returns TRUE when the
// request went to the device and completed (its status, success or failure, then reads
// from WdfRequestGetStatus); FALSE when it could not be sent (not formatted, target
// stopped, bad options), with the reason as the request's status. A time-out cancels the transfer
// and completes the request with STATUS_IO_TIMEOUT (a TRUE return).
using PFN_WDFREQUESTSEND = BOOLEAN (*)(PWDF_DRIVER_GLOBALS, WDFREQUEST request, WDFIOTARGET target,
                                       PWDF_REQUEST_SEND_OPTIONS options);
using PFN_WDFREQUESTGETSTATUS = NTSTATUS (*)(PWDF_DRIVER_GLOBALS, WDFREQUEST request);
using PFN_WDFWAITLOCKCREATE = NTSTATUS (*)(PWDF_DRIVER_GLOBALS,
                                           PWDF_OBJECT_ATTRIBUTES lock_attributes,
                                           WDFWAITLOCK* lock);
// Null |timeout| waits without limit. STATUS_SUCCESS: held. STATUS_TIMEOUT (a success code,
// not an error): not held, and the caller must not release it.
using PFN_WDFWAITLOCKACQUIRE = NTSTATUS (*)(PWDF_DRIVER_GLOBALS, WDFWAITLOCK lock,
                                            LONGLONG* timeout);
using PFN_WDFWAITLOCKRELEASE = void (*)(PWDF_DRIVER_GLOBALS, WDFWAITLOCK lock);
// Binds a USB target to the host's USB device: reads the device and configuration
// descriptors. The default parent is the WDF device.
using PFN_WDFUSBTARGETDEVICECREATEWITHPARAMETERS =
    NTSTATUS (*)(PWDF_DRIVER_GLOBALS, WDFDEVICE device, PWDF_USB_DEVICE_CREATE_CONFIG config,
                 PWDF_OBJECT_ATTRIBUTES attributes, WDFUSBDEVICE* usb_device);
using PFN_WDFUSBTARGETDEVICERETRIEVEINFORMATION = NTSTATUS (*)(
    PWDF_DRIVER_GLOBALS, WDFUSBDEVICE usb_device, PWDF_USB_DEVICE_INFORMATION information);
using PFN_WDFUSBTARGETDEVICEGETDEVICEDESCRIPTOR = void (*)(PWDF_DRIVER_GLOBALS,
                                                           WDFUSBDEVICE usb_device,
                                                           PUSB_DEVICE_DESCRIPTOR descriptor);
// Reads string descriptor |string_index| in |lang_id|. |*num_characters| is the buffer's
// capacity in characters on input and the string's length on output (no terminating zero is
// counted or written). A string longer than the buffer: STATUS_BUFFER_OVERFLOW, nothing
// copied, |*num_characters| = the length needed; a null |string| is a buffer of no
// characters, so it asks for the length that way. |request| and |options| may be null;
// without options the read waits at most 5 s.
using PFN_WDFUSBTARGETDEVICEQUERYSTRING = NTSTATUS (*)(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE usb_device,
                                                       WDFREQUEST request,
                                                       PWDF_REQUEST_SEND_OPTIONS options,
                                                       WCHAR* string, USHORT* num_characters,
                                                       UCHAR string_index, USHORT lang_id);
// Selects the first configuration as a single interface (alternate setting 0). A
// configuration with more than one interface fails with STATUS_INVALID_DEVICE_REQUEST.
using PFN_WDFUSBTARGETDEVICESELECTCONFIG = NTSTATUS (*)(
    PWDF_DRIVER_GLOBALS, WDFUSBDEVICE usb_device, PWDF_OBJECT_ATTRIBUTES pipe_attributes,
    PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS params);
// A control transfer on the default pipe. The data stage is |memory_descriptor| (may be
// null, or a buffer descriptor with a null buffer and length 0); wLength is taken from it.
// A time-out in |options| cancels the transfer and returns STATUS_IO_TIMEOUT.
using PFN_WDFUSBTARGETDEVICESENDCONTROLTRANSFERSYNCHRONOUSLY =
    NTSTATUS (*)(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE usb_device, WDFREQUEST request,
                 PWDF_REQUEST_SEND_OPTIONS options, PWDF_USB_CONTROL_SETUP_PACKET setup_packet,
                 PWDF_MEMORY_DESCRIPTOR memory_descriptor, ULONG* bytes_transferred);
using PFN_WDFUSBTARGETPIPEISINENDPOINT = BOOLEAN (*)(PWDF_DRIVER_GLOBALS, WDFUSBPIPE pipe);
using PFN_WDFUSBTARGETPIPEISOUTENDPOINT = BOOLEAN (*)(PWDF_DRIVER_GLOBALS, WDFUSBPIPE pipe);
// Lets reads on the pipe have any length (otherwise a multiple of the maximum packet size).
using PFN_WDFUSBTARGETPIPESETNOMAXIMUMPACKETSIZECHECK = void (*)(PWDF_DRIVER_GLOBALS,
                                                                 WDFUSBPIPE pipe);
// Formats |request| as a write of |write_memory| (or the part |write_offset| names) on an
// OUT pipe.
using PFN_WDFUSBTARGETPIPEFORMATREQUESTFORWRITE = NTSTATUS (*)(PWDF_DRIVER_GLOBALS, WDFUSBPIPE pipe,
                                                               WDFREQUEST request,
                                                               WDFMEMORY write_memory,
                                                               PWDFMEMORY_OFFSET write_offset);
// Configures a continuous reader on an IN pipe; its reads start with WdfIoTargetStart.
using PFN_WDFUSBTARGETPIPECONFIGCONTINUOUSREADER =
    NTSTATUS (*)(PWDF_DRIVER_GLOBALS, WDFUSBPIPE pipe, PWDF_USB_CONTINUOUS_READER_CONFIG config);
// Clears a halt on the pipe's endpoint. Without a time-out in |options| it waits as long as
// the device takes.
using PFN_WDFUSBTARGETPIPERESETSYNCHRONOUSLY = NTSTATUS (*)(PWDF_DRIVER_GLOBALS, WDFUSBPIPE pipe,
                                                            WDFREQUEST request,
                                                            PWDF_REQUEST_SEND_OPTIONS options);
// Null before the configuration is selected or for an index with no interface.
using PFN_WDFUSBTARGETDEVICEGETINTERFACE = WDFUSBINTERFACE (*)(PWDF_DRIVER_GLOBALS,
                                                               WDFUSBDEVICE usb_device,
                                                               UCHAR interface_index);
using PFN_WDFUSBINTERFACEGETNUMCONFIGUREDPIPES = BYTE (*)(PWDF_DRIVER_GLOBALS,
                                                          WDFUSBINTERFACE usb_interface);
// Null for an index past the last pipe; |pipe_info| (may be null) receives its endpoint.
using PFN_WDFUSBINTERFACEGETCONFIGUREDPIPE = WDFUSBPIPE (*)(PWDF_DRIVER_GLOBALS,
                                                            WDFUSBINTERFACE usb_interface,
                                                            UCHAR pipe_index,
                                                            PWDF_USB_PIPE_INFORMATION pipe_info);

// The function type of each served slot, so a call site names only the index.
template <WDFFUNCENUM Index>
struct WdfSlotType;
#define VORN_WDF_SLOT(name, pfn)         \
  template <>                            \
  struct WdfSlotType<name##TableIndex> { \
    using type = pfn;                    \
  };
VORN_WDF_SLOT(WdfDeviceAssignProperty, PFN_WDFDEVICEASSIGNPROPERTY)
VORN_WDF_SLOT(WdfDriverOpenParametersRegistryKey, PFN_WDFDRIVEROPENPARAMETERSREGISTRYKEY)
VORN_WDF_SLOT(WdfIoTargetStart, PFN_WDFIOTARGETSTART)
VORN_WDF_SLOT(WdfIoTargetStop, PFN_WDFIOTARGETSTOP)
VORN_WDF_SLOT(WdfMemoryCreatePreallocated, PFN_WDFMEMORYCREATEPREALLOCATED)
VORN_WDF_SLOT(WdfMemoryGetBuffer, PFN_WDFMEMORYGETBUFFER)
VORN_WDF_SLOT(WdfObjectDelete, PFN_WDFOBJECTDELETE)
VORN_WDF_SLOT(WdfRegistryClose, PFN_WDFREGISTRYCLOSE)
VORN_WDF_SLOT(WdfRegistryQueryValue, PFN_WDFREGISTRYQUERYVALUE)
VORN_WDF_SLOT(WdfRequestCreate, PFN_WDFREQUESTCREATE)
VORN_WDF_SLOT(WdfRequestSend, PFN_WDFREQUESTSEND)
VORN_WDF_SLOT(WdfRequestGetStatus, PFN_WDFREQUESTGETSTATUS)
VORN_WDF_SLOT(WdfWaitLockCreate, PFN_WDFWAITLOCKCREATE)
VORN_WDF_SLOT(WdfWaitLockAcquire, PFN_WDFWAITLOCKACQUIRE)
VORN_WDF_SLOT(WdfWaitLockRelease, PFN_WDFWAITLOCKRELEASE)
VORN_WDF_SLOT(WdfUsbTargetDeviceCreateWithParameters, PFN_WDFUSBTARGETDEVICECREATEWITHPARAMETERS)
VORN_WDF_SLOT(WdfUsbTargetDeviceRetrieveInformation, PFN_WDFUSBTARGETDEVICERETRIEVEINFORMATION)
VORN_WDF_SLOT(WdfUsbTargetDeviceGetDeviceDescriptor, PFN_WDFUSBTARGETDEVICEGETDEVICEDESCRIPTOR)
VORN_WDF_SLOT(WdfUsbTargetDeviceQueryString, PFN_WDFUSBTARGETDEVICEQUERYSTRING)
VORN_WDF_SLOT(WdfUsbTargetDeviceSelectConfig, PFN_WDFUSBTARGETDEVICESELECTCONFIG)
VORN_WDF_SLOT(WdfUsbTargetDeviceSendControlTransferSynchronously,
              PFN_WDFUSBTARGETDEVICESENDCONTROLTRANSFERSYNCHRONOUSLY)
VORN_WDF_SLOT(WdfUsbTargetPipeIsInEndpoint, PFN_WDFUSBTARGETPIPEISINENDPOINT)
VORN_WDF_SLOT(WdfUsbTargetPipeIsOutEndpoint, PFN_WDFUSBTARGETPIPEISOUTENDPOINT)
VORN_WDF_SLOT(WdfUsbTargetPipeSetNoMaximumPacketSizeCheck,
              PFN_WDFUSBTARGETPIPESETNOMAXIMUMPACKETSIZECHECK)
VORN_WDF_SLOT(WdfUsbTargetPipeFormatRequestForWrite, PFN_WDFUSBTARGETPIPEFORMATREQUESTFORWRITE)
VORN_WDF_SLOT(WdfUsbTargetPipeConfigContinuousReader, PFN_WDFUSBTARGETPIPECONFIGCONTINUOUSREADER)
VORN_WDF_SLOT(WdfUsbTargetPipeResetSynchronously, PFN_WDFUSBTARGETPIPERESETSYNCHRONOUSLY)
VORN_WDF_SLOT(WdfUsbTargetDeviceGetInterface, PFN_WDFUSBTARGETDEVICEGETINTERFACE)
VORN_WDF_SLOT(WdfUsbInterfaceGetNumConfiguredPipes, PFN_WDFUSBINTERFACEGETNUMCONFIGUREDPIPES)
VORN_WDF_SLOT(WdfUsbInterfaceGetConfiguredPipe, PFN_WDFUSBINTERFACEGETCONFIGUREDPIPE)
#undef VORN_WDF_SLOT

// The typed entry of slot |Index| of |functions|.
template <WDFFUNCENUM Index>
inline typename WdfSlotType<Index>::type WdfSlot(const WDFFUNC* functions) {
  return reinterpret_cast<typename WdfSlotType<Index>::type>(functions[Index]);
}
