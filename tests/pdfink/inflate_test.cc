#include "pdfink/inflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes zlibDeflate(const Bytes& in, int level, int windowBits, int strategy = Z_DEFAULT_STRATEGY) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, windowBits, 8, strategy), Z_OK);
  Bytes out(deflateBound(&z, in.size()) + 16);
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

Bytes zlibInflate(const Bytes& in, int windowBits, std::size_t expectedSize) {
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, windowBits), Z_OK);
  Bytes out(expectedSize + 1);
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(::inflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  inflateEnd(&z);
  return out;
}

enum Kind { kRandom, kRuns, kContent, kMixed };

// Incompressible bytes, long runs, content-stream-like text, or a mix.
Bytes generate(int kind, std::size_t size, std::uint32_t seed) {
  static const std::string words[] = {"the ", "ink ", "page ", "0 0 1 rg ", "BT ", "/F1 12 Tf ",
                                      "(Hello) Tj ", "ET\n", "q 1 0 0 -1 0 792 cm ", "re f\n"};
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < size) {
    if (kind == kRandom) {
      out.push_back(static_cast<std::uint8_t>(rng()));
    } else if (kind == kRuns) {
      out.insert(out.end(), 1 + rng() % 600, static_cast<std::uint8_t>(rng() % 4));
    } else if (kind == kContent) {
      std::string w = words[rng() % 10] + (rng() % 4 ? "" : std::to_string(rng() % 10000 / 10.0) + " ");
      out.insert(out.end(), w.begin(), w.end());
    } else {
      Bytes part = generate(static_cast<int>(rng() % 3), 1 + rng() % 3000, rng());
      out.insert(out.end(), part.begin(), part.end());
    }
  }
  out.resize(size);
  return out;
}

TEST(Inflate, AgreesWithZlibOnStoredFixedAndDynamicBlocks) {
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
  int cases = 0;
  std::uint32_t seed = 1;
  for (int kind = kRandom; kind <= kMixed; ++kind) {
    for (std::size_t size : {0, 1, 300, 5000, 70000}) {
      Bytes original = generate(kind, size, seed++);
      for (int level = 0; level <= 9; ++level) {
        for (int strategy : strategies) {
          if (level == 0 && strategy != Z_DEFAULT_STRATEGY) continue;  // stored whatever the strategy
          for (int windowBits : {15, -15}) {
            SCOPED_TRACE(::testing::Message() << "kind " << kind << " size " << size << " level " << level
                                              << " strategy " << strategy << " wbits " << windowBits);
            Bytes packed = zlibDeflate(original, level, windowBits, strategy);
            Bytes mine;
            ASSERT_TRUE(pdfink::inflate(packed.data(), packed.size(), mine));
            ASSERT_EQ(mine, zlibInflate(packed, windowBits, size));
            ++cases;
          }
        }
      }
    }
  }
  EXPECT_GT(cases, 1000);
}

TEST(Inflate, TruncatedInputFailsKeepingAPrefix) {
  for (int windowBits : {15, -15}) {
    for (int level : {0, 1, 6, 9}) {
      SCOPED_TRACE(::testing::Message() << "level " << level << " wbits " << windowBits);
      Bytes original = generate(kContent, 200000, 7 + level);
      Bytes packed = zlibDeflate(original, level, windowBits);
      // A zlib stream is complete before its four-byte checksum.
      std::size_t complete = packed.size() - (windowBits > 0 ? 4 : 0);
      for (std::size_t cut : {std::size_t{1}, std::size_t{3}, packed.size() / 3, packed.size() / 2, complete - 1}) {
        Bytes out;
        EXPECT_FALSE(pdfink::inflate(packed.data(), cut, out)) << "cut " << cut;
        ASSERT_LE(out.size(), original.size());
        EXPECT_TRUE(std::equal(out.begin(), out.end(), original.begin())) << "cut " << cut;
        if (cut > packed.size() / 3) EXPECT_GT(out.size(), 0u) << "cut " << cut;
      }
      // Output is appended; neither the checksum nor trailing bytes matter.
      Bytes out = {'x'};
      EXPECT_TRUE(pdfink::inflate(packed.data(), complete, out));
      packed.insert(packed.end(), {'j', 'u', 'n', 'k'});
      EXPECT_TRUE(pdfink::inflate(packed.data(), packed.size(), out));
      Bytes expected = {'x'};
      for (int i = 0; i < 2; ++i) expected.insert(expected.end(), original.begin(), original.end());
      EXPECT_TRUE(out == expected);
    }
  }
  Bytes out;
  EXPECT_FALSE(pdfink::inflate(nullptr, 0, out));
}

