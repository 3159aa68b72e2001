#include "station/bus/audio_stream_ring.h"

#include <algorithm>
#include <cstring>

namespace vorn::station {

ULONG AudioBytesToMs(ULONG bytes, ULONG bytes_per_ms, ULONG bytes_per_10ms, bool fractional) {
  if (bytes_per_ms == 0) return 0;
  if (!fractional) return bytes / bytes_per_ms;
  if (bytes_per_10ms == 0) return 0;
  return bytes / bytes_per_10ms * 10;
}

void ApplyGain(const AudioGain& g, UCHAR* dst, const UCHAR* src, ULONG n) {
  if (g.VolumeMode != 0 && g.Mute) {
    std::memset(dst, 0, n);
    return;
  }
  const bool unity = g.Gain0 == 0x10000 && g.Gain1 == 0x10000;
  // The gain is defined for 16-bit stereo frames; every other format goes through unchanged.
  if (g.VolumeMode == 0 || unity || g.Channels != 2 || g.BytesPerFrame != 4) {
    std::memmove(dst, src, n);
    return;
  }
  if (g.Gain0 == 0 && g.Gain1 == 0) {
    std::memset(dst, 0, n);
    return;
  }
  const ULONG frames = n / 4;
  for (ULONG i = 0; i < frames; ++i) {
    const UCHAR* s = src + i * 4;
    UCHAR* d = dst + i * 4;
    const int16_t left = static_cast<int16_t>(s[0] | s[1] << 8);
    const int16_t right = static_cast<int16_t>(s[2] | s[3] << 8);
    // 32-bit products and an arithmetic shift, as the stream's Q16 gains are defined.
    const auto scale = [](int16_t v, LONG gain) {
      return static_cast<uint16_t>(static_cast<int16_t>((int32_t{v} * gain) >> 16));
    };
    const uint16_t l = scale(left, g.Gain0), r = scale(right, g.Gain1);
    d[0] = static_cast<UCHAR>(l);
    d[1] = static_cast<UCHAR>(l >> 8);
    d[2] = static_cast<UCHAR>(r);
    d[3] = static_cast<UCHAR>(r >> 8);
  }
  // A partial frame at the end is passed on as it came rather than left stale.
  std::memmove(dst + frames * 4, src + frames * 4, n - frames * 4);
}

void RingWrite(UCHAR* ring, ULONG ring_size, ULONG* offset, const UCHAR* src, ULONG length) {
  if (!ring || ring_size == 0) return;
  ULONG at = *offset % ring_size;
  if (length > ring_size) {
    // Only the last ring_size bytes would survive the wrapped copies.
    const ULONG skipped = length - ring_size;
    at = static_cast<ULONG>((uint64_t{at} + skipped) % ring_size);
    src += skipped;
    length = ring_size;
  }
  while (length) {
    const ULONG piece = std::min(length, ring_size - at);
    std::memcpy(ring + at, src, piece);
    src += piece;
    length -= piece;
    at = (at + piece) % ring_size;
  }
  *offset = at;
}

void RingTake(UCHAR* ring, ULONG ring_size, ULONG* offset, UCHAR* dst, ULONG length) {
  if (!ring || ring_size == 0) return;
  ULONG at = *offset % ring_size;
  while (length) {
    const ULONG piece = std::min(length, ring_size - at);
    std::memcpy(dst, ring + at, piece);
    std::memset(ring + at, 0, piece);
    dst += piece;
    length -= piece;
    at = (at + piece) % ring_size;
  }
  *offset = at;
}

ULONG RingGap(ULONG from, ULONG to, ULONG ring_size) {
  if (ring_size == 0) return 0;
  from %= ring_size;
  to %= ring_size;
  return to >= from ? to - from : ring_size - from + to;
}

bool CorrectCaptureDrift(UCHAR* ring, ULONG ring_size, ULONG read, ULONG* write,
                         ULONG preload_bytes) {
  if (!ring || ring_size == 0 || RingGap(read, *write, ring_size) >= kDriftGapBytes) return false;
  ULONG at = *write % ring_size;
  ULONG left = std::min(preload_bytes, ring_size);
  while (left) {
    const ULONG piece = std::min(left, ring_size - at);
    std::memset(ring + at, 0, piece);
    left -= piece;
    at = (at + piece) % ring_size;
  }
  *write = static_cast<ULONG>((uint64_t{*write} + preload_bytes) % ring_size);
  return true;
}

bool LayCapturePackets(USBD_ISO_PACKET_DESCRIPTOR* packets, ULONG count, ULONG bytes,
                       ULONG bytes_per_ms, ULONG buffer_length, ULONG* laid) {
  if (!packets || count == 0) return false;
  for (ULONG i = 0; i < count; ++i) {
    if (packets[i].Offset > buffer_length) return false;
    if (i && packets[i].Offset < packets[i - 1].Offset) return false;
  }
  ULONG remaining = bytes, sum = 0;
  for (ULONG i = 0; i < count; ++i) {
    ULONG length = 0;
    if (remaining) {
      if (i + 1 < count)
        length = std::min({remaining, packets[i + 1].Offset - packets[i].Offset, bytes_per_ms});
      else
        length = std::min(remaining, buffer_length - packets[i].Offset);
    }
    packets[i].Length = length;
    packets[i].Status = 0;
    remaining -= length;
    sum += length;
  }
  *laid = sum;
  return true;
}

}  // namespace vorn::station
