#include "sim/chip/timing_table.h"

#include "protocol/byte_order.h"

namespace vorn::chip {
namespace {
constexpr size_t kRecordSize = 32;
constexpr uint16_t kPllDenominator = 1000;
}  // namespace

std::vector<uint8_t> EncodeChipTiming(const DisplayTiming& t) {
  std::vector<uint8_t> r(kRecordSize, 0);
  protocol::StoreLe32(&r[0], t.pixel_clock_khz);
  r[4] = t.refresh;
  protocol::StoreLe16(&r[6], t.h_total);
  protocol::StoreLe16(&r[8], t.width);
  // Stored form: sync start = active + front porch, sync width as is.
  protocol::StoreLe16(&r[10], static_cast<uint16_t>(t.width + t.h_front));
  protocol::StoreLe16(&r[12], t.h_sync);
  protocol::StoreLe16(&r[14], t.v_total);
  protocol::StoreLe16(&r[16], t.height);
  protocol::StoreLe16(&r[18], static_cast<uint16_t>(t.height + t.v_front));
  protocol::StoreLe16(&r[20], t.v_sync);
  protocol::StoreLe16(&r[24], kPllDenominator);
  r[28] = t.h_positive ? 1 : 0;
  r[29] = t.v_positive ? 1 : 0;
  r[31] = (t.width == 1680 || t.width == 1360) ? 2 : 0;
  return r;
}

const std::vector<DisplayTiming>& StandardTimings() {
  static const std::vector<DisplayTiming> timings = {
      {148500, 60, 1920, 88, 44, 2200, 1080, 4, 5, 1125, true, true},
      {146250, 60, 1680, 104, 176, 2240, 1050, 3, 6, 1089, false, true},
      {108000, 60, 1280, 48, 112, 1688, 1024, 1, 3, 1066, true, true},
      {74250, 60, 1280, 110, 40, 1650, 720, 5, 5, 750, true, true},
      {65000, 60, 1024, 24, 136, 1344, 768, 3, 6, 806, false, false},
      {40000, 60, 800, 40, 128, 1056, 600, 1, 4, 628, true, true},
  };
  return timings;
}

std::vector<uint8_t> StandardTimingTable() {
  std::vector<uint8_t> table;
  for (const DisplayTiming& t : StandardTimings()) {
    std::vector<uint8_t> r = EncodeChipTiming(t);
    table.insert(table.end(), r.begin(), r.end());
  }
  return table;
}

const std::vector<DisplayTiming>& CommonTimings() {
  static const std::vector<DisplayTiming> timings = {
      {241500, 60, 2560, 48, 32, 2720, 1440, 3, 5, 1481, true, false},
      {154000, 60, 1920, 48, 32, 2080, 1200, 3, 6, 1235, true, false},
      {148500, 60, 1920, 88, 44, 2200, 1080, 4, 5, 1125, true, true},
      {146250, 60, 1680, 104, 176, 2240, 1050, 3, 6, 1089, false, true},
      {108000, 60, 1600, 24, 80, 1800, 900, 1, 3, 1000, true, true},
      {85500, 60, 1366, 70, 143, 1792, 768, 3, 3, 798, true, true},
      {108000, 60, 1280, 48, 112, 1688, 1024, 1, 3, 1066, true, true},
      {74250, 60, 1280, 110, 40, 1650, 720, 5, 5, 750, true, true},
      {65000, 60, 1024, 24, 136, 1344, 768, 3, 6, 806, false, false},
      {40000, 60, 800, 40, 128, 1056, 600, 1, 4, 628, true, true},
  };
  return timings;
}

const DisplayTiming& UhdTiming() {
  static const DisplayTiming uhd = {297000, 30, 3840, 176, 88, 4400, 2160, 8, 10, 2250, true, true};
  return uhd;
}

bool UhdFits(uint32_t memory_mib, int views) {
  constexpr uint64_t kMiB = 1u << 20, kRing = 10 * kMiB, kSlots = 3;
  const uint64_t frame = uint64_t{3840} * 2160 * 3;
  const uint64_t memory = uint64_t{memory_mib} * kMiB;
  if (views < 1 || memory <= kRing) return false;
  return (memory - kRing) / static_cast<uint64_t>(views) / kSlots >= frame;
}

std::vector<uint8_t> CommonTimingTable(bool with_uhd) {
  std::vector<uint8_t> table;
  if (with_uhd) table = EncodeChipTiming(UhdTiming());
  for (const DisplayTiming& t : CommonTimings()) {
    std::vector<uint8_t> r = EncodeChipTiming(t);
    table.insert(table.end(), r.begin(), r.end());
  }
  return table;
}

}  // namespace vorn::chip
