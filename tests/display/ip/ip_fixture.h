// Adapters with bulk OUT endpoint 0x04 on the chip model: the standard command-packet profile,
// display information records built field by field, and the control requests an open sent.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

#include "protocol/byte_order.h"
#include "sim/chip/ip_profile.h"
#include "tests/display/display_fixture.h"

namespace vorn::display::testing {

// One vendor control request as the chip logged it.
struct IpWire {
  uint8_t type, code;
  uint16_t value, index, length;
  bool operator==(const IpWire&) const = default;
};
inline void PrintTo(const IpWire& w, std::ostream* os) {
  *os << std::hex << "{0x" << int{w.type} << " 0x" << int{w.code} << " v 0x" << w.value
      << " i 0x" << w.index << " len 0x" << w.length << "}" << std::dec;
}

inline std::vector<IpWire> VendorWire(chip::Chip& chip) {
  std::vector<IpWire> out;
  for (const auto& e : chip.log().VendorRequests())
    out.push_back({e.setup.bmRequestType, e.setup.bRequest, e.setup.wValue, e.setup.wIndex,
                   e.setup.wLength});
  return out;
}

// A display information record with the head given field by field over |body| bytes (the
// record is 16 + |body| bytes; the head may say anything).
inline std::vector<uint8_t> RawRecord(uint32_t edid_offset, uint32_t edid_size,
                                      uint32_t mode_offset, uint32_t mode_size, size_t body) {
  std::vector<uint8_t> r(16 + body, 0);
  protocol::StoreLe32(&r[0], edid_offset);
  protocol::StoreLe32(&r[4], edid_size);
  protocol::StoreLe32(&r[8], mode_offset);
  protocol::StoreLe32(&r[12], mode_size);
  return r;
}

// Writes mode |i| of a record's mode list that starts at |mode_offset|.
inline void PutMode(std::vector<uint8_t>* r, uint32_t mode_offset, uint32_t i, uint16_t w,
                    uint16_t h, uint16_t refresh) {
  uint8_t* m = r->data() + mode_offset + i * 8;
  protocol::StoreLe16(m + 0, w);
  protocol::StoreLe16(m + 2, h);
  protocol::StoreLe16(m + 4, 0);
  protocol::StoreLe16(m + 6, refresh);
}

class IpTest : public DisplayTest {
 protected:
  // The standard command-packet profile with |record| as its display information.
  static chip::ChipProfile WithRecord(std::vector<uint8_t> record) {
    chip::ChipProfile p = chip::MakeIpProfile();
    p.ip_display_info = std::move(record);
    return p;
  }
};

}  // namespace vorn::display::testing
