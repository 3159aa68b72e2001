#include "sim/chip/chip.h"

#include <algorithm>
#include <cstring>

#include "protocol/byte_order.h"
#include "protocol/vendor_request.h"
#include "sim/chip/ip_profile.h"
#include "sim/chip/transfer_faults.h"

namespace vorn::chip {

using usb::TransferStatus;

Chip::Chip(ChipProfile profile)
    : profile_(std::move(profile)),
      descriptors_(profile_),
      bulk_out_(violations_),
      station_bulk_out_(violations_),
      frames_(uint32_t{profile_.memory_mib} << 20, violations_, interrupts_),
      rom_(interrupts_, bulk_in_, violations_),
      vendor_(profile_, violations_),
      panel_(violations_),
      ip_commands_(violations_) {
  // The host of an adapter with endpoint 0x04 puts the payload ring at a fixed place.
  if (profile_.has_ip_endpoint) frames_.SetRing(kIpRingStart, kIpRingEnd);
  rom_.SetSize(uint32_t{profile_.station.rom_size_mib} << 20);
  interrupts_.SetCapture(&capture_);
  auto sink = [this](const BusMessage& m) {
    traffic_.Count(m.header.data(), m.payload.data(), static_cast<uint32_t>(m.payload.size()));
    frames_.OnMessage(m);
    rom_.OnMessage(m);
    audio_out_.OnMessage(m);
  };
  bulk_out_.SetSink(sink);
  station_bulk_out_.SetSink(sink);
  // A frame takes the size of the timing the host set on its view (active width at byte 8,
  // active height at byte 16 of the record).
  frames_.SetModeSource([this](int view) -> std::pair<uint32_t, uint32_t> {
    const ViewSettings s = vendor_.View(view);
    if (!s.has_timing) return {0, 0};
    return {protocol::LoadLe16(&s.timing[8]), protocol::LoadLe16(&s.timing[16])};
  });
}

Chip::~Chip() { Unplug(); }

void Chip::UseStationBulkOut(bool on) { station_bulk_out_on_ = on; }

bool Chip::Connected() const {
  std::lock_guard<std::mutex> guard(lock_);
  return connected_;
}

void Chip::Finish(usb::Transfer& t, LoggedRequest& entry, TransferStatus status, uint32_t actual) {
  t.status = status;
  t.actual = actual;
  entry.status = status;
  entry.actual = actual;
  if (entry.serial) log_.Add(entry);
  if (t.endpoint == 0) {
    // The data stage as it went: what the chip answered, or what the host sent.
    const bool in = (t.setup.bmRequestType & usb::kDirIn) != 0;
    const bool moved = status == TransferStatus::kSuccess;
    if (in)
      capture_.RecordControl(t.setup, t.buffer, moved && t.buffer ? actual : 0);
    else
      capture_.RecordControl(t.setup, entry.data.data(),
                             moved ? static_cast<uint32_t>(entry.data.size()) : 0);
  }
  t.complete(t);
}

void Chip::Hold(usb::Transfer& t, LoggedRequest entry) {
  std::lock_guard<std::mutex> guard(lock_);
  held_.push_back({&t, std::move(entry)});
}

void Chip::Submit(usb::Transfer& t) {
  LoggedRequest entry;
  bool connected;
  {
    std::lock_guard<std::mutex> guard(lock_);
    connected = connected_;
    entry.serial = next_serial_++;
  }
  entry.endpoint = t.endpoint;
  entry.setup = t.setup;
  entry.length = t.length;
  if (!connected) {
    Finish(t, entry, TransferStatus::kDeviceGone, 0);
    return;
  }
  switch (TakeTransferFault()) {
    case TransferFault::kNone:
      break;
    case TransferFault::kStall:
      Finish(t, entry, TransferStatus::kStall, 0);
      return;
    case TransferFault::kError:
      Finish(t, entry, TransferStatus::kError, 0);
      return;
    case TransferFault::kTimeOut:
      Hold(t, std::move(entry));
      return;
    case TransferFault::kGone:
      Unplug();
      Finish(t, entry, TransferStatus::kDeviceGone, 0);
      ReportTransferGone(*this);
      return;
  }
  if (t.endpoint == 0) {
    SubmitControl(t, entry);
  } else if (t.endpoint == kEndpointBulkOut || t.endpoint == kEndpointIpBulkOut) {
    SubmitBulkOut(t, entry);
  } else if (t.endpoint == kEndpointInterrupt) {
    auto action = script_.NextForEndpoint(t.endpoint);
    if (action && action->kind == ScriptKind::kStall) {
      entry.serial = 0;
      Finish(t, entry, TransferStatus::kStall, 0);
    } else if (action && action->kind == ScriptKind::kFail) {
      entry.serial = 0;
      Finish(t, entry, TransferStatus::kError, 0);
    } else if (action && action->kind == ScriptKind::kGone) {
      Unplug();
      entry.serial = 0;
      Finish(t, entry, TransferStatus::kDeviceGone, 0);
    } else {
      interrupts_.Submit(t);
    }
  } else if (t.endpoint == kEndpointBulkIn) {
    bulk_in_.Submit(t);  // served from the queued messages, or kept until one comes
  } else {
    Finish(t, entry, TransferStatus::kStall, 0);
  }
}

void Chip::SubmitControl(usb::Transfer& t, LoggedRequest& entry) {
  const usb::SetupPacket& s = t.setup;
  const bool in = (s.bmRequestType & usb::kDirIn) != 0;
  uint32_t length = std::min<uint32_t>(t.length, s.wLength);
  if (!in && t.buffer && length) entry.data.assign(t.buffer, t.buffer + length);
  if ((s.bmRequestType & 0x60) != usb::kTypeVendor) {
    uint32_t actual = 0;
    TransferStatus st = Standard(s, t.buffer, length, &actual);
    Finish(t, entry, st, actual);
    return;
  }
  std::optional<ScriptAction> action;
  if (s.bRequest == protocol::ReqReadDeviceValue && s.wIndex <= 0xFF)
    action = device_value_script_.NextForRequest(static_cast<uint8_t>(s.wIndex));
  if (!action) action = script_.NextForRequest(s.bRequest);
  ScriptKind kind = action ? action->kind : ScriptKind::kNormal;
  switch (kind) {
    case ScriptKind::kStall:
      Finish(t, entry, TransferStatus::kStall, 0);
      return;
    case ScriptKind::kFail:
      Finish(t, entry, TransferStatus::kError, 0);
      return;
    case ScriptKind::kTimeOut:
      Hold(t, std::move(entry));
      return;
    case ScriptKind::kGone:
      Unplug();
      Finish(t, entry, TransferStatus::kDeviceGone, 0);
      return;
    case ScriptKind::kShort:
    case ScriptKind::kNormal: {
      uint32_t actual = 0;
      // A short answer moves only its bytes: the rest of the host's buffer stays as it was.
      if (kind == ScriptKind::kShort && in) length = std::min(length, action->short_length);
      TransferStatus st;
      if (!in && rom_.Answer(s, t.buffer, length, &st)) {
        // The ROM's own requests (read, chip reset); a chip reset is a panel request too.
        if (s.bRequest == protocol::ReqResetChip) st = panel_.Handle(s, t.buffer, length, &actual);
      } else if (PanelRequests::Owns(s)) {
        st = panel_.Handle(s, t.buffer, length, &actual);
      } else if (audio_.Answer(s, t.buffer, length, &actual, &st)) {
        // The audio records and writes (sim/chip/audio_records.h).
      } else if (!in || !functions_.Answer(s, t.buffer, length, &actual, &st)) {
        st = vendor_.Handle(s, t.buffer, length, &actual);
      }
      Finish(t, entry, st, st == TransferStatus::kSuccess ? actual : 0);
      return;
    }
  }
}

void Chip::SubmitBulkOut(usb::Transfer& t, LoggedRequest& entry) {
  uint32_t head = std::min(t.length, RequestLog::kBulkHeadBytes);
  if (t.buffer && head) entry.data.assign(t.buffer, t.buffer + head);
  std::optional<ScriptAction> action = script_.NextForEndpoint(t.endpoint);
  ScriptKind kind = action ? action->kind : ScriptKind::kNormal;
  uint32_t accepted = t.length;
  switch (kind) {
    case ScriptKind::kStall:
      Finish(t, entry, TransferStatus::kStall, 0);
      return;
    case ScriptKind::kFail:
      Finish(t, entry, TransferStatus::kError, 0);
      return;
    case ScriptKind::kTimeOut:
      Hold(t, std::move(entry));
      return;
    case ScriptKind::kGone:
      Unplug();
      Finish(t, entry, TransferStatus::kDeviceGone, 0);
      return;
    case ScriptKind::kShort:
      accepted = std::min(accepted, action->short_length);
      break;
    case ScriptKind::kNormal:
      break;
  }
  capture_.Record(kCaptureBulkOut, t.endpoint, t.buffer, t.buffer ? accepted : 0);
  if (t.endpoint == kEndpointIpBulkOut) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      command_packets_.emplace_back(t.buffer, t.buffer + (t.buffer ? accepted : 0));
    }
    if (kind == ScriptKind::kNormal && !ip_commands_.Execute(t.buffer, accepted)) {
      Finish(t, entry, TransferStatus::kStall, 0);
      return;
    }
  } else if (t.buffer && station_bulk_out_on_) {
    station_bulk_out_.Feed(t.buffer, accepted);
  } else if (t.buffer) {
    bulk_out_.Feed(t.buffer, accepted);
  }
  Finish(t, entry, TransferStatus::kSuccess, accepted);
}

