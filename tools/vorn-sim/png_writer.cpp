#include "tools/vorn-sim/png_writer.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vorn::sim {
namespace {

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                    33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr uint32_t kWindow = 32768;
constexpr uint32_t kMaxMatch = 258;

class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>* out) : out_(out) {}
  // |n| bits of |v|, least significant first (deflate's order for everything but codes).
  void Bits(uint32_t v, uint32_t n) {
    acc_ |= uint64_t{v} << fill_;
    fill_ += n;
    while (fill_ >= 8) {
      out_->push_back(static_cast<uint8_t>(acc_));
      acc_ >>= 8;
      fill_ -= 8;
    }
  }
  // A Huffman code of |n| bits, most significant first.
  void Code(uint32_t code, uint32_t n) {
    uint32_t r = 0;
    for (uint32_t i = 0; i < n; ++i) r |= ((code >> i) & 1) << (n - 1 - i);
    Bits(r, n);
  }
  void Flush() {
    if (fill_) out_->push_back(static_cast<uint8_t>(acc_));
    acc_ = 0;
    fill_ = 0;
  }

 private:
  std::vector<uint8_t>* out_;
  uint64_t acc_ = 0;
  uint32_t fill_ = 0;
};

void Symbol(BitWriter& w, uint32_t s) {
  if (s < 144) w.Code(0x30 + s, 8);
  else if (s < 256) w.Code(0x190 + (s - 144), 9);
  else if (s < 280) w.Code(s - 256, 7);
  else w.Code(0xC0 + (s - 280), 8);
}

void Match(BitWriter& w, uint32_t length, uint32_t distance) {
  uint32_t l = 28;
  while (kLengthBase[l] > length) --l;
  Symbol(w, 257 + l);
  if (kLengthExtra[l]) w.Bits(length - kLengthBase[l], kLengthExtra[l]);
  uint32_t d = 29;
  while (kDistBase[d] > distance) --d;
  w.Code(d, 5);
  if (kDistExtra[d]) w.Bits(distance - kDistBase[d], kDistExtra[d]);
}

uint32_t MatchLength(const std::vector<uint8_t>& raw, size_t i, uint32_t distance) {
  if (distance == 0 || distance > i || distance > kWindow) return 0;
  const size_t limit = std::min<size_t>(kMaxMatch, raw.size() - i);
  uint32_t n = 0;
  while (n < limit && raw[i + n] == raw[i + n - distance]) ++n;
  return n;
}

uint32_t Adler32(const std::vector<uint8_t>& d) {
  uint32_t a = 1, b = 0;
  for (size_t i = 0; i < d.size();) {
    const size_t end = std::min(d.size(), i + 5552);
    for (; i < end; ++i) {
      a += d[i];
      b += a;
    }
    a %= 65521;
    b %= 65521;
  }
  return b << 16 | a;
}

uint32_t Crc32(const uint8_t* p, size_t n, uint32_t crc = 0) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  crc = ~crc;
  for (size_t i = 0; i < n; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

void Be32(std::vector<uint8_t>* out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out->push_back(static_cast<uint8_t>(v >> s));
}

void Chunk(std::vector<uint8_t>* png, const char* type, const std::vector<uint8_t>& data) {
  Be32(png, static_cast<uint32_t>(data.size()));
  const size_t start = png->size();
  png->insert(png->end(), type, type + 4);
  png->insert(png->end(), data.begin(), data.end());
  Be32(png, Crc32(png->data() + start, png->size() - start));
}

std::vector<uint8_t> Deflate(const std::vector<uint8_t>& raw, uint32_t row_bytes) {
  std::vector<uint8_t> z = {0x78, 0x01};
  BitWriter w(&z);
  w.Bits(1, 1);  // the last block
  w.Bits(1, 2);  // fixed codes
  for (size_t i = 0; i < raw.size();) {
    const uint32_t left = MatchLength(raw, i, 3);
    const uint32_t up = MatchLength(raw, i, row_bytes);
    const uint32_t best = std::max(left, up);
    if (best >= 3) {
      Match(w, best, left >= up ? 3 : row_bytes);
      i += best;
    } else {
      Symbol(w, raw[i]);
      ++i;
    }
  }
  Symbol(w, 256);
  w.Flush();
  Be32(&z, Adler32(raw));
  return z;
}

class BitReader {
 public:
  BitReader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  bool Bits(uint32_t n, uint32_t* v) {
    *v = 0;
    for (uint32_t i = 0; i < n; ++i) {
      if (pos_ >= n_ * 8) return false;
      *v |= uint32_t{(p_[pos_ / 8] >> (pos_ % 8)) & 1u} << i;
      ++pos_;
    }
    return true;
  }
  bool Code(uint32_t n, uint32_t* v) {
    uint32_t b = 0;
    *v = 0;
    for (uint32_t i = 0; i < n; ++i) {
      if (!Bits(1, &b)) return false;
      *v = *v << 1 | b;
    }
    return true;
  }
  void Align() { pos_ = (pos_ + 7) / 8 * 8; }
  size_t BytePos() const { return pos_ / 8; }
  void Skip(size_t bytes) { pos_ += bytes * 8; }

 private:
  const uint8_t* p_;
  size_t n_;
  size_t pos_ = 0;
};

bool FixedSymbol(BitReader& r, uint32_t* s) {
  uint32_t c = 0, b = 0;
  if (!r.Code(7, &c)) return false;
  if (c <= 0x17) {
    *s = 256 + c;
    return true;
  }
  if (!r.Bits(1, &b)) return false;
  c = c << 1 | b;
  if (c >= 0x30 && c <= 0xBF) {
    *s = c - 0x30;
    return true;
  }
  if (c >= 0xC0 && c <= 0xC7) {
    *s = 280 + (c - 0xC0);
    return true;
  }
  if (!r.Bits(1, &b)) return false;
  c = c << 1 | b;
  if (c >= 0x190 && c <= 0x1FF) {
    *s = 144 + (c - 0x190);
    return true;
  }
  return false;
}

}  // namespace

