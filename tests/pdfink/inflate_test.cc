#include "pdfink/inflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes deflateWithZlib(const Bytes& in, int level, int windowBits, int strategy) {
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

Bytes inflateWithZlib(const Bytes& in, int windowBits) {
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, windowBits), Z_OK);
  Bytes out;
  Bytes chunk(1 << 16);
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  int rc;
  do {
    z.next_out = chunk.data();
    z.avail_out = static_cast<uInt>(chunk.size());
    rc = ::inflate(&z, Z_NO_FLUSH);
    out.insert(out.end(), chunk.data(), chunk.data() + (chunk.size() - z.avail_out));
  } while (rc == Z_OK);
  EXPECT_EQ(rc, Z_STREAM_END);
  inflateEnd(&z);
  return out;
}

enum class Kind { Random, Text, Runs, Content, Mixed };

Bytes generate(Kind kind, std::size_t size, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out;
  out.reserve(size);
  static const char* words[] = {"the ", "ink ", "page ", "0 0 1 rg ", "BT ", "/F1 12 Tf ",
                                "(Hello) Tj ", "ET\n", "q 1 0 0 -1 0 792 cm ", "re f\n"};
  while (out.size() < size) {
    switch (kind) {
      case Kind::Random: out.push_back(static_cast<std::uint8_t>(rng())); break;
      case Kind::Text: {
        const char* w = words[rng() % 3];
        out.insert(out.end(), w, w + std::char_traits<char>::length(w));
        break;
      }
      case Kind::Runs: out.insert(out.end(), 1 + rng() % 600, static_cast<std::uint8_t>(rng() % 4)); break;
      case Kind::Content: {
        const char* w = words[rng() % 10];
        out.insert(out.end(), w, w + std::char_traits<char>::length(w));
        if (rng() % 4 == 0) {
          std::string n = std::to_string(rng() % 10000 / 10.0) + " ";
          out.insert(out.end(), n.begin(), n.end());
        }
        break;
      }
      case Kind::Mixed: {
        Bytes part = generate(static_cast<Kind>(rng() % 4), 1 + rng() % 3000, rng());
        out.insert(out.end(), part.begin(), part.end());
        break;
      }
    }
  }
  out.resize(size);
  return out;
}

struct Strategy {
  int value;
  const char* name;
};

TEST(Inflate, AgreesWithZlibAcrossLevelsStrategiesAndWrappers) {
  const Strategy strategies[] = {{Z_DEFAULT_STRATEGY, "default"},
                                 {Z_FILTERED, "filtered"},
                                 {Z_HUFFMAN_ONLY, "huffman"},
                                 {Z_RLE, "rle"},
                                 {Z_FIXED, "fixed"}};
  const std::size_t sizes[] = {0, 1, 300, 5000, 70000};
  int cases = 0;
  std::uint32_t seed = 1;
  for (int kind = 0; kind < 5; ++kind) {
    for (std::size_t size : sizes) {
      Bytes original = generate(static_cast<Kind>(kind), size, seed++);
      for (int level = 0; level <= 9; ++level) {
        for (const auto& s : strategies) {
          if (level == 0 && s.value != Z_DEFAULT_STRATEGY) continue;  // stored regardless
          for (int windowBits : {15, -15}) {
            Bytes packed = deflateWithZlib(original, level, windowBits, s.value);
            Bytes mine;
            bool ok = pdfink::inflate(packed.data(), packed.size(), mine);
            ASSERT_TRUE(ok) << "kind " << kind << " size " << size << " level " << level << " "
                            << s.name << " wbits " << windowBits;
            ASSERT_EQ(mine, inflateWithZlib(packed, windowBits))
                << "kind " << kind << " size " << size << " level " << level << " " << s.name;
            ASSERT_EQ(mine, original);
            ++cases;
          }
        }
      }
    }
  }
  EXPECT_GT(cases, 1000);
}