TEST(Inflate, StopsAtTheOutputLimit) {
  Bytes packed = zlibDeflate(Bytes(pdfink::kInflateOutputLimit + (1 << 20), 0), 9, -15);
  Bytes out;
  EXPECT_FALSE(pdfink::inflate(packed.data(), packed.size(), out));
  EXPECT_GE(out.size(), pdfink::kInflateOutputLimit);
  EXPECT_LE(out.size(), pdfink::kInflateOutputLimit + 258);
}

// Hand-made streams: fields LSB first, Huffman codes MSB first.
class BitWriter {
 public:
  BitWriter(unsigned final, unsigned type) { bits(final, 1).bits(type, 2); }
  BitWriter& bits(unsigned value, int n) {
    for (int i = 0; i < n; ++i) push((value >> i) & 1u);
    return *this;
  }
  BitWriter& code(unsigned code, int len) {
    for (int i = len - 1; i >= 0; --i) push((code >> i) & 1u);
    return *this;
  }
  BitWriter& fixed(unsigned sym) {  // literal/length symbol of the fixed table
    if (sym < 144) return code(0x30 + sym, 8);
    if (sym < 256) return code(0x190 + sym - 144, 9);
    if (sym < 280) return code(sym - 256, 7);
    return code(0xc0 + sym - 280, 8);
  }
  BitWriter& raw(std::initializer_list<std::uint8_t> b) {
    n_ = (n_ + 7) / 8 * 8;
    out_.insert(out_.end(), b);
    n_ += 8 * static_cast<int>(b.size());
    return *this;
  }
  operator Bytes() const { return out_; }

 private:
  void push(unsigned bit) {
    if (n_ % 8 == 0) out_.push_back(0);
    out_.back() |= static_cast<std::uint8_t>(bit << (n_++ % 8));
  }
  Bytes out_;
  int n_ = 0;
};

// Dynamic header whose code-length code gives symbols a < b one bit each.
BitWriter dynamicHeader(int a, int b) {
  static const int order[] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  BitWriter w(1, 2);
  w.bits(0, 5).bits(0, 5).bits(19 - 4, 4);  // 257 literal/length codes, 1 distance code
  for (int sym : order) w.bits(sym == a || sym == b ? 1 : 0, 3);
  return w;
}

TEST(Inflate, HandMadeStreams) {
  struct Case {
    const char* name;
    Bytes input;
    bool ok;
    std::string output;
  };
  const Case cases[] = {
      {"stored block", BitWriter(1, 0).raw({3, 0, 0xfc, 0xff, 'a', 'b', 'c'}), true, "abc"},
      {"stored NLEN mismatch", BitWriter(1, 0).raw({3, 0, 0, 0, 'a', 'b', 'c'}), false, ""},
      {"partial output kept", BitWriter(0, 0).raw({2, 0, 0xfd, 0xff, 'o', 'k'}).bits(1, 1).bits(3, 2), false, "ok"},
      {"block type 3", BitWriter(1, 3), false, ""},
      {"distance 1 length 258", BitWriter(1, 1).fixed('a').fixed(285).code(0, 5).fixed(256), true,
       std::string(259, 'a')},
      {"distance beyond output", BitWriter(1, 1).fixed('a').fixed(257).code(1, 5), false, "a"},
      {"length symbol 286", BitWriter(1, 1).fixed('z').fixed(286), false, "z"},
      {"distance symbol 30", BitWriter(1, 1).fixed('z').fixed(257).code(30, 5), false, "z"},
      {"HLIT above 286", BitWriter(1, 2).bits(30, 5).bits(0, 5).bits(0, 4), false, ""},
      {"HDIST above 30", BitWriter(1, 2).bits(0, 5).bits(30, 5).bits(0, 4), false, ""},
      {"incomplete code-length code", BitWriter(1, 2).bits(0, 14).bits(1, 3).bits(0, 9), false, ""},
      {"repeat with no previous length", dynamicHeader(0, 16).code(1, 1).bits(0, 2), false, ""},
      {"zero repeat past the lengths", dynamicHeader(0, 18).code(1, 1).bits(127, 7).code(1, 1).bits(127, 7),
       false, ""},
      {"end-of-block code missing", dynamicHeader(0, 18).code(1, 1).bits(127, 7).code(1, 1).bits(109, 7),
       false, ""},
  };
  for (const auto& c : cases) {
    Bytes out;
    EXPECT_EQ(pdfink::inflate(c.input.data(), c.input.size(), out), c.ok) << c.name;
    EXPECT_EQ(std::string(out.begin(), out.end()), c.output) << c.name;
  }
}

}  // namespace
