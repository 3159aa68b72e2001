// Helpers of the Huffman tests: code tables, a random coefficient source, a run of the coder
// into a patterned buffer, and the builds this machine runs.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "jpeg/primitives/frame/dispatch.h"
#include "jpeg/primitives/huffman/huffman.h"

namespace vorn::jpeg::prim::test {

struct Rng {
  uint64_t s;
  uint32_t Next() {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(s >> 33);
  }
  uint32_t Below(uint32_t n) { return Next() % n; }
};

struct Spec {
  uint32_t entry[256];
};

inline Spec BuildSpec(const StdHuffmanTable& table) {
  Spec spec{};
  BuildHuffmanEncodeSpecS2(table.bits, table.values, spec.entry);
  return spec;
}

// A block of quantised coefficients (natural order): |density| in 256ths of the AC positions
// non-zero, magnitudes mostly small with some up to |maxMagnitude|.
struct Block {
  int16_t c[64];
};

inline Block RandomBlock(Rng& rng, uint32_t density, int32_t maxMagnitude) {
  Block b{};
  for (int32_t k = 0; k < 64; ++k) {
    if (k != 0 && rng.Below(256) >= density) continue;
    const int32_t range = rng.Below(4) == 0 ? maxMagnitude : 8;
    int32_t v = static_cast<int32_t>(rng.Below(static_cast<uint32_t>(range))) + 1;
    if (rng.Below(2)) v = -v;
    b.c[k] = static_cast<int16_t>(v);
  }
  return b;
}

// Everything a call of the coder leaves behind.
struct Outcome {
  PrimitiveStatus status = 0;
  int32_t pos = 0;
  int16_t lastDC = 0;
  HuffmanEncodeState state{};
  std::vector<uint8_t> bytes;  // dst[0 .. pos)

  bool operator==(const Outcome& o) const {
    return status == o.status && pos == o.pos && lastDC == o.lastDC &&
           state.accumulator == o.state.accumulator && state.pendingBits == o.state.pendingBits &&
           bytes == o.bytes;
  }
};

// Codes |block| into a dstLen-byte buffer (followed by guard bytes that must stay untouched)
// starting at |pos| with |state|, through |fn| (or the plain coder for null).
inline Outcome Code(EncodeBaselineBlockFn fn, const Block& block, int32_t dstLen, int32_t pos,
                   int16_t lastDC, const HuffmanEncodeState& state, const Spec& dc,
                   const Spec& ac, bool* guardIntact = nullptr) {
  constexpr int32_t kGuard = 32;
  std::vector<uint8_t> buffer(static_cast<size_t>(dstLen) + kGuard, 0xA5);
  Outcome out;
  out.pos = pos;
  out.lastDC = lastDC;
  out.state = state;
  out.status = fn != nullptr ? fn(block.c, buffer.data(), dstLen, &out.pos, &out.lastDC,
                                  dc.entry, ac.entry, &out.state, 0)
                             : EncodeBaselineBlockPlain(block.c, buffer.data(), dstLen, &out.pos,
                                                        &out.lastDC, dc.entry, ac.entry,
                                                        &out.state);
  out.bytes.assign(buffer.begin(), buffer.begin() + out.pos);
  if (guardIntact != nullptr) {
    *guardIntact = true;
    for (int32_t i = 0; i < kGuard; ++i) *guardIntact &= buffer[dstLen + i] == 0xA5;
  }
  return out;
}

// The slots this machine runs with their own build of the block coder.
inline std::vector<std::pair<int32_t, EncodeBaselineBlockFn>> BlockBuilds() {
  std::vector<std::pair<int32_t, EncodeBaselineBlockFn>> builds;
  for (int32_t s : kEntriesReferenceFirst) {
    if (!BuildRunsHere(s)) continue;
    const EncodeBaselineBlockFn fn = kEncodeBaselineBlockTable.slot[s];
    bool seen = false;
    for (auto& b : builds) seen |= b.second == fn;
    if (!seen) builds.push_back({s, fn});
  }
  return builds;
}

// A state with |n| pending bits taken from the top of |bits|.
inline HuffmanEncodeState PendingState(int32_t n, uint32_t bits) {
  HuffmanEncodeState s{};
  s.pendingBits = n;
  s.accumulator = n == 0 ? 0 : ((bits & 0xFFu) >> (8 - n)) << (24 - n);
  return s;
}

}  // namespace vorn::jpeg::prim::test
