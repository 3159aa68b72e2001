// The simulated adapter as a USB device. It answers standard requests from its descriptors and
// vendor requests from its profile, reassembles bulk OUT messages, serves interrupt reads from
// its interrupt queue and bulk IN reads from its bulk IN queue, logs every control and bulk OUT
// transfer, and follows the test's script where one is set. Control and bulk OUT transfers
// complete inside Submit; interrupt and bulk IN reads complete when there is something to
// send; scripted time-outs wait for Cancel.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/usb/usb_device.h"
#include "sim/chip/audio_pcm_sink.h"
#include "sim/chip/audio_records.h"
#include "sim/chip/bulk_out.h"
#include "sim/chip/capture.h"
#include "sim/chip/chip_profile.h"
#include "sim/chip/descriptors.h"
#include "sim/chip/frame_store.h"
#include "sim/chip/interrupt_queue.h"
#include "sim/chip/panel_requests.h"
#include "sim/chip/request_log.h"
#include "sim/chip/request_script.h"
#include "sim/chip/rom_store.h"
#include "sim/chip/station_bulk_in.h"
#include "sim/chip/station_bulk_out.h"
#include "sim/chip/station_functions.h"
#include "sim/chip/vendor_requests.h"
#include "sim/chip/violation_log.h"

namespace vorn::chip {

class Chip : public usb::UsbDevice {
 public:
  explicit Chip(ChipProfile profile);
  ~Chip() override;
  Chip(const Chip&) = delete;
  Chip& operator=(const Chip&) = delete;

  void Submit(usb::Transfer& t) override;
  bool Cancel(usb::Transfer& t) override;
  void ResetEndpoint(uint8_t endpoint) override;
  bool Connected() const override;

  const ChipProfile& profile() const { return profile_; }
  const DescriptorSet& descriptors() const { return descriptors_; }
  RequestLog& log() { return log_; }
  RequestScript& script() { return script_; }
  // Scripts for single items of the device value request, keyed by item (its wIndex); they
  // come before script() for that request.
  RequestScript& device_value_script() { return device_value_script_; }
  InterruptQueue& interrupts() { return interrupts_; }
  BulkOutReassembler& bulk_out() { return bulk_out_; }
  // Behind the station driver, bulk OUT messages of different channels interleave slice by
  // slice: with this set the chip reassembles them per channel (station_bulk_out) instead.
  void UseStationBulkOut(bool on);
  StationBulkOut& station_bulk_out() { return station_bulk_out_; }
  // The function descriptors and jack records the station discovers (0xB1, 0xA1, 0xA4).
  StationFunctions& functions() { return functions_; }
  // The audio streams, formats and units of the jacks, and the audio writes the chip took.
  AudioRecords& audio() { return audio_; }
  // The ROM the station burns and reads back (its size follows the profile's ROM size).
  RomStore& rom() { return rom_; }
  // Frame memory, pictures and frame acknowledgements.
  FrameStore& frames() { return frames_; }
  ViolationLog& violations() { return violations_; }
  // The traffic record (sim/chip/capture.h): off until a file is opened on it.
  Capture& capture() { return capture_; }
  // The speaker: the PCM of every audio message the host sent (sim/chip/audio_pcm_sink.h).
  AudioPcmSink& audio_out() { return audio_out_; }
  // Every completed bulk OUT message, counted by kind and format.
  const TrafficCounter& traffic() const { return traffic_; }

  ViewSettings View(int view) const { return vendor_.View(view); }
  // What the monitor of |view| shows: the picture of its frames (FrameStore::Shown) with the
  // hardware cursor drawn over it (sim/chip/cursor_overlay.h).
  std::optional<Picture> Screen(int view) const;
  uint32_t StartDisplayCount() const { return vendor_.StartDisplayCount(); }
  uint32_t ResetBulkStreamCount() const { return vendor_.ResetBulkStreamCount(); }
  void SetMonitor(int view, bool connected) { vendor_.SetMonitor(view, connected); }
  void SetMonitorEdid(int view, std::vector<uint8_t> edid) {
    vendor_.SetMonitorEdid(view, std::move(edid));
  }
  // Monitors plugged, unplugged and bouncing at run time: sim/chip/monitor_plug.h.
  MonitorFlaps& monitor_flaps() { return vendor_.flaps(); }

