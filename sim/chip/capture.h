// A record of the traffic the chip model sees, written to a file as it happens so that it can
// be inspected afterwards. The file is a sequence of records, all little-endian:
//   4-byte ASCII tag, u32 endpoint, u32 length n, n bytes
// with the tags
//   "BLKO"  one bulk OUT transfer exactly as the chip accepted it (endpoint 0x02, or 0x04 on
//           adapters with the command-packet endpoint), in the order received;
//   "CTRL"  one control transfer on endpoint 0: the 8-byte setup packet, then the bytes its
//           data stage moved (what the host sent, or what the chip answered);
//   "INTI"  one interrupt IN packet the chip sent (endpoint 0x83), as many bytes as it moved;
//   "RSET"  the host reset the bulk OUT pipe (endpoint 0x02), n = 0.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/usb/usb_device.h"

namespace vorn::chip {

inline constexpr char kCaptureBulkOut[4] = {'B', 'L', 'K', 'O'};
inline constexpr char kCaptureControl[4] = {'C', 'T', 'R', 'L'};
inline constexpr char kCaptureInterrupt[4] = {'I', 'N', 'T', 'I'};
inline constexpr char kCaptureReset[4] = {'R', 'S', 'E', 'T'};
inline constexpr uint32_t kCaptureRecordHead = 12;

struct CaptureRecord {
  std::array<char, 4> tag{};
  uint32_t endpoint = 0;
  std::vector<uint8_t> data;

  std::string Tag() const { return std::string(tag.data(), tag.size()); }
  bool Is(const char (&t)[4]) const;
};

// The 8 bytes of a setup packet as they cross the bus.
std::array<uint8_t, 8> EncodeSetup(const usb::SetupPacket& s);

class Capture {
 public:
  Capture() = default;
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  // Starts writing to |path| (replacing it); false with |error| when it cannot be created.
  // A capture already running is closed first.
  bool Open(const std::string& path, std::string* error = nullptr);
  // Flushes and closes the file; false when a write failed on the way (the file is then
  // incomplete). Nothing happens when no capture runs.
  bool Close();
  bool IsOpen() const;

  // One record; nothing when no capture runs. Safe from any thread: records never interleave.
  void Record(const char (&tag)[4], uint32_t endpoint, const uint8_t* data, uint32_t length);
  void RecordControl(const usb::SetupPacket& setup, const uint8_t* data, uint32_t length);

  uint64_t Records() const;
  uint64_t Bytes() const;  // file bytes written so far
  bool Failed() const;     // a write failed

 private:
  mutable std::mutex lock_;
  std::FILE* file_ = nullptr;
  uint64_t records_ = 0;
  uint64_t bytes_ = 0;
  bool failed_ = false;
};

// What reached the chip's bulk OUT side, by message: type-0 messages by PacketKind and
// payload format, two-plane writes (type 7) by the format their planes imply, and bytes.
struct TrafficKey {
  uint32_t type = 0, kind = 0, format = 0;
  auto operator<=>(const TrafficKey&) const = default;
};
struct TrafficCount {
  uint64_t messages = 0, bytes = 0;
  // Pixels the messages carry where their descriptor gives the size (rectangles, patches,
  // centred full frames); a full frame that fills its view gives none here.
  uint64_t pixels = 0;
};
class TrafficCounter {
 public:
  // One completed message: its 32-byte header and payload.
  void Count(const uint8_t* header, const uint8_t* payload, uint32_t payload_length);
  std::map<TrafficKey, TrafficCount> Counts() const;
  uint64_t Messages() const;
  // Display messages whose descriptor carries flag 0x80 (the first after a resync).
  uint64_t Flagged() const;

 private:
  mutable std::mutex lock_;
  std::map<TrafficKey, TrafficCount> counts_;
  uint64_t messages_ = 0;
  uint64_t flagged_ = 0;
};

// Reads records from |data|. Stops at the first record that does not fit in what is left
// (a file cut short) and returns false with |error| saying where; the records before it are
// in |out|.
bool ParseCapture(const uint8_t* data, size_t length, std::vector<CaptureRecord>* out,
                  std::string* error = nullptr);
// The same for a file.
bool ReadCaptureFile(const std::string& path, std::vector<CaptureRecord>* out,
                     std::string* error = nullptr);

}  // namespace vorn::chip
