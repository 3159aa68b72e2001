// The events the chip raises on its interrupt IN endpoint for the station driver rather than
// the display plug-in: status packets (a waiting bulk IN message in StatusWord bit 31, the
// audio jack state in bits 24-30), ROM results and the end of a panel save (system packets),
// and the display packets whose event bits an NS-mode station reads as its two user events.
#pragma once

#include <cstdint>

#include "sim/chip/interrupt_queue.h"

namespace vorn::chip {

// A status packet (PacketFlags bit 5) carrying |status_word|.
InterruptQueue::Packet StatusPacket(uint32_t status_word);
// The StatusWord of the chip's jack state, with bit 31 when a bulk IN message is announced.
uint32_t StatusWordOf(uint8_t jack_state, bool bulk_in_waiting);
// A system packet (PacketFlags bit 7) with its ROM fields.
InterruptQueue::Packet SystemPacket(uint8_t rom_status, uint8_t reply_kind, uint32_t rom_value);

}  // namespace vorn::chip