TEST(Inflate, LargeMixedInputAndAppendedGarbage) {
  Bytes original = generate(Kind::Mixed, 1500000, 99);
  Bytes packed = deflateWithZlib(original, 6, 15, Z_DEFAULT_STRATEGY);
  packed.insert(packed.end(), {'g', 'a', 'r', 'b', 'a', 'g', 'e'});
  Bytes out = {'x'};
  ASSERT_TRUE(pdfink::inflate(packed.data(), packed.size(), out));
  ASSERT_EQ(out.size(), original.size() + 1);  // appends, never replaces
  EXPECT_EQ(out[0], 'x');
  EXPECT_TRUE(std::equal(original.begin(), original.end(), out.begin() + 1));
}

TEST(Inflate, TruncatedInputFailsAndKeepsAPrefix) {
  for (int windowBits : {15, -15}) {
    for (int level : {0, 1, 6, 9}) {
      Bytes original = generate(Kind::Content, 200000, 7 + level);
      Bytes packed = deflateWithZlib(original, level, windowBits, Z_DEFAULT_STRATEGY);
      // A zlib stream is complete before its four-byte checksum.
      std::size_t complete = packed.size() - (windowBits > 0 ? 4 : 0);
      for (std::size_t cut : {std::size_t{1}, std::size_t{3}, packed.size() / 3, packed.size() / 2,
                              complete - 1}) {
        Bytes out;
        EXPECT_FALSE(pdfink::inflate(packed.data(), cut, out)) << "cut " << cut;
        ASSERT_LE(out.size(), original.size());
        EXPECT_TRUE(std::equal(out.begin(), out.end(), original.begin())) << "cut " << cut;
        if (cut > packed.size() / 3) EXPECT_GT(out.size(), 0u);
      }
      Bytes out;
      EXPECT_TRUE(pdfink::inflate(packed.data(), complete, out));
      EXPECT_EQ(out, original);
    }
  }
  Bytes out;
  EXPECT_FALSE(pdfink::inflate(nullptr, 0, out));
}

TEST(Inflate, StopsAtTheOutputLimit) {
  Bytes zeros(pdfink::kInflateOutputLimit + (1 << 20), 0);
  Bytes packed = deflateWithZlib(zeros, 9, -15, Z_DEFAULT_STRATEGY);
  zeros.clear();
  zeros.shrink_to_fit();
  Bytes out;
  EXPECT_FALSE(pdfink::inflate(packed.data(), packed.size(), out));
  EXPECT_GE(out.size(), pdfink::kInflateOutputLimit);
  EXPECT_LE(out.size(), pdfink::kInflateOutputLimit + 258);
}

// Hand-made streams: fields LSB first, Huffman codes MSB first.
class BitWriter {
 public:
  BitWriter& bits(unsigned value, int n) {
    for (int i = 0; i < n; ++i) push((value >> i) & 1u);
    return *this;
  }
  BitWriter& code(unsigned code, int len) {
    for (int i = len - 1; i >= 0; --i) push((code >> i) & 1u);
    return *this;
  }
  // Fixed-table literal/length symbol.
  BitWriter& fixedSymbol(unsigned sym) {
    if (sym < 144) return code(0x30 + sym, 8);
    if (sym < 256) return code(0x190 + sym - 144, 9);
    if (sym < 280) return code(sym - 256, 7);
    return code(0xc0 + sym - 280, 8);
  }
  BitWriter& raw(std::initializer_list<std::uint8_t> b) {
    while (n_ % 8) push(0);
    out_.insert(out_.end(), b);
    return *this;
  }
  Bytes done() const { return out_; }

 private:
  void push(unsigned bit) {
    if (n_ % 8 == 0) out_.push_back(0);
    out_.back() |= static_cast<std::uint8_t>(bit << (n_ % 8));
    ++n_;
  }
  Bytes out_;
  int n_ = 0;
};

// Dynamic block header whose code-length code has two codes of length 1,
// for symbols a < b (a gets code 0, b code 1).
BitWriter dynamicHeader(unsigned hlit, unsigned hdist, int a, int b) {
  static const int order[] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
  BitWriter w;
  w.bits(1, 1).bits(2, 2).bits(hlit - 257, 5).bits(hdist - 1, 5).bits(19 - 4, 4);
  for (int sym : order) w.bits(sym == a || sym == b ? 1 : 0, 3);
  return w;
}

