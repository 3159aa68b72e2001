#include "sim/audio/wav_writer.h"

#include <cstdio>

namespace vorn::audio {
namespace {

constexpr size_t kHeaderBytes = 44;
constexpr uint16_t kFormatPcm = 1;

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  Put16(out, static_cast<uint16_t>(v));
  Put16(out, static_cast<uint16_t>(v >> 16));
}
void PutTag(std::vector<uint8_t>& out, const char* tag) { out.insert(out.end(), tag, tag + 4); }

}  // namespace

std::vector<uint8_t> WavFile(const WavFormat& f, const uint8_t* pcm, size_t bytes) {
  if (f.rate == 0 || f.channels == 0 || f.bits < 8 || f.bits > 32 || f.bits % 8) return {};
  const uint64_t frame = uint64_t{f.channels} * (f.bits / 8);
  const uint64_t data = pcm ? bytes / frame * frame : 0;
  if (data + kHeaderBytes - 8 > 0xFFFFFFFFull) return {};
  const uint64_t byte_rate = uint64_t{f.rate} * frame;
  if (byte_rate > 0xFFFFFFFFull || frame > 0xFFFF) return {};
  std::vector<uint8_t> out;
  out.reserve(kHeaderBytes + data);
  PutTag(out, "RIFF");
  Put32(out, static_cast<uint32_t>(data + kHeaderBytes - 8));
  PutTag(out, "WAVE");
  PutTag(out, "fmt ");
  Put32(out, 16);
  Put16(out, kFormatPcm);
  Put16(out, f.channels);
  Put32(out, f.rate);
  Put32(out, static_cast<uint32_t>(byte_rate));
  Put16(out, static_cast<uint16_t>(frame));
  Put16(out, f.bits);
  PutTag(out, "data");
  Put32(out, static_cast<uint32_t>(data));
  out.insert(out.end(), pcm, pcm + data);
  return out;
}

bool WriteWav(const std::string& path, const WavFormat& format, const uint8_t* pcm, size_t bytes) {
  const std::vector<uint8_t> file = WavFile(format, pcm, bytes);
  if (file.empty()) return false;
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (!out) return false;
  const bool whole = std::fwrite(file.data(), 1, file.size(), out) == file.size();
  return std::fclose(out) == 0 && whole;
}

}  // namespace vorn::audio
