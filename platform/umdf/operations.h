// The operations behind the served slots of the function table, one per slot, each with the
// type wdf.h gives that slot. Grouped by the file that holds them.
#pragma once

#include "platform/umdf/wdf.h"

namespace vorn::umdf {

// device_property.cpp
NTSTATUS WdfDeviceAssignProperty(PWDF_DRIVER_GLOBALS, WDFDEVICE, PWDF_DEVICE_PROPERTY_DATA,
                                 DEVPROPTYPE, ULONG, PVOID);
// registry.cpp
NTSTATUS WdfDriverOpenParametersRegistryKey(PWDF_DRIVER_GLOBALS, WDFDRIVER, ACCESS_MASK,
                                            PWDF_OBJECT_ATTRIBUTES, WDFKEY*);
void WdfRegistryClose(PWDF_DRIVER_GLOBALS, WDFKEY);
NTSTATUS WdfRegistryQueryValue(PWDF_DRIVER_GLOBALS, WDFKEY, PCUNICODE_STRING, ULONG, PVOID, ULONG*,
                               ULONG*);
// io_target.cpp
NTSTATUS WdfIoTargetStart(PWDF_DRIVER_GLOBALS, WDFIOTARGET);
void WdfIoTargetStop(PWDF_DRIVER_GLOBALS, WDFIOTARGET, WDF_IO_TARGET_SENT_IO_ACTION);
// request.cpp
NTSTATUS WdfMemoryCreatePreallocated(PWDF_DRIVER_GLOBALS, PWDF_OBJECT_ATTRIBUTES, PVOID, size_t,
                                     WDFMEMORY*);
PVOID WdfMemoryGetBuffer(PWDF_DRIVER_GLOBALS, WDFMEMORY, size_t*);
NTSTATUS WdfRequestCreate(PWDF_DRIVER_GLOBALS, PWDF_OBJECT_ATTRIBUTES, WDFIOTARGET, WDFREQUEST*);
BOOLEAN WdfRequestSend(PWDF_DRIVER_GLOBALS, WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_SEND_OPTIONS);
NTSTATUS WdfRequestGetStatus(PWDF_DRIVER_GLOBALS, WDFREQUEST);
NTSTATUS WdfUsbTargetPipeFormatRequestForWrite(PWDF_DRIVER_GLOBALS, WDFUSBPIPE, WDFREQUEST,
                                               WDFMEMORY, PWDFMEMORY_OFFSET);
// host.cpp
void WdfObjectDelete(PWDF_DRIVER_GLOBALS, WDFOBJECT);
// wait_lock.cpp
NTSTATUS WdfWaitLockCreate(PWDF_DRIVER_GLOBALS, PWDF_OBJECT_ATTRIBUTES, WDFWAITLOCK*);
NTSTATUS WdfWaitLockAcquire(PWDF_DRIVER_GLOBALS, WDFWAITLOCK, LONGLONG*);
void WdfWaitLockRelease(PWDF_DRIVER_GLOBALS, WDFWAITLOCK);
// usb_target.cpp
NTSTATUS WdfUsbTargetDeviceCreateWithParameters(PWDF_DRIVER_GLOBALS, WDFDEVICE,
                                                PWDF_USB_DEVICE_CREATE_CONFIG,
                                                PWDF_OBJECT_ATTRIBUTES, WDFUSBDEVICE*);
NTSTATUS WdfUsbTargetDeviceRetrieveInformation(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE,
                                               PWDF_USB_DEVICE_INFORMATION);
void WdfUsbTargetDeviceGetDeviceDescriptor(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE,
                                           PUSB_DEVICE_DESCRIPTOR);
NTSTATUS WdfUsbTargetDeviceQueryString(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE, WDFREQUEST,
                                       PWDF_REQUEST_SEND_OPTIONS, WCHAR*, USHORT*, UCHAR, USHORT);
NTSTATUS WdfUsbTargetDeviceSelectConfig(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE, PWDF_OBJECT_ATTRIBUTES,
                                        PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
NTSTATUS WdfUsbTargetDeviceSendControlTransferSynchronously(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE,
                                                            WDFREQUEST, PWDF_REQUEST_SEND_OPTIONS,
                                                            PWDF_USB_CONTROL_SETUP_PACKET,
                                                            PWDF_MEMORY_DESCRIPTOR, ULONG*);
WDFUSBINTERFACE WdfUsbTargetDeviceGetInterface(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE, UCHAR);
BYTE WdfUsbInterfaceGetNumConfiguredPipes(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE);
WDFUSBPIPE WdfUsbInterfaceGetConfiguredPipe(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE, UCHAR,
                                            PWDF_USB_PIPE_INFORMATION);
// pipe.cpp
BOOLEAN WdfUsbTargetPipeIsInEndpoint(PWDF_DRIVER_GLOBALS, WDFUSBPIPE);
BOOLEAN WdfUsbTargetPipeIsOutEndpoint(PWDF_DRIVER_GLOBALS, WDFUSBPIPE);
void WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(PWDF_DRIVER_GLOBALS, WDFUSBPIPE);
NTSTATUS WdfUsbTargetPipeConfigContinuousReader(PWDF_DRIVER_GLOBALS, WDFUSBPIPE,
                                                PWDF_USB_CONTINUOUS_READER_CONFIG);
NTSTATUS WdfUsbTargetPipeResetSynchronously(PWDF_DRIVER_GLOBALS, WDFUSBPIPE, WDFREQUEST,
                                            PWDF_REQUEST_SEND_OPTIONS);

}  // namespace vorn::umdf