struct HandCase {
  const char* name;
  Bytes input;
  bool ok;
  std::string output;
};

TEST(Inflate, HandMadeStreams) {
  const HandCase cases[] = {
      {"stored block", BitWriter().bits(1, 1).bits(0, 2).raw({3, 0, 0xfc, 0xff, 'a', 'b', 'c'}).done(),
       true, "abc"},
      {"stored NLEN mismatch", BitWriter().bits(1, 1).bits(0, 2).raw({3, 0, 0, 0, 'a', 'b', 'c'}).done(),
       false, ""},
      {"stored LEN past input", BitWriter().bits(1, 1).bits(0, 2).raw({9, 0, 0xf6, 0xff, 'a'}).done(),
       false, ""},
      {"partial output kept",
       BitWriter().bits(0, 1).bits(0, 2).raw({2, 0, 0xfd, 0xff, 'o', 'k'}).bits(1, 1).bits(3, 2).done(),
       false, "ok"},
      {"block type 3", BitWriter().bits(1, 1).bits(3, 2).done(), false, ""},
      {"distance 1 length 258",
       BitWriter().bits(1, 1).bits(1, 2).fixedSymbol('a').fixedSymbol(285).code(0, 5)
           .fixedSymbol(256).done(),
       true, std::string(259, 'a')},
      {"distance beyond output",
       BitWriter().bits(1, 1).bits(1, 2).fixedSymbol('a').fixedSymbol(257).code(1, 5).done(), false,
       "a"},
      {"length symbol 286", BitWriter().bits(1, 1).bits(1, 2).fixedSymbol('z').fixedSymbol(286).done(),
       false, "z"},
      {"distance symbol 30",
       BitWriter().bits(1, 1).bits(1, 2).fixedSymbol('z').fixedSymbol(257).code(30, 5).done(), false,
       "z"},
      {"missing end of block", BitWriter().bits(1, 1).bits(1, 2).fixedSymbol('q').done(), false, "q"},
      {"HLIT above 286", BitWriter().bits(1, 1).bits(2, 2).bits(30, 5).bits(0, 5).bits(0, 4).done(),
       false, ""},
      {"HDIST above 30", BitWriter().bits(1, 1).bits(2, 2).bits(0, 5).bits(30, 5).bits(0, 4).done(),
       false, ""},
      {"incomplete code-length code",
       BitWriter().bits(1, 1).bits(2, 2).bits(0, 5).bits(0, 5).bits(0, 4).bits(1, 3).bits(0, 9).done(),
       false, ""},
      {"repeat with no previous length", dynamicHeader(257, 1, 0, 16).code(1, 1).bits(0, 2).done(),
       false, ""},
      {"zero repeat past the lengths",
       dynamicHeader(257, 1, 0, 18).code(1, 1).bits(127, 7).code(1, 1).bits(127, 7).done(), false, ""},
      {"end-of-block code missing",
       dynamicHeader(257, 1, 0, 18).code(1, 1).bits(127, 7).code(1, 1).bits(109, 7).done(), false, ""},
  };
  for (const auto& c : cases) {
    Bytes out;
    EXPECT_EQ(pdfink::inflate(c.input.data(), c.input.size(), out), c.ok) << c.name;
    EXPECT_EQ(std::string(out.begin(), out.end()), c.output) << c.name;
  }
}

TEST(Inflate, ZlibHeaderIsOptional) {
  Bytes text = generate(Kind::Text, 4000, 5);
  Bytes wrapped = deflateWithZlib(text, 6, 15, Z_DEFAULT_STRATEGY);
  ASSERT_EQ(wrapped[0], 0x78);
  Bytes raw(wrapped.begin() + 2, wrapped.end() - 4);
  for (const Bytes& in : {wrapped, raw}) {
    Bytes out;
    EXPECT_TRUE(pdfink::inflate(in.data(), in.size(), out));
    EXPECT_EQ(out, text);
  }
}

}  // namespace
