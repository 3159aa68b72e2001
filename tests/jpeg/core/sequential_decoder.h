// A small decoder of sequential Huffman-coded streams (SOF0 and SOF1, any precision) written
// for the tests: it parses the segments, rebuilds the canonical codes of every table, and
// reads the quantised coefficients of every block (DC predictions, run/size symbols, ZRL,
// EOB, restart markers) into natural order. It stops short of the inverse transform: the
// tests compare coefficients. The stock decoder library the tests link reads 8-bit streams
// only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/jpeg/core/lossless_decoder.h"

namespace vorn::jpeg::test {

struct SequentialDecoded {
  bool ok = false;
  std::string error;
  int32_t sofMarker = 0;
  int32_t precision = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t components = 0;
  int32_t h[4] = {}, v[4] = {}, quantTableOf[4] = {};
  int32_t dcTableOf[4] = {}, acTableOf[4] = {};
  bool quantPresent[4] = {};
  int32_t quantPrecision[4] = {};  // 0: 8-bit quantisers, 1: 16-bit
  uint16_t quant[4][64] = {};      // natural order
  std::vector<int32_t> dhtIds;     // (class << 4) | id of every table, in stream order
  int32_t restartInterval = 0;
  std::vector<int32_t> restartNumbers;
  int32_t mcusPerRow = 0;
  int32_t mcuRows = 0;
  // Per component its blocks in raster order over the MCU-padded image: blocksWide[k] =
  // mcusPerRow x h[k] a block row, 64 coefficients each in natural order.
  int32_t blocksWide[4] = {};
  int32_t blocksHigh[4] = {};
  std::vector<std::vector<int16_t>> blocks;

