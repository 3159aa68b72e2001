// A whole station on the chip model with an audio function whose jacks carry the chip's
// audio records (sim/chip/audio_records.h), and helpers that reach its audio and microphone
// children through the audio class client's device (platform/usb/bus/audio_class_client.h),
// either bound by the PnP manager or opened straight on a child that has no driver.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/usb/bus/audio_class_client.h"
#include "station/bus/audio_child.h"
#include "station/bus/child_pdo_extension.h"
#include "tests/station/station_machine.h"

namespace vorn::station::testing {

inline constexpr char16_t kAudioChildId[] = u"USB\\VID_1D5C&PID_3000";
inline constexpr char16_t kMicChildId[] = u"USB\\VID_1D5C&PID_3001";

struct AudioMachineOptions {
  uint32_t cmd_version = 8;
  ULONG support = 0x108;              // audio and microphone children
  std::optional<UCHAR> standalone_mic;  // the registry value; missing keeps the default (1)
  std::optional<UCHAR> sw_volume;       // AudioSwVolume
  bool jack0 = true, jack1 = true;      // present
  UCHAR jack0_state = 1, jack1_state = 1;
  chip::AudioStreamSetup render = chip::RenderSetup();
  chip::AudioStreamSetup capture = chip::CaptureSetup();
  bool client = false;  // load the audio class client before the station starts
  std::function<void(chip::Chip&)> prepare;  // scripts for the chip, before the station starts
};

class AudioMachineTest : public StationMachineTest {
 protected:
  void TearDown() override {
    devices_.clear();
    bus_.reset();
    kernel::pnp::WaitIdle();
    kernel::WaitWorkIdle();
    client_.reset();
    EXPECT_EQ(kernel::pool::Outstanding(kTagAudioChild).blocks, 0) << "every audio object is freed";
    StationMachineTest::TearDown();
  }

  // Starts a station whose chip offers the audio function with |o|'s records and waits until
  // the worker serves and the PnP manager has dealt with every child.
  void Start(const AudioMachineOptions& o = {}) {
    SetParameter(u"SupportPDOs", REG_DWORD, &o.support, 4);
    if (o.standalone_mic) SetParameter(u"StandaloneMic", REG_BINARY, &*o.standalone_mic, 1);
    if (o.sw_volume) SetParameter(u"AudioSwVolume", REG_BINARY, &*o.sw_volume, 1);
    chip::ChipProfile profile = chip::MakeProfile({});
    profile.device_values[chip::kDeviceValueCmdVersion] = o.cmd_version;
    chip_ = std::make_unique<chip::Chip>(profile);
    chip_->functions().SetFunction(3, 0x1D5C, 0x3000, u"Audio");
    chip_->functions().SetJack(0, o.jack0, true, o.jack0_state);
    chip_->functions().SetJack(1, o.jack1, true, o.jack1_state);
    if (o.jack0) chip_->audio().SetStream(0, o.render);
    if (o.jack1) chip_->audio().SetStream(1, o.capture);
    chip_->SetJackState(static_cast<uint8_t>((o.jack0_state & 7) | (o.jack1_state ? 0x40 : 0)));
    if (o.prepare) o.prepare(*chip_);
    Boot();
    if (o.client) {
      client_ = std::make_unique<usb::AudioClassDriver>(
          u"audioclient",
          [this](usb::AudioClassDevice* d) {
            std::lock_guard<std::mutex> guard(lock_);
            arrived_.push_back(d);
          },
          [this](usb::AudioClassDevice* d) {
            std::lock_guard<std::mutex> guard(lock_);
            std::erase(arrived_, d);
            ++left_;
          });
    }
    node_ = Attach(*chip_);
    ASSERT_NE(node_, nullptr);
    ASSERT_TRUE(WaitFor([] {
      auto t = Steps(0x80, u"ThdState");
      return !t.empty() && t.back() == kThdServing;
    })) << "the worker serves";
    kernel::pnp::WaitIdle();
  }

  kernel::pnp::DevNode* Child(WStringView id) {
    for (kernel::pnp::DevNode* c : kernel::pnp::Children(node_))
      if (kernel::pnp::Info(c).device_id == id) return c;
    return nullptr;
  }
  DEVICE_OBJECT* ChildPdo(WStringView id) {
    kernel::pnp::DevNode* c = Child(id);
    return c ? kernel::pnp::Pdo(c) : nullptr;
  }
  static AudioChild* ModuleOf(DEVICE_OBJECT* pdo) {
    return static_cast<AudioChild*>(static_cast<ChildPdoExtension*>(pdo->DeviceExtension)->ModuleContext);
  }

  // The client's device opened straight on the child |id| (a child no driver is bound to),
  // configured: descriptors read, configuration selected.
  usb::AudioClassDevice* Open(WStringView id) {
    DEVICE_OBJECT* pdo = ChildPdo(id);
    EXPECT_NE(pdo, nullptr) << "the child exists";
    if (!pdo) return nullptr;
    auto device = std::make_unique<usb::AudioClassDevice>(pdo);
    NTSTATUS status = device->Configure();
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (!NT_SUCCESS(status)) return nullptr;
    devices_.push_back(std::move(device));
    return devices_.back().get();
  }

  std::vector<chip::AudioFeatureWrite> FeatureWrites() { return chip_->audio().FeatureWrites(); }
  std::vector<chip::AudioStateWrite> StateWrites() { return chip_->audio().StateWrites(); }

  std::unique_ptr<chip::Chip> chip_;
  kernel::pnp::DevNode* node_ = nullptr;
  std::unique_ptr<usb::AudioClassDriver> client_;
  std::mutex lock_;
  std::vector<usb::AudioClassDevice*> arrived_;  // devices the client holds
  int left_ = 0;
  std::vector<std::unique_ptr<usb::AudioClassDevice>> devices_;
};

}  // namespace vorn::station::testing
