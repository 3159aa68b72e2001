#include "sim/chip/interrupt_events.h"

#include "protocol/interrupt_packet.h"
#include "sim/chip/chip.h"

namespace vorn::chip {

InterruptQueue::Packet DisplayEventPacket(uint8_t event_bits, uint32_t sequence) {
  protocol::INT_IN_PACKET k;
  k.PacketFlags = protocol::kPacketFlagDisplay;
  k.EventBits = event_bits;
  k.AckSequence = sequence;
  InterruptQueue::Packet p{};
  protocol::EncodeIntInPacket(k, p);
  return p;
}

InterruptQueue::Packet FrameAckPacket(uint32_t sequence) {
  return DisplayEventPacket(protocol::kEventFrameAck, sequence);
}

InterruptQueue::Packet MonitorChangePacket(int view) {
  return DisplayEventPacket(view == 0 ? protocol::kEventMonitorStatus0
                                      : protocol::kEventMonitorStatus1);
}

InterruptQueue::Packet RefreshPacket() { return DisplayEventPacket(protocol::kEventRefresh); }

void Chip::RaiseFrameAck(uint32_t sequence) { interrupts_.Push(FrameAckPacket(sequence)); }

void Chip::RaiseMonitorChange(int view, bool connected) {
  vendor_.SetMonitor(view, connected);
  interrupts_.Push(MonitorChangePacket(view));
}

void Chip::RaiseRefresh() { interrupts_.Push(RefreshPacket()); }

}  // namespace vorn::chip
