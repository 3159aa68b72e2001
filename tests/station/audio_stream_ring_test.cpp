// The audio data path's arithmetic: time from bytes, the software gain, the rings, the
// capture drift correction and the capture packet lengths.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <vector>

#include "station/bus/audio_stream_ring.h"

namespace vorn::station {
namespace {

struct MsCase {
  const char* name;
  ULONG bytes, per_ms, per_10ms;
  bool fractional;
  ULONG ms;
};
void PrintTo(const MsCase& c, std::ostream* os) { *os << c.name; }
class BytesToMs : public testing::TestWithParam<MsCase> {};
TEST_P(BytesToMs, CountsWholeMilliseconds) {
  const MsCase& c = GetParam();
  EXPECT_EQ(AudioBytesToMs(c.bytes, c.per_ms, c.per_10ms, c.fractional), c.ms);
}
INSTANTIATE_TEST_SUITE_P(
    Rates, BytesToMs,
    testing::Values(MsCase{"s48k_10ms", 1920, 192, 1920, false, 10},
                    MsCase{"s48k_below_1ms", 191, 192, 1920, false, 0},
                    MsCase{"s48k_one_second", 192000, 192, 1920, false, 1000},
                    MsCase{"s44k1_10ms", 1764, 176, 1764, true, 10},
                    MsCase{"s44k1_below_10ms", 1000, 176, 1764, true, 0},
                    MsCase{"s44k1_35ms", 6174, 176, 1764, true, 30},
                    MsCase{"no_rate", 5000, 0, 0, false, 0},
                    MsCase{"no_10ms_rate", 5000, 1, 0, true, 0}),
    [](const testing::TestParamInfo<MsCase>& i) { return std::string(i.param.name); });

std::vector<UCHAR> Samples(std::initializer_list<int16_t> values) {
  std::vector<UCHAR> out;
  for (int16_t v : values) {
    out.push_back(static_cast<UCHAR>(static_cast<uint16_t>(v)));
    out.push_back(static_cast<UCHAR>(static_cast<uint16_t>(v) >> 8));
  }
  return out;
}

struct GainCase {
  const char* name;
  AudioGain gain;
  std::vector<UCHAR> src;
  std::vector<UCHAR> expected;
};
void PrintTo(const GainCase& c, std::ostream* os) { *os << c.name; }
class StreamGain : public testing::TestWithParam<GainCase> {};

TEST_P(StreamGain, WritesEveryByte) {
  const GainCase& c = GetParam();
  // The destination holds bytes of an earlier pass that must not survive.
  std::vector<UCHAR> dst(c.src.size(), 0xEE);
  ApplyGain(c.gain, dst.data(), c.src.data(), static_cast<ULONG>(c.src.size()));
  EXPECT_EQ(dst, c.expected);
}

const std::vector<UCHAR> kStereo = Samples({1000, -1000, -3, 32767, -32768, 7});
INSTANTIATE_TEST_SUITE_P(
    Modes, StreamGain,
    testing::Values(
        GainCase{"mode0_copies", {0, 1, 2, 4, 0, 0}, kStereo, kStereo},
        GainCase{"mute_is_silence", {1, 1, 2, 4, 0x10000, 0x10000}, kStereo,
                 std::vector<UCHAR>(kStereo.size(), 0)},
        GainCase{"unity_copies", {1, 0, 2, 4, 0x10000, 0x10000}, kStereo, kStereo},
        GainCase{"zero_gain_is_silence", {2, 0, 2, 4, 0, 0}, kStereo,
                 std::vector<UCHAR>(kStereo.size(), 0)},
        GainCase{"half_and_quarter", {1, 0, 2, 4, 0x8000, 0x4000}, kStereo,
                 Samples({500, -250, -2, 8191, -16384, 1})},
        GainCase{"mono_copied_at_unity", {1, 0, 1, 2, 0x8000, 0x8000}, kStereo, kStereo},
        GainCase{"six_channels_copied_at_unity", {1, 0, 6, 12, 0x4000, 0x4000}, kStereo,
                 kStereo},
        GainCase{"stereo_24bit_copied_at_unity", {1, 0, 2, 6, 0x4000, 0x4000}, kStereo,
                 kStereo},
        GainCase{"partial_frame_passed_on",
                 {1, 0, 2, 4, 0x8000, 0x8000},
                 {0xE8, 0x03, 0x18, 0xFC, 0x55, 0x66},
                 {0xF4, 0x01, 0x0C, 0xFE, 0x55, 0x66}}),
    [](const testing::TestParamInfo<GainCase>& i) { return std::string(i.param.name); });

// The ring as a byte-by-byte writer would leave it.
void SlowRingWrite(std::vector<UCHAR>& ring, ULONG* offset, const std::vector<UCHAR>& src) {
  for (UCHAR b : src) {
    ring[*offset] = b;
    *offset = (*offset + 1) % ring.size();
  }
}

struct RingCase {
  const char* name;
  ULONG ring_size, offset, length;
};
void PrintTo(const RingCase& c, std::ostream* os) { *os << c.name; }
class Ring : public testing::TestWithParam<RingCase> {};

TEST_P(Ring, WriteWrapsAsOftenAsNeeded) {
  const RingCase& c = GetParam();
  std::vector<UCHAR> src(c.length);
  for (ULONG i = 0; i < c.length; ++i) src[i] = static_cast<UCHAR>(i * 31 + i / 251);
  std::vector<UCHAR> ring(c.ring_size, 0x77), expected = ring;
  ULONG offset = c.offset, expected_offset = c.offset;
  RingWrite(ring.data(), c.ring_size, &offset, src.data(), c.length);
  SlowRingWrite(expected, &expected_offset, src);
  EXPECT_EQ(offset, expected_offset);
  EXPECT_TRUE(ring == expected);
}

TEST_P(Ring, TakeWrapsAndLeavesSilence) {
  const RingCase& c = GetParam();
  const ULONG length = std::min(c.length, c.ring_size);  // a packet never outgrows the ring
  std::vector<UCHAR> ring(c.ring_size);
  for (ULONG i = 0; i < c.ring_size; ++i) ring[i] = static_cast<UCHAR>(i % 255 + 1);
  const std::vector<UCHAR> before = ring;
  std::vector<UCHAR> out(length, 0xEE);
  ULONG offset = c.offset;
  RingTake(ring.data(), c.ring_size, &offset, out.data(), length);
  for (ULONG i = 0; i < length; ++i) {
    const ULONG at = (c.offset + i) % c.ring_size;
    ASSERT_EQ(out[i], before[at]) << i;
    ASSERT_EQ(ring[at], 0) << i;
  }
  EXPECT_EQ(offset, (c.offset + length) % c.ring_size);
  // Nothing outside the bytes taken changed.
  ULONG untouched = 0;
  for (ULONG i = 0; i < c.ring_size; ++i) untouched += ring[i] == before[i];
  EXPECT_EQ(untouched, c.ring_size - length);
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, Ring,
    testing::Values(RingCase{"inside", 384000, 1000, 1920},
                    RingCase{"to_the_end", 384000, 382080, 1920},
                    RingCase{"across_the_end", 384000, 383000, 1920},
                    RingCase{"whole_ring", 384000, 5, 384000},
                    // The largest bulk-IN piece against a two-second 48 kHz stereo ring.
                    RingCase{"piece_larger_than_ring", 384000, 1000, 1044480},
                    RingCase{"tiny_ring_many_laps", 7, 3, 100}),
    [](const testing::TestParamInfo<RingCase>& i) { return std::string(i.param.name); });

TEST(Ring, EmptyRingTakesNothing) {
  UCHAR src[4] = {1, 2, 3, 4};
  ULONG offset = 3;
  RingWrite(nullptr, 0, &offset, src, 4);
  RingTake(nullptr, 0, &offset, src, 4);
  EXPECT_EQ(offset, 3u);
  EXPECT_EQ(src[0], 1);
}

struct DriftCase {
  const char* name;
  ULONG read, write;
  bool moved;
  ULONG write_after;
};
void PrintTo(const DriftCase& c, std::ostream* os) { *os << c.name; }
class CaptureDrift : public testing::TestWithParam<DriftCase> {};
TEST_P(CaptureDrift, InsertsOnePreloadOfSilenceWhenTheReaderCaughtUp) {
  const DriftCase& c = GetParam();
  constexpr ULONG kRing = 384000, kPreload = 7680;
  std::vector<UCHAR> ring(kRing, 0x3C);  // bytes of an earlier lap
  ULONG write = c.write;
  EXPECT_EQ(CorrectCaptureDrift(ring.data(), kRing, c.read, &write, kPreload), c.moved);
  EXPECT_EQ(write, c.write_after);
  // The bytes passed over are silence; everything else is as it was.
  ULONG zeros = 0;
  for (ULONG i = 0; i < kRing; ++i) {
    const bool passed = RingGap(c.write, i, kRing) < kPreload;
    if (c.moved && passed) {
      ASSERT_EQ(ring[i], 0) << i;
      ++zeros;
    } else {
      ASSERT_EQ(ring[i], 0x3C) << i;
    }
  }
  EXPECT_EQ(zeros, c.moved ? kPreload : 0u);
}
INSTANTIATE_TEST_SUITE_P(
    Gaps, CaptureDrift,
    testing::Values(DriftCase{"caught_up", 5000, 5000, true, 12680},
                    DriftCase{"gap_14", 5000, 5014, true, 12694},
                    DriftCase{"gap_15", 5000, 5015, false, 5015},
                    DriftCase{"wrapping_gap_small", 383990, 2, true, 7682},
                    DriftCase{"wrapping_gap_large", 383990, 20, false, 20},
                    DriftCase{"preload_wraps", 380000, 380000, true, 3680}),
    [](const testing::TestParamInfo<DriftCase>& i) { return std::string(i.param.name); });

std::vector<USBD_ISO_PACKET_DESCRIPTOR> Packets(ULONG count, ULONG spacing) {
  std::vector<USBD_ISO_PACKET_DESCRIPTOR> p(count);
  for (ULONG i = 0; i < count; ++i) p[i] = {i * spacing, 999, static_cast<USBD_STATUS>(0xC0000001)};
  return p;
}

TEST(CapturePackets, TenPacketsOfOneMillisecond) {
  auto p = Packets(10, 384);  // a 3840-byte URB
  ULONG laid = 0;
  ASSERT_TRUE(LayCapturePackets(p.data(), 10, 1920, 192, 3840, &laid));
  EXPECT_EQ(laid, 1920u);
  for (const auto& d : p) {
    EXPECT_EQ(d.Length, 192u);
    EXPECT_EQ(d.Status, 0);
  }
}

TEST(CapturePackets, LeftoverPacketsAreEmptiedAndTheLastTakesTheRest) {
  auto p = Packets(20, 192);
  ULONG laid = 0;
  ASSERT_TRUE(LayCapturePackets(p.data(), 20, 1920, 192, 3840, &laid));
  EXPECT_EQ(laid, 1920u);
  for (ULONG i = 0; i < 20; ++i) {
    EXPECT_EQ(p[i].Length, i < 10 ? 192u : 0u) << i;
    EXPECT_EQ(p[i].Status, 0) << i;
  }
  // Two packets: the first stops at the second's offset, the last takes what remains, but
  // never past the buffer's end.
  auto two = Packets(2, 100);
  ASSERT_TRUE(LayCapturePackets(two.data(), 2, 1920, 192, 1000, &laid));
  EXPECT_EQ(two[0].Length, 100u);
  EXPECT_EQ(two[1].Length, 900u);
  EXPECT_EQ(laid, 1000u);
}

TEST(CapturePackets, PacketsThatDoNotDescribeTheBufferAreRefused) {
  ULONG laid = 77;
  auto backwards = Packets(3, 192);
  backwards[2].Offset = 100;
  auto beyond = Packets(3, 192);
  beyond[2].Offset = 5000;
  for (auto* p : {&backwards, &beyond}) {
    const auto before = *p;
    EXPECT_FALSE(LayCapturePackets(p->data(), 3, 576, 192, 576, &laid));
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ((*p)[i].Length, before[i].Length);
  }
  EXPECT_FALSE(LayCapturePackets(nullptr, 0, 576, 192, 576, &laid));
  EXPECT_EQ(laid, 77u);
}

}  // namespace
}  // namespace vorn::station
