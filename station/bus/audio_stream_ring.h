// The arithmetic of the audio child's data path, apart from the stream records it serves:
// time from byte counts, the software gain, the rings and their wrap, the capture drift
// correction and the lengths of capture packets. Each works on what it is given and touches
// no lock; the callers hold what the ring needs.
#pragma once

#include "platform/kernel/usb.h"
#include "platform/nt/types.h"

namespace vorn::station {

// Whole milliseconds of audio in |bytes| at a rate of |bytes_per_ms| (and |bytes_per_10ms|):
// bytes / bytes per ms, or where a second is no whole number of thousand bytes, in steps of
// 10 ms. 0 while the rate is unknown.
ULONG AudioBytesToMs(ULONG bytes, ULONG bytes_per_ms, ULONG bytes_per_10ms, bool fractional);

// What the software gain needs of a stream. |volume_mode| 0 copies; otherwise Mute writes
// silence, and 16-bit stereo (4 bytes per frame) takes gain0 on the left and gain1 on the
// right sample ((s × gain) >> 16, 0x10000 unity). Any other format is copied at unity gain,
// so the ring never keeps bytes of an earlier pass.
struct AudioGain {
  UCHAR VolumeMode;
  UCHAR Mute;
  UCHAR Channels;
  ULONG BytesPerFrame;
  LONG Gain0;
  LONG Gain1;
};
// Writes all |n| bytes of |dst| from |src| (a trailing partial frame is copied as it is).
void ApplyGain(const AudioGain& gain, UCHAR* dst, const UCHAR* src, ULONG n);

// Copies |length| bytes into the ring of |ring_size| bytes at *offset, wrapping at its end as
// often as needed, and moves *offset past them. A piece longer than the ring leaves its last
// ring_size bytes there, as the wrapped copies would. Nothing happens for an empty ring.
void RingWrite(UCHAR* ring, ULONG ring_size, ULONG* offset, const UCHAR* src, ULONG length);
// Copies |length| bytes out of the ring at *offset into |dst|, wrapping at its end, zeroes
// the ring bytes taken and moves *offset past them.
void RingTake(UCHAR* ring, ULONG ring_size, ULONG* offset, UCHAR* dst, ULONG length);

// Bytes from |from| to |to| going forward round a ring of |ring_size|.
ULONG RingGap(ULONG from, ULONG to, ULONG ring_size);

// Capture drift correction: when the reader at |read| has come within kDriftGapBytes of the
// writer, the writer moves one preload on and the bytes it passes over are zeroed, so the
// reader takes silence for a preload's time (and never bytes of an earlier lap). True when it
// moved.
constexpr ULONG kDriftGapBytes = 15;
bool CorrectCaptureDrift(UCHAR* ring, ULONG ring_size, ULONG read, ULONG* write,
                         ULONG preload_bytes);

// Lays |bytes| of capture data over the URB's packets: each packet but the last takes at most
// up to the next packet's offset and at most one millisecond (|bytes_per_ms|), the last takes
// the rest that fits the buffer; packets left over get length 0. Every packet's status is
// set to 0; *laid = the bytes laid out. Fails (false, nothing changed) when the packets do not
// describe the buffer of |buffer_length| bytes: no packets, an offset beyond it, or offsets
// going backwards.
bool LayCapturePackets(USBD_ISO_PACKET_DESCRIPTOR* packets, ULONG count, ULONG bytes,
                       ULONG bytes_per_ms, ULONG buffer_length, ULONG* laid);

}  // namespace vorn::station
