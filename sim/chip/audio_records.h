// The chip's audio paths as its vendor requests describe them: per jack (0 render/headphone,
// 1 capture/microphone) a stream record (0xA1), its format records (0xA5) and its units, each
// a unit record (0xA2) with its feature record (0xA3). The chip takes feature changes (0x23)
// into the unit's feature record and stream states (0x24), and keeps every one it received
// in order. A jack with a stream set answers 0xA1 from here; other jacks are answered by the
// station functions (sim/chip/station_functions.h). Failures of the requests are scripted with
// the chip's request script. Thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/usb/usb_device.h"

namespace vorn::chip {

constexpr uint32_t kAudioStreamRecordBytes = 16;
constexpr uint32_t kAudioFormatRecordBytes = 32;
constexpr uint32_t kAudioUnitRecordBytes = 16;
constexpr uint32_t kAudioFeatureRecordBytes = 40;
constexpr uint32_t kAudioStateRecordBytes = 16;

struct AudioFormat {
  uint32_t rate = 48000;
  uint8_t bits = 16;
  uint8_t channels = 2;
};

// One unit: its kind (0 render volume, 1 mute, 2 unused, 3 capture volume) and the words the
// module reads from its record: at 4 (capture resolution), 8 (render muted value, capture
// minimum) and 12 (render initial value, capture maximum).
struct AudioUnit {
  uint8_t kind = 0;
  int32_t value4 = 0;
  int32_t value8 = 0;
  int32_t value12 = 0;
  // The feature record the chip answers for the unit: mask and up to 8 values.
  uint8_t mask = 0xFF;
  std::array<int32_t, 8> values{};
};

// What a jack's stream is. The stream record follows from it: index = the jack, format
// count, default format, unit count and the tag at 12 (non-zero for a stream that exists).
struct AudioStreamSetup {
  std::vector<AudioFormat> formats;
  std::vector<AudioUnit> units;
  uint16_t default_format = 0;
  uint32_t tag = 0x1000;
  bool can_report = true;  // byte 1 bit 0: jack detection
  // Overrides of the record's fields, for records a careless chip might send.
  std::optional<uint16_t> format_count;
  std::optional<uint8_t> stream_index;
};

// A stereo 16-bit stream at |rates| with a render volume unit (muted value 0, initial 31) and
// a mute unit, for render; a capture volume unit (-48 dB to +12 dB, 1 dB steps) and a mute
// unit, for capture.
AudioStreamSetup RenderSetup(std::vector<uint32_t> rates = {48000, 44100});
AudioStreamSetup CaptureSetup(std::vector<uint32_t> rates = {48000});

struct AudioFeatureWrite {
  uint16_t jack = 0;
  uint16_t unit = 0;
  std::array<uint8_t, kAudioFeatureRecordBytes> record{};
  uint8_t Mask() const { return record[0]; }
  int32_t Value(uint32_t channel_index) const;
};

struct AudioStateWrite {
  uint16_t jack = 0;
  std::array<uint8_t, kAudioStateRecordBytes> record{};
  bool Active() const { return record[0] != 0; }
  uint16_t FormatIndex() const { return static_cast<uint16_t>(record[2] | record[3] << 8); }
  uint32_t Tag() const;
};

class AudioRecords {
 public:
  // Jack |jack| (0 or 1) gets |setup|; ClearStream makes 0xA1 fall back to the station
  // functions' jack record.
  void SetStream(uint32_t jack, AudioStreamSetup setup);
  void ClearStream(uint32_t jack);

  std::vector<AudioFeatureWrite> FeatureWrites() const;
  std::vector<AudioStateWrite> StateWrites() const;
  void ClearWrites();
  // The feature record the chip now holds for a unit (after the writes it took).
  std::array<uint8_t, kAudioFeatureRecordBytes> Feature(uint32_t jack, uint16_t unit) const;

  // True when |s| is an audio request of the chip; then |*status| and |*actual| are its
  // answer. OUT data comes in |data| (|length| bytes).
  bool Answer(const usb::SetupPacket& s, uint8_t* data, uint32_t length, uint32_t* actual,
              usb::TransferStatus* status);

 private:
  struct Jack {
    std::optional<AudioStreamSetup> setup;
    std::vector<std::array<uint8_t, kAudioFeatureRecordBytes>> features;
  };
  bool AnswerIn(const usb::SetupPacket& s, uint8_t* data, uint32_t length, uint32_t* actual,
                usb::TransferStatus* status);

  mutable std::mutex lock_;
  std::array<Jack, 2> jacks_;
  std::vector<AudioFeatureWrite> feature_writes_;
  std::vector<AudioStateWrite> state_writes_;
};

}  // namespace vorn::chip
