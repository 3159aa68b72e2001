#include "protocol/byte_order.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>

namespace vorn::protocol {
namespace {

TEST(ByteOrder, ReadsAndWritesLittleEndian) {
  const std::array<uint8_t, 8> bytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
  uint8_t u8 = 0;
  uint16_t u16 = 0;
  uint32_t u32 = 0;
  uint64_t u64 = 0;
  ASSERT_TRUE(ReadU8(bytes, 7, &u8));
  ASSERT_TRUE(ReadU16(bytes, 1, &u16));
  ASSERT_TRUE(ReadU32(bytes, 4, &u32));
  ASSERT_TRUE(ReadU64(bytes, 0, &u64));
  EXPECT_EQ(u8, 0x08);
  EXPECT_EQ(u16, 0x0302);
  EXPECT_EQ(u32, 0x08070605u);
  EXPECT_EQ(u64, 0x0807060504030201ull);

  std::array<uint8_t, 8> out{};
  ASSERT_TRUE(WriteU16(out, 0, 0xA1B2));
  ASSERT_TRUE(WriteU32(out, 2, 0xC1D2E3F4));
  ASSERT_TRUE(WriteU8(out, 6, 0x55));
  ASSERT_TRUE(WriteU8(out, 7, 0x66));
  EXPECT_EQ(out, (std::array<uint8_t, 8>{0xB2, 0xA1, 0xF4, 0xE3, 0xD2, 0xC1, 0x55, 0x66}));
  ASSERT_TRUE(WriteU64(out, 0, 0x1122334455667788ull));
  EXPECT_EQ(out, (std::array<uint8_t, 8>{0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));
}

// Each case: a buffer of |size| bytes and a field of |width| bytes at |offset|.
struct BoundCase {
  size_t size;
  size_t offset;
  size_t width;
  bool fits;
};

constexpr size_t kHuge = std::numeric_limits<size_t>::max();

const BoundCase kBoundCases[] = {
    {8, 0, 8, true},   {8, 4, 4, true},       {8, 5, 4, false},        {8, 7, 1, true},
    {8, 8, 1, false},  {8, 8, 0, true},       {8, 9, 0, false},        {0, 0, 1, false},
    {3, 2, 2, false},  {8, kHuge, 2, false},  {8, kHuge - 1, 4, false}, {8, 6, 8, false},
};

TEST(ByteOrder, BoundedAccessRefusesFieldsOutsideTheBuffer) {
  for (const BoundCase& c : kBoundCases) {
    SCOPED_TRACE(testing::Message() << "size " << c.size << " offset " << c.offset << " width "
                                    << c.width);
    EXPECT_EQ(Fits(c.size, c.offset, c.width), c.fits);
    // Every reader and writer of that width agrees with Fits and touches nothing when it
    // refuses. The span covers only |size| bytes of a larger, guarded array.
    std::array<uint8_t, 16> storage;
    storage.fill(0xEE);
    const ByteSpan in(storage.data(), c.size);
    const MutableByteSpan out(storage.data(), c.size);
    uint64_t sentinel = 0x5A5A5A5A5A5A5A5Aull;
    bool read = false;
    bool wrote = false;
    switch (c.width) {
      case 1: {
        uint8_t v = 0x5A;
        read = ReadU8(in, c.offset, &v);
        if (!read) {
          EXPECT_EQ(v, 0x5A);
        }
        wrote = WriteU8(out, c.offset, 0);
        break;
      }
      case 2: {
        uint16_t v = 0x5A5A;
        read = ReadU16(in, c.offset, &v);
        if (!read) {
          EXPECT_EQ(v, 0x5A5A);
        }
        wrote = WriteU16(out, c.offset, 0);
        break;
      }
      case 4: {
        uint32_t v = 0x5A5A5A5A;
        read = ReadU32(in, c.offset, &v);
        if (!read) {
          EXPECT_EQ(v, 0x5A5A5A5Au);
        }
        wrote = WriteU32(out, c.offset, 0);
        break;
      }
      case 8: {
        read = ReadU64(in, c.offset, &sentinel);
        if (!read) {
          EXPECT_EQ(sentinel, 0x5A5A5A5A5A5A5A5Aull);
        }
        wrote = WriteU64(out, c.offset, 0);
        break;
      }
      default: {
        uint8_t buffer[16] = {0x5A};
        read = ReadBytes(in, c.offset, buffer, c.width);
        wrote = WriteBytes(out, c.offset, buffer, c.width);
        break;
      }
    }
    EXPECT_EQ(read, c.fits);
    EXPECT_EQ(wrote, c.fits);
    if (!c.fits) {
      for (uint8_t b : storage) EXPECT_EQ(b, 0xEE);
    }
  }
}

TEST(ByteOrder, NullTargetsAndNullBuffersAreRefused) {
  const std::array<uint8_t, 4> bytes = {1, 2, 3, 4};
  EXPECT_FALSE(ReadU32(bytes, 0, nullptr));
  EXPECT_FALSE(ReadBytes(bytes, 0, nullptr, 2));
  EXPECT_TRUE(ReadBytes(bytes, 4, nullptr, 0));
  std::array<uint8_t, 4> out{};
  EXPECT_FALSE(WriteBytes(out, 0, nullptr, 1));

  // A null pointer with a length becomes an empty view, so nothing is ever read through it.
  EXPECT_TRUE(AsBytes(nullptr, 64).empty());
  EXPECT_TRUE(AsWritableBytes(nullptr, 64).empty());
  uint32_t v = 7;
  EXPECT_FALSE(ReadU32(AsBytes(nullptr, 64), 0, &v));
  EXPECT_EQ(v, 7u);
}

}  // namespace
}  // namespace vorn::protocol