  const int16_t* Block(int32_t k, int32_t bx, int32_t by) const {
    return &blocks[size_t(k)][(size_t(by) * blocksWide[k] + bx) * 64];
  }
};

// Natural index of each zigzag position.
constexpr int32_t kTestZigzag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
    12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
    35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
    58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

inline SequentialDecoded DecodeSequential(const std::vector<uint8_t>& bytes) {
  using lossless_detail::BitReader;
  using lossless_detail::DcTable;
  SequentialDecoded out;
  auto fail = [&out](const std::string& what) {
    out.ok = false;
    out.error = what;
    return out;
  };
  if (bytes.size() < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8) return fail("no SOI");
  DcTable tables[2][4];
  bool present[2][4] = {};
  size_t i = 2;
  for (;;) {
    if (i + 4 > bytes.size() || bytes[i] != 0xFF) return fail("bad segment");
    const uint8_t marker = bytes[i + 1];
    const size_t length = (size_t(bytes[i + 2]) << 8) | bytes[i + 3];
    if (i + 2 + length > bytes.size() || length < 2) return fail("segment past the end");
    const uint8_t* p = &bytes[i + 4];
    if (marker == 0xC0 || marker == 0xC1) {
      out.sofMarker = marker;
      out.precision = p[0];
      out.height = (p[1] << 8) | p[2];
      out.width = (p[3] << 8) | p[4];
      out.components = p[5];
      if (out.components < 1 || out.components > 4 || length != 8u + 3u * out.components) {
        return fail("bad SOF");
      }
      for (int32_t k = 0; k < out.components; ++k) {
        if (p[6 + 3 * k] != k) return fail("component identifiers other than 0, 1, ...");
        out.h[k] = p[7 + 3 * k] >> 4;
        out.v[k] = p[7 + 3 * k] & 15;
        out.quantTableOf[k] = p[8 + 3 * k];
      }
    } else if ((marker & 0xF0) == 0xC0 && marker != 0xC4) {
      return fail("frame other than SOF0 or SOF1");
    } else if (marker == 0xDB) {
      size_t k = 0;
      while (k < length - 2) {
        const int32_t pq = p[k] >> 4, tq = p[k] & 15;
        if (tq > 3 || pq > 1) return fail("bad DQT");
        out.quantPresent[tq] = true;
        out.quantPrecision[tq] = pq;
        for (int32_t z = 0; z < 64; ++z) {
          out.quant[tq][kTestZigzag[z]] =
              pq ? uint16_t((p[k + 1 + 2 * z] << 8) | p[k + 2 + 2 * z]) : p[k + 1 + z];
        }
        k += 1 + (pq ? 128 : 64);
      }
    } else if (marker == 0xC4) {
      size_t k = 0;
      while (k < length - 2) {
        const int32_t tc = p[k] >> 4, th = p[k] & 15;
        if (tc > 1 || th > 3) return fail("bad DHT");
        out.dhtIds.push_back(p[k]);
        DcTable& t = tables[tc][th];
        present[tc][th] = true;
        int32_t count = 0;
        for (int32_t l = 0; l < 16; ++l) count += t.bits[l] = p[k + 1 + l];
        for (int32_t s = 0; s < count; ++s) t.values[s] = p[k + 17 + s];
        k += 17 + count;
      }
    } else if (marker == 0xDD) {
      out.restartInterval = (p[0] << 8) | p[1];
    } else if (marker == 0xDA) {
      if (out.sofMarker == 0) return fail("SOS before SOF");
      const int32_t ns = p[0];
      if (ns != out.components) return fail("scan of other components than the frame's");
      for (int32_t k = 0; k < ns; ++k) {
        if (p[1 + 2 * k] != k) return fail("scan component order");
        out.dcTableOf[k] = p[2 + 2 * k] >> 4;
        out.acTableOf[k] = p[2 + 2 * k] & 15;
        if (!present[0][out.dcTableOf[k]] || !present[1][out.acTableOf[k]]) {
          return fail("scan uses a missing table");
        }
      }
      if (p[1 + 2 * ns] != 0 || p[2 + 2 * ns] != 63 || p[3 + 2 * ns] != 0) {
        return fail("not a sequential scan");
      }
      i += 2 + length;
      break;
    }
    i += 2 + length;
  }

  int32_t hMax = 1, vMax = 1;
  for (int32_t k = 0; k < out.components; ++k) {
    hMax = out.h[k] > hMax ? out.h[k] : hMax;
    vMax = out.v[k] > vMax ? out.v[k] : vMax;
  }
  out.mcusPerRow = (out.width + 8 * hMax - 1) / (8 * hMax);
  out.mcuRows = (out.height + 8 * vMax - 1) / (8 * vMax);
  out.blocks.resize(size_t(out.components));
  for (int32_t k = 0; k < out.components; ++k) {
    out.blocksWide[k] = out.mcusPerRow * out.h[k];
    out.blocksHigh[k] = out.mcuRows * out.v[k];
    out.blocks[size_t(k)].assign(size_t(out.blocksWide[k]) * out.blocksHigh[k] * 64, 0);
  }
  auto extend = [](int32_t bits, int32_t s) {
    return bits < (1 << (s - 1)) ? bits - ((1 << s) - 1) : bits;
  };
  BitReader reader(bytes, i);
  int32_t lastDc[4] = {};
  int64_t mcusInInterval = 0;
  int32_t expectedRestart = 0;
  for (int32_t my = 0; my < out.mcuRows; ++my) {
    for (int32_t mx = 0; mx < out.mcusPerRow; ++mx) {
      if (out.restartInterval != 0 && mcusInInterval == out.restartInterval) {
        if (!reader.AlignPadding()) return fail(reader.error());
        const size_t at = reader.offset();
        if (at + 2 > bytes.size() || bytes[at] != 0xFF || bytes[at + 1] != 0xD0 + expectedRestart) {
          return fail("missing or wrong restart marker");
        }
        out.restartNumbers.push_back(expectedRestart);
        expectedRestart = (expectedRestart + 1) & 7;
        reader.Restart(at + 2);
        mcusInInterval = 0;
        for (int32_t& dc : lastDc) dc = 0;
      }
      for (int32_t k = 0; k < out.components; ++k) {
        const DcTable& dc = tables[0][out.dcTableOf[k]];
        const DcTable& ac = tables[1][out.acTableOf[k]];
        for (int32_t by = 0; by < out.v[k]; ++by) {
          for (int32_t bx = 0; bx < out.h[k]; ++bx) {
            int16_t* block = &out.blocks[size_t(k)][(size_t(my * out.v[k] + by) * out.blocksWide[k] +
                                                     size_t(mx * out.h[k] + bx)) * 64];
            const int32_t s = reader.Symbol(dc);
            if (s > 16) return fail("DC category above 16");
            lastDc[k] += s == 0 ? 0 : extend(reader.Receive(s), s);
            block[0] = static_cast<int16_t>(lastDc[k]);
            for (int32_t z = 1; z < 64;) {
              const int32_t rs = reader.Symbol(ac);
              const int32_t run = rs >> 4, size = rs & 15;
              if (size == 0) {
                if (run != 15) break;  // EOB
                z += 16;
                continue;
              }
              z += run;
              if (z > 63) return fail("AC run past the block");
              block[kTestZigzag[z]] = static_cast<int16_t>(extend(reader.Receive(size), size));
              ++z;
            }
            if (reader.failed()) return fail(reader.error());
          }
        }
      }
      ++mcusInInterval;
    }
  }
  if (!reader.AlignPadding()) return fail(reader.error());
  const size_t end = reader.offset();
  if (end + 2 != bytes.size() || bytes[end] != 0xFF || bytes[end + 1] != 0xD9) {
    return fail("no EOI right after the scan");
  }
  out.ok = true;
  return out;
}

}  // namespace vorn::jpeg::test
