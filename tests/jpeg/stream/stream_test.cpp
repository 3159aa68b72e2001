// The memory-buffer stream and the encoder's byte buffer in front of it.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "jpeg/stream/bitstream_output.h"
#include "jpeg/stream/membuff_output.h"

namespace vorn::jpeg {
namespace {

// A memory-buffer stream that also records the size of every write offered to it.
class RecordingOutput : public CMemBuffOutput {
 public:
  ImageCodec::StreamStatus Write(const void* data, int64_t size, int64_t* count) override {
    writes.push_back(size);
    return CMemBuffOutput::Write(data, size, count);
  }
  std::vector<int64_t> writes;
};

int64_t PositionOf(CMemBuffOutput& s) {
  int64_t p = -1;
  EXPECT_EQ(s.Position(&p), 0);
  return p;
}

TEST(MemBuffOutput, OpenWriteAndFullBuffer) {
  CMemBuffOutput s;
  uint8_t out[8];
  std::memset(out, 0xA5, sizeof(out));
  int64_t count = -1;
  // Never opened: nothing fits.
  EXPECT_EQ(s.Write("ab", 2, &count), 1);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(s.Open(nullptr, 8), 1);
  EXPECT_EQ(s.Open(out, -1), 1);
  ASSERT_EQ(s.Open(out, 8), 0);
  int64_t size = 0;
  EXPECT_EQ(s.Size(&size), 0);
  EXPECT_EQ(size, 8);

  EXPECT_EQ(s.Write("abc", 0, &count), 0);  // empty: nothing changes
  EXPECT_EQ(count, 0);
  EXPECT_EQ(s.Write("abc", -3, &count), 1);  // negative: refused
  EXPECT_EQ(s.Write(nullptr, 3, &count), 1);
  EXPECT_EQ(PositionOf(s), 0);

  EXPECT_EQ(s.Write("abcde", 5, &count), 0);
  EXPECT_EQ(count, 5);
  // Exactly the remaining capacity: 0, and the position reaches the capacity.
  EXPECT_EQ(s.Write("fgh", 3, &count), 0);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(PositionOf(s), 8);
  EXPECT_EQ(s.Write("i", 1, &count), 1);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(std::memcmp(out, "abcdefgh", 8), 0);

  // A write larger than the room copies what fits.
  ASSERT_EQ(s.Open(out, 6), 0);
  EXPECT_EQ(s.Write("0123456789", 10, &count), 1);
  EXPECT_EQ(count, 6);
  EXPECT_EQ(std::memcmp(out, "012345gh", 8), 0);

  EXPECT_EQ(s.Close(), 0);
  EXPECT_EQ(PositionOf(s), 0);
  EXPECT_EQ(s.Size(&size), 0);
  EXPECT_EQ(size, 0);
}

TEST(MemBuffOutput, SeekKeepsThePositionWithinTheBuffer) {
  struct Case {
    int64_t offset;
    int32_t origin;
    int32_t status;
    int64_t position;  // after the seek, from position 4 of 10
  };
  const Case cases[] = {
      {0, 1, 0, 0},   {9, 1, 0, 9},   {10, 1, 1, 4},  {-1, 1, 1, 4},
      {3, 0, 0, 7},   {6, 0, 0, 10},  {7, 0, 1, 4},   {-4, 0, 0, 0},
      {-5, 0, 1, 4},  {0, 2, 0, 10},  {-10, 2, 0, 0}, {1, 2, 1, 4},
      {-11, 2, 1, 4}, {int64_t{1} << 62, 0, 1, 4},    {-(int64_t{1} << 62), 2, 1, 4},
      {2, 3, 0, 4},   {2, -1, 0, 4},
  };
  uint8_t out[10];
  for (const Case& c : cases) {
    CMemBuffOutput s;
    ASSERT_EQ(s.Open(out, 10), 0);
    int64_t count;
    ASSERT_EQ(s.Write("abcd", 4, &count), 0);
    EXPECT_EQ(s.Seek(c.offset, c.origin), c.status) << c.offset << " from " << c.origin;
    EXPECT_EQ(PositionOf(s), c.position) << c.offset << " from " << c.origin;
  }
}

TEST(BitStreamOutput, FlushesOnlyWhenFewFreeBytesAreLeft) {
  std::vector<uint8_t> out(8192);
  RecordingOutput stream;
  ASSERT_EQ(stream.Open(out.data(), static_cast<int32_t>(out.size())), 0);
  CBitStreamOutput bits;
  bits.SetStream(&stream);
  ASSERT_EQ(bits.AllocateBuffer(4096), 0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(bits.Buffer()) % 64, 0u);

  // An empty buffer flushed with minFree 0 makes one zero-byte write.
  EXPECT_EQ(bits.FlushBuffer(0), 0);
  EXPECT_EQ(stream.writes, std::vector<int64_t>{0});

  for (int32_t i = 0; i < 4096 - 257; ++i) ASSERT_EQ(bits.WriteByte(static_cast<uint8_t>(i)), 0);
  EXPECT_EQ(bits.FlushBuffer(256), 0);  // 257 free: nothing
  EXPECT_EQ(bits.Position(), 4096 - 257);
  EXPECT_EQ(stream.writes.size(), 1u);
  ASSERT_EQ(bits.WriteByte(0xEE), 0);
  EXPECT_EQ(bits.FlushBuffer(256), 0);  // 256 free: everything
  EXPECT_EQ(bits.Position(), 0);
  EXPECT_EQ(stream.writes.back(), 4096 - 256);
  EXPECT_EQ(PositionOf(stream), 4096 - 256);
  EXPECT_EQ(out[4096 - 257], 0xEE);
  EXPECT_EQ(out[100], 100);
}

TEST(BitStreamOutput, AWordAcrossAFullBufferStartsTheEmptiedOne) {
  std::vector<uint8_t> out(64);
  CMemBuffOutput stream;
  ASSERT_EQ(stream.Open(out.data(), 64), 0);
  CBitStreamOutput bits;
  bits.SetStream(&stream);
  ASSERT_EQ(bits.AllocateBuffer(4), 0);
  for (uint8_t b : {1, 2, 3}) ASSERT_EQ(bits.WriteByte(b), 0);
  EXPECT_EQ(bits.WriteWord(0xFFD9), 0);
  EXPECT_EQ(PositionOf(stream), 4);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 4), (std::vector<uint8_t>{1, 2, 3, 0xFF}));
  EXPECT_EQ(bits.Position(), 1);
  EXPECT_EQ(bits.Buffer()[0], 0xD9);
}

