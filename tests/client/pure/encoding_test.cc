// Text the client writes for the page and the host: escaping, numbers, base64.
#include "client/base64.h"
#include "client/text_escape.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using namespace std::string_literals;

// The JSON writer and the page scripts use the same rules.
TEST(TextEscape, JsonAndJsTables) {
  const std::string kFffd = "\xef\xbf\xbd";
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"a\"b back\\slash", "a\\\"b back\\\\slash"},
      {"\r\n\t", "\\r\\n\\t"},
      // No \b or \f shortcuts: every other control gets \u.
      {"\b\f\v\x01\x1f", "\\u0008\\u000c\\u000b\\u0001\\u001f"},
      {"nul\0end"s, "nul\\u0000end"},
      // Left alone: slash, DEL, single quote, '<', and well-formed UTF-8.
      {"a/b\x7f'<\\/script>", "a/b\x7f'<\\\\/script>"},
      {"caf\xc3\xa9 \xe2\x80\xa8 \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x80\xa8 \xf0\x9f\x98\x80"},
      // Each byte that starts no sequence is replaced alone, the rest kept:
      // a Latin-1 name, stray bytes, an encoded surrogate, a sequence cut short.
      {"caf\xe9.pdf", "caf" + kFffd + ".pdf"},
      {"\xff\xfe\xed\xa0\x80\xe2\x82", kFffd + kFffd + kFffd + kFffd + kFffd + kFffd + kFffd},
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(EscapeJsonString(in), out) << "input: " << in;
    EXPECT_EQ(EscapeJsString(in), out) << "input: " << in;
  }
}

// Whatever valid UTF-8 goes in must come back unchanged through a JSON parser.
TEST(TextEscape, JsonRoundTripThroughParser) {
  std::mt19937 rng(1234);
  const std::string pieces[] = {"\"", "\\", "/", "\n", "\r", "\t", "\x01", "\x1f", "\x7f",
                                "a",  " ",  "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\0"s};
  for (int round = 0; round < 500; ++round) {
    std::string s;
    for (int i = static_cast<int>(rng() % 40); i > 0; --i) s += pieces[rng() % std::size(pieces)];
    const std::string literal = "\"" + EscapeJsonString(s) + "\"";
    EXPECT_EQ(nlohmann::json::parse(literal).get<std::string>(), s) << literal;
  }
}

// "%.6g" digits, whatever the process locale.
TEST(FormatNumber, MatchesPrintfG6) {
  std::mt19937_64 rng(99);
  std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
  std::uniform_int_distribution<int> exponent(-12, 12);
  for (int i = 0; i < 5000; ++i) {
    const double v = mantissa(rng) * std::pow(10.0, exponent(rng));
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    ASSERT_EQ(FormatNumber(v), buf) << v;
  }
  EXPECT_EQ(FormatNumber(841.89 - 72 - 500), "269.89");
  EXPECT_EQ(FormatNumber(1e6), "1e+06");
}

TEST(Base64, PublishedVectors) {
  // RFC 4648 section 10, and the two characters past the letters and digits.
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},           {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xfb\xff\xbf", "+/+/"},
  };
  for (const auto& [plain, encoded] : cases) {
    EXPECT_EQ(Base64Encode(plain), encoded);
    std::string out = "stale";
    ASSERT_TRUE(Base64Decode(encoded, &out)) << encoded;
    EXPECT_EQ(out, plain);
  }
}

TEST(Base64, DecodeEdgeCases) {
  struct Case {
    const char* in;
    bool ok;
    const char* out;
  } const cases[] = {
      {"Zm9vYg", true, "foob"},          // padding is optional
      {"Zg==trailing junk", true, "f"},  // decoding stops at the first '='
      {"=", true, ""},
      {"Zh==", true, "f"},               // unused low bits are not checked
      {"Z", false, ""},                  // lone sextet
      {"Z===", false, ""},
      {"Zm9v YmFy", false, ""},          // no whitespace
      {"Zm-_", false, ""},               // URL-safe alphabet is not ours
      {"Zm9\x80", false, ""},
      {"Zm9vYmF*", false, ""},           // bad byte in the final group
  };
  for (const auto& c : cases) {
    std::string out = "stale";
    EXPECT_EQ(Base64Decode(c.in, &out), c.ok) << c.in;
    EXPECT_EQ(out, c.out) << c.in;
  }
}

// Every length remainder and byte value, then a screenshot-sized image that
// must decode fast (catches a quadratic slip).
TEST(Base64, RandomRoundTrip) {
  std::mt19937 rng(7);
  for (size_t n : {0, 1, 2, 3, 4, 5, 64, 299, 300, 12 * 1024 * 1024 + 1}) {
    std::string data(n, '\0'), dec;
    for (auto& ch : data) ch = static_cast<char>(rng());
    const auto t0 = std::chrono::steady_clock::now();
    const std::string enc = Base64Encode(data);
    ASSERT_TRUE(Base64Decode(enc, &dec)) << n;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2)) << n;
    ASSERT_EQ(enc.size(), (n + 2) / 3 * 4);
    ASSERT_TRUE(dec == data) << n;
  }
}

}  // namespace