TransferStatus Chip::Standard(const usb::SetupPacket& s, uint8_t* data, uint32_t length,
                              uint32_t* actual) {
  *actual = 0;
  switch (s.bRequest) {
    case usb::kRequestGetDescriptor: {
      std::vector<uint8_t> d;
      if (!descriptors_.Get(s.wValue >> 8, s.wValue & 0xFF, s.wIndex, &d))
        return TransferStatus::kStall;
      uint32_t n = std::min<uint32_t>(length, static_cast<uint32_t>(d.size()));
      if (data && n) std::memcpy(data, d.data(), n);
      *actual = data ? n : 0;
      return TransferStatus::kSuccess;
    }
    case usb::kRequestSetConfiguration: {
      if (s.wValue > 1) return TransferStatus::kStall;
      {
        std::lock_guard<std::mutex> guard(lock_);
        configuration_ = static_cast<uint8_t>(s.wValue);
      }
      frames_.NewSession();
      return TransferStatus::kSuccess;
    }
    case usb::kRequestGetConfiguration: {
      std::lock_guard<std::mutex> guard(lock_);
      if (data && length) {
        data[0] = configuration_;
        *actual = 1;
      }
      return TransferStatus::kSuccess;
    }
    case usb::kRequestGetStatus:
      if (data && length >= 2) {
        data[0] = profile_.self_powered ? 1 : 0;
        data[1] = 0;
        *actual = 2;
      }
      return TransferStatus::kSuccess;
    case usb::kRequestSetInterface:
    case usb::kRequestClearFeature:
    case usb::kRequestSetFeature:
    case usb::kRequestSetAddress:
      return TransferStatus::kSuccess;
    case usb::kRequestGetInterface:
      if (data && length) {
        data[0] = 0;
        *actual = 1;
      }
      return TransferStatus::kSuccess;
    default:
      return TransferStatus::kStall;
  }
}

