#include "platform/usb/bus/audio_class_client.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/kernel/pnp.h"
#include "platform/kernel/power.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/sync.h"
#include "platform/usb/bus/upper_driver.h"

namespace vorn::usb {
namespace {

constexpr UCHAR kCsInterface = 0x24;
constexpr UCHAR kEndpointType = 0x05;
constexpr UCHAR kInterfaceType = 0x04;
constexpr UCHAR kSetCur = 0x01;
constexpr UCHAR kGetCur = 0x81;
constexpr UCHAR kMuteControl = 1;
constexpr UCHAR kVolumeControl = 2;

NTSTATUS QueryBusInterface(DEVICE_OBJECT* lower, USB_BUS_INTERFACE_USBDI_V1* out) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK io_status{};
  IRP* irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, lower, nullptr, 0, nullptr, &done, &io_status);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IO_STACK_LOCATION* st = IoGetNextIrpStackLocation(irp);
  st->MinorFunction = IRP_MN_QUERY_INTERFACE;
  st->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
  st->Parameters.QueryInterface.Size = sizeof *out;
  st->Parameters.QueryInterface.Version = 1;
  st->Parameters.QueryInterface.Interface = reinterpret_cast<INTERFACE*>(out);
  if (IoCallDriver(lower, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return io_status.Status;
}

// The descriptors of a configuration set, one at a time; stops at a length that would run
// past the end or does not move on.
template <typename Visit>
void WalkDescriptors(const std::vector<uint8_t>& bytes, Visit visit) {
  size_t at = 0;
  while (at + 2 <= bytes.size()) {
    const uint8_t length = bytes[at];
    if (length < 2 || at + length > bytes.size()) return;
    visit(&bytes[at], length);
    at += length;
  }
}

}  // namespace

AudioClassDevice::AudioClassDevice(DEVICE_OBJECT* lower) : lower_(lower) {}

AudioClassDevice::~AudioClassDevice() {
  if (have_bus_ && bus_.InterfaceDereference) bus_.InterfaceDereference(bus_.BusContext);
}

NTSTATUS AudioClassDevice::Submit(URB* urb) const {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  IRP* irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, lower_, nullptr, 0, nullptr,
                                           0, TRUE, &done, &iosb);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  if (IoCallDriver(lower_, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return iosb.Status;
}

NTSTATUS AudioClassDevice::ReadDescriptor(uint8_t type, uint8_t index, std::vector<uint8_t>* out,
                                          uint32_t length) {
  out->assign(length, 0);
  URB urb{};
  UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, index, 0x0409,
                               out->data(), nullptr, length, nullptr);
  return Submit(&urb);
}

NTSTATUS AudioClassDevice::Configure() {
  have_bus_ = NT_SUCCESS(QueryBusInterface(lower_, &bus_));
  if (!have_bus_) return STATUS_NOT_SUPPORTED;
  NTSTATUS status = ReadDescriptor(1, 0, &device_, 18);
  if (!NT_SUCCESS(status)) return status;
  std::vector<uint8_t> head;
  status = ReadDescriptor(2, 0, &head, 9);
  if (!NT_SUCCESS(status)) return status;
  const uint32_t total = static_cast<uint32_t>(head[2] | head[3] << 8);
  if (total < 9) return STATUS_DEVICE_DATA_ERROR;
  status = ReadDescriptor(2, 0, &config_, total);
  if (!NT_SUCCESS(status)) return status;
  Parse();
  return SelectConfiguration();
}

void AudioClassDevice::Parse() {
  streams_.clear();
  units_.clear();
  int interface_number = -1, alternate = -1, subclass = -1;
  Stream* stream = nullptr;
  WalkDescriptors(config_, [&](const uint8_t* d, uint8_t length) {
    const uint8_t type = d[1];
    if (type == kInterfaceType && length >= 9) {
      interface_number = d[2];
      alternate = d[3];
      subclass = d[6];
      stream = nullptr;
      if (d[5] == 0x01 && subclass == 0x02 && alternate == 1) {
        streams_.push_back(Stream{});
        stream = &streams_.back();
        stream->interface_number = d[2];
      }
      return;
    }
    if (type == kCsInterface && length >= 3 && subclass == 0x01 && d[2] == 0x06 && length >= 7) {
      FeatureUnit unit;
      unit.id = d[3];
      unit.source = d[4];
      const uint8_t control_size = d[5] ? d[5] : 1;
      const int controls = (length - 7) / control_size;
      unit.channels = static_cast<uint8_t>(std::max(controls - 1, 0));
      units_.push_back(unit);
      return;
    }
    if (!stream) return;
    if (type == kCsInterface && length >= 4 && d[2] == 0x01) {
      stream->terminal_link = d[3];
    } else if (type == kCsInterface && length >= 8 && d[2] == 0x02) {
      stream->channels = d[4];
      stream->subframe_bytes = d[5];
      stream->bits = d[6];
      const uint8_t n = d[7];
      for (uint8_t r = 0; r < n && 8u + 3u * r + 3u <= length; ++r) {
        const uint8_t* p = d + 8 + 3 * r;
        stream->rates.push_back(uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16);
      }
    } else if (type == kEndpointType && length >= 7) {
      stream->endpoint = d[2];
    }
  });
}

NTSTATUS AudioClassDevice::SelectConfiguration() {
  auto* config = reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(config_.data());
  std::vector<USBD_INTERFACE_LIST_ENTRY> list;
  WalkDescriptors(config_, [&](const uint8_t* d, uint8_t length) {
    if (d[1] == kInterfaceType && length >= 9 && d[3] == 0)
      list.push_back({reinterpret_cast<USB_INTERFACE_DESCRIPTOR*>(const_cast<uint8_t*>(d)), nullptr});
  });
  if (list.empty()) return STATUS_DEVICE_DATA_ERROR;
  list.push_back({nullptr, nullptr});
  URB* urb = USBD_CreateConfigurationRequestEx(config, list.data());
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = Submit(urb);
  if (NT_SUCCESS(status)) configuration_handle_ = urb->UrbSelectConfiguration.ConfigurationHandle;
  ExFreePool(urb);
  return status;
}

const AudioClassDevice::Stream* AudioClassDevice::StreamOf(uint8_t endpoint) const {
  for (const Stream& s : streams_)
    if (s.endpoint == endpoint) return &s;
  return nullptr;
}

NTSTATUS AudioClassDevice::QueryBusTime(ULONG* frame) const {
  if (!have_bus_ || !bus_.QueryBusTime) return STATUS_NOT_SUPPORTED;
  return bus_.QueryBusTime(bus_.BusContext, frame);
}

NTSTATUS AudioClassDevice::GetString(uint8_t index, std::u16string* text, USBD_STATUS* usbd) {
  std::vector<uint8_t> bytes(255, 0);
  URB urb{};
  UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), 3, index, 0x0409,
                               bytes.data(), nullptr, static_cast<ULONG>(bytes.size()), nullptr);
  NTSTATUS status = Submit(&urb);
  if (usbd) *usbd = urb.UrbHeader.Status;
  text->clear();
  if (!NT_SUCCESS(status)) return status;
  const size_t length = std::min<size_t>(bytes[0], urb.UrbControlDescriptorRequest.TransferBufferLength);
  for (size_t i = 2; i + 1 < length; i += 2) {
    char16_t c = static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
    if (c == 0) break;
    text->push_back(c);
  }
  return status;
}

