// The encoder's Huffman table and state objects.
#include <gtest/gtest.h>

#include <cstring>

#include "jpeg/entropy/huffman_state.h"
#include "jpeg/entropy/huffman_table.h"

namespace vorn::jpeg {
namespace {

TEST(EncoderHuffmanTable, CreateInitAndDestroy) {
  CJPEGEncoderHuffmanTable table;
  const prim::StdHuffmanTable& ac = prim::StdHuffmanTables[prim::StdAcChrominance];
  EXPECT_EQ(table.Spec(), nullptr);
  // Init before Create has no code table to build into.
  EXPECT_EQ(table.Init(1, 1, ac.bits, ac.values), -2);

  ASSERT_EQ(table.Create(), 0);
  ASSERT_NE(table.Spec(), nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(table.Spec()) % 64, 0u);
  ASSERT_EQ(table.Create(), 0);  // again: the first table is freed
  EXPECT_EQ(table.Init(0x31, 0x21, ac.bits, ac.values), 0);
  EXPECT_EQ(table.Id(), 1u);
  EXPECT_EQ(table.Class(), 1u);
  EXPECT_EQ(std::memcmp(table.Bits(), ac.bits, 16), 0);
  EXPECT_EQ(std::memcmp(table.Values(), ac.values, 256), 0);
  uint32_t expected[256];
  ASSERT_EQ(prim::BuildHuffmanEncodeSpec(ac.bits, ac.values, expected), 0);
  EXPECT_EQ(std::memcmp(table.Spec(), expected, sizeof(expected)), 0);

  // A table that cannot be built, and missing input: each leaves no codes behind, so the
  // DHT segment written from BITS never counts more values than HUFFVAL holds.
  uint8_t tooMany[16];
  std::memset(tooMany, 255, sizeof tooMany);
  const uint8_t overflowing[16] = {3};
  for (const uint8_t* bad : {static_cast<const uint8_t*>(tooMany), overflowing}) {
    ASSERT_EQ(table.Init(0, 0, ac.bits, ac.values), 0);
    EXPECT_EQ(table.Init(0, 0, bad, ac.values), -2);
    for (int32_t i = 0; i < 16; ++i) ASSERT_EQ(table.Bits()[i], 0) << i;
    for (int32_t i = 0; i < 256; ++i) ASSERT_EQ(table.Values()[i], 0) << i;
  }
  ASSERT_EQ(table.Init(0, 0, ac.bits, ac.values), 0);
  EXPECT_EQ(table.Init(0, 0, nullptr, ac.values), -2);
  for (int32_t i = 0; i < 16; ++i) ASSERT_EQ(table.Bits()[i], 0) << i;
  ASSERT_EQ(table.Init(0, 0, ac.bits, ac.values), 0);
  EXPECT_EQ(table.Init(0, 0, ac.bits, nullptr), -2);
  for (int32_t i = 0; i < 16; ++i) ASSERT_EQ(table.Bits()[i], 0) << i;

  table.Destroy();
  EXPECT_EQ(table.Spec(), nullptr);
  EXPECT_EQ(table.Id(), 0u);
  EXPECT_EQ(table.Class(), 0u);
  for (int32_t i = 0; i < 16; ++i) EXPECT_EQ(table.Bits()[i], 0);
  for (int32_t i = 0; i < 256; ++i) ASSERT_EQ(table.Values()[i], 0);
  table.Destroy();  // twice is harmless
}

TEST(EncoderHuffmanState, CreateReplacesAndDestroyFrees) {
  CJPEGEncoderHuffmanState state;
  EXPECT_EQ(state.State(), nullptr);
  ASSERT_EQ(state.Create(), 0);
  ASSERT_NE(state.State(), nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(state.State()) % 64, 0u);
  EXPECT_EQ(prim::ResetHuffmanEncodeState(state.State()), 0);
  EXPECT_EQ(state.State()->pendingBits, 0);
  ASSERT_EQ(state.Create(), 0);
  EXPECT_NE(state.State(), nullptr);
  state.Destroy();
  EXPECT_EQ(state.State(), nullptr);
}

}  // namespace
}  // namespace vorn::jpeg
