// Lossless primitives: the predictors and the first-row prediction against a direct
// evaluation of their formulas, the point transform, the argument checks, and the coders read
// back by a small decoder of this test (canonical codes rebuilt from BITS/HUFFVAL, 0xFF00
// unstuffing, sign extension of the value bits), up to a whole image reconstructed from its
// coded rows.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "jpeg/primitives/lossless/lossless.h"

namespace vorn::jpeg::prim {
namespace {

struct Rng {
  uint64_t s;
  uint32_t Next() {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(s >> 33);
  }
};

// The prediction as the table of the format states it, in plain integers: the samples of
// predictors 5 to 7 taken as signed 16-bit values, the result kept to its low 16 bits.
int32_t DirectPrediction(int32_t p, int32_t ra, int32_t rb, int32_t rc) {
  auto s = [](int32_t v) { return v >= 32768 ? v - 65536 : v; };
  int32_t r = 0;
  switch (p) {
    case 1: r = ra; break;
    case 2: r = rb; break;
    case 3: r = rc; break;
    case 4: r = ra + rb - rc; break;
    case 5: r = s(ra) + (s(rb) - s(rc)) / 2 - ((s(rb) - s(rc)) < 0 && (s(rb) - s(rc)) % 2 ? 1 : 0); break;
    case 6: r = s(rb) + (s(ra) - s(rc)) / 2 - ((s(ra) - s(rc)) < 0 && (s(ra) - s(rc)) % 2 ? 1 : 0); break;
    case 7: {
      const int32_t sum = s(ra) + s(rb);
      r = sum / 2 - (sum < 0 && sum % 2 ? 1 : 0);  // floor division
      break;
    }
  }
  return r & 0xFFFF;
}

int16_t Diff(int32_t x, int32_t prediction) {
  return static_cast<int16_t>(static_cast<uint16_t>((x - prediction) & 0xFFFF));
}

TEST(LosslessDiff, PredictorsMatchTheirFormulas) {
  Rng rng{7};
  for (int32_t precision : {8, 12, 15, 16}) {
    for (int32_t predictor = 1; predictor <= 7; ++predictor) {
      SCOPED_TRACE(testing::Message() << "P " << precision << " predictor " << predictor);
      for (int32_t count : {1, 2, 7, 8, 9, 33}) {
        std::vector<uint16_t> cur(count), prev(count);
        for (int32_t i = 0; i < count; ++i) {
          cur[i] = static_cast<uint16_t>(rng.Next() & ((1u << precision) - 1));
          prev[i] = static_cast<uint16_t>(rng.Next() & ((1u << precision) - 1));
        }
        std::vector<int16_t> dst(count, 0x5A5A);
        ASSERT_EQ(LosslessDiffRow(cur.data(), prev.data(), dst.data(), count, predictor), StatusOk);
        EXPECT_EQ(dst[0], Diff(cur[0], prev[0]));
        for (int32_t i = 1; i < count; ++i) {
          ASSERT_EQ(dst[i], Diff(cur[i], DirectPrediction(predictor, cur[i - 1], prev[i],
                                                          prev[i - 1])))
              << "position " << i;
        }
        // In place over the current row gives the same differences.
        std::vector<uint16_t> inPlace = cur;
        ASSERT_EQ(LosslessDiffRow(inPlace.data(), prev.data(),
                                  reinterpret_cast<int16_t*>(inPlace.data()), count, predictor),
                  StatusOk);
        EXPECT_EQ(std::memcmp(inPlace.data(), dst.data(), count * 2), 0);
      }
    }
  }
}

TEST(LosslessDiff, WorkedRows) {
  const uint16_t cur[3] = {10, 12, 11};
  const uint16_t prev[3] = {9, 9, 9};
  int16_t dst[3];
  ASSERT_EQ(LosslessDiffRow(cur, prev, dst, 3, 1), StatusOk);
  EXPECT_EQ(dst[0], 1);
  EXPECT_EQ(dst[1], 2);
  EXPECT_EQ(dst[2], -1);
  // Predictor 7 with Ra 3 and Rb 4 predicts 3.
  const uint16_t cur7[2] = {3, 10};
  const uint16_t prev7[2] = {0, 4};
  ASSERT_EQ(LosslessDiffRow(cur7, prev7, dst, 2, 7), StatusOk);
  EXPECT_EQ(dst[1], 7);

  const uint16_t first[4] = {200, 190, 190, 0};
  ASSERT_EQ(LosslessDiffFirstRow(first, dst, 3, 8, 0), StatusOk);
  EXPECT_EQ(dst[0], 72);
  EXPECT_EQ(dst[1], -10);
  EXPECT_EQ(dst[2], 0);
  // P 12 with Pt 2 predicts 2^9 for the first sample; the difference wraps modulo 2^16.
  const uint16_t wide[2] = {3, 65535};
  ASSERT_EQ(LosslessDiffFirstRow(wide, dst, 2, 12, 2), StatusOk);
  EXPECT_EQ(dst[0], 3 - 512);
  EXPECT_EQ(dst[1], Diff(65535, 3));
  ASSERT_EQ(LosslessDiffFirstRow(wide, dst, 1, 16, 0), StatusOk);
  EXPECT_EQ(dst[0], Diff(3, 32768));
}

TEST(LosslessDiff, PointTransform) {
  int16_t data[4] = {5, -5, 32767, -32768};
  ASSERT_EQ(ShiftRightWords16InPlace(0, data, 4), StatusOk);
  EXPECT_EQ(data[1], -5);
  ASSERT_EQ(ShiftRightWords16InPlace(1, data, 2), StatusOk);
  EXPECT_EQ(data[0], 2);
  EXPECT_EQ(data[1], -3);
  for (int32_t shift : {16, 40}) {
    int16_t signs[4] = {5, -5, 32767, -32768};
    ASSERT_EQ(ShiftRightWords16InPlace(shift, signs, 4), StatusOk);
    EXPECT_EQ(signs[0], 0);
    EXPECT_EQ(signs[1], -1);
    EXPECT_EQ(signs[2], 0);
    EXPECT_EQ(signs[3], -1);
  }
}

TEST(LosslessDiff, ArgumentChecks) {
  uint16_t s[2] = {};
  int16_t d[2] = {};
  EXPECT_EQ(LosslessDiffRow(nullptr, s, d, 2, 1), StatusNullPointer);
  EXPECT_EQ(LosslessDiffRow(s, nullptr, d, 2, 1), StatusNullPointer);
  EXPECT_EQ(LosslessDiffRow(s, s, nullptr, 2, 1), StatusNullPointer);
  EXPECT_EQ(LosslessDiffRow(s, s, d, 0, 9), StatusBadSize);
  EXPECT_EQ(LosslessDiffRow(s, s, d, 2, 0), StatusBadArgument);
  EXPECT_EQ(LosslessDiffRow(s, s, d, 2, 8), StatusBadArgument);
  EXPECT_EQ(LosslessDiffFirstRow(nullptr, d, 2, 8, 0), StatusNullPointer);
  EXPECT_EQ(LosslessDiffFirstRow(s, d, 0, 8, 0), StatusBadSize);
  EXPECT_EQ(LosslessDiffFirstRow(s, d, 2, 1, 0), StatusBadArgument);
  EXPECT_EQ(LosslessDiffFirstRow(s, d, 2, 17, 0), StatusBadArgument);
  EXPECT_EQ(LosslessDiffFirstRow(s, d, 2, 8, -1), StatusBadArgument);
  // A point transform that leaves no bit would shift by a negative amount: refused.
  EXPECT_EQ(LosslessDiffFirstRow(s, d, 2, 8, 8), StatusBadArgument);
  EXPECT_EQ(LosslessDiffFirstRow(s, d, 2, 8, 7), StatusOk);
  EXPECT_EQ(ShiftRightWords16InPlace(1, nullptr, 2), StatusNullPointer);
  EXPECT_EQ(ShiftRightWords16InPlace(1, d, 0), StatusBadSize);
  EXPECT_EQ(ShiftRightWords16InPlace(-1, d, 2), StatusBadShift);
  uint32_t counts[kLosslessCategories] = {};
  EXPECT_EQ(CountLosslessStatistics(nullptr, counts), StatusNullPointer);
  EXPECT_EQ(CountLosslessStatistics(d, nullptr), StatusNullPointer);
}

TEST(LosslessStatistics, CountsByCategory) {
  uint32_t counts[kLosslessCategories] = {};
  const int16_t values[] = {0, 1, -1, 2, 255, -256, 256, 32767, -32768, -32767};
  for (int16_t v : values) ASSERT_EQ(CountLosslessStatistics(&v, counts), StatusOk);
  const std::map<int32_t, uint32_t> expected = {{0, 1}, {1, 2}, {2, 1}, {8, 1},
                                                {9, 2}, {15, 2}, {16, 1}};
  for (int32_t c = 0; c < kLosslessCategories; ++c) {
    const auto it = expected.find(c);
    EXPECT_EQ(counts[c], it == expected.end() ? 0u : it->second) << "category " << c;
  }
}

// A table with a code for each of the 17 categories: 4 codes of 3 bits, 4 of 4, 4 of 5, 5 of 6.
struct Table {
  uint8_t bits[16] = {0, 0, 4, 4, 4, 5};
  uint8_t values[256] = {};
  uint32_t spec[kHuffmanSpecEntries] = {};
  Table() {
    // Category 0 and 16 get long codes so the paths of both show in the bytes.
    const uint8_t order[17] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0, 16};
    std::memcpy(values, order, sizeof(order));
    EXPECT_EQ(BuildHuffmanEncodeSpec(bits, values, spec), StatusOk);
  }
};

Table FromStd(int32_t index) {
  Table t;
  std::memcpy(t.bits, StdHuffmanTables[index].bits, 16);
  std::memcpy(t.values, StdHuffmanTables[index].values, 256);
  std::memset(t.spec, 0, sizeof(t.spec));
  EXPECT_EQ(BuildHuffmanEncodeSpec(t.bits, t.values, t.spec), StatusOk);
  return t;
}

// The decoder side: codes rebuilt from BITS and HUFFVAL, read bit by bit.
class Decoder {
 public:
  Decoder(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  int32_t Bit() {
    if (bitsLeft_ == 0) {
      if (offset_ >= size_) { failed_ = true; return 0; }
      current_ = data_[offset_++];
      if (current_ == 0xFF) {
        // Every 0xFF of entropy-coded data is followed by a stuffed 0.
        if (offset_ >= size_ || data_[offset_] != 0) { failed_ = true; return 0; }
        ++offset_;
      }
      bitsLeft_ = 8;
    }
    --bitsLeft_;
    return (current_ >> bitsLeft_) & 1;
  }

  int32_t Symbol(const Table& t) {
    int32_t code = 0;
    int32_t first = 0;  // first code of the length
    int32_t index = 0;  // index in HUFFVAL of that code
    for (int32_t length = 1; length <= 16; ++length) {
      code = (code << 1) | Bit();
      const int32_t n = t.bits[length - 1];
      if (code - first < n) return t.values[index + code - first];
      index += n;
      first = (first + n) << 1;
    }
    failed_ = true;
    return 0;
  }

  int16_t Difference(const Table& t) {
    const int32_t c = Symbol(t);
    if (c == 0) return 0;
    if (c == 16) return -32768;
    int32_t v = 0;
    for (int32_t i = 0; i < c; ++i) v = (v << 1) | Bit();
    if (v < (1 << (c - 1))) v -= (1 << c) - 1;  // a leading 0 bit: negative
    return static_cast<int16_t>(v);
  }

  // The rest of the last byte must be 1-bits, and every byte must have been read.
  bool EndsCleanly() {
    while (bitsLeft_ > 0) if (Bit() != 1) return false;
    return !failed_ && offset_ == size_;
  }
  bool failed() const { return failed_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
  int32_t current_ = 0;
  int32_t bitsLeft_ = 0;
  bool failed_ = false;
};

std::vector<uint8_t> CodeValues(const std::vector<int16_t>& values, const Table& t,
                                int32_t dstLen) {
  std::vector<uint8_t> out(static_cast<size_t>(dstLen), 0xCD);
  HuffmanEncodeState state{};
  int32_t pos = 0;
  for (int16_t v : values) {
    EXPECT_EQ(EncodeLosslessValue(&v, out.data(), dstLen, &pos, t.spec, &state, 0), StatusOk);
  }
  EXPECT_EQ(EncodeLosslessValue(nullptr, out.data(), dstLen, &pos, nullptr, &state, 1), StatusOk);
  EXPECT_EQ(state.pendingBits, 0);
  out.resize(static_cast<size_t>(pos));
  return out;
}

TEST(LosslessCoder, ValuesDecodeBackOnBothRoutes) {
  Table t;
  Rng rng{11};
  std::vector<int16_t> values = {0, -32768, 1, -1, 32767, -32767, 255, -256, 0, 0};
  for (int32_t i = 0; i < 3000; ++i) {
    const int32_t c = static_cast<int32_t>(rng.Next() % 17);
    const int32_t m = c == 0 ? 0 : static_cast<int32_t>((1u << (c - 1)) + rng.Next() % (1u << (c - 1)));
    values.push_back(static_cast<int16_t>(c == 16 ? -32768 : (rng.Next() & 1 ? m : -m)));
  }
  // A roomy buffer takes the unchecked route throughout; a buffer of the exact size makes the
  // last values take the checked one. Both give the same bytes.
  const std::vector<uint8_t> fast = CodeValues(values, t, 1 << 16);
  const std::vector<uint8_t> exact = CodeValues(values, t, static_cast<int32_t>(fast.size()));
  EXPECT_EQ(fast, exact);
  // The stream has stuffed bytes for the decoder to take out.
  bool stuffed = false;
  for (size_t i = 0; i + 1 < fast.size(); ++i) stuffed |= fast[i] == 0xFF && fast[i + 1] == 0;
  EXPECT_TRUE(stuffed);
  Decoder decoder(fast.data(), fast.size());
  for (size_t i = 0; i < values.size(); ++i) {
    ASSERT_EQ(decoder.Difference(t), values[i]) << "value " << i;
  }
  EXPECT_TRUE(decoder.EndsCleanly());
}

// Every output size from 1 byte up to the full stream, with the worst values (long codes,
// 15 value bits, 0xFF bytes): nothing is written at or past dstLen, a short output stops with
// -62 and the bytes before it are those of the full stream; once it fits the stream is whole.
TEST(LosslessCoder, TightOutputsNeverWritePastTheirEnd) {
  Table t;
  // All-ones value bits after the long codes of categories 13 to 16 make runs of 0xFF.
  std::vector<int16_t> values;
  for (int32_t i = 0; i < 40; ++i) {
    values.push_back(static_cast<int16_t>(i % 4 == 0 ? 32767 : i % 4 == 1 ? -32768 : i % 4 == 2 ? 16383 : 0));
  }
  const std::vector<uint8_t> full = CodeValues(values, t, 1 << 12);
  constexpr int32_t kGuard = 32;
  for (int32_t dstLen = 1; dstLen <= static_cast<int32_t>(full.size()); ++dstLen) {
    SCOPED_TRACE(dstLen);
    std::vector<uint8_t> out(static_cast<size_t>(dstLen + kGuard), 0xCD);
    HuffmanEncodeState state{};
    int32_t pos = 0;
    PrimitiveStatus status = StatusOk;
    for (int16_t v : values) {
      status = EncodeLosslessValue(&v, out.data(), dstLen, &pos, t.spec, &state, 0);
      if (status != StatusOk) break;
    }
    if (status == StatusOk) {
      status = EncodeLosslessValue(nullptr, out.data(), dstLen, &pos, nullptr, &state, 1);
    }
    for (int32_t i = dstLen; i < dstLen + kGuard; ++i) ASSERT_EQ(out[i], 0xCD) << "byte " << i;
    ASSERT_LE(pos, dstLen);
    if (dstLen < static_cast<int32_t>(full.size())) {
      EXPECT_EQ(status, StatusOutputFull);
    } else {
      EXPECT_EQ(status, StatusOk);
      EXPECT_EQ(pos, dstLen);
    }
    EXPECT_EQ(std::memcmp(out.data(), full.data(), static_cast<size_t>(pos)), 0);
  }
}

TEST(LosslessCoder, SpecialCategoriesAndMissingCodes) {
  Table t;
  uint8_t out[32];
  HuffmanEncodeState state{};
  int32_t pos = 0;
  // -32768 is category 16: its code (6 bits, the last of the table: 111100) and nothing more.
  const int16_t min = -32768;
  ASSERT_EQ(EncodeLosslessValue(&min, out, 32, &pos, t.spec, &state, 0), StatusOk);
  EXPECT_EQ(pos, 0);
  EXPECT_EQ(state.pendingBits, 6);
  const int16_t zero = 0;  // category 0: its code alone (6 bits, 111011)
  ASSERT_EQ(EncodeLosslessValue(&zero, out, 32, &pos, t.spec, &state, 0), StatusOk);
  EXPECT_EQ(state.pendingBits, 4);
  ASSERT_EQ(pos, 1);
  EXPECT_EQ(out[0], 0xF3);
  // 1 (category 1, code 000, value bit 1) completes the byte 1011 0001; the flush
  // then has no bits to pad.
  const int16_t one = 1;
  ASSERT_EQ(EncodeLosslessValue(&one, out, 32, &pos, t.spec, &state, 0), StatusOk);
  ASSERT_EQ(pos, 2);
  EXPECT_EQ(out[1], 0xB1);
  ASSERT_EQ(EncodeLosslessValue(nullptr, out, 32, &pos, nullptr, &state, 1), StatusOk);
  ASSERT_EQ(pos, 2);
  EXPECT_EQ(out[1], 0xB1);

  // The standard luminance DC table codes categories up to 11 only.
  Table luma = FromStd(StdDcLuminance);
  const int16_t big = 4096;  // category 13
  for (int32_t room : {32, 4}) {
    SCOPED_TRACE(room);
    HuffmanEncodeState s{};
    s.pendingBits = 3;
    s.accumulator = 0xA00000;
    int32_t p = 1;
    std::memset(out, 0xCD, sizeof(out));
    EXPECT_EQ(EncodeLosslessValue(&big, out, room, &p, luma.spec, &s, 0), StatusBadHuffmanTable);
    EXPECT_EQ(p, 1);
    EXPECT_EQ(s.pendingBits, 3);
    EXPECT_EQ(out[1], 0xCD);
  }
  HuffmanEncodeState s{};
  int32_t p = 0;
  EXPECT_EQ(EncodeHuffmanDiff(&big, out, &p, luma.spec, &s), 1);
  EXPECT_EQ(p, 0);

  // Output full on the checked route.
  const int16_t v = 30000;  // 6 code and 15 value bits: two bytes, one free
  HuffmanEncodeState f{};
  int32_t fp = 0;
  EXPECT_EQ(EncodeLosslessValue(&v, out, 1, &fp, t.spec, &f, 0), StatusOutputFull);
}

TEST(LosslessCoder, ArgumentChecks) {
  Table t;
  uint8_t out[16];
  HuffmanEncodeState state{};
  int32_t pos = 0;
  const int16_t d = 1;
  EXPECT_EQ(EncodeLosslessValue(&d, nullptr, 16, &pos, t.spec, &state, 0), StatusNullPointer);
  EXPECT_EQ(EncodeLosslessValue(&d, out, 0, &pos, t.spec, &state, 0), StatusBadSize);
  EXPECT_EQ(EncodeLosslessValue(&d, out, 16, nullptr, t.spec, &state, 0), StatusNullPointer);
  EXPECT_EQ(EncodeLosslessValue(&d, out, 16, &pos, t.spec, nullptr, 0), StatusNullPointer);
  EXPECT_EQ(EncodeLosslessValue(nullptr, out, 16, &pos, t.spec, &state, 0), StatusNullPointer);
  EXPECT_EQ(EncodeLosslessValue(&d, out, 16, &pos, nullptr, &state, 0), StatusNullPointer);
  pos = 17;
  EXPECT_EQ(EncodeLosslessValue(&d, out, 16, &pos, t.spec, &state, 0), StatusBadArgument);
  pos = 0;
  state.pendingBits = 8;
  EXPECT_EQ(EncodeLosslessValue(&d, out, 16, &pos, t.spec, &state, 0), StatusBadArgument);
  state.pendingBits = 0;

  const int16_t row[2] = {1, 2};
  const int16_t* rows[4] = {row, row, nullptr, nullptr};
  const uint32_t* specs[4] = {t.spec, t.spec, nullptr, nullptr};
  EXPECT_EQ(EncodeLosslessRow(rows, 2, 2, nullptr, 16, &pos, specs, &state, 0), StatusNullPointer);
  EXPECT_EQ(EncodeLosslessRow(rows, 2, 2, out, 0, &pos, specs, &state, 0), StatusBadSize);
  EXPECT_EQ(EncodeLosslessRow(nullptr, 2, 2, out, 16, &pos, specs, &state, 0), StatusNullPointer);
  EXPECT_EQ(EncodeLosslessRow(rows, 0, 2, out, 16, &pos, specs, &state, 0), StatusBadSize);
  EXPECT_EQ(EncodeLosslessRow(rows, 2, 0, out, 16, &pos, specs, &state, 0), StatusBadSize);
  EXPECT_EQ(EncodeLosslessRow(rows, 2, 2, out, 16, &pos, nullptr, &state, 0), StatusNullPointer);
  EXPECT_EQ(EncodeLosslessRow(rows, 2, 3, out, 16, &pos, specs, &state, 0), StatusNullPointer);
  EXPECT_EQ(pos, 0);
  EXPECT_EQ(EncodeLosslessRow(rows, 2, 2, out, 16, &pos, specs, &state, 0), StatusOk);
  // The flush ignores the rows and the specs.
  EXPECT_EQ(EncodeLosslessRow(nullptr, 0, 0, out, 16, &pos, nullptr, &state, 1), StatusOk);
  EXPECT_EQ(state.pendingBits, 0);
}

// A whole image of three components: each row turned into differences (the first row and every
// second row as first rows, as after a restart), coded interleaved with a table per component,
// then decoded and reconstructed by the test's own predictor.
TEST(LosslessCoder, ImageRoundTripThroughIndependentDecoder) {
  constexpr int32_t kWidth = 37, kHeight = 9, kComponents = 3;
  const Table tables[kComponents] = {Table(), FromStd(StdDcLuminance), FromStd(StdDcChrominance)};
  for (int32_t predictor = 1; predictor <= 7; ++predictor) {
    for (int32_t pointTransform : {0, 2}) {
      SCOPED_TRACE(testing::Message() << "predictor " << predictor << " Pt " << pointTransform);
      constexpr int32_t kPrecision = 8;
      Rng rng{static_cast<uint64_t>(predictor * 10 + pointTransform)};
      uint16_t image[kComponents][kHeight][kWidth];
      for (auto& plane : image)
        for (auto& row : plane)
          for (auto& s : row) s = static_cast<uint16_t>(rng.Next() & 0xFF);

      std::vector<uint8_t> out(1 << 16);
      int32_t pos = 0;
      HuffmanEncodeState state{};
      std::vector<std::vector<uint16_t>> previous(kComponents);
      for (int32_t r = 0; r < kHeight; ++r) {
        int16_t diffs[kComponents][kWidth];
        const int16_t* rows[4] = {};
        const uint32_t* specs[4] = {};
        for (int32_t k = 0; k < kComponents; ++k) {
          std::vector<uint16_t> cur(image[k][r], image[k][r] + kWidth);
          ASSERT_EQ(ShiftRightWords16InPlace(pointTransform, reinterpret_cast<int16_t*>(cur.data()),
                                             kWidth),
                    StatusOk);
          if (r % 2 == 0) {
            ASSERT_EQ(LosslessDiffFirstRow(cur.data(), diffs[k], kWidth, kPrecision,
                                           pointTransform), StatusOk);
          } else {
            ASSERT_EQ(LosslessDiffRow(cur.data(), previous[k].data(), diffs[k], kWidth,
                                      predictor), StatusOk);
          }
          previous[k] = cur;
          rows[k] = diffs[k];
          specs[k] = tables[k].spec;
        }
        ASSERT_EQ(EncodeLosslessRow(rows, kWidth, kComponents, out.data(),
                                    static_cast<int32_t>(out.size()), &pos, specs, &state, 0),
                  StatusOk);
      }
      ASSERT_EQ(EncodeLosslessRow(nullptr, 0, 0, out.data(), static_cast<int32_t>(out.size()),
                                  &pos, nullptr, &state, 1), StatusOk);

      Decoder decoder(out.data(), static_cast<size_t>(pos));
      int32_t decoded[kComponents][kHeight][kWidth];
      for (int32_t r = 0; r < kHeight; ++r) {
        int32_t d[kComponents][kWidth];
        for (int32_t i = 0; i < kWidth; ++i)
          for (int32_t k = 0; k < kComponents; ++k) d[k][i] = decoder.Difference(tables[k]);
        for (int32_t k = 0; k < kComponents; ++k) {
          for (int32_t i = 0; i < kWidth; ++i) {
            int32_t prediction;
            if (r % 2 == 0) {
              prediction = i == 0 ? 1 << (kPrecision - pointTransform - 1) : decoded[k][r][i - 1];
            } else if (i == 0) {
              prediction = decoded[k][r - 1][0];
            } else {
              prediction = DirectPrediction(predictor, decoded[k][r][i - 1], decoded[k][r - 1][i],
                                            decoded[k][r - 1][i - 1]);
            }
            decoded[k][r][i] = (prediction + d[k][i]) & 0xFFFF;
            ASSERT_EQ(decoded[k][r][i] << pointTransform, image[k][r][i] >> pointTransform
                                                              << pointTransform)
                << "component " << k << " row " << r << " column " << i;
          }
        }
      }
      EXPECT_TRUE(decoder.EndsCleanly());
    }
  }
}

}  // namespace
}  // namespace vorn::jpeg::prim