NTSTATUS AudioClassDevice::SelectAlternate(uint8_t interface_number, uint8_t alternate,
                                           USBD_STATUS* usbd) {
  ULONG pipes = 0;
  WalkDescriptors(config_, [&](const uint8_t* d, uint8_t length) {
    if (d[1] == kInterfaceType && length >= 9 && d[2] == interface_number && d[3] == alternate)
      pipes = d[4];
  });
  const size_t info_bytes =
      offsetof(USBD_INTERFACE_INFORMATION, Pipes) + std::max<ULONG>(pipes, 1) * sizeof(USBD_PIPE_INFORMATION);
  std::vector<uint8_t> block(offsetof(_URB_SELECT_INTERFACE, Interface) + info_bytes, 0);
  auto* urb = reinterpret_cast<URB*>(block.data());
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
  urb->UrbHeader.Length = static_cast<USHORT>(block.size());
  urb->UrbSelectInterface.ConfigurationHandle = configuration_handle_;
  USBD_INTERFACE_INFORMATION& info = urb->UrbSelectInterface.Interface;
  info.Length = static_cast<USHORT>(info_bytes);
  info.InterfaceNumber = interface_number;
  info.AlternateSetting = alternate;
  NTSTATUS status = Submit(urb);
  if (usbd) *usbd = urb->UrbHeader.Status;
  if (NT_SUCCESS(status)) {
    for (Stream& s : streams_)
      if (s.interface_number == interface_number)
        s.pipe = alternate == 1 && info.NumberOfPipes > 0 ? info.Pipes[0].PipeHandle : nullptr;
  }
  return status;
}

NTSTATUS AudioClassDevice::ClassRequest(USHORT function, uint8_t request, uint16_t value,
                                        uint16_t index, void* data, uint32_t length, bool in,
                                        uint32_t* transferred, USBD_STATUS* usbd) {
  URB urb{};
  UsbBuildVendorRequest(&urb, function, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        in ? USBD_TRANSFER_DIRECTION_IN : 0, 0, request, value, index, data,
                        nullptr, length, nullptr);
  NTSTATUS status = Submit(&urb);
  if (usbd) *usbd = urb.UrbHeader.Status;
  if (transferred) *transferred = urb.UrbControlVendorClassRequest.TransferBufferLength;
  return status;
}

NTSTATUS AudioClassDevice::SetSampleRate(uint8_t endpoint, uint32_t rate, USBD_STATUS* usbd) {
  uint8_t bytes[3] = {static_cast<uint8_t>(rate), static_cast<uint8_t>(rate >> 8),
                      static_cast<uint8_t>(rate >> 16)};
  return ClassRequest(URB_FUNCTION_CLASS_ENDPOINT, kSetCur, 0x0100, endpoint, bytes, 3, false,
                      nullptr, usbd);
}

