// The chip model's side of endpoint 0x04: packets that hold together are executed as the
// cursor request of their code (a shape put together from pieces at their offsets), and
// packets that do not are stalled and named in the violation log, changing nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/byte_order.h"
#include "sim/chip/chip.h"
#include "sim/chip/ip_profile.h"

namespace vorn::chip {
namespace {

using usb::TransferStatus;

std::vector<uint8_t> Packet(uint16_t code, uint16_t value, uint16_t index,
                            std::vector<uint8_t> data = {}, int length_delta = 0) {
  std::vector<uint8_t> p(16 + data.size(), 0);
  protocol::StoreLe16(&p[0], code);
  protocol::StoreLe16(&p[2], value);
  protocol::StoreLe16(&p[4], index);
  protocol::StoreLe16(&p[6], static_cast<uint16_t>(static_cast<int>(data.size()) + length_delta));
  for (size_t i = 0; i < data.size(); ++i) p[16 + i] = data[i];
  return p;
}

TransferStatus Send(Chip& chip, std::vector<uint8_t> bytes) {
  usb::Transfer t;
  t.endpoint = kEndpointIpBulkOut;
  t.buffer = bytes.data();
  t.length = static_cast<uint32_t>(bytes.size());
  return usb::RunSync(chip, t, std::chrono::milliseconds(30000));
}

TEST(ChipCommandPackets, AreExecutedAsTheCursorRequestsOfTheirCodes) {
  Chip chip(MakeIpProfile());
  std::vector<uint8_t> shape(40000);
  for (size_t i = 0; i < shape.size(); ++i) shape[i] = static_cast<uint8_t>(i * 7 + i / 251);
  const std::vector<uint8_t> head(shape.begin(), shape.begin() + 0x8000);
  const std::vector<uint8_t> tail(shape.begin() + 0x8000, shape.end());
  // The tail first: pieces land at their offsets whatever their order.
  EXPECT_EQ(Send(chip, Packet(0x11, 6, 0x8000, tail)), TransferStatus::kSuccess);
  EXPECT_EQ(Send(chip, Packet(0x11, 6, 0, head)), TransferStatus::kSuccess);
  EXPECT_EQ(Send(chip, Packet(0x07, 6, 1)), TransferStatus::kSuccess);
  EXPECT_EQ(Send(chip, Packet(0x06, 0xFFFC, 25)), TransferStatus::kSuccess);
  EXPECT_EQ(Send(chip, Packet(0x05, 2, 0)), TransferStatus::kSuccess);
  EXPECT_EQ(Send(chip, Packet(0x04, 10, 20)), TransferStatus::kSuccess);

  const ViewSettings v1 = chip.View(1);
  EXPECT_EQ(v1.cursor_shapes.at(6), shape);
  EXPECT_EQ(v1.cursor_slot, 6);
  EXPECT_TRUE(v1.cursor_visible);
  EXPECT_EQ(v1.cursor_x, 0xFFFC);
  EXPECT_EQ(v1.cursor_y, 25);
  const ViewSettings v0 = chip.View(0);
  EXPECT_EQ(v0.cursor_slot, 2);
  EXPECT_FALSE(v0.cursor_visible);
  EXPECT_EQ(v0.cursor_x, 10);
  EXPECT_EQ(v0.cursor_y, 20);
  EXPECT_TRUE(v0.cursor_shapes.empty());
  EXPECT_EQ(chip.ip_commands().Executed(), 6u);
  EXPECT_EQ(chip.CommandPackets().size(), 6u);
  EXPECT_EQ(chip.violations().Count(), 0u);
}

TEST(ChipCommandPackets, ThatDoNotHoldTogetherAreStalledAndChangeNothing) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  };
  std::vector<uint8_t> reserved = Packet(0x04, 1, 2);
  reserved[12] = 1;
  const Case cases[] = {
      {"shorter than the head", std::vector<uint8_t>(15, 0)},
      {"reserved bytes set", reserved},
      {"length above the data", Packet(0x10, 1, 0, {1, 2, 3}, 1)},
      {"length below the data", Packet(0x10, 1, 0, {1, 2, 3}, -1)},
      {"data on a position", Packet(0x04, 1, 2, {9})},
      {"data on a show", Packet(0x05, 1, 1, {9})},
      {"a code the chip does not execute", Packet(0x12, 0, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Chip chip(MakeIpProfile());
    EXPECT_EQ(Send(chip, c.bytes), TransferStatus::kStall);
    EXPECT_EQ(chip.ip_commands().Refused(), 1u);
    EXPECT_EQ(chip.ip_commands().Executed(), 0u);
    EXPECT_EQ(chip.violations().Count(), 1u);
    const ViewSettings v = chip.View(0);
    EXPECT_EQ(v.cursor_x, 0);
    EXPECT_EQ(v.cursor_slot, 0);
    EXPECT_TRUE(v.cursor_shapes.empty());
  }
}

}  // namespace
}  // namespace vorn::chip
