// The frame encoder entry: the status of every refused request and of every output too small,
// nothing written past the capacity, identical streams for inputs that differ only in what the
// encoder must ignore, rows running upwards, and parallel calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <thread>
#include <vector>

#include "tests/jpeg/codec/codec_fixture.h"

namespace vorn::jpeg::test {
namespace {

// The header the core writes for a YCbCr stream before the scan header.
constexpr int32_t kHeaderBytes = 672;

TEST(EncodeFrameJpeg, RefusedRequestsReportTheirStatusAndTouchNothing) {
  const Picture p = DesktopPicture(32, 24, 4);
  const Picture p3 = DesktopPicture(32, 24, 3);
  struct Case {
    const char* what;
    void (*change)(JpegEncodeRequest&);
    JpegEncodeStatus status;
  } cases[] = {
      {"null output", [](JpegEncodeRequest& r) { r.output = nullptr; }, JpegEncodeBadArgument},
      {"null output before a bad width",
       [](JpegEncodeRequest& r) {
         r.output = nullptr;
         r.width = 0;
       },
       JpegEncodeBadArgument},
      {"null pixels", [](JpegEncodeRequest& r) { r.pixels = nullptr; }, JpegEncodeBadArgument},
      {"format 0", [](JpegEncodeRequest& r) { r.pixelFormat = 0; }, JpegEncodeBadGeometry},
      {"format 7", [](JpegEncodeRequest& r) { r.pixelFormat = 7; }, JpegEncodeBadGeometry},
      {"format 99", [](JpegEncodeRequest& r) { r.pixelFormat = 99; }, JpegEncodeBadGeometry},
      {"format -1", [](JpegEncodeRequest& r) { r.pixelFormat = -1; }, JpegEncodeBadGeometry},
      {"bad format before a bad sampling",
       [](JpegEncodeRequest& r) {
         r.pixelFormat = 7;
         r.sampling = 4;
       },
       JpegEncodeBadGeometry},
      {"width 7", [](JpegEncodeRequest& r) { r.width = 7; }, JpegEncodeBadGeometry},
      {"height 7", [](JpegEncodeRequest& r) { r.height = 7; }, JpegEncodeBadGeometry},
      {"width 0", [](JpegEncodeRequest& r) { r.width = 0; }, JpegEncodeBadGeometry},
      {"width above the frame header's 16 bits",
       [](JpegEncodeRequest& r) { r.width = 65536; }, JpegEncodeBadArgument},
      {"width beyond 31 bits", [](JpegEncodeRequest& r) { r.width = 0x80000008u; },
       JpegEncodeBadArgument},
      {"sampling 4", [](JpegEncodeRequest& r) { r.sampling = 4; }, JpegEncodeBadArgument},
      {"sampling -1", [](JpegEncodeRequest& r) { r.sampling = -1; }, JpegEncodeBadArgument},
      {"quality -1", [](JpegEncodeRequest& r) { r.quality = -1; }, JpegEncodeBadArgument},
  };
  for (const Case& c : cases) {
    Encoded e = Encode(RequestFor(p), kAmple, c.change);
    EXPECT_EQ(e.status, c.status) << c.what;
    EXPECT_EQ(e.outputLength, -12345) << c.what;
    if (c.status == JpegEncodeBadArgument || c.status == JpegEncodeBadGeometry) {
      // Refused before the header: not one byte written.
      EXPECT_TRUE(std::all_of(e.buffer.begin(), e.buffer.end(),
                              [](uint8_t b) { return b == kGuard; }))
          << c.what;
    }
  }
  EXPECT_EQ(EncodeFrameJpeg(nullptr), JpegEncodeBadArgument);

  // A B,G,R stride of 0 or less is refused with the geometry, before anything is written.
  for (const int32_t stride : {0, -1, -p3.stride, INT_MIN}) {
    JpegEncodeRequest r = RequestFor(p3);
    r.stride = stride;
    Encoded e = Encode(r);
    EXPECT_EQ(e.status, JpegEncodeBadGeometry) << stride;
    EXPECT_TRUE(e.GuardIntact() && e.buffer[0] == kGuard) << stride;
    // The sampling is checked first: a request with both faults reports the sampling.
    r.sampling = 4;
    EXPECT_EQ(Encode(r).status, JpegEncodeBadArgument) << stride;
  }
}

TEST(EncodeFrameJpeg, AnOutputTooSmallFailsInTheHeaderOrTheDataAndStaysWithinIt) {
  const Picture p = DesktopPicture(24, 16, 4);
  const JpegEncodeRequest r = RequestFor(p);
  const Encoded whole = Encode(r);
  ASSERT_EQ(whole.status, JpegEncodeOk);
  const int32_t size = whole.outputLength;
  ASSERT_GT(size, kHeaderBytes + 14);
  EXPECT_TRUE(whole.GuardIntact());

  for (const int32_t capacity : {INT_MIN, -1000, -1, 0, 1, 2, 100, kHeaderBytes - 1}) {
    const Encoded e = Encode(r, capacity);
    EXPECT_EQ(e.status, JpegEncodeHeaderFailed) << capacity;
    EXPECT_EQ(e.outputLength, -12345) << capacity;
    EXPECT_TRUE(e.GuardIntact()) << capacity;
    if (capacity <= 0) {
      EXPECT_EQ(e.buffer[0], kGuard) << capacity;  // no room at all
    }
  }
  for (int32_t capacity = kHeaderBytes; capacity < size; ++capacity) {
    const Encoded e = Encode(r, capacity);
    ASSERT_EQ(e.status, JpegEncodeDataFailed) << capacity;
    ASSERT_EQ(e.outputLength, -12345) << capacity;
    ASSERT_TRUE(e.GuardIntact()) << capacity;
    // What was written is the stream's beginning.
    ASSERT_TRUE(std::equal(e.buffer.begin(), e.buffer.begin() + kHeaderBytes,
                           whole.buffer.begin()))
        << capacity;
  }
  const Encoded exact = Encode(r, size);
  EXPECT_EQ(exact.status, JpegEncodeOk);
  EXPECT_EQ(exact.outputLength, size);
  EXPECT_EQ(exact.Stream(), whole.Stream());
  EXPECT_TRUE(exact.GuardIntact());
}

TEST(EncodeFrameJpeg, StreamHasTheFrameLayout) {
  const Picture p = DesktopPicture(40, 24, 4);
  const std::vector<uint8_t> s = Encode(RequestFor(p, Sampling420, 95)).Stream();
  ASSERT_GT(s.size(), 700u);
  // SOI, then JFIF.
  EXPECT_EQ(s[0], 0xFF);
  EXPECT_EQ(s[1], 0xD8);
  EXPECT_EQ(s[2], 0xFF);
  EXPECT_EQ(s[3], 0xE0);
  // EOI last.
  EXPECT_EQ(s[s.size() - 2], 0xFF);
  EXPECT_EQ(s[s.size() - 1], 0xD9);
  // The frame header carries the size and 4:2:0 factors; DRI an interval of 1; restart
  // markers between the MCUs (3 x 2 MCUs: five markers, numbered 0 to 4).
  int restarts = 0, expected = 0;
  bool sof = false, dri = false, com = false;
  for (size_t i = 2; i + 1 < s.size(); ++i) {
    if (s[i] != 0xFF) continue;
    const uint8_t m = s[i + 1];
    if (m == 0xC0 && !sof) {
      sof = true;
      EXPECT_EQ(s[i + 5] * 256 + s[i + 6], 24);
      EXPECT_EQ(s[i + 7] * 256 + s[i + 8], 40);
      EXPECT_EQ(s[i + 9], 3);
      EXPECT_EQ(s[i + 11], 0x22);
      EXPECT_EQ(s[i + 14], 0x11);
      EXPECT_EQ(s[i + 17], 0x11);
    } else if (m == 0xDD && !dri) {
      dri = true;
      EXPECT_EQ(s[i + 4] * 256 + s[i + 5], 1);
    } else if (m == 0xFE && !com) {
      com = true;
    } else if (m >= 0xD0 && m <= 0xD7) {
      EXPECT_EQ(m - 0xD0, expected % 8);
      ++expected;
      ++restarts;
    }
  }
  EXPECT_TRUE(sof && dri && com);
  EXPECT_EQ(restarts, 5);
}

TEST(EncodeFrameJpeg, WhatTheEncoderMustIgnoreLeavesTheStreamAlone) {
  // The fourth byte of B,G,R,x pixels and the spare bytes at the end of each row.
  const Picture zeros = DesktopPicture(48, 40, 4, 0, 12);
  const Picture varied = DesktopPicture(48, 40, 4, -1, 12);
  Picture spare = DesktopPicture(48, 40, 4, 0, 20);
  for (uint32_t y = 0; y < spare.height; ++y)
    std::memset(spare.At(0, y) + 48 * 4, 0x3C, 20);
  for (const int32_t sampling : {Sampling444, Sampling422, Sampling420}) {
    const std::vector<uint8_t> reference = Encode(RequestFor(zeros, sampling)).Stream();
    ASSERT_FALSE(reference.empty());
    EXPECT_EQ(Encode(RequestFor(varied, sampling)).Stream(), reference) << sampling;
    EXPECT_EQ(Encode(RequestFor(spare, sampling)).Stream(), reference) << sampling;
    // Two calls with the same request give the same bytes.
    EXPECT_EQ(Encode(RequestFor(zeros, sampling)).Stream(), reference) << sampling;
  }
  // Code 2 is coded as 4:2:2.
  EXPECT_EQ(Encode(RequestFor(zeros, Sampling422Alt)).Stream(),
            Encode(RequestFor(zeros, Sampling422)).Stream());
  // Every quality above 100 codes as 100 (all quantisers 1), the largest included.
  EXPECT_EQ(Encode(RequestFor(zeros, Sampling420, 101)).Stream(),
            Encode(RequestFor(zeros, Sampling420, 100)).Stream());
  EXPECT_EQ(Encode(RequestFor(zeros, Sampling420, INT_MAX)).Stream(),
            Encode(RequestFor(zeros, Sampling420, 100)).Stream());
  // Quality matters, so the comparisons above can tell streams apart.
  EXPECT_NE(Encode(RequestFor(zeros, Sampling420, 50)).Stream(),
            Encode(RequestFor(zeros, Sampling420, 95)).Stream());
}

TEST(EncodeFrameJpeg, RowsRunningUpwardsGiveTheStreamOfTheRowsTheyName) {
  // A bottom-up B,G,R,x picture: pixels points at its last row in memory, the stride is
  // negative; it must code as the same picture stored top-down.
  const Picture top_down = DesktopPicture(40, 33, 4, 0);
  Picture bottom_up = top_down;
  for (uint32_t y = 0; y < top_down.height; ++y)
    std::memcpy(bottom_up.At(0, top_down.height - 1 - y), top_down.At(0, y),
                size_t(top_down.stride));
  JpegEncodeRequest r = RequestFor(bottom_up);
  r.pixels = bottom_up.At(0, bottom_up.height - 1);
  r.stride = -bottom_up.stride;
  const Encoded upwards = Encode(r);
  ASSERT_EQ(upwards.status, JpegEncodeOk);
  EXPECT_EQ(upwards.Stream(), Encode(RequestFor(top_down)).Stream());
}

TEST(EncodeFrameJpeg, ParallelCallsGiveTheirOwnStreams) {
  constexpr int kThreads = 6;
  constexpr int kRounds = 3;
  std::vector<Picture> pictures;
  std::vector<std::vector<uint8_t>> expected;
  for (int i = 0; i < kThreads; ++i) {
    pictures.push_back(DesktopPicture(64 + 8 * i, 48 + 16 * i, i % 2 ? 3 : 4, i * 40));
    expected.push_back(Encode(RequestFor(pictures.back(), i % 4 == 2 ? 1 : i % 4)).Stream());
    ASSERT_FALSE(expected.back().empty());
  }
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < kRounds; ++round) {
        if (Encode(RequestFor(pictures[i], i % 4 == 2 ? 1 : i % 4)).Stream() != expected[i])
          ++mismatches[i];
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(mismatches[i], 0) << i;
}

#if VORN_HAVE_LIBJPEG
TEST(EncodeFrameJpeg, DecodesBackToThePicture) {
  struct Case {
    uint32_t width, height;
    int32_t channels, sampling, quality;
    double min_psnr;
  } cases[] = {
      {8, 8, 4, Sampling420, 95, 30.0},    {17, 9, 3, Sampling444, 95, 34.0},
      {100, 61, 4, Sampling422, 95, 32.0}, {129, 77, 4, Sampling420, 95, 31.0},
      {64, 48, 3, Sampling420, 50, 26.0},  {33, 40, 4, Sampling444, 0, 26.0},
  };
  for (const Case& c : cases) {
    const Picture p = DesktopPicture(c.width, c.height, c.channels);
    const Encoded e = Encode(RequestFor(p, c.sampling, c.quality));
    ASSERT_EQ(e.status, JpegEncodeOk);
    uint32_t w = 0, h = 0;
    const std::vector<uint8_t> bgr = DecodeBgr(e.Stream(), &w, &h);
    ASSERT_FALSE(bgr.empty()) << c.width << " x " << c.height;
    ASSERT_EQ(w, c.width);
    ASSERT_EQ(h, c.height);
    EXPECT_GT(PsnrBgr(p, bgr), c.min_psnr) << c.width << " x " << c.height << " s" << c.sampling;
  }
}
#else
TEST(EncodeFrameJpeg, DecodesBackToThePicture) {
  GTEST_SKIP() << "this build links no JPEG decoder (no 32-bit libjpeg-turbo)";
}
#endif

}  // namespace
}  // namespace vorn::jpeg::test