NTSTATUS AudioClassDevice::GetSampleRate(uint8_t endpoint, uint32_t* rate, USBD_STATUS* usbd) {
  uint8_t bytes[3] = {};
  NTSTATUS status = ClassRequest(URB_FUNCTION_CLASS_ENDPOINT, kGetCur, 0x0100, endpoint, bytes, 3,
                                 true, nullptr, usbd);
  *rate = uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16;
  return status;
}

NTSTATUS AudioClassDevice::UnitRequest(uint8_t request, uint8_t unit, uint8_t control,
                                       uint8_t channel, void* data, uint32_t length,
                                       uint32_t* transferred, USBD_STATUS* usbd) {
  return ClassRequest(URB_FUNCTION_CLASS_INTERFACE, request,
                      static_cast<uint16_t>(control << 8 | channel), static_cast<uint16_t>(unit << 8),
                      data, length, (request & 0x80) != 0, transferred, usbd);
}

NTSTATUS AudioClassDevice::SetVolume(uint8_t unit, uint8_t channel, int16_t volume, USBD_STATUS* usbd) {
  uint8_t bytes[2];
  std::memcpy(bytes, &volume, 2);
  return UnitRequest(kSetCur, unit, kVolumeControl, channel, bytes, 2, nullptr, usbd);
}

NTSTATUS AudioClassDevice::GetVolume(uint8_t unit, uint8_t channel, uint8_t request, int16_t* volume,
                                     USBD_STATUS* usbd) {
  uint8_t bytes[2] = {};
  NTSTATUS status = UnitRequest(request, unit, kVolumeControl, channel, bytes, 2, nullptr, usbd);
  std::memcpy(volume, bytes, 2);
  return status;
}

NTSTATUS AudioClassDevice::SetMute(uint8_t unit, bool mute, USBD_STATUS* usbd) {
  uint8_t byte = mute ? 1 : 0;
  return UnitRequest(kSetCur, unit, kMuteControl, 0, &byte, 1, nullptr, usbd);
}

NTSTATUS AudioClassDevice::GetMute(uint8_t unit, bool* mute, USBD_STATUS* usbd) {
  uint8_t byte = 0;
  NTSTATUS status = UnitRequest(kGetCur, unit, kMuteControl, 0, &byte, 1, nullptr, usbd);
  *mute = byte != 0;
  return status;
}

// ---------------------------------------------------------------------------------------
// The driver.

namespace {

struct ClientExtension {
  AudioClassDriver* owner;
  DEVICE_OBJECT* lower;
  AudioClassDevice* device;
};

std::mutex g_drivers_lock;
std::map<DRIVER_OBJECT*, AudioClassDriver*>& Drivers() {
  static std::map<DRIVER_OBJECT*, AudioClassDriver*> drivers;
  return drivers;
}

NTSTATUS ClientPnp(DEVICE_OBJECT* fdo, IRP* irp) {
  auto* ext = static_cast<ClientExtension*>(fdo->DeviceExtension);
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (minor != IRP_MN_START_DEVICE) return upper::ForwardPnp<ClientExtension>(fdo, irp, minor);
  // The child starts first; the client configures it only once it runs.
  NTSTATUS status = upper::StartLower(ext->lower, irp);
  if (NT_SUCCESS(status) && !ext->device) {
    auto* device = new AudioClassDevice(ext->lower);
    status = device->Configure();
    if (NT_SUCCESS(status)) {
      ext->device = device;
      ext->owner->Arrived(device);
    } else {
      delete device;
    }
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS ClientAddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
  AudioClassDriver* owner = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_drivers_lock);
    auto it = Drivers().find(driver);
    if (it != Drivers().end()) owner = it->second;
  }
  return upper::AddUpperDevice<ClientExtension>(driver, pdo, owner);
}

NTSTATUS ClientEntry(DRIVER_OBJECT* driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = ClientPnp;
  driver->MajorFunction[IRP_MJ_POWER] = upper::PassPower<ClientExtension>;
  driver->DriverExtension->AddDevice = ClientAddDevice;
  driver->DriverUnload = [](DRIVER_OBJECT*) {};
  return STATUS_SUCCESS;
}

}  // namespace

AudioClassDriver::AudioClassDriver(WStringView name, Notify arrived, Notify leaving)
    : arrived_(std::move(arrived)), leaving_(std::move(leaving)) {
  driver_ = kernel::LoadDriver(name, ClientEntry);
  if (!driver_) return;
  {
    std::lock_guard<std::mutex> guard(g_drivers_lock);
    Drivers()[driver_] = this;
  }
  kernel::pnp::RegisterDriver(kAudioClassCompatibleId, driver_);
}

AudioClassDriver::~AudioClassDriver() {
  if (!driver_) return;
  kernel::pnp::UnregisterDriver(driver_);
  kernel::UnloadDriver(driver_);
  std::lock_guard<std::mutex> guard(g_drivers_lock);
  Drivers().erase(driver_);
}

}  // namespace vorn::usb
