#include "sim/chip/station_events.h"

#include "protocol/interrupt_packet.h"
#include "sim/chip/chip.h"
#include "sim/chip/interrupt_events.h"

namespace vorn::chip {

InterruptQueue::Packet StatusPacket(uint32_t status_word) {
  protocol::INT_IN_PACKET k;
  k.PacketFlags = protocol::kPacketFlagStatusValid;
  k.StatusWord = status_word;
  InterruptQueue::Packet p{};
  protocol::EncodeIntInPacket(k, p);
  return p;
}

uint32_t StatusWordOf(uint8_t jack_state, bool bulk_in_waiting) {
  return (bulk_in_waiting ? protocol::kStatusBulkInWaiting : 0u) |
         uint32_t{static_cast<uint8_t>(jack_state & protocol::kJackStateMask)} << 24;
}

InterruptQueue::Packet SystemPacket(uint8_t rom_status, uint8_t reply_kind, uint32_t rom_value) {
  protocol::INT_IN_PACKET k;
  k.PacketFlags = protocol::kPacketFlagSystem;
  k.RomStatus = rom_status;
  k.RomReplyKind = reply_kind;
  k.RomValue = rom_value;
  InterruptQueue::Packet p{};
  protocol::EncodeIntInPacket(k, p);
  return p;
}

void Chip::SendBulkIn(BulkInMessage message, bool announce) {
  bulk_in_.Push(std::move(message));
  if (announce) interrupts_.Push(StatusPacket(StatusWordOf(JackState(), true)));
}

void Chip::SetJackState(uint8_t state) {
  jack_state_.store(static_cast<uint8_t>(state & protocol::kJackStateMask));
  interrupts_.Push(StatusPacket(StatusWordOf(JackState(), false)));
}

void Chip::RaiseRomResult(uint8_t rom_status, uint32_t rom_value) {
  interrupts_.Push(SystemPacket(rom_status, protocol::kRomReplyBurnResult, rom_value));
}

void Chip::RaisePanelSaveDone() {
  interrupts_.Push(SystemPacket(protocol::kRomStatusPanelSaveDone, 0, 0));
}

bool Chip::FinishPanelSave() {
  if (!panel_.TakePendingSave()) return false;
  RaisePanelSaveDone();
  return true;
}

void Chip::RaiseNsEvent(uint8_t event_bits) {
  interrupts_.Push(DisplayEventPacket(
      event_bits & (protocol::kEventMonitorStatus0 | protocol::kEventMonitorStatus1)));
}

}  // namespace vorn::chip
