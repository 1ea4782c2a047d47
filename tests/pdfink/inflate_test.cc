// The deflate decoder against zlib on generated data, damaged streams and
// the output limit.
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
  deflateInit2(&z, level, Z_DEFLATED, windowBits, 8, strategy);
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

// zlib's verdict on a raw stream, what it wrote before stopping, and why.
bool zlibInflate(const Bytes& in, Bytes& out, std::string& why) {
  z_stream z{};
  inflateInit2(&z, -15);
  out.assign(1 << 20, 0);
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  bool ok = ::inflate(&z, Z_FINISH) == Z_STREAM_END;
  why = z.msg ? z.msg : "";
  out.resize(z.total_out);
  inflateEnd(&z);
  return ok;
}

// Incompressible bytes (kind 0), long runs (1), content-stream-like text (2), or a mix (3).
Bytes generate(int kind, std::size_t size, std::uint32_t seed) {
  static const std::string words[] = {"the ", "ink ", "page ", "0 0 1 rg ", "BT ", "/F1 12 Tf ",
                                      "(Hello) Tj ", "ET\n", "q 1 0 0 -1 0 792 cm ", "re f\n"};
  std::mt19937 rng(seed);
  Bytes out;
  auto append = [&out](const auto& part) { out.insert(out.end(), part.begin(), part.end()); };
  while (out.size() < size) {
    if (kind == 0) out.push_back(static_cast<std::uint8_t>(rng()));
    if (kind == 1) out.insert(out.end(), 1 + rng() % 600, static_cast<std::uint8_t>(rng() % 4));
    if (kind == 2) append(words[rng() % 10] + (rng() % 4 ? "" : std::to_string(rng() % 10000 / 10.0) + " "));
    if (kind == 3) append(generate(static_cast<int>(rng() % 3), 1 + rng() % 3000, rng()));
  }
  out.resize(size);
  return out;
}

TEST(Inflate, AgreesWithZlibOnStoredFixedAndDynamicBlocks) {
  std::uint32_t seed = 1;
  for (int kind = 0; kind <= 3; ++kind) {
    for (std::size_t size : {0, 1, 300, 5000, 70000}) {
      Bytes original = generate(kind, size, seed++);
      for (int level = 0; level <= 9; ++level) {
        for (int strategy : {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED}) {
          if (level == 0 && strategy != Z_DEFAULT_STRATEGY) continue;  // stored whatever the strategy
          for (int windowBits : {15, -15}) {  // zlib header or raw
            Bytes packed = zlibDeflate(original, level, windowBits, strategy), mine;
            ASSERT_TRUE(pdfink::inflate(packed.data(), packed.size(), mine));
            ASSERT_EQ(mine, original) << kind << " " << size << " " << level << " " << strategy << " " << windowBits;
          }
        }
      }
    }
  }
  // Output is appended; neither the checksum nor trailing bytes matter.
  Bytes original = generate(2, 5000, 7), packed = zlibDeflate(original, 6, 15), out = {'x'}, expected = {'x'};
  EXPECT_TRUE(pdfink::inflate(packed.data(), packed.size() - 4, out));
  packed.insert(packed.end(), {'j', 'u', 'n', 'k'});
  EXPECT_TRUE(pdfink::inflate(packed.data(), packed.size(), out));
  for (int i = 0; i < 2; ++i) expected.insert(expected.end(), original.begin(), original.end());
  EXPECT_TRUE(out == expected);
  EXPECT_FALSE(pdfink::inflate(nullptr, 0, out));
  // Five bits can declare 32 distance codes; zlib refuses more than 30 even unused.
  const Bytes distances31 = {0x05, 0xde, 0x21, 0x09, 0, 0, 0, 0, 0xa0, 0xad, 0xfe, 0x3f, 0xa1, 0x2e, 0x11};  // "a"
  EXPECT_FALSE(pdfink::inflate(distances31.data(), distances31.size(), out));
}

// Flipped bits and cuts fail where zlib fails, keeping what zlib decoded
// before the damage.
TEST(Inflate, DamagedStreamsFailLikeZlib) {
  std::mt19937 rng(23);
  int failures = 0;
  for (int strategy : {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY}) {
    for (int level : {0, 6}) {
      Bytes packed = zlibDeflate(generate(2, 600, strategy + level), level, -15, strategy);
      for (int i = 0; i < 4000; ++i) {
        Bytes damaged = packed, mine, theirs;
        if (i % 4 == 0) damaged.resize(rng() % packed.size());
        for (int flips = i % 4 ? 1 + i % 3 : 0; flips-- > 0;) damaged[rng() % damaged.size()] ^= 1u << rng() % 8;
        if (damaged.size() >= 2 && (damaged[0] & 0x0f) == 8 && ((damaged[0] << 8) | damaged[1]) % 31 == 0)
          continue;  // reads as a zlib header
        std::string why;
        bool ok = zlibInflate(damaged, theirs, why);
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
}

TEST(Inflate, StopsAtTheOutputLimit) {
  // A megabyte of zeros, flushed to a byte boundary twice: the second copy
  // refers back only to zeros, so repeated it inflates past the limit.
  z_stream z{};
  deflateInit2(&z, 1, Z_DEFLATED, -15, 8, Z_RLE);
  Bytes zeros(1 << 20, 0), chunks[2], packed, out;
  for (Bytes& chunk : chunks) {
    chunk.resize(1 << 16);
    z.next_in = zeros.data();
    z.avail_in = static_cast<uInt>(zeros.size());
    z.next_out = chunk.data();
    z.avail_out = static_cast<uInt>(chunk.size());
    ASSERT_EQ(deflate(&z, Z_SYNC_FLUSH), Z_OK);
    chunk.resize(chunk.size() - z.avail_out);
  }
  deflateEnd(&z);
  packed = chunks[0];
  while (packed.size() < (pdfink::kInflateOutputLimit >> 20) * chunks[1].size() + chunks[0].size())
    packed.insert(packed.end(), chunks[1].begin(), chunks[1].end());
  out.reserve(pdfink::kInflateOutputLimit + (1 << 20));  // growth copies are no part of the check
  EXPECT_FALSE(pdfink::inflate(packed.data(), packed.size(), out));
  EXPECT_GE(out.size(), pdfink::kInflateOutputLimit);
  EXPECT_LE(out.size(), pdfink::kInflateOutputLimit + 258);
}

}  // namespace
