// A small decoder of lossless (SOF3) streams written for the tests: it parses the marker
// segments, rebuilds the canonical codes of every DC table, reads the interleaved differences
// with 0xFF00 unstuffing and restart markers, and reconstructs the samples with the
// predictors of the format from plain integer formulas. Nothing of the encoder is used.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn::jpeg::test {

struct LosslessDecoded {
  bool ok = false;
  std::string error;
  int32_t precision = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t components = 0;
  int32_t restartInterval = 0;
  int32_t predictor = 0;
  int32_t pointTransform = 0;
  int32_t dhtSegments = 0;
  int32_t dqtSegments = 0;
  int32_t appSegments = 0;
  int32_t dcTableOf[4] = {};
  int32_t codeLength[4][17] = {};  // per DC table the code length of each category, 0: none
  std::vector<int32_t> restartRows;     // the image row each restart marker comes before
  std::vector<int32_t> restartNumbers;  // n of each RSTn, in stream order
  std::vector<std::vector<uint16_t>> planes;  // per component, row by row
};

namespace lossless_detail {

// BITS and HUFFVAL of one table, as a DHT segment carries them.
struct DcTable {
  bool present = false;
  uint8_t bits[16] = {};
  uint8_t values[256] = {};
};

inline int32_t Prediction(int32_t p, int32_t ra, int32_t rb, int32_t rc) {
  switch (p) {
    case 1: return ra;
    case 2: return rb;
    case 3: return rc;
    case 4: return ra + rb - rc;
    case 5: return ra + ((rb - rc) >> 1);
    case 6: return rb + ((ra - rc) >> 1);
    default: return (ra + rb) >> 1;
  }
}

class BitReader {
 public:
  BitReader(const std::vector<uint8_t>& bytes, size_t offset) : bytes_(bytes), offset_(offset) {}

  int32_t Bit() {
    if (bitsLeft_ == 0) {
      if (offset_ >= bytes_.size()) return Fail("data ends inside the scan");
      current_ = bytes_[offset_];
      if (current_ == 0xFF) {
        if (offset_ + 1 >= bytes_.size() || bytes_[offset_ + 1] != 0) {
          return Fail("marker inside the coded data");
        }
        ++offset_;
      }
      ++offset_;
      bitsLeft_ = 8;
    }
    --bitsLeft_;
    return (current_ >> bitsLeft_) & 1;
  }

  int32_t Symbol(const DcTable& t) {
    int32_t code = 0, first = 0, index = 0;
    for (int32_t length = 1; length <= 16; ++length) {
      code = (code << 1) | Bit();
      const int32_t n = t.bits[length - 1];
      if (code - first < n) return t.values[index + code - first];
      index += n;
      first = (first + n) << 1;
    }
    return Fail("no such code");
  }

  // The next n bits as an unsigned value.
  int32_t Receive(int32_t n) {
    int32_t v = 0;
    for (int32_t i = 0; i < n; ++i) v = (v << 1) | Bit();
    return v;
  }

  int32_t Difference(const DcTable& t) {
    const int32_t c = Symbol(t);
    if (c == 0) return 0;
    if (c == 16) return 32768;
    if (c > 16) return Fail("category above 16");
    int32_t v = 0;
    for (int32_t i = 0; i < c; ++i) v = (v << 1) | Bit();
    if (v < (1 << (c - 1))) v -= (1 << c) - 1;
    return v;
  }

  // The padding of the last byte must be 1-bits; returns the offset after it.
  bool AlignPadding() {
    while (bitsLeft_ > 0) {
      if (Bit() != 1) {
        Fail("padding bits are not 1");
        return false;
      }
    }
    return !failed_;
  }

  size_t offset() const { return offset_; }
  void Restart(size_t offset) {
    offset_ = offset;
    bitsLeft_ = 0;
  }
  bool failed() const { return failed_; }
  const std::string& error() const { return error_; }

 private:
  int32_t Fail(const char* what) {
    if (!failed_) error_ = what;
    failed_ = true;
    bitsLeft_ = 8;
    current_ = 0;
    return 0;
  }

  const std::vector<uint8_t>& bytes_;
  size_t offset_;
  int32_t current_ = 0;
  int32_t bitsLeft_ = 0;
  bool failed_ = false;
  std::string error_;
};

}  // namespace lossless_detail

