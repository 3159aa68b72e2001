// The blocks coder (EncodeBaselineBlocks) of every build against the block coder called one
// block at a time with the restart markers written between MCUs as a scan writes them: the
// same bytes, state, last DCs and restart state, whatever the MCU layout, restart interval,
// output window or table, and the block coder's own result for a block it cannot code.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "jpeg/primitives/huffman/huffman.h"
#include "tests/jpeg/primitives/huffman/huffman_fixture.h"

namespace vorn::jpeg::prim::test {
namespace {

struct Tables {
  Spec dc[2];
  Spec ac[2];
};

const Tables& StdTables() {
  static const Tables t = {{BuildSpec(StdHuffmanTables[StdDcLuminance]),
                            BuildSpec(StdHuffmanTables[StdDcChrominance])},
                           {BuildSpec(StdHuffmanTables[StdAcLuminance]),
                            BuildSpec(StdHuffmanTables[StdAcChrominance])}};
  return t;
}

// A run of blocks and where the scan stands when it starts.
struct BlockRun {
  std::vector<Block> blocks;
  BaselineScanCoder scan{};
  HuffmanEncodeState state{};
};

// What coding a run leaves: the stream, the status, where it stopped and the scan state.
struct Result {
  PrimitiveStatus status = 0;
  int32_t coded = 0;
  std::vector<uint8_t> bytes;
  BaselineScanCoder scan{};
  HuffmanEncodeState state{};
};

void ExpectSame(const Result& a, const Result& b, const std::string& what) {
  EXPECT_EQ(a.status, b.status) << what;
  EXPECT_EQ(a.coded, b.coded) << what;
  ASSERT_EQ(a.bytes.size(), b.bytes.size()) << what;
  for (size_t i = 0; i < a.bytes.size(); ++i) {
    ASSERT_EQ(a.bytes[i], b.bytes[i]) << what << ": byte " << i;
  }
  for (int32_t c = 0; c < kMaxScanComponents; ++c) EXPECT_EQ(a.scan.lastDc[c], b.scan.lastDc[c]) << what;
  EXPECT_EQ(a.scan.blockInMcu, b.scan.blockInMcu) << what;
  EXPECT_EQ(a.scan.restartsToGo, b.scan.restartsToGo) << what;
  EXPECT_EQ(a.scan.nextRestartNumber, b.scan.nextRestartNumber) << what;
  EXPECT_EQ(a.state.pendingBits, b.state.pendingBits) << what;
  EXPECT_EQ(a.state.accumulator, b.state.accumulator) << what;
}

// The reference: EncodeBaselineBlock block by block into one large buffer, the marker written
// by hand after the coder's flush, as the scan did it before the blocks coder.
Result CodeOneByOne(const BlockRun& run) {
  Result r;
  r.scan = run.scan;
  r.state = run.state;
  std::vector<uint8_t> out(run.blocks.size() * 1200 + 64);
  const int32_t size = static_cast<int32_t>(out.size());
  int32_t pos = 0;
  BaselineScanCoder& s = r.scan;
  for (const Block& block : run.blocks) {
    if (s.blockInMcu == 0 && s.restartInterval != 0 && s.restartsToGo == 0) {
      EXPECT_EQ(EncodeBaselineBlock(nullptr, out.data(), size, &pos, nullptr, nullptr, nullptr,
                                    &r.state, 1),
                StatusOk);
      out[pos++] = 0xFF;
      out[pos++] = static_cast<uint8_t>(0xD0 + s.nextRestartNumber);
      s.nextRestartNumber = (s.nextRestartNumber + 1) & 7;
      for (int16_t& dc : s.lastDc) dc = 0;
      s.restartsToGo = s.restartInterval;
    }
    const int32_t c = s.blockComponent[s.blockInMcu];
    r.status = EncodeBaselineBlock(block.c, out.data(), size, &pos, &s.lastDc[c], s.dcSpec[c],
                                   s.acSpec[c], &r.state, 0);
    if (r.status != StatusOk) break;
    ++r.coded;
    if (++s.blockInMcu == s.blocksPerMcu) {
      s.blockInMcu = 0;
      if (s.restartInterval != 0) {
        s.restartsToGo = (s.restartsToGo != 0 ? s.restartsToGo : s.restartInterval) - 1;
      }
    }
  }
  out.resize(static_cast<size_t>(pos));
  r.bytes = out;
  return r;
}

// The blocks coder through a |window|-byte buffer that is emptied into the stream whenever
// the coder stops for room, as the scan empties its bit-stream buffer.
Result CodeInCalls(const BlockRun& run, int32_t window) {
  Result r;
  r.scan = run.scan;
  r.state = run.state;
  std::vector<uint8_t> buffer(static_cast<size_t>(window) + 32, 0xA5);
  int32_t pos = 0;
  const int32_t count = static_cast<int32_t>(run.blocks.size());
  while (r.coded < count) {
    int32_t coded = -1;
    r.status = EncodeBaselineBlocks(run.blocks[size_t(r.coded)].c, count - r.coded,
                                    buffer.data(), window, &pos, &r.scan, &r.state, &coded);
    r.coded += coded;
    for (size_t i = size_t(window); i < buffer.size(); ++i) {
      EXPECT_EQ(buffer[i], 0xA5) << "written past the window at " << i;
    }
    r.bytes.insert(r.bytes.end(), buffer.begin(), buffer.begin() + pos);
    pos = 0;
    if (r.status != StatusOk) break;
    if (coded == 0) {
      ADD_FAILURE() << "no progress with an empty window of " << window;
      break;
    }
  }
  return r;
}

// The blocks coder's builds this machine runs, each once.
std::vector<std::pair<int32_t, EncodeBaselineBlocksFn>> BlocksBuilds() {
  std::vector<std::pair<int32_t, EncodeBaselineBlocksFn>> builds;
  for (int32_t s : kEntriesReferenceFirst) {
    if (!BuildRunsHere(s)) continue;
    const EncodeBaselineBlocksFn fn = kEncodeBaselineBlocksTable.slot[s];
    bool seen = false;
    for (auto& b : builds) seen |= b.second == fn;
    if (!seen) builds.push_back({s, fn});
  }
  return builds;
}

struct Layout {
  const char* name;
  int32_t perMcu;
  uint8_t components[kMaxBlocksPerMcu];
};
constexpr Layout kLayouts[] = {
    {"gray", 1, {0}},
    {"444", 3, {0, 1, 2}},
    {"422", 4, {0, 0, 1, 2}},
    {"420", 6, {0, 0, 0, 0, 1, 2}},
    {"ten", 10, {0, 0, 0, 0, 1, 1, 2, 2, 3, 3}},
};

struct Mix {
  const char* name;
  uint32_t density;
  int32_t maxMagnitude;
};
// From flat screen blocks to dense ones whose codes are full of 0xFF bytes.
constexpr Mix kMixes[] = {{"flat", 0, 1},      {"sparse", 10, 6},  {"text", 60, 200},
                          {"dense", 200, 1023}, {"full", 256, 1023}};

BlockRun MakeRun(const Layout& layout, const Mix& mix, int32_t interval, int32_t blocks,
            uint64_t seed) {
  const Tables& t = StdTables();
  BlockRun run;
  Rng rng{seed};
  for (int32_t i = 0; i < blocks; ++i) {
    Block b = RandomBlock(rng, mix.density, mix.maxMagnitude);
    b.c[0] = static_cast<int16_t>(static_cast<int32_t>(rng.Below(2047)) - 1023);
    run.blocks.push_back(b);
  }
  BaselineScanCoder& s = run.scan;
  for (int32_t c = 0; c < kMaxScanComponents; ++c) {
    s.dcSpec[c] = t.dc[c == 0 ? 0 : 1].entry;
    s.acSpec[c] = t.ac[c == 0 ? 0 : 1].entry;
    s.lastDc[c] = static_cast<int16_t>(static_cast<int32_t>(rng.Below(512)) - 256);
  }
  s.blocksPerMcu = layout.perMcu;
  for (int32_t i = 0; i < layout.perMcu; ++i) s.blockComponent[i] = layout.components[i];
  s.blockInMcu = static_cast<int32_t>(rng.Below(static_cast<uint32_t>(layout.perMcu)));
  s.restartInterval = interval;
  s.restartsToGo = interval == 0 ? 0 : static_cast<int32_t>(rng.Below(uint32_t(interval) + 1));
  s.nextRestartNumber = static_cast<int32_t>(rng.Below(8));
  run.state = PendingState(static_cast<int32_t>(rng.Below(8)), rng.Next());
  return run;
}

struct Case {
  Layout layout;
  Mix mix;
  int32_t interval;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.layout.name << "_" << c.mix.name << "_ri" << c.interval;
}

std::vector<Case> AllCases() {
  std::vector<Case> cases;
  for (const Layout& l : kLayouts)
    for (const Mix& m : kMixes)
      for (int32_t interval : {0, 1, 2, 9}) cases.push_back({l, m, interval});
  return cases;
}

class BlocksCoder : public ::testing::TestWithParam<Case> {};

TEST_P(BlocksCoder, EqualsTheBlockCoderOneBlockAtATime) {
  const Case& c = GetParam();
  const BlockRun run = MakeRun(c.layout, c.mix, c.interval, 300, 77 + c.interval);
  const Result reference = CodeOneByOne(run);
  ASSERT_EQ(reference.status, StatusOk);
  for (auto [slot, fn] : BlocksBuilds()) {
    ScopedProcessorIndex force(slot);
    // A window the coder fills many times over, and the 4 KiB of the encoder's buffer.
    for (int32_t window : {kBaselineBlocksMinFree, kBaselineBlocksMinFree + 37, 4096}) {
      ExpectSame(CodeInCalls(run, window), reference,
                 "slot " + std::to_string(slot) + " window " + std::to_string(window));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, BlocksCoder, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           std::ostringstream name;
                           PrintTo(info.param, &name);
                           return name.str();
                         });

// Blocks the tables have no symbol for, and tables with entries the fast path cannot take:
// the call ends with the block coder's own result for that block, the bytes before it kept.
TEST(BlocksCoderEdges, BlockWithoutACodeEndsAsTheBlockCoderEnds) {
  struct Edge {
    const char* name;
    int32_t at;           // the block that cannot be coded (or -1)
    int16_t dc;           // its DC
    int32_t acPosition;   // an AC coefficient it gets (natural index, 0 for none)
    int16_t ac;
    bool malformedTable;  // an unused entry of the AC table longer than 16 bits
  };
  const Edge edges[] = {
      {"dc_category_12", 7, 2047, 0, 0, false},       // the standard DC table stops at 11
      {"ac_category_16", 3, 0, 9, -32768, false},     // no symbol exists
      // Zigzag position 15 after 14 zeros: run 14, where category 16 would meet ZRL's index.
      {"ac_category_16_run_14", 4, 0, 5, -32768, false},
      {"ac_category_16_run_15", 5, 0, 12, -32768, false},
      {"first_block", 0, -2048, 0, 0, false},
      {"malformed_table_codes_alike", -1, 0, 0, 0, true},
      {"malformed_table_missing_code", 13, 2047, 0, 0, true},
  };
  for (const Edge& e : edges) {
    // 4:2:0 MCUs from their first block: block k is block k % 6 of MCU k / 6.
    BlockRun run = MakeRun(kLayouts[3], kMixes[2], 1, 40, 5);
    run.scan.blockInMcu = 0;
    Spec ac = StdTables().ac[0];
    if (e.malformedTable) {
      ac.entry[0x10] = (20u << 16) | 5;  // run 1 size 0: never coded
      for (int32_t c = 0; c < kMaxScanComponents; ++c) run.scan.acSpec[c] = ac.entry;
    }
    if (e.at >= 0) {
      // Its DC difference is what counts: a neighbour's DC alone sets the prediction.
      Block& b = run.blocks[size_t(e.at)];
      b.c[0] = e.dc;
      if (e.acPosition != 0) {
        for (int32_t k = 1; k < 64; ++k) b.c[k] = 0;
        b.c[e.acPosition] = e.ac;
      }
      run.scan.lastDc[0] = run.scan.lastDc[1] = run.scan.lastDc[2] = 0;
      if (e.dc != 0) {
        for (Block& other : run.blocks) {
          if (&other != &b) other.c[0] = static_cast<int16_t>(-e.dc / 4);
        }
      }
    }
    const Result reference = CodeOneByOne(run);
    if (e.at >= 0) {
      EXPECT_EQ(reference.status, StatusBadHuffmanTable) << e.name;
    } else {
      EXPECT_EQ(reference.status, StatusOk) << e.name;
    }
    for (auto [slot, fn] : BlocksBuilds()) {
      ScopedProcessorIndex force(slot);
      ExpectSame(CodeInCalls(run, 4096), reference,
                 std::string(e.name) + " slot " + std::to_string(slot));
    }
  }
}

TEST(BlocksCoderEdges, RefusesBadArguments) {
  BlockRun good = MakeRun(kLayouts[3], kMixes[1], 2, 6, 9);
  good.state = HuffmanEncodeState{};
  uint8_t dst[1024];
  struct Bad {
    const char* name;
    PrimitiveStatus expected;
    void (*spoil)(BlockRun& run, int32_t& count, int32_t& dstLen, int32_t& pos, bool& nullDst,
                  bool& nullPos, bool& nullBlocks);
  };
  const Bad bads[] = {
      {"null_dst", StatusNullPointer, [](BlockRun&, int32_t&, int32_t&, int32_t&, bool& d, bool&, bool&) { d = true; }},
      {"zero_length", StatusBadSize, [](BlockRun&, int32_t&, int32_t& l, int32_t&, bool&, bool&, bool&) { l = 0; }},
      {"null_pos", StatusNullPointer, [](BlockRun&, int32_t&, int32_t&, int32_t&, bool&, bool& p, bool&) { p = true; }},
      {"negative_count", StatusBadArgument, [](BlockRun&, int32_t& n, int32_t&, int32_t&, bool&, bool&, bool&) { n = -1; }},
      {"pos_past_end", StatusBadArgument, [](BlockRun&, int32_t&, int32_t&, int32_t& p, bool&, bool&, bool&) { p = 1025; }},
      {"pending_8", StatusBadArgument, [](BlockRun& r, int32_t&, int32_t&, int32_t&, bool&, bool&, bool&) { r.state.pendingBits = 8; }},
      {"null_blocks", StatusNullPointer, [](BlockRun&, int32_t&, int32_t&, int32_t&, bool&, bool&, bool& b) { b = true; }},
      {"no_blocks_per_mcu", StatusBadArgument, [](BlockRun& r, int32_t&, int32_t&, int32_t&, bool&, bool&, bool&) { r.scan.blocksPerMcu = 0; }},
      {"eleven_blocks_per_mcu", StatusBadArgument, [](BlockRun& r, int32_t&, int32_t&, int32_t&, bool&, bool&, bool&) { r.scan.blocksPerMcu = 11; }},
      {"block_in_mcu_past_mcu", StatusBadArgument, [](BlockRun& r, int32_t&, int32_t&, int32_t&, bool&, bool&, bool&) { r.scan.blockInMcu = 6; }},
      {"component_4", StatusBadArgument, [](BlockRun& r, int32_t&, int32_t&, int32_t&, bool&, bool&, bool&) { r.scan.blockComponent[5] = 4; }},
      {"restarts_to_go_above_interval", StatusBadArgument, [](BlockRun& r, int32_t&, int32_t&, int32_t&, bool&, bool&, bool&) { r.scan.restartsToGo = 3; }},
      {"negative_interval", StatusBadArgument, [](BlockRun& r, int32_t&, int32_t&, int32_t&, bool&, bool&, bool&) { r.scan.restartInterval = -1; }},
      {"restart_number_8", StatusBadArgument, [](BlockRun& r, int32_t&, int32_t&, int32_t&, bool&, bool&, bool&) { r.scan.nextRestartNumber = 8; }},
      {"tables_checked_3", StatusBadArgument, [](BlockRun& r, int32_t&, int32_t&, int32_t&, bool&, bool&, bool&) { r.scan.tablesChecked = 3; }},
      {"null_table", StatusNullPointer, [](BlockRun& r, int32_t&, int32_t&, int32_t&, bool&, bool&, bool&) { r.scan.acSpec[2] = nullptr; }},
  };
  for (auto [slot, fn] : BlocksBuilds()) {
    for (const Bad& b : bads) {
      BlockRun run = good;
      int32_t count = 6, dstLen = 1024, pos = 0, coded = -1;
      bool nullDst = false, nullPos = false, nullBlocks = false;
      b.spoil(run, count, dstLen, pos, nullDst, nullPos, nullBlocks);
      const BaselineScanCoder before = run.scan;
      EXPECT_EQ(fn(nullBlocks ? nullptr : run.blocks[0].c, count, nullDst ? nullptr : dst, dstLen,
                   nullPos ? nullptr : &pos, &run.scan, &run.state, &coded),
                b.expected)
          << b.name << " slot " << slot;
      EXPECT_EQ(std::memcmp(&before, &run.scan, sizeof(before)), 0) << b.name;
    }
    int32_t pos = 0;
    BlockRun run = good;
    EXPECT_EQ(fn(run.blocks[0].c, 1, dst, 1024, &pos, nullptr, &run.state, nullptr),
              StatusNullPointer);
  }
}

}  // namespace
}  // namespace vorn::jpeg::prim::test
