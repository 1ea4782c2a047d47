#include "pdfink/inflate.h"

#include <algorithm>
#include <array>

namespace pdfink {
namespace {

constexpr int kMaxBits = 15;
constexpr int kMaxLitLen = 286;
constexpr int kMaxDist = 30;

constexpr std::array<std::uint16_t, 29> kLengthBase = {
    3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27,
    31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<std::uint8_t, 29> kLengthExtra = {
    0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<std::uint16_t, 30> kDistBase = {
    1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<std::uint8_t, 30> kDistExtra = {
    0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::array<std::uint8_t, 19> kCodeLengthOrder = {
    16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Canonical Huffman code: number of codes per length plus the symbols
// sorted by code.
struct Huffman {
  std::array<std::uint16_t, kMaxBits + 1> count{};
  std::array<std::uint16_t, 288> symbol{};
};

// Builds the tables; returns the number of unused code points left
// (0 = complete, > 0 = incomplete) or -1 when over-subscribed.
int build(Huffman& h, const std::uint8_t* lengths, int n) {
  h.count.fill(0);
  for (int i = 0; i < n; ++i) ++h.count[lengths[i]];
  if (h.count[0] == n) return 0;  // no codes at all: complete but empty
  int left = 1;
  for (int len = 1; len <= kMaxBits; ++len) {
    left <<= 1;
    left -= h.count[len];
    if (left < 0) return -1;
  }
  std::array<std::uint16_t, kMaxBits + 1> offs{};
  for (int len = 1; len < kMaxBits; ++len) offs[len + 1] = offs[len] + h.count[len];
  for (int i = 0; i < n; ++i)
    if (lengths[i] != 0) h.symbol[offs[lengths[i]]++] = static_cast<std::uint16_t>(i);
  return left;
}

class Decoder {
 public:
  Decoder(const std::uint8_t* in, std::size_t size, std::vector<std::uint8_t>& out, std::size_t limit)
      : in_(in), size_(size), out_(out), limit_(limit) {}

  bool run(std::size_t start) {
    pos_ = start;
    bool last = false;
    while (!last) {
      int bfinal = 0, type = 0;
      if (!bits(1, bfinal) || !bits(2, type)) return false;
      last = bfinal != 0;
      bool ok = false;
      switch (type) {
        case 0: ok = stored(); break;
        case 1: ok = fixed(); break;
        case 2: ok = dynamic(); break;
        default: return false;
      }
      if (!ok) return false;
    }
    return true;
  }

 private:
  bool bits(int need, int& value) {
    std::uint32_t v = bitBuf_;
    while (bitCount_ < need) {
      if (pos_ >= size_) return false;
      v |= static_cast<std::uint32_t>(in_[pos_++]) << bitCount_;
      bitCount_ += 8;
    }
    value = static_cast<int>(v & ((1u << need) - 1u));
    bitBuf_ = v >> need;
    bitCount_ -= need;
    return true;
  }

  bool stored() {
    bitBuf_ = 0;
    bitCount_ = 0;
    if (size_ - pos_ < 4) return false;
    unsigned len = in_[pos_] | (in_[pos_ + 1] << 8);
    unsigned nlen = in_[pos_ + 2] | (in_[pos_ + 3] << 8);
    pos_ += 4;
    if (len != (~nlen & 0xffffu)) return false;
    if (size_ - pos_ < len) return false;
    if (out_.size() > limit_) return false;
    out_.insert(out_.end(), in_ + pos_, in_ + pos_ + len);
    pos_ += len;
    return true;
  }

  // Bit-serial canonical decode: walk lengths 1..15, comparing the code
  // read so far against the first code of each length.
  int decode(const Huffman& h) {
    int code = 0, first = 0, index = 0;
    for (int len = 1; len <= kMaxBits; ++len) {
      int bit = 0;
      if (!bits(1, bit)) return -1;
      code |= bit;
      int count = h.count[len];
      if (code - count < first) return h.symbol[index + (code - first)];
      index += count;
      first += count;
      first <<= 1;
      code <<= 1;
    }
    return -1;
  }

  bool codes(const Huffman& lit, const Huffman& dist) {
    for (;;) {
      if (out_.size() > limit_) return false;
      int sym = decode(lit);
      if (sym < 0) return false;
      if (sym < 256) {
        out_.push_back(static_cast<std::uint8_t>(sym));
        continue;
      }
      if (sym == 256) return true;
      sym -= 257;
      if (sym >= 29) return false;
      int extra = 0;
      if (!bits(kLengthExtra[sym], extra)) return false;
      std::size_t len = kLengthBase[sym] + static_cast<std::size_t>(extra);
      int dsym = decode(dist);
      if (dsym < 0 || dsym >= 30) return false;
      if (!bits(kDistExtra[dsym], extra)) return false;
      std::size_t d = kDistBase[dsym] + static_cast<std::size_t>(extra);
      if (d > out_.size()) return false;
      // Byte by byte so that overlapping copies repeat the pattern.
      std::size_t from = out_.size() - d;
      for (std::size_t i = 0; i < len; ++i) out_.push_back(out_[from + i]);
    }
  }

  bool fixed() {
    if (!fixedBuilt_) {
      std::array<std::uint8_t, 288> l{};
      int i = 0;
      for (; i < 144; ++i) l[i] = 8;
      for (; i < 256; ++i) l[i] = 9;
      for (; i < 280; ++i) l[i] = 7;
      for (; i < 288; ++i) l[i] = 8;
      build(fixedLit_, l.data(), 288);
      for (i = 0; i < 30; ++i) l[i] = 5;
      build(fixedDist_, l.data(), 30);
      fixedBuilt_ = true;
    }
    return codes(fixedLit_, fixedDist_);
  }

  bool dynamic() {
    int hlit = 0, hdist = 0, hclen = 0;
    if (!bits(5, hlit) || !bits(5, hdist) || !bits(4, hclen)) return false;
    hlit += 257;
    hdist += 1;
    hclen += 4;
    if (hlit > kMaxLitLen || hdist > kMaxDist) return false;

    std::array<std::uint8_t, 320> lengths{};
    for (int i = 0; i < hclen; ++i) {
      int v = 0;
      if (!bits(3, v)) return false;
      lengths[kCodeLengthOrder[i]] = static_cast<std::uint8_t>(v);
    }
    Huffman lencode;
    if (build(lencode, lengths.data(), 19) != 0) return false;

    lengths.fill(0);
    int index = 0;
    while (index < hlit + hdist) {
      int sym = decode(lencode);
      if (sym < 0) return false;
      if (sym < 16) {
        lengths[index++] = static_cast<std::uint8_t>(sym);
        continue;
      }
      int repeat = 0, value = 0;
      if (sym == 16) {
        if (index == 0) return false;
        value = lengths[index - 1];
        if (!bits(2, repeat)) return false;
        repeat += 3;
      } else if (sym == 17) {
        if (!bits(3, repeat)) return false;
        repeat += 3;
      } else {
        if (!bits(7, repeat)) return false;
        repeat += 11;
      }
      if (index + repeat > hlit + hdist) return false;
      while (repeat--) lengths[index++] = static_cast<std::uint8_t>(value);
    }
    if (lengths[256] == 0) return false;

    Huffman lit, dist;
    int err = build(lit, lengths.data(), hlit);
    if (err < 0 || (err > 0 && hlit - lit.count[0] != 1)) return false;
    err = build(dist, lengths.data() + hlit, hdist);
    if (err < 0 || (err > 0 && hdist - dist.count[0] != 1)) return false;
    return codes(lit, dist);
  }

  const std::uint8_t* in_;
  std::size_t size_;
  std::size_t pos_ = 0;
  std::uint32_t bitBuf_ = 0;
  int bitCount_ = 0;
  std::vector<std::uint8_t>& out_;
  std::size_t limit_;
  bool fixedBuilt_ = false;
  Huffman fixedLit_, fixedDist_;
};

}  // namespace

bool inflate(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out,
             std::size_t limit) {
  if (data == nullptr || size == 0) return false;
  std::size_t start = 0;
  if (size >= 2 && (data[0] & 0x0f) == 8 && ((data[0] << 8) | data[1]) % 31 == 0) start = 2;
  out.reserve(out.size() + std::min(size * 4, limit));
  Decoder d(data, size, out, limit);
  return d.run(start);
}

}  // namespace pdfink