TEST(BitStreamOutput, AFullOutputGivesMinus5AndKeepsTheBytes) {
  std::vector<uint8_t> out(6, 0);
  CMemBuffOutput stream;
  ASSERT_EQ(stream.Open(out.data(), 6), 0);
  CBitStreamOutput bits;
  bits.SetStream(&stream);
  ASSERT_EQ(bits.AllocateBuffer(4), 0);
  for (uint8_t b : {1, 2, 3, 4}) ASSERT_EQ(bits.WriteByte(b), 0);
  ASSERT_EQ(bits.WriteWord(0x0506), 0);  // the first four go out, 5 and 6 stay
  ASSERT_EQ(bits.WriteWord(0x0708), 0);
  ASSERT_EQ(bits.FlushBuffer(256), -5);  // room for two of four
  EXPECT_EQ(bits.Position(), 4);
  EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
  // A word whose first byte fits and second does not leaves the first in the buffer.
  CBitStreamOutput again;
  CMemBuffOutput none;
  uint8_t tiny[1];
  ASSERT_EQ(none.Open(tiny, 0), 0);
  again.SetStream(&none);
  ASSERT_EQ(again.AllocateBuffer(1), 0);
  EXPECT_EQ(again.WriteWord(0xABCD), -5);
  EXPECT_EQ(again.Position(), 1);
  EXPECT_EQ(again.Buffer()[0], 0xAB);
}

TEST(BitStreamOutput, NoBufferNoStreamAndOverrunAreRefused) {
  CBitStreamOutput bits;
  // Nothing allocated yet, and a failed allocation: no write reaches a missing buffer.
  EXPECT_EQ(bits.WriteByte(1), -6);
  EXPECT_EQ(bits.AllocateBuffer(0), -6);
  EXPECT_EQ(bits.Size(), 0);
  EXPECT_EQ(bits.WriteWord(0x0102), -6);
  EXPECT_EQ(bits.FlushBuffer(0), 0);  // nothing to hand on
  // Bytes without a stream to take them.
  ASSERT_EQ(bits.AllocateBuffer(16), 0);
  ASSERT_EQ(bits.WriteByte(7), 0);
  EXPECT_EQ(bits.FlushBuffer(0), -5);
  EXPECT_EQ(bits.Position(), 1);
  // A coder position beyond the buffer.
  bits.SetPosition(17);
  EXPECT_EQ(bits.FlushBuffer(0), -4);
  bits.SetPosition(-1);
  EXPECT_EQ(bits.FlushBuffer(0), -4);
  // SetStream drops the buffer and keeps the stream.
  CMemBuffOutput stream;
  bits.SetStream(&stream);
  EXPECT_EQ(bits.Buffer(), nullptr);
  EXPECT_EQ(bits.Size(), 0);
  EXPECT_EQ(bits.Position(), 0);
  EXPECT_EQ(bits.Stream(), &stream);
}

}  // namespace
}  // namespace vorn::jpeg
