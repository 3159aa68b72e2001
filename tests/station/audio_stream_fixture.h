// An audio child streaming on a whole station: the audio class client's device opened on the
// child, a stream at alternate setting 1 with its rate set, and isochronous URBs handed to the
// child one by one (kept in flight until the child completes them) or streamed by the
// client's isochronous streaming.
#pragma once

#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "platform/nt/clock.h"
#include "platform/usb/bus/audio_class_stream.h"
#include "tests/station/audio_child_fixture.h"

namespace vorn::station::testing {

// One isochronous URB of its own, with its buffer, held until the child completes it.
struct IsoUrb {
  std::vector<uint8_t> block;
  std::vector<uint8_t> data;
  KEVENT event{};
  IO_STATUS_BLOCK iosb{};
  IRP* irp = nullptr;
  NTSTATUS returned = STATUS_PENDING;

  URB* urb() { return reinterpret_cast<URB*>(block.data()); }
  _URB_ISOCH_TRANSFER& iso() { return urb()->UrbIsochronousTransfer; }
  bool Done() const { return KeReadStateEvent(const_cast<KEVENT*>(&event)) != 0; }
};

// Holds the clock where it stands while it lives: a run of URBs sent under it arrives within
// the stream's 15 ms restart window however slow the machine is.
struct HeldClock {
  HeldClock() { clock::HoldAt(clock::NowNs()); }
  ~HeldClock() { clock::ReleaseHold(); }
  HeldClock(const HeldClock&) = delete;
  HeldClock& operator=(const HeldClock&) = delete;
};

class AudioStreamTest : public AudioMachineTest {
 protected:
  void TearDown() override {
    render_.Stop();
    capture_.Stop();
    AudioMachineTest::TearDown();
  }

  void SetByte(WStringView name, UCHAR value) { SetParameter(name, REG_BINARY, &value, 1); }
  void SetDword(WStringView name, ULONG value) { SetParameter(name, REG_DWORD, &value, 4); }

  // Both streams on the audio child unless a test asks for the stand-alone microphone.
  static AudioMachineOptions OneChild() {
    AudioMachineOptions o;
    o.standalone_mic = 0;
    o.client = true;  // a child streams only once a driver has started it
    return o;
  }

  // Starts the station, opens the child |id| and selects alternate setting 1 at |rate| on its
  // streams (only the render stream unless |both|).
  bool Play(const AudioMachineOptions& o = OneChild(), uint32_t rate = 48000, bool both = true,
            WStringView id = kAudioChildId) {
    Start(o);
    if (::testing::Test::HasFatalFailure()) return false;
    pdo_ = ChildPdo(id);
    if (!pdo_) return false;
    // The client's device bound to the child.
    const bool bound = WaitFor([&] {
      std::lock_guard<std::mutex> guard(lock_);
      for (usb::AudioClassDevice* d : arrived_)
        if (d->lower() == pdo_ || IoGetAttachedDevice(pdo_) == d->lower()) device_ = d;
      return device_ != nullptr;
    });
    EXPECT_TRUE(bound) << "the audio class client takes the child";
    if (!device_) return false;
    for (uint8_t endpoint : {kRenderEndpoint, kCaptureEndpoint}) {
      const usb::AudioClassDevice::Stream* s = device_->StreamOf(endpoint);
      if (!s || (!both && endpoint == kCaptureEndpoint)) continue;
      if (device_->SelectAlternate(s->interface_number, 1) != STATUS_SUCCESS) return false;
      if (device_->SetSampleRate(endpoint, rate) != STATUS_SUCCESS) return false;
    }
    return true;
  }

  USBD_PIPE_HANDLE Pipe(uint8_t endpoint) {
    const usb::AudioClassDevice::Stream* s = device_->StreamOf(endpoint);
    return s ? s->pipe : nullptr;
  }
  AudioChild* Module() { return ModuleOf(pdo_); }
  ULONG Frame() {
    ULONG frame = 0;
    device_->QueryBusTime(&frame);
    return frame;
  }

  // Builds a URB of |packets| packets |spacing| bytes apart over |bytes| bytes of |data|.
  static void Build(IsoUrb& u, USBD_PIPE_HANDLE pipe, bool in, std::vector<uint8_t> data,
                    ULONG packets, ULONG spacing) {
    const size_t size = offsetof(_URB_ISOCH_TRANSFER, IsoPacket) +
                        std::max<ULONG>(packets, 1) * sizeof(USBD_ISO_PACKET_DESCRIPTOR);
    u.block.assign(std::max(size, sizeof(_URB_ISOCH_TRANSFER)), 0);
    u.data = std::move(data);
    auto& iso = u.iso();
    iso.Hdr.Length = static_cast<USHORT>(u.block.size());
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.PipeHandle = pipe;
    iso.TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN : 0;
    iso.TransferBuffer = u.data.data();
    iso.TransferBufferLength = static_cast<ULONG>(u.data.size());
    iso.NumberOfPackets = packets;
    for (ULONG i = 0; i < packets; ++i) iso.IsoPacket[i].Offset = i * spacing;
  }

  // Hands |u| to the child; it stays in flight while the child keeps it pending.
  void Send(IsoUrb& u) {
    KeInitializeEvent(&u.event, NotificationEvent, FALSE);
    u.irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo_, nullptr, 0, nullptr, 0,
                                          TRUE, &u.event, &u.iosb);
    ASSERT_NE(u.irp, nullptr);
    IoGetNextIrpStackLocation(u.irp)->Parameters.Others.Argument1 = u.urb();
    u.returned = IoCallDriver(pdo_, u.irp);
  }
  // Waits (30 s real) until |u| has completed; its final status.
  NTSTATUS Finish(IsoUrb& u) {
    EXPECT_TRUE(WaitFor([&] { return u.Done(); })) << "the URB completes";
    return u.Done() ? u.iosb.Status : STATUS_PENDING;
  }

  // A render URB of |bytes| bytes numbered from |first| (each byte its own count).
  static std::vector<uint8_t> Counting(size_t bytes, uint32_t first) {
    std::vector<uint8_t> out(bytes);
    for (size_t i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>((first + i) * 7 + 1);
    return out;
  }

  usb::AudioClassDevice* device_ = nullptr;
  DEVICE_OBJECT* pdo_ = nullptr;
  usb::IsochStream render_, capture_;
};

}  // namespace vorn::station::testing
