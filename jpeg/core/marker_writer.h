// Writes marker-segment bytes into the encoder's bit stream and remembers the first failure:
// once a write fails nothing after it is written.
#pragma once

#include <cstdint>

#include "jpeg/core/core_types.h"
#include "jpeg/stream/bitstream_output.h"

namespace vorn::jpeg {

// Markers of the stream.
constexpr uint16_t kMarkerSoi = 0xFFD8;
constexpr uint16_t kMarkerEoi = 0xFFD9;
constexpr uint16_t kMarkerApp0 = 0xFFE0;
constexpr uint16_t kMarkerApp14 = 0xFFEE;
constexpr uint16_t kMarkerCom = 0xFFFE;
constexpr uint16_t kMarkerDqt = 0xFFDB;
constexpr uint16_t kMarkerSof0 = 0xFFC0;
constexpr uint16_t kMarkerDht = 0xFFC4;
constexpr uint16_t kMarkerDri = 0xFFDD;
constexpr uint16_t kMarkerSos = 0xFFDA;
constexpr uint16_t kMarkerRst0 = 0xFFD0;

class MarkerWriter {
 public:
  explicit MarkerWriter(CBitStreamOutput& stream) : stream_(stream) {}

  void Byte(uint32_t b) {
    if (status_ == CoreOk) status_ = stream_.WriteByte(static_cast<uint8_t>(b));
  }
  void Word(uint32_t w) {
    if (status_ == CoreOk) status_ = stream_.WriteWord(static_cast<uint16_t>(w));
  }
  void Bytes(const uint8_t* data, int32_t count) {
    for (int32_t i = 0; i < count && status_ == CoreOk; ++i) Byte(data[i]);
  }
  JpegCoreStatus Status() const { return status_; }

 private:
  CBitStreamOutput& stream_;
  JpegCoreStatus status_ = CoreOk;
};

}  // namespace vorn::jpeg
