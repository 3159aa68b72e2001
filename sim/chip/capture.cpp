#include "sim/chip/capture.h"

#include <cerrno>
#include <cstring>

#include "protocol/byte_order.h"

namespace vorn::chip {

bool CaptureRecord::Is(const char (&t)[4]) const { return std::memcmp(tag.data(), t, 4) == 0; }

std::array<uint8_t, 8> EncodeSetup(const usb::SetupPacket& s) {
  std::array<uint8_t, 8> b{};
  b[0] = s.bmRequestType;
  b[1] = s.bRequest;
  protocol::StoreLe16(&b[2], s.wValue);
  protocol::StoreLe16(&b[4], s.wIndex);
  protocol::StoreLe16(&b[6], s.wLength);
  return b;
}

Capture::~Capture() { Close(); }

bool Capture::Open(const std::string& path, std::string* error) {
  Close();
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    if (error) *error = path + ": " + std::strerror(errno);
    return false;
  }
  std::lock_guard<std::mutex> guard(lock_);
  file_ = f;
  records_ = 0;
  bytes_ = 0;
  failed_ = false;
  return true;
}

bool Capture::Close() {
  std::lock_guard<std::mutex> guard(lock_);
  if (!file_) return !failed_;
  if (std::fclose(file_) != 0) failed_ = true;
  file_ = nullptr;
  return !failed_;
}

bool Capture::IsOpen() const {
  std::lock_guard<std::mutex> guard(lock_);
  return file_ != nullptr;
}

void Capture::Record(const char (&tag)[4], uint32_t endpoint, const uint8_t* data,
                     uint32_t length) {
  if (!data) length = 0;
  uint8_t head[kCaptureRecordHead];
  std::memcpy(head, tag, 4);
  protocol::StoreLe32(head + 4, endpoint);
  protocol::StoreLe32(head + 8, length);
  std::lock_guard<std::mutex> guard(lock_);
  if (!file_ || failed_) return;
  if (std::fwrite(head, 1, sizeof head, file_) != sizeof head ||
      (length && std::fwrite(data, 1, length, file_) != length)) {
    failed_ = true;
    return;
  }
  ++records_;
  bytes_ += sizeof head + length;
}

void Capture::RecordControl(const usb::SetupPacket& setup, const uint8_t* data,
                            uint32_t length) {
  if (!IsOpen()) return;
  const std::array<uint8_t, 8> s = EncodeSetup(setup);
  std::vector<uint8_t> bytes(s.begin(), s.end());
  if (data && length) bytes.insert(bytes.end(), data, data + length);
  Record(kCaptureControl, 0, bytes.data(), static_cast<uint32_t>(bytes.size()));
}

uint64_t Capture::Records() const {
  std::lock_guard<std::mutex> guard(lock_);
  return records_;
}

uint64_t Capture::Bytes() const {
  std::lock_guard<std::mutex> guard(lock_);
  return bytes_;
}

bool Capture::Failed() const {
  std::lock_guard<std::mutex> guard(lock_);
  return failed_;
}

void TrafficCounter::Count(const uint8_t* header, const uint8_t* payload,
                           uint32_t payload_length) {
  TrafficKey key;
  key.type = protocol::LoadLe32(header);
  if (key.type == 0 && payload_length >= 48) {
    key.kind = protocol::LoadLe32(payload);
    // The payload format sits where each descriptor kind keeps it.
    const uint32_t at = key.kind == 3 || key.kind == 4 ? 32 : key.kind == 1 || key.kind == 2 ? 40 : 36;
    key.format = protocol::LoadLe32(payload + at);
  } else if (key.type == 7) {
    // A 24-bit patch puts plane B directly below plane A; a Y + CbCr patch does not.
    const uint32_t a = protocol::LoadLe32(header + 8), b = protocol::LoadLe32(header + 12);
    const uint32_t stride = protocol::LoadLe16(header + 16);
    const uint32_t rows = protocol::LoadLe16(header + 22);
    key.kind = 7;
    key.format = b - a == stride * rows ? 9 : 6;
  }
  uint64_t pixels = 0;
  if (key.type == 0 && payload_length >= 48) {
    const uint32_t size_at = key.kind == 3 || key.kind == 4 ? 40 : key.kind == 1 || key.kind == 2 ? 20 : 16;
    pixels = uint64_t{protocol::LoadLe16(payload + size_at)} * protocol::LoadLe16(payload + size_at + 2);
  }
  const bool flagged = key.type == 0 && payload_length >= 48 && (payload[47] & 0x80);
  std::lock_guard<std::mutex> guard(lock_);
  if (flagged) ++flagged_;
  TrafficCount& c = counts_[key];
  ++c.messages;
  c.bytes += 32 + uint64_t{payload_length};
  c.pixels += pixels;
  ++messages_;
}

std::map<TrafficKey, TrafficCount> TrafficCounter::Counts() const {
  std::lock_guard<std::mutex> guard(lock_);
  return counts_;
}

uint64_t TrafficCounter::Messages() const {
  std::lock_guard<std::mutex> guard(lock_);
  return messages_;
}

uint64_t TrafficCounter::Flagged() const {
  std::lock_guard<std::mutex> guard(lock_);
  return flagged_;
}

bool ParseCapture(const uint8_t* data, size_t length, std::vector<CaptureRecord>* out,
                  std::string* error) {
  size_t pos = 0;
  while (pos < length) {
    if (length - pos < kCaptureRecordHead) {
      if (error) *error = "record head cut short at byte " + std::to_string(pos);
      return false;
    }
    CaptureRecord r;
    std::memcpy(r.tag.data(), data + pos, 4);
    r.endpoint = protocol::LoadLe32(data + pos + 4);
    const uint32_t n = protocol::LoadLe32(data + pos + 8);
    if (n > length - pos - kCaptureRecordHead) {
      if (error)
        *error = "record at byte " + std::to_string(pos) + " announces " + std::to_string(n) +
                 " bytes, " + std::to_string(length - pos - kCaptureRecordHead) + " are left";
      return false;
    }
    r.data.assign(data + pos + kCaptureRecordHead, data + pos + kCaptureRecordHead + n);
    if (out) out->push_back(std::move(r));
    pos += kCaptureRecordHead + n;
  }
  return true;
}

bool ReadCaptureFile(const std::string& path, std::vector<CaptureRecord>* out,
                     std::string* error) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    if (error) *error = path + ": " + std::strerror(errno);
    return false;
  }
  std::vector<uint8_t> bytes;
  uint8_t chunk[1 << 16];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
  const bool read_error = std::ferror(f) != 0;
  std::fclose(f);
  if (read_error) {
    if (error) *error = path + ": read failed";
    return false;
  }
  return ParseCapture(bytes.data(), bytes.size(), out, error);
}

}  // namespace vorn::chip
