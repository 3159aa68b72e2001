// USB target device: creation over the host's UsbDevice, the information and descriptor
// queries, string descriptors, single-interface configuration and control transfers.
#include "platform/umdf/usb_target.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "platform/umdf/continuous_reader.h"
#include "platform/umdf/host_state.h"
#include "platform/umdf/operations.h"
#include "platform/umdf/request.h"

namespace vorn::umdf {
namespace {

constexpr size_t kConfigurationHeaderLength = 9;
constexpr size_t kMaxStringDescriptorLength = 255;
constexpr uint8_t kConfigSelfPowered = 0x40;
constexpr uint8_t kConfigRemoteWakeup = 0x20;
constexpr ULONG kUsbdiVersion = 0x600;

// A standard GET_DESCRIPTOR request into |buffer|.
UsbResult GetDescriptor(UsbTarget& target, uint8_t type, uint8_t index, uint16_t language,
                        uint8_t* buffer, uint16_t length, clock::Duration timeout,
                        uint32_t* actual) {
  usb::Transfer t;
  t.setup.bmRequestType = usb::kDirIn | usb::kTypeStandard | usb::kRecipientDevice;
  t.setup.bRequest = usb::kRequestGetDescriptor;
  t.setup.wValue = static_cast<uint16_t>((type << 8) | index);
  t.setup.wIndex = language;
  t.setup.wLength = length;
  t.buffer = buffer;
  t.length = length;
  UsbResult result = target.Run(t, timeout);
  *actual = std::min(t.actual, static_cast<uint32_t>(length));
  return result;
}

NTSTATUS ReadDescriptors(UsbTarget& target) {
  uint32_t actual = 0;
  USB_DEVICE_DESCRIPTOR device{};
  UsbResult r =
      GetDescriptor(target, usb::kDescriptorDevice, 0, 0, reinterpret_cast<uint8_t*>(&device),
                    sizeof(device), kDefaultRequestTimeout, &actual);
  if (!NT_SUCCESS(r.status)) return r.status;
  if (actual < sizeof(device) || device.bLength < sizeof(device) ||
      device.bDescriptorType != usb::kDescriptorDevice)
    return STATUS_DEVICE_DATA_ERROR;
  target.device_descriptor = device;

  uint8_t header[kConfigurationHeaderLength] = {};
  r = GetDescriptor(target, usb::kDescriptorConfiguration, 0, 0, header, sizeof(header),
                    kDefaultRequestTimeout, &actual);
  if (!NT_SUCCESS(r.status)) return r.status;
  const uint16_t total = static_cast<uint16_t>(header[2] | (header[3] << 8));
  if (actual < sizeof(header) || header[1] != usb::kDescriptorConfiguration ||
      total < sizeof(header))
    return STATUS_DEVICE_DATA_ERROR;
  std::vector<uint8_t> configuration(total);
  r = GetDescriptor(target, usb::kDescriptorConfiguration, 0, 0, configuration.data(), total,
                    kDefaultRequestTimeout, &actual);
  if (!NT_SUCCESS(r.status)) return r.status;
  if (actual < total) return STATUS_DEVICE_DATA_ERROR;
  target.configuration = std::move(configuration);
  return STATUS_SUCCESS;
}

struct ParsedConfiguration {
  uint8_t value = 0;
  uint8_t interface_count = 0;   // bNumInterfaces
  std::set<uint8_t> interfaces;  // interface numbers seen
  uint8_t first_interface = 0;
  std::vector<EndpointInfo> endpoints;  // of the first interface, alternate setting 0
};

// Walks the configuration descriptor set; anything that runs past its end or has a length
// below two is refused rather than guessed at.
NTSTATUS ParseConfiguration(const std::vector<uint8_t>& d, ParsedConfiguration* out) {
  out->interface_count = d[4];
  out->value = d[5];
  bool in_first_alt0 = false;
  bool seen_interface = false;
  for (size_t i = 0; i < d.size();) {
    if (d.size() - i < 2) return STATUS_DEVICE_DATA_ERROR;
    const size_t length = d[i];
    const uint8_t type = d[i + 1];
    if (length < 2 || length > d.size() - i) return STATUS_DEVICE_DATA_ERROR;
    if (type == usb::kDescriptorInterface && length >= 9) {
      const uint8_t number = d[i + 2];
      const uint8_t alternate = d[i + 3];
      if (!seen_interface) out->first_interface = number;
      seen_interface = true;
      out->interfaces.insert(number);
      in_first_alt0 = number == out->first_interface && alternate == 0;
    } else if (type == usb::kDescriptorEndpoint && length >= 7 && in_first_alt0) {
      EndpointInfo e;
      e.address = d[i + 2];
      e.attributes = d[i + 3];
      e.max_packet_size = static_cast<uint16_t>((d[i + 4] | (d[i + 5] << 8)) & 0x7FF);
      e.interval = d[i + 6];
      static constexpr WDF_USB_PIPE_TYPE kTypes[] = {WdfUsbPipeTypeControl,
                                                     WdfUsbPipeTypeIsochronous, WdfUsbPipeTypeBulk,
                                                     WdfUsbPipeTypeInterrupt};
      e.type = kTypes[e.attributes & 3];
      out->endpoints.push_back(e);
    }
    i += length;
  }
  return STATUS_SUCCESS;
}

// The data stage a memory descriptor names.
NTSTATUS DataStage(const WDF_MEMORY_DESCRIPTOR* descriptor, uint8_t** buffer, size_t* length,
                   const char* operation) {
  *buffer = nullptr;
  *length = 0;
  if (descriptor == nullptr) return STATUS_SUCCESS;
  switch (descriptor->Type) {
    case WdfMemoryDescriptorTypeBuffer:
      *buffer = static_cast<uint8_t*>(descriptor->u.BufferType.Buffer);
      *length = descriptor->u.BufferType.Length;
      if (*buffer == nullptr && *length != 0) return STATUS_INVALID_PARAMETER;
      return STATUS_SUCCESS;
    case WdfMemoryDescriptorTypeHandle: {
      auto* memory = Resolve<Memory>(descriptor->u.HandleType.Memory, Kind::kMemory, operation);
      size_t offset = 0;
      size_t size = memory->size();
      if (const WDFMEMORY_OFFSET* o = descriptor->u.HandleType.Offsets) {
        if (o->BufferOffset > memory->size() || o->BufferLength > memory->size() - o->BufferOffset)
          return STATUS_INVALID_BUFFER_SIZE;
        offset = o->BufferOffset;
        size = o->BufferLength;
      }
      *buffer = static_cast<uint8_t*>(memory->buffer()) + offset;
      *length = size;
      return STATUS_SUCCESS;
    }
    case WdfMemoryDescriptorTypeInvalid:
      break;
  }
  return STATUS_INVALID_PARAMETER;
}

}  // namespace

UsbResult UsbTarget::Run(usb::Transfer& transfer, clock::Duration timeout) {
  bool timed_out = false;
  usb::RunSync(*device_, transfer, timeout, &timed_out);
  return MapTransferResult(transfer, timed_out);
}

Pipe::Pipe(HostState* host, UsbTarget* target, const EndpointInfo& endpoint)
    : IoTarget(host, Kind::kPipe, false), target_(target), endpoint_(endpoint) {}

Pipe::~Pipe() = default;

void Pipe::Shutdown() {
  if (ContinuousReader::CurrentPipe() == this)
    Trap("WdfObjectDelete: pipe 0x%02x deleted from its continuous reader's routine",
         endpoint().address);
  std::lock_guard<std::mutex> guard(reader_lock);
  if (reader) reader->Stop();
}

NTSTATUS WdfUsbTargetDeviceCreateWithParameters(PWDF_DRIVER_GLOBALS globals, WDFDEVICE device,
                                                PWDF_USB_DEVICE_CREATE_CONFIG config,
                                                PWDF_OBJECT_ATTRIBUTES attributes,
                                                WDFUSBDEVICE* usb_device) {
  constexpr const char* kOp = "WdfUsbTargetDeviceCreateWithParameters";
  CheckGlobals(globals, kOp);
  Object* wdf_device = Resolve<Object>(device, Kind::kDevice, kOp);
  HostState* host = wdf_device->host();
  if (usb_device == nullptr || config == nullptr) return STATUS_INVALID_PARAMETER;
  *usb_device = nullptr;
  if (config->Size != sizeof(WDF_USB_DEVICE_CREATE_CONFIG)) return STATUS_INFO_LENGTH_MISMATCH;
  Object* parent = nullptr;
  if (NTSTATUS s = ParentFrom(attributes, wdf_device, kOp, &parent); !NT_SUCCESS(s)) return s;
  if (parent->host() != host) return STATUS_INVALID_PARAMETER;

  usb::UsbDevice* bus_device = nullptr;
  {
    std::lock_guard<std::mutex> guard(host->lock);
    bus_device = host->usb_device;
    host->contract_version = config->USBDClientContractVersion;
  }
  if (bus_device == nullptr) return STATUS_NO_SUCH_DEVICE;

  auto target = std::make_unique<UsbTarget>(host, bus_device);
  if (NTSTATUS s = ReadDescriptors(*target); !NT_SUCCESS(s)) return s;
  Register(target.get(), parent);
  *usb_device = HandleOf<WDFUSBDEVICE>(target.release());
  return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetDeviceRetrieveInformation(PWDF_DRIVER_GLOBALS globals, WDFUSBDEVICE usb_device,
                                               PWDF_USB_DEVICE_INFORMATION information) {
  constexpr const char* kOp = "WdfUsbTargetDeviceRetrieveInformation";
  CheckGlobals(globals, kOp);
  auto* target = Resolve<UsbTarget>(usb_device, Kind::kUsbDevice, kOp);
  if (information == nullptr) return STATUS_INVALID_PARAMETER;
  if (information->Size != sizeof(WDF_USB_DEVICE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
  const uint8_t attributes = target->configuration[7];
  information->UsbdVersionInformation.USBDI_Version = kUsbdiVersion;
  information->UsbdVersionInformation.Supported_USB_Version = target->device_descriptor.bcdUSB;
  information->HcdPortCapabilities = 0;
  information->Traits = 0;
  if (attributes & kConfigSelfPowered) information->Traits |= WDF_USB_DEVICE_TRAIT_SELF_POWERED;
  if (attributes & kConfigRemoteWakeup)
    information->Traits |= WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE;
  // The bus reports no speed of its own; a device of USB 2 or later runs at high speed here.
  if (target->device_descriptor.bcdUSB >= 0x0200)
    information->Traits |= WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED;
  return STATUS_SUCCESS;
}

void WdfUsbTargetDeviceGetDeviceDescriptor(PWDF_DRIVER_GLOBALS globals, WDFUSBDEVICE usb_device,
                                           PUSB_DEVICE_DESCRIPTOR descriptor) {
  constexpr const char* kOp = "WdfUsbTargetDeviceGetDeviceDescriptor";
  CheckGlobals(globals, kOp);
  auto* target = Resolve<UsbTarget>(usb_device, Kind::kUsbDevice, kOp);
  if (descriptor == nullptr) Trap("%s: null descriptor", kOp);
  *descriptor = target->device_descriptor;
}

NTSTATUS WdfUsbTargetDeviceQueryString(PWDF_DRIVER_GLOBALS globals, WDFUSBDEVICE usb_device,
                                       WDFREQUEST request, PWDF_REQUEST_SEND_OPTIONS options,
                                       WCHAR* string, USHORT* num_characters, UCHAR string_index,
                                       USHORT lang_id) {
  constexpr const char* kOp = "WdfUsbTargetDeviceQueryString";
  CheckGlobals(globals, kOp);
  auto* target = Resolve<UsbTarget>(usb_device, Kind::kUsbDevice, kOp);
  if (request != nullptr) Resolve<Request>(request, Kind::kRequest, kOp);
  if (num_characters == nullptr) return STATUS_INVALID_PARAMETER;
  clock::Duration timeout{};
  if (NTSTATUS s = SendTimeout(options, kDefaultRequestTimeout, &timeout); !NT_SUCCESS(s)) return s;

  uint8_t descriptor[kMaxStringDescriptorLength] = {};
  uint32_t actual = 0;
  const UsbResult r = GetDescriptor(*target, usb::kDescriptorString, string_index, lang_id,
                                    descriptor, sizeof(descriptor), timeout, &actual);
  if (!NT_SUCCESS(r.status)) return r.status;
  if (actual < 2 || descriptor[0] < 2 || descriptor[1] != usb::kDescriptorString)
    return STATUS_DEVICE_DATA_ERROR;
  // A descriptor claiming more than came is taken as far as it came; an odd byte is dropped.
  const size_t bytes = std::min<size_t>(descriptor[0], actual) - 2;
  const USHORT characters = static_cast<USHORT>(bytes / 2);

  const USHORT capacity = string == nullptr ? 0 : *num_characters;
  *num_characters = characters;
  if (characters > capacity) return STATUS_BUFFER_OVERFLOW;
  for (USHORT i = 0; i < characters; ++i)
    string[i] = static_cast<WCHAR>(descriptor[2 + 2 * i] | (descriptor[3 + 2 * i] << 8));
  return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetDeviceSelectConfig(PWDF_DRIVER_GLOBALS globals, WDFUSBDEVICE usb_device,
                                        PWDF_OBJECT_ATTRIBUTES pipe_attributes,
                                        PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS params) {
  constexpr const char* kOp = "WdfUsbTargetDeviceSelectConfig";
  CheckGlobals(globals, kOp);
  auto* target = Resolve<UsbTarget>(usb_device, Kind::kUsbDevice, kOp);
  if (params == nullptr) return STATUS_INVALID_PARAMETER;
  if (params->Size != sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS))
    return STATUS_INFO_LENGTH_MISMATCH;
  if (pipe_attributes != nullptr && pipe_attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES))
    return STATUS_INFO_LENGTH_MISMATCH;
  if (params->Type != WdfUsbTargetDeviceSelectConfigTypeSingleInterface)
    return STATUS_INVALID_PARAMETER;
  if (target->configured.load() != nullptr) return STATUS_INVALID_DEVICE_STATE;

  ParsedConfiguration parsed;
  if (NTSTATUS s = ParseConfiguration(target->configuration, &parsed); !NT_SUCCESS(s)) return s;
  if (parsed.interface_count != 1 || parsed.interfaces.size() != 1)
    return STATUS_INVALID_DEVICE_REQUEST;

  usb::Transfer t;
  t.setup.bmRequestType = usb::kTypeStandard | usb::kRecipientDevice;
  t.setup.bRequest = usb::kRequestSetConfiguration;
  t.setup.wValue = parsed.value;
  const UsbResult r = target->Run(t, kDefaultRequestTimeout);
  if (!NT_SUCCESS(r.status)) return r.status;

  HostState* host = target->host();
  auto* usb_interface = new Interface(host, parsed.first_interface);
  Register(usb_interface, target);
  for (const EndpointInfo& endpoint : parsed.endpoints) {
    auto* pipe = new Pipe(host, target, endpoint);
    Register(pipe, usb_interface);
    usb_interface->pipes.push_back(pipe);
  }
  target->configured.store(usb_interface);
  params->Types.SingleInterface.NumberConfiguredPipes =
      static_cast<UCHAR>(usb_interface->pipes.size());
  params->Types.SingleInterface.ConfiguredUsbInterface = HandleOf<WDFUSBINTERFACE>(usb_interface);
  return STATUS_SUCCESS;
}

NTSTATUS WdfUsbTargetDeviceSendControlTransferSynchronously(
    PWDF_DRIVER_GLOBALS globals, WDFUSBDEVICE usb_device, WDFREQUEST request,
    PWDF_REQUEST_SEND_OPTIONS options, PWDF_USB_CONTROL_SETUP_PACKET setup_packet,
    PWDF_MEMORY_DESCRIPTOR memory_descriptor, ULONG* bytes_transferred) {
  constexpr const char* kOp = "WdfUsbTargetDeviceSendControlTransferSynchronously";
  CheckGlobals(globals, kOp);
  auto* target = Resolve<UsbTarget>(usb_device, Kind::kUsbDevice, kOp);
  Request* own_request =
      request == nullptr ? nullptr : Resolve<Request>(request, Kind::kRequest, kOp);
  if (bytes_transferred != nullptr) *bytes_transferred = 0;
  if (setup_packet == nullptr) return STATUS_INVALID_PARAMETER;
  clock::Duration timeout{};
  if (NTSTATUS s = SendTimeout(options, clock::Duration::zero(), &timeout); !NT_SUCCESS(s))
    return s;
  uint8_t* buffer = nullptr;
  size_t length = 0;
  if (NTSTATUS s = DataStage(memory_descriptor, &buffer, &length, kOp); !NT_SUCCESS(s)) return s;
  if (length > 0xFFFF) return STATUS_INVALID_PARAMETER;
  const bool ignore_state =
      options != nullptr && (options->Flags & WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
  if (!target->started() && !ignore_state) return STATUS_INVALID_DEVICE_STATE;

  usb::Transfer t;
  t.setup.bmRequestType = setup_packet->Packet.bmRequestType;
  t.setup.bRequest = setup_packet->Packet.bRequest;
  t.setup.wValue = setup_packet->Packet.wValue;
  t.setup.wIndex = setup_packet->Packet.wIndex;
  t.setup.wLength = static_cast<uint16_t>(length);
  setup_packet->Packet.wLength = t.setup.wLength;
  t.buffer = buffer;
  t.length = static_cast<uint32_t>(length);
  const UsbResult r = target->Run(t, timeout);
  if (bytes_transferred != nullptr)
    *bytes_transferred = std::min(t.actual, static_cast<uint32_t>(length));
  if (own_request != nullptr) {
    std::lock_guard<std::mutex> guard(own_request->lock);
    own_request->status = r.status;
  }
  return r.status;
}

WDFUSBINTERFACE WdfUsbTargetDeviceGetInterface(PWDF_DRIVER_GLOBALS globals, WDFUSBDEVICE usb_device,
                                               UCHAR interface_index) {
  constexpr const char* kOp = "WdfUsbTargetDeviceGetInterface";
  CheckGlobals(globals, kOp);
  auto* target = Resolve<UsbTarget>(usb_device, Kind::kUsbDevice, kOp);
  if (interface_index != 0) return nullptr;
  return HandleOf<WDFUSBINTERFACE>(target->configured.load());
}

BYTE WdfUsbInterfaceGetNumConfiguredPipes(PWDF_DRIVER_GLOBALS globals,
                                          WDFUSBINTERFACE usb_interface) {
  constexpr const char* kOp = "WdfUsbInterfaceGetNumConfiguredPipes";
  CheckGlobals(globals, kOp);
  auto* found = Resolve<Interface>(usb_interface, Kind::kInterface, kOp);
  return static_cast<BYTE>(found->pipes.size());
}

WDFUSBPIPE WdfUsbInterfaceGetConfiguredPipe(PWDF_DRIVER_GLOBALS globals,
                                            WDFUSBINTERFACE usb_interface, UCHAR pipe_index,
                                            PWDF_USB_PIPE_INFORMATION pipe_info) {
  constexpr const char* kOp = "WdfUsbInterfaceGetConfiguredPipe";
  CheckGlobals(globals, kOp);
  auto* found = Resolve<Interface>(usb_interface, Kind::kInterface, kOp);
  if (pipe_info != nullptr && pipe_info->Size != sizeof(WDF_USB_PIPE_INFORMATION))
    Trap("%s: pipe information of size %u, expected %zu", kOp, pipe_info->Size,
         sizeof(WDF_USB_PIPE_INFORMATION));
  if (pipe_index >= found->pipes.size()) return nullptr;
  Pipe* pipe = found->pipes[pipe_index];
  if (pipe_info != nullptr) {
    const EndpointInfo& e = pipe->endpoint();
    pipe_info->MaximumPacketSize = e.max_packet_size;
    pipe_info->EndpointAddress = e.address;
    pipe_info->Interval = e.interval;
    pipe_info->SettingIndex = 0;
    pipe_info->PipeType = e.type;
    pipe_info->MaximumTransferSize = kMaximumTransferSize;
  }
  return HandleOf<WDFUSBPIPE>(pipe);
}

}  // namespace vorn::umdf
