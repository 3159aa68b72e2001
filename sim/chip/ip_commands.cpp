#include "sim/chip/ip_commands.h"

#include <cstdio>
#include <cstring>

#include "protocol/byte_order.h"
#include "protocol/vendor_request.h"

namespace vorn::chip {

IpCommands::IpCommands(ViolationLog& violations) : violations_(violations) {}

bool IpCommands::Refuse(uint16_t code, const char* why) {
  char text[128];
  std::snprintf(text, sizeof text, "command packet 0x%04X on endpoint 0x04: %s", code, why);
  violations_.Add(text);
  std::lock_guard<std::mutex> guard(lock_);
  ++refused_;
  return false;
}

bool IpCommands::Execute(const uint8_t* bytes, uint32_t length) {
  if (!bytes || length < kIpPacketHeadSize) return Refuse(0, "shorter than its 16-byte head");
  const uint16_t code = protocol::LoadLe16(bytes + 0);
  const uint16_t value = protocol::LoadLe16(bytes + 2);
  const uint16_t index = protocol::LoadLe16(bytes + 4);
  const uint16_t data_length = protocol::LoadLe16(bytes + 6);
  for (uint32_t i = 8; i < kIpPacketHeadSize; ++i)
    if (bytes[i] != 0) return Refuse(code, "reserved bytes are not zero");
  if (uint32_t{data_length} != length - kIpPacketHeadSize)
    return Refuse(code, "data length is not the bytes behind the head");
  const uint8_t* data = bytes + kIpPacketHeadSize;

  std::lock_guard<std::mutex> guard(lock_);
  switch (code) {
    case protocol::ReqCursorPosition0:
    case protocol::ReqCursorPosition1:
    case protocol::ReqCursorShow0:
    case protocol::ReqCursorShow1: {
      if (data_length != 0) {
        ++refused_;
        violations_.Add("command packet with data on a code that takes none");
        return false;
      }
      const bool view1 = code == protocol::ReqCursorPosition1 || code == protocol::ReqCursorShow1;
      Cursor& c = cursors_[view1 ? 1 : 0];
      if (code == protocol::ReqCursorPosition0 || code == protocol::ReqCursorPosition1) {
        c.x = value;
        c.y = index;
      } else {
        c.slot = value;
        c.visible = index != 0;
      }
      break;
    }
    case protocol::ReqCursorShape0:
    case protocol::ReqCursorShape1: {
      Cursor& c = cursors_[code == protocol::ReqCursorShape0 ? 0 : 1];
      std::vector<uint8_t>& shape = c.shapes[value];
      // The index is the byte offset of the data in the slot's image, as the control request
      // it replaces carries it; a shape too long for one packet comes in pieces.
      const size_t end = size_t{index} + data_length;
      if (shape.size() < end) shape.resize(end);
      if (data_length) std::memcpy(shape.data() + index, data, data_length);
      break;
    }
    default:
      ++refused_;
      violations_.Add("command packet with a code the chip does not execute");
      return false;
  }
  ++executed_;
  return true;
}

void IpCommands::OverlayCursor(int view, ViewSettings* settings) const {
  if (view < 0 || view > 1 || !settings) return;
  std::lock_guard<std::mutex> guard(lock_);
  const Cursor& c = cursors_[view];
  settings->cursor_x = c.x;
  settings->cursor_y = c.y;
  settings->cursor_slot = c.slot;
  settings->cursor_visible = c.visible;
  settings->cursor_shapes = c.shapes;
}

uint64_t IpCommands::Executed() const {
  std::lock_guard<std::mutex> guard(lock_);
  return executed_;
}

uint64_t IpCommands::Refused() const {
  std::lock_guard<std::mutex> guard(lock_);
  return refused_;
}

}  // namespace vorn::chip
