// The audio class client: a kernel-mode upper driver the PnP manager binds to a station's
// audio and microphone children by their compatible id, as the system's audio class driver
// would be. Once the child has started it takes the child's USB bus interface, reads the
// device and configuration descriptors, learns the streams and feature units from them and
// selects the configuration with every interface at alternate setting 0; then |arrived|
// gets the device. On surprise removal or removal |leaving| is called first, and the device
// is deleted once it returns. Both are called on the PnP manager's thread.
//
// A test (or a host above) drives the device through its methods: they send URBs down the
// child's stack synchronously at PASSIVE_LEVEL and return the child's NTSTATUS, with the
// URB's USBD status in |*usbd| when asked for.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/kernel/usb.h"

namespace vorn::usb {

// The compatible id the client binds by: an audio class device's audio control interface.
inline constexpr char16_t kAudioClassCompatibleId[] = u"USB\\Class_01&SubClass_01";

class AudioClassDevice {
 public:
  // One streaming interface as its descriptors announce it.
  struct Stream {
    uint8_t interface_number = 0;
    uint8_t endpoint = 0;       // of alternate setting 1
    uint8_t terminal_link = 0;  // 1 render (USB streaming input terminal), 7 capture
    uint8_t channels = 0;
    uint8_t subframe_bytes = 0;
    uint8_t bits = 0;
    std::vector<uint32_t> rates;
    USBD_PIPE_HANDLE pipe = nullptr;  // alternate 1's pipe, once selected
    bool render() const { return (endpoint & 0x80) == 0; }
  };
  // One feature unit: its id and the channels it has a volume control for.
  struct FeatureUnit {
    uint8_t id = 0;
    uint8_t source = 0;
    uint8_t channels = 0;
  };

  explicit AudioClassDevice(DEVICE_OBJECT* lower);
  ~AudioClassDevice();
  AudioClassDevice(const AudioClassDevice&) = delete;
  AudioClassDevice& operator=(const AudioClassDevice&) = delete;

  // Takes the bus interface, reads and parses the descriptors and selects the configuration.
  NTSTATUS Configure();

  DEVICE_OBJECT* lower() const { return lower_; }
  const std::vector<uint8_t>& device_descriptor() const { return device_; }
  const std::vector<uint8_t>& configuration() const { return config_; }
  const std::vector<Stream>& streams() const { return streams_; }
  const std::vector<FeatureUnit>& feature_units() const { return units_; }
  // The stream whose endpoint is |endpoint|, else null.
  const Stream* StreamOf(uint8_t endpoint) const;

  // The bus interface's frame clock.
  NTSTATUS QueryBusTime(ULONG* frame) const;

  NTSTATUS GetString(uint8_t index, std::u16string* text, USBD_STATUS* usbd = nullptr);
  NTSTATUS SelectAlternate(uint8_t interface_number, uint8_t alternate, USBD_STATUS* usbd = nullptr);
  // Sampling frequency control of an isochronous endpoint (SET_CUR / GET_CUR).
  NTSTATUS SetSampleRate(uint8_t endpoint, uint32_t rate, USBD_STATUS* usbd = nullptr);
  NTSTATUS GetSampleRate(uint8_t endpoint, uint32_t* rate, USBD_STATUS* usbd = nullptr);
  // A class request to a unit of the control interface: wValue = control << 8 | channel,
  // wIndex = unit << 8. |data| holds |length| bytes; IN for the GET requests (bit 7).
  NTSTATUS UnitRequest(uint8_t request, uint8_t unit, uint8_t control, uint8_t channel, void* data,
                       uint32_t length, uint32_t* transferred = nullptr, USBD_STATUS* usbd = nullptr);
  NTSTATUS SetVolume(uint8_t unit, uint8_t channel, int16_t volume, USBD_STATUS* usbd = nullptr);
  // |request| GET_CUR (0x81), GET_MIN, GET_MAX or GET_RES.
  NTSTATUS GetVolume(uint8_t unit, uint8_t channel, uint8_t request, int16_t* volume,
                     USBD_STATUS* usbd = nullptr);
  NTSTATUS SetMute(uint8_t unit, bool mute, USBD_STATUS* usbd = nullptr);
  NTSTATUS GetMute(uint8_t unit, bool* mute, USBD_STATUS* usbd = nullptr);

  // Sends |urb| down the child's stack and waits for it.
  NTSTATUS Submit(URB* urb) const;

 private:
  NTSTATUS ReadDescriptor(uint8_t type, uint8_t index, std::vector<uint8_t>* out, uint32_t length);
  void Parse();
  NTSTATUS SelectConfiguration();
  NTSTATUS ClassRequest(USHORT function, uint8_t request, uint16_t value, uint16_t index, void* data,
                        uint32_t length, bool in, uint32_t* transferred, USBD_STATUS* usbd);

  DEVICE_OBJECT* lower_;
  USB_BUS_INTERFACE_USBDI_V1 bus_{};
  bool have_bus_ = false;
  std::vector<uint8_t> device_;
  std::vector<uint8_t> config_;
  std::vector<Stream> streams_;
  std::vector<FeatureUnit> units_;
  USBD_CONFIGURATION_HANDLE configuration_handle_ = nullptr;
};

class AudioClassDriver {
 public:
  using Notify = std::function<void(AudioClassDevice*)>;
  // Loads the driver as |name| and binds it by kAudioClassCompatibleId.
  AudioClassDriver(WStringView name, Notify arrived, Notify leaving);
  ~AudioClassDriver();  // unregisters and unloads the driver (its devices must be gone)
  AudioClassDriver(const AudioClassDriver&) = delete;
  AudioClassDriver& operator=(const AudioClassDriver&) = delete;

  DRIVER_OBJECT* driver() const { return driver_; }

  // Internal: the notifications, from the driver's dispatch routines.
  void Arrived(AudioClassDevice* device) { if (arrived_) arrived_(device); }
  void Leaving(AudioClassDevice* device) { if (leaving_) leaving_(device); }

 private:
  DRIVER_OBJECT* driver_ = nullptr;
  Notify arrived_, leaving_;
};

}  // namespace vorn::usb