  // Display events on the interrupt endpoint (sim/chip/interrupt_events.h). A monitor change
  // first sets the view's monitor as the later status request reports it.
  void RaiseFrameAck(uint32_t sequence);
  void RaiseMonitorChange(int view, bool connected);
  void RaiseRefresh();

  // The station driver's events (sim/chip/station_events.h). SendBulkIn queues a message on
  // the bulk IN endpoint and, with |announce|, tells the host of it with a status packet (one
  // per message: the host reads a message only for an announcement). SetJackState keeps the
  // jack state every later status packet carries and reports it at once.
  BulkInQueue& bulk_in() { return bulk_in_; }
  void SendBulkIn(BulkInMessage message, bool announce = true);
  void SetJackState(uint8_t state);
  uint8_t JackState() const { return jack_state_.load(); }
  // A ROM burn result (RomReplyKind 5) on the system channel, and the end of a panel save.
  void RaiseRomResult(uint8_t rom_status, uint32_t rom_value);
  void RaisePanelSaveDone();
  // A display packet with the user event bits (0 and 1) an NS-mode station reads.
  void RaiseNsEvent(uint8_t event_bits);

  // The panel's settings and answers (sim/chip/panel_requests.h). A panel save stays pending
  // until FinishPanelSave reports its end on the interrupt endpoint (false: none pending).
  PanelRequests& panel() { return panel_; }
  bool FinishPanelSave();

  // Transfers on endpoint 0x04, each as sent.
  std::vector<std::vector<uint8_t>> CommandPackets() const;
  // Pipe resets the host asked for, per endpoint.
  uint32_t EndpointResets(uint8_t endpoint) const;
  // Transfers the chip holds unanswered (scripted time-outs, bulk IN reads waiting for data).
  size_t HeldTransfers() const;
  uint8_t Configuration() const;

  // The device leaves the bus: every held transfer and every later one ends kDeviceGone.
  void Unplug();

 private:
  struct Held {
    usb::Transfer* transfer;
    LoggedRequest entry;  // logged when the transfer ends; serial 0 = not logged
  };

  void SubmitControl(usb::Transfer& t, LoggedRequest& entry);
  void SubmitBulkOut(usb::Transfer& t, LoggedRequest& entry);
  usb::TransferStatus Standard(const usb::SetupPacket& s, uint8_t* data, uint32_t length,
                               uint32_t* actual);
  void Hold(usb::Transfer& t, LoggedRequest entry);
  void Finish(usb::Transfer& t, LoggedRequest& entry, usb::TransferStatus status, uint32_t actual);

  const ChipProfile profile_;
  const DescriptorSet descriptors_;
  Capture capture_;
  TrafficCounter traffic_;
  ViolationLog violations_;
  RequestLog log_;
  RequestScript script_;
  RequestScript device_value_script_;
  InterruptQueue interrupts_;
  BulkInQueue bulk_in_;
  std::atomic<uint8_t> jack_state_{0};
  BulkOutReassembler bulk_out_;
  StationBulkOut station_bulk_out_;
  StationFunctions functions_;
  AudioRecords audio_;
  std::atomic<bool> station_bulk_out_on_{false};
  FrameStore frames_;
  RomStore rom_;
  VendorResponder vendor_;
  PanelRequests panel_;
  AudioPcmSink audio_out_;

  mutable std::mutex lock_;
  bool connected_ = true;
  uint64_t next_serial_ = 1;
  uint8_t configuration_ = 0;
  std::deque<Held> held_;
  std::vector<std::vector<uint8_t>> command_packets_;
  std::vector<std::pair<uint8_t, uint32_t>> resets_;
};

}  // namespace vorn::chip