bool Chip::Cancel(usb::Transfer& t) {
  Held held{};
  bool found = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = std::find_if(held_.begin(), held_.end(),
                           [&](const Held& h) { return h.transfer == &t; });
    if (it != held_.end()) {
      held = std::move(*it);
      held_.erase(it);
      found = true;
    }
  }
  if (found) {
    Finish(t, held.entry, TransferStatus::kCancelled, 0);
    return true;
  }
  return interrupts_.Cancel(t) || bulk_in_.Cancel(t);
}

void Chip::ResetEndpoint(uint8_t endpoint) {
  if (endpoint == kEndpointBulkOut) {
    capture_.Record(kCaptureReset, endpoint, nullptr, 0);
    // A reset pipe starts over with a message header: a message cut off by the failed
    // transfer is dropped, not completed with the next message's bytes.
    bulk_out_.Reset();
    station_bulk_out_.Reset();
  }
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& r : resets_)
    if (r.first == endpoint) {
      ++r.second;
      return;
    }
  resets_.emplace_back(endpoint, 1);
}

uint32_t Chip::EndpointResets(uint8_t endpoint) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (const auto& r : resets_)
    if (r.first == endpoint) return r.second;
  return 0;
}

ViewSettings Chip::View(int view) const {
  ViewSettings s = vendor_.View(view);
  if (profile_.has_ip_endpoint) ip_commands_.OverlayCursor(view, &s);
  return s;
}

std::vector<std::vector<uint8_t>> Chip::CommandPackets() const {
  std::lock_guard<std::mutex> guard(lock_);
  return command_packets_;
}

size_t Chip::HeldTransfers() const {
  std::lock_guard<std::mutex> guard(lock_);
  return held_.size() + bulk_in_.WaitingReads();
}

uint8_t Chip::Configuration() const {
  std::lock_guard<std::mutex> guard(lock_);
  return configuration_;
}

void Chip::Unplug() {
  std::deque<Held> held;
  {
    std::lock_guard<std::mutex> guard(lock_);
    connected_ = false;
    held.swap(held_);
  }
  for (Held& h : held) Finish(*h.transfer, h.entry, TransferStatus::kDeviceGone, 0);
  interrupts_.Close(TransferStatus::kDeviceGone);
  bulk_in_.Close(TransferStatus::kDeviceGone);
}

}  // namespace vorn::chip