inline LosslessDecoded DecodeLossless(const std::vector<uint8_t>& bytes) {
  using namespace lossless_detail;
  LosslessDecoded out;
  auto fail = [&out](const std::string& what) {
    out.ok = false;
    out.error = what;
    return out;
  };
  if (bytes.size() < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8) return fail("no SOI");
  DcTable tables[4];
  int32_t componentIds[4] = {};
  size_t i = 2;
  bool sof = false;
  for (;;) {
    if (i + 4 > bytes.size() || bytes[i] != 0xFF) return fail("bad segment");
    const uint8_t marker = bytes[i + 1];
    const size_t length = (size_t(bytes[i + 2]) << 8) | bytes[i + 3];
    if (i + 2 + length > bytes.size() || length < 2) return fail("segment past the end");
    const uint8_t* p = &bytes[i + 4];
    if (marker == 0xC3) {
      sof = true;
      out.precision = p[0];
      out.height = (p[1] << 8) | p[2];
      out.width = (p[3] << 8) | p[4];
      out.components = p[5];
      if (out.components < 1 || out.components > 4 || length != 8u + 3u * out.components) {
        return fail("bad SOF3");
      }
      for (int32_t k = 0; k < out.components; ++k) {
        componentIds[k] = p[6 + 3 * k];
        if (p[7 + 3 * k] != 0x11) return fail("sampling factors other than 1");
      }
    } else if ((marker & 0xF0) == 0xC0 && marker != 0xC4) {
      return fail("frame other than SOF3");
    } else if (marker == 0xC4) {
      ++out.dhtSegments;
      size_t k = 0;
      while (k < length - 2) {
        const int32_t tc = p[k] >> 4, th = p[k] & 15;
        if (tc != 0 || th > 3) return fail("DHT other than a DC table 0-3");
        DcTable& t = tables[th];
        t.present = true;
        int32_t count = 0;
        for (int32_t l = 0; l < 16; ++l) count += t.bits[l] = p[k + 1 + l];
        for (int32_t v = 0; v < count; ++v) t.values[v] = p[k + 17 + v];
        for (int32_t l = 0, v = 0; l < 16; ++l) {
          for (int32_t j = 0; j < t.bits[l]; ++j, ++v) {
            if (t.values[v] <= 16) out.codeLength[th][t.values[v]] = l + 1;
          }
        }
        k += 17 + count;
      }
    } else if (marker == 0xDB) {
      ++out.dqtSegments;
    } else if (marker >= 0xE0 && marker <= 0xEF) {
      ++out.appSegments;
    } else if (marker == 0xDD) {
      out.restartInterval = (p[0] << 8) | p[1];
    } else if (marker == 0xDA) {
      if (!sof) return fail("SOS before SOF3");
      const int32_t ns = p[0];
      if (ns != out.components) return fail("scan of other components than the frame's");
      for (int32_t k = 0; k < ns; ++k) {
        if (p[1 + 2 * k] != componentIds[k]) return fail("scan component order");
        out.dcTableOf[k] = p[2 + 2 * k] >> 4;
        if (!tables[out.dcTableOf[k]].present) return fail("scan uses a missing table");
      }
      out.predictor = p[1 + 2 * ns];
      if (p[2 + 2 * ns] != 0 || (p[3 + 2 * ns] >> 4) != 0) return fail("Se or Ah not 0");
      out.pointTransform = p[3 + 2 * ns] & 15;
      if (out.predictor < 1 || out.predictor > 7) return fail("bad predictor");
      i += 2 + length;
      break;
    }
    i += 2 + length;
  }

  const int32_t n = out.components, w = out.width, h = out.height;
  const int32_t P = out.precision, pt = out.pointTransform;
  out.planes.assign(size_t(n), std::vector<uint16_t>(size_t(w) * h));
  std::vector<std::vector<int32_t>> rec(size_t(n), std::vector<int32_t>(size_t(w) * h));
  BitReader reader(bytes, i);
  int64_t mcusInInterval = 0;
  int32_t expectedRestart = 0;
  bool firstLine = true;
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      if (out.restartInterval != 0 && mcusInInterval == out.restartInterval) {
        if (!reader.AlignPadding()) return fail(reader.error());
        const size_t at = reader.offset();
        if (at + 2 > bytes.size() || bytes[at] != 0xFF || bytes[at + 1] != 0xD0 + expectedRestart) {
          return fail("missing or wrong restart marker");
        }
        if (x != 0) return fail("restart inside a row");
        out.restartRows.push_back(y);
        out.restartNumbers.push_back(expectedRestart);
        expectedRestart = (expectedRestart + 1) & 7;
        reader.Restart(at + 2);
        mcusInInterval = 0;
        firstLine = true;
      }
      for (int32_t k = 0; k < n; ++k) {
        const int32_t d = reader.Difference(tables[out.dcTableOf[k]]);
        if (reader.failed()) return fail(reader.error());
        std::vector<int32_t>& r = rec[size_t(k)];
        const size_t at = size_t(y) * w + x;
        int32_t prediction;
        if (firstLine) {
          prediction = x == 0 ? 1 << (P - pt - 1) : r[at - 1];
        } else if (x == 0) {
          prediction = r[at - w];
        } else {
          prediction = Prediction(out.predictor, r[at - 1], r[at - w], r[at - w - 1]);
        }
        r[at] = (prediction + d) & 0xFFFF;
        out.planes[size_t(k)][at] = static_cast<uint16_t>(r[at] << pt);
      }
      ++mcusInInterval;
    }
    firstLine = false;
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