std::vector<uint8_t> EncodePng(const uint8_t* bgra, uint32_t width, uint32_t height,
                               uint32_t pitch) {
  const uint32_t row_bytes = width * 3 + 1;
  std::vector<uint8_t> raw;
  raw.reserve(size_t{row_bytes} * height);
  for (uint32_t y = 0; y < height; ++y) {
    raw.push_back(0);  // no filter
    const uint8_t* p = bgra + size_t{y} * pitch;
    for (uint32_t x = 0; x < width; ++x, p += 4) {
      raw.push_back(p[2]);
      raw.push_back(p[1]);
      raw.push_back(p[0]);
    }
  }
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> ihdr;
  Be32(&ihdr, width);
  Be32(&ihdr, height);
  ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});  // 8-bit RGB, deflate, no interlace
  Chunk(&png, "IHDR", ihdr);
  Chunk(&png, "IDAT", Deflate(raw, row_bytes));
  Chunk(&png, "IEND", {});
  return png;
}

bool WritePng(const std::string& path, const uint8_t* bgra, uint32_t width, uint32_t height,
              uint32_t pitch, std::string* error) {
  const std::vector<uint8_t> png = EncodePng(bgra, width, height, pitch);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    if (error) *error = path + ": " + std::strerror(errno);
    return false;
  }
  const bool written = std::fwrite(png.data(), 1, png.size(), f) == png.size();
  const bool closed = std::fclose(f) == 0;
  if (!written || !closed) {
    if (error) *error = path + ": write failed";
    return false;
  }
  return true;
}

bool InflateZlib(const std::vector<uint8_t>& in, std::vector<uint8_t>* out) {
  if (in.size() < 6 || (in[0] & 0x0F) != 8 || ((in[0] << 8) | in[1]) % 31 != 0) return false;
  BitReader r(in.data() + 2, in.size() - 6);
  out->clear();
  uint32_t last = 0;
  do {
    uint32_t type = 0;
    if (!r.Bits(1, &last) || !r.Bits(2, &type)) return false;
    if (type == 0) {
      r.Align();
      const size_t at = 2 + r.BytePos();
      if (at + 4 > in.size() - 4) return false;
      const uint32_t len = in[at] | in[at + 1] << 8, nlen = in[at + 2] | in[at + 3] << 8;
      if ((len ^ 0xFFFF) != nlen || at + 4 + len > in.size() - 4) return false;
      out->insert(out->end(), in.begin() + at + 4, in.begin() + at + 4 + len);
      r.Skip(4 + len);
    } else if (type == 1) {
      for (;;) {
        uint32_t s = 0;
        if (!FixedSymbol(r, &s)) return false;
        if (s < 256) {
          out->push_back(static_cast<uint8_t>(s));
          continue;
        }
        if (s == 256) break;
        if (s > 285) return false;
        uint32_t extra = 0, d = 0, dextra = 0;
        if (!r.Bits(kLengthExtra[s - 257], &extra)) return false;
        const uint32_t length = kLengthBase[s - 257] + extra;
        if (!r.Code(5, &d) || d > 29 || !r.Bits(kDistExtra[d], &dextra)) return false;
        const uint32_t distance = kDistBase[d] + dextra;
        if (distance > out->size()) return false;
        for (uint32_t k = 0; k < length; ++k) out->push_back((*out)[out->size() - distance]);
      }
    } else {
      return false;
    }
  } while (!last);
  const size_t a = in.size() - 4;
  const uint32_t adler = uint32_t{in[a]} << 24 | uint32_t{in[a + 1]} << 16 | in[a + 2] << 8 | in[a + 3];
  return adler == Adler32(*out);
}

}  // namespace vorn::sim
