// Every build of the block coder against the plain coder on random blocks, at every buffer
// edge, and whole scans read back by libjpeg-turbo's decoder where it is linked.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "jpeg/primitives/huffman/huffman.h"
#include "jpeg/primitives/huffman/huffman_internal.h"
#include "tests/jpeg/primitives/huffman/huffman_fixture.h"

#if VORN_HAVE_LIBJPEG
#include <csetjmp>

#include <jpeglib.h>
#endif

namespace vorn::jpeg::prim::test {
namespace {

struct Densities {
  uint32_t density;
  int32_t maxMagnitude;
};
constexpr Densities kMixes[] = {{0, 1}, {8, 4}, {40, 64}, {128, 1023}, {256, 1023}, {256, 2}};

TEST(HuffmanBuilds, EqualThePlainCoderOnRandomBlocks) {
  const Spec dc[2] = {BuildSpec(StdHuffmanTables[StdDcLuminance]),
                      BuildSpec(StdHuffmanTables[StdDcChrominance])};
  const Spec ac[2] = {BuildSpec(StdHuffmanTables[StdAcLuminance]),
                      BuildSpec(StdHuffmanTables[StdAcChrominance])};
  Rng rng{12};
  int32_t fastRuns = 0;
  for (int32_t i = 0; i < 6000; ++i) {
    const Densities mix = kMixes[i % 6];
    const Block block = RandomBlock(rng, mix.density, mix.maxMagnitude);
    const int32_t t = static_cast<int32_t>(rng.Below(2));
    const HuffmanEncodeState start = PendingState(static_cast<int32_t>(rng.Below(8)), rng.Next());
    const int16_t lastDC = static_cast<int16_t>(static_cast<int32_t>(rng.Below(2048)) - 1024);
    const int32_t pos = static_cast<int32_t>(rng.Below(64));
    const Outcome plain = Code(nullptr, block, 4096, pos, lastDC, start, dc[t], ac[t]);
    ASSERT_EQ(plain.status, StatusOk);
    fastRuns += plain.pos - pos >= 8;
    for (auto [slot, fn] : BlockBuilds()) {
      bool guard = false;
      ASSERT_EQ(Code(fn, block, 4096, pos, lastDC, start, dc[t], ac[t], &guard), plain)
          << "slot " << slot << " block " << i;
      ASSERT_TRUE(guard);
    }
  }
  EXPECT_GT(fastRuns, 1000);
}

TEST(HuffmanBuilds, EqualThePlainCoderAtEveryBufferEdge) {
  const Spec dc = BuildSpec(StdHuffmanTables[StdDcLuminance]);
  const Spec ac = BuildSpec(StdHuffmanTables[StdAcLuminance]);
  Rng rng{77};
  for (int32_t i = 0; i < 150; ++i) {
    const Densities mix = kMixes[i % 6];
    Block block = RandomBlock(rng, mix.density, mix.maxMagnitude);
    // Every tenth block is rich in 0xFF bytes: runs of ones from the largest magnitudes.
    if (i % 10 == 9) {
      for (int32_t k = 1; k < 64; k += 2) block.c[k] = 1023;
    }
    const HuffmanEncodeState start = PendingState(static_cast<int32_t>(rng.Below(8)), rng.Next());
    const int32_t pos = static_cast<int32_t>(rng.Below(16));
    const Outcome full = Code(nullptr, block, 4096, pos, 0, start, dc, ac);
    ASSERT_EQ(full.status, StatusOk);
    // From no room at all to more than the fast coder ever asks for beyond the block.
    for (int32_t dstLen = pos + 1; dstLen <= full.pos + 40; ++dstLen) {
      const Outcome plain = Code(nullptr, block, dstLen, pos, 0, start, dc, ac);
      for (auto [slot, fn] : BlockBuilds()) {
        bool guard = false;
        ASSERT_EQ(Code(fn, block, dstLen, pos, 0, start, dc, ac, &guard), plain)
            << "slot " << slot << " block " << i << " length " << dstLen;
        ASSERT_TRUE(guard) << "slot " << slot << " length " << dstLen;
      }
    }
  }
}

TEST(HuffmanBuilds, TheFastCodersCodeBlocksThemselves) {
  using namespace huffman_detail;
  const std::pair<int32_t, FastBlockFn> fast[] = {{BuildS2NoSse2, EncodeBlockFastS2},
                                                  {BuildS2, EncodeBlockFastSse2},
                                                  {BuildS3, EncodeBlockFastSsse3},
                                                  {BuildV2, EncodeBlockFastAvx2}};
  const Spec dc = BuildSpec(StdHuffmanTables[StdDcLuminance]);
  const Spec ac = BuildSpec(StdHuffmanTables[StdAcLuminance]);
  Rng rng{5};
  for (int32_t i = 0; i < 600; ++i) {
    const Densities mix = kMixes[i % 6];
    const Block block = RandomBlock(rng, mix.density, mix.maxMagnitude);
    const HuffmanEncodeState start = PendingState(static_cast<int32_t>(rng.Below(8)), rng.Next());
    const Outcome plain = Code(nullptr, block, 1024, 0, 0, start, dc, ac);
    for (auto [slot, fn] : fast) {
      if (!BuildRunsHere(slot)) continue;
      std::vector<uint8_t> dst(1024, 0xA5);
      Outcome out;
      out.state = start;
      EXPECT_TRUE(fn(block.c, dst.data(), 1024, &out.pos, &out.lastDC, dc.entry, ac.entry,
                     &out.state))
          << "slot " << slot;
      out.bytes.assign(dst.begin(), dst.begin() + out.pos);
      ASSERT_EQ(out, plain) << "slot " << slot << " block " << i;
      // Below 24 free bytes it leaves everything to the plain coder.
      out = Outcome{};
      out.state = start;
      EXPECT_FALSE(fn(block.c, dst.data(), kFastCoderMinFree - 1, &out.pos, &out.lastDC,
                      dc.entry, ac.entry, &out.state));
      EXPECT_EQ(out.pos, 0);
      EXPECT_EQ(out.lastDC, 0);
      EXPECT_EQ(out.state.pendingBits, start.pendingBits);
    }
  }
}

// The longest block there is: 16-bit codes that are ones but for the last bit, the largest
// magnitudes, seven pending ones, nearly every byte stuffed. With exactly the room the fast
// coder counts on for a block, it stays inside the buffer and gives the plain bytes.
TEST(HuffmanBuilds, TheLongestBlockFitsTheRoomTheFastCoderCountsOn) {
  // One code of each length 1..16; the 16-bit code 1111111111111110 goes to |symbol|.
  auto longCodes = [](uint8_t symbol) {
    StdHuffmanTable t{};
    for (int32_t l = 0; l < 16; ++l) t.bits[l] = 1;
    for (int32_t i = 0; i < 15; ++i) t.values[i] = static_cast<uint8_t>(0x20 + i);
    t.values[15] = symbol;
    return BuildSpec(t);
  };
  const Spec dc = longCodes(16);
  const Spec ac = longCodes(0x0F);
  ASSERT_EQ(ac.entry[0x0F], (16u << 16) | 0xFFFEu);
  Block block{};
  block.c[0] = 32767;  // a DC difference of 65535 from -32768: 16 magnitude bits
  for (int32_t k = 1; k < 64; ++k) block.c[k] = 32767;
  const HuffmanEncodeState start = PendingState(7, 0xFE);
  const Outcome plain = Code(nullptr, block, 4096, 0, -32768, start, dc, ac);
  ASSERT_EQ(plain.status, StatusOk);
  EXPECT_GT(plain.pos, 420);
  constexpr int32_t kWorstCaseRoom = 2 * ((7 + 32 + 63 * 31 + 3 * 16 + 16 + 7) / 8) + 8 + 16;
  for (int32_t dstLen : {plain.pos, kWorstCaseRoom - 1, kWorstCaseRoom, kWorstCaseRoom + 1}) {
    for (auto [slot, fn] : BlockBuilds()) {
      bool guard = false;
      EXPECT_EQ(Code(fn, block, dstLen, 0, -32768, start, dc, ac, &guard), plain)
          << "slot " << slot << " length " << dstLen;
      EXPECT_TRUE(guard) << "slot " << slot << " length " << dstLen;
    }
  }
}

// A scan of blocks coded one after another through the dispatched coder, flushed at the end.
std::vector<uint8_t> CodeScan(const std::vector<Block>& blocks, const Spec& dc, const Spec& ac) {
  std::vector<uint8_t> out(blocks.size() * 300 + 64);
  HuffmanEncodeState state;
  ResetHuffmanEncodeState(&state);
  int32_t pos = 0;
  int16_t lastDC = 0;
  for (const Block& b : blocks) {
    EXPECT_EQ(EncodeBaselineBlock(b.c, out.data(), static_cast<int32_t>(out.size()), &pos,
                                  &lastDC, dc.entry, ac.entry, &state, 0),
              StatusOk);
  }
  EXPECT_EQ(EncodeBaselineBlock(nullptr, out.data(), static_cast<int32_t>(out.size()), &pos,
                                nullptr, nullptr, nullptr, &state, 1),
            StatusOk);
  out.resize(static_cast<size_t>(pos));
  return out;
}

std::vector<Block> RandomBlocks(uint64_t seed, int32_t count) {
  Rng rng{seed};
  std::vector<Block> blocks;
  for (int32_t i = 0; i < count; ++i) {
    const Densities mix = kMixes[rng.Below(6)];
    Block b = RandomBlock(rng, mix.density, mix.maxMagnitude);
    b.c[0] = static_cast<int16_t>(b.c[0] % 1024);  // DC differences stay within category 11
    blocks.push_back(b);
  }
  return blocks;
}

TEST(HuffmanBuilds, EveryBuildCodesTheRecordedScan) {
  const Spec dc = BuildSpec(StdHuffmanTables[StdDcLuminance]);
  const Spec ac = BuildSpec(StdHuffmanTables[StdAcLuminance]);
  const std::vector<Block> blocks = RandomBlocks(2024, 2000);
  for (auto [slot, fn] : BlockBuilds()) {
    ScopedProcessorIndex force(slot);
    const std::vector<uint8_t> scan = CodeScan(blocks, dc, ac);
    uint64_t hash = 1469598103934665603ull;  // FNV-1a
    for (uint8_t b : scan) hash = (hash ^ b) * 1099511628211ull;
    EXPECT_EQ(scan.size(), 70245u) << "slot " << slot;
    EXPECT_EQ(hash, 0xa01de8854646d736ull) << "slot " << slot;
  }
}

#if VORN_HAVE_LIBJPEG

// A grayscale baseline stream of |blocksX| x |blocksY| blocks around |scan|: unit quantisers,
// the standard luminance tables.
std::vector<uint8_t> WrapScan(const std::vector<uint8_t>& scan, int32_t blocksX,
                              int32_t blocksY) {
  std::vector<uint8_t> s = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00};
  s.insert(s.end(), 64, 1);
  const int32_t w = blocksX * 8, h = blocksY * 8;
  const uint8_t sof[] = {0xFF, 0xC0, 0x00, 0x0B, 0x08, uint8_t(h >> 8), uint8_t(h),
                         uint8_t(w >> 8), uint8_t(w), 0x01, 0x01, 0x11, 0x00};
  s.insert(s.end(), sof, sof + sizeof(sof));
  for (int32_t t : {StdDcLuminance, StdAcLuminance}) {
    const StdHuffmanTable& table = StdHuffmanTables[t];
    int32_t count = 0;
    for (uint8_t b : table.bits) count += b;
    const int32_t length = 19 + count;
    s.insert(s.end(), {0xFF, 0xC4, uint8_t(length >> 8), uint8_t(length),
                       uint8_t(t == StdAcLuminance ? 0x10 : 0x00)});
    s.insert(s.end(), table.bits, table.bits + 16);
    s.insert(s.end(), table.values, table.values + count);
  }
  s.insert(s.end(), {0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00});
  s.insert(s.end(), scan.begin(), scan.end());
  s.insert(s.end(), {0xFF, 0xD9});
  return s;
}

struct DecodeErrors {
  jpeg_error_mgr mgr;
  jmp_buf jump;
  int32_t warnings = 0;
};

TEST(HuffmanBuilds, LibjpegTurboReadsBackEveryCoefficient) {
  const Spec dc = BuildSpec(StdHuffmanTables[StdDcLuminance]);
  const Spec ac = BuildSpec(StdHuffmanTables[StdAcLuminance]);
  constexpr int32_t kBlocksX = 40, kBlocksY = 25;
  const std::vector<Block> blocks = RandomBlocks(99, kBlocksX * kBlocksY);
  for (auto [slot, fn] : BlockBuilds()) {
    ScopedProcessorIndex force(slot);
    std::vector<uint8_t> stream = WrapScan(CodeScan(blocks, dc, ac), kBlocksX, kBlocksY);

    jpeg_decompress_struct cinfo;
    DecodeErrors errors;
    cinfo.err = jpeg_std_error(&errors.mgr);
    errors.mgr.error_exit = [](j_common_ptr c) {
      longjmp(reinterpret_cast<DecodeErrors*>(c->err)->jump, 1);
    };
    errors.mgr.emit_message = [](j_common_ptr c, int level) {
      if (level < 0) ++reinterpret_cast<DecodeErrors*>(c->err)->warnings;
    };
    if (setjmp(errors.jump)) {
      jpeg_destroy_decompress(&cinfo);
      FAIL() << "decoder error, slot " << slot;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, stream.data(), static_cast<unsigned long>(stream.size()));
    ASSERT_EQ(jpeg_read_header(&cinfo, TRUE), JPEG_HEADER_OK);
    jvirt_barray_ptr* arrays = jpeg_read_coefficients(&cinfo);
    int32_t mismatches = 0;
    for (int32_t by = 0; by < kBlocksY; ++by) {
      JBLOCKARRAY row = cinfo.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&cinfo),
                                                      arrays[0], by, 1, FALSE);
      for (int32_t bx = 0; bx < kBlocksX; ++bx) {
        const Block& b = blocks[static_cast<size_t>(by * kBlocksX + bx)];
        for (int32_t k = 0; k < 64; ++k) mismatches += row[0][bx][k] != b.c[k];
      }
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    EXPECT_EQ(mismatches, 0) << "slot " << slot;
    EXPECT_EQ(errors.warnings, 0) << "slot " << slot;
  }
}

TEST(HuffmanSpec, StandardTablesEqualLibjpegTurbos) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr err;
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_compress(&cinfo);
  cinfo.in_color_space = JCS_YCbCr;
  cinfo.input_components = 3;
  jpeg_set_defaults(&cinfo);
  const JHUFF_TBL* theirs[4] = {cinfo.dc_huff_tbl_ptrs[0], cinfo.dc_huff_tbl_ptrs[1],
                                cinfo.ac_huff_tbl_ptrs[0], cinfo.ac_huff_tbl_ptrs[1]};
  for (int32_t t = 0; t < 4; ++t) {
    int32_t count = 0;
    for (int32_t l = 0; l < 16; ++l) {
      EXPECT_EQ(StdHuffmanTables[t].bits[l], theirs[t]->bits[l + 1]) << t;
      count += StdHuffmanTables[t].bits[l];
    }
    for (int32_t i = 0; i < 256; ++i) {
      EXPECT_EQ(StdHuffmanTables[t].values[i], i < count ? theirs[t]->huffval[i] : 0) << t;
    }
  }
  jpeg_destroy_compress(&cinfo);
}

#endif  // VORN_HAVE_LIBJPEG

}  // namespace
}  // namespace vorn::jpeg::prim::test
