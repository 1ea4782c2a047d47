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

// zlib's verdict on a stream, what it wrote before stopping, and why.
bool zlibInflate(const Bytes& in, int windowBits, std::size_t room, Bytes& out, std::string* why = nullptr) {
  z_stream z{};
  EXPECT_EQ(inflateInit2(&z, windowBits), Z_OK);
  out.assign(room + 1, 0);
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  bool ok = ::inflate(&z, Z_FINISH) == Z_STREAM_END;
  if (why) *why = z.msg ? z.msg : "";
  out.resize(z.total_out);
  inflateEnd(&z);
  return ok;
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
            Bytes packed = zlibDeflate(original, level, windowBits, strategy), mine, theirs;
            ASSERT_TRUE(pdfink::inflate(packed.data(), packed.size(), mine));
            ASSERT_TRUE(zlibInflate(packed, windowBits, size, theirs));
            ASSERT_EQ(mine, theirs);
            ++cases;
          }
        }
      }
    }
  }
  EXPECT_GT(cases, 1000);
}

// Damaged streams (flipped bits, cuts) fail where zlib fails, keeping what
// zlib decoded before the damage.
TEST(Inflate, DamagedStreamsFailLikeZlib) {
  std::mt19937 rng(23);
  int failures = 0;
  for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY}) {
    for (int level : {0, 6}) {
      Bytes original = generate(kContent, 600, strategy + level), packed = zlibDeflate(original, level, -15, strategy);
      for (int i = 0; i < 4000; ++i) {
        Bytes damaged = packed;
        if (i % 4 == 0) {
          damaged.resize(rng() % packed.size());
        } else {
          for (int flips = 1 + i % 3; flips-- > 0;) damaged[rng() % damaged.size()] ^= 1u << rng() % 8;
        }
        if (damaged.size() >= 2 && (damaged[0] & 0x0f) == 8 && ((damaged[0] << 8) | damaged[1]) % 31 == 0)
          continue;  // reads as a zlib header
        Bytes mine, theirs;
        std::string why;
        bool ok = zlibInflate(damaged, -15, 1 << 20, theirs, &why);
        // A lone code of any length is accepted here; zlib wants it one bit long.
        if (why == "invalid distances set" || why == "invalid literal/lengths set") continue;
        ASSERT_EQ(pdfink::inflate(damaged.data(), damaged.size(), mine), ok) << strategy << " " << level << " " << i;
        // A cut stored block is dropped whole, where zlib keeps its first bytes.
        if (level == 0) mine.insert(mine.end(), theirs.begin() + std::min(mine.size(), theirs.size()), theirs.end());
        ASSERT_EQ(mine, theirs) << strategy << " " << level << " " << i;
        failures += !ok;
      }
    }
  }
  EXPECT_GT(failures, 5000);
  // Output is appended; neither the checksum nor trailing bytes matter.
  Bytes original = generate(kContent, 5000, 7), packed = zlibDeflate(original, 6, 15), out = {'x'};
  EXPECT_TRUE(pdfink::inflate(packed.data(), packed.size() - 4, out));
  packed.insert(packed.end(), {'j', 'u', 'n', 'k'});
  EXPECT_TRUE(pdfink::inflate(packed.data(), packed.size(), out));
  Bytes expected = {'x'};
  for (int i = 0; i < 2; ++i) expected.insert(expected.end(), original.begin(), original.end());
  EXPECT_TRUE(out == expected);
  EXPECT_FALSE(pdfink::inflate(nullptr, 0, out));
}

TEST(Inflate, StopsAtTheOutputLimit) {
  Bytes packed = zlibDeflate(Bytes(pdfink::kInflateOutputLimit + (1 << 20), 0), 1, -15, Z_RLE);
  Bytes out;
  EXPECT_FALSE(pdfink::inflate(packed.data(), packed.size(), out));
  EXPECT_GE(out.size(), pdfink::kInflateOutputLimit);
  EXPECT_LE(out.size(), pdfink::kInflateOutputLimit + 258);
}

}  // namespace
