#include "client/text_escape.h"

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
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"a\"b back\\slash", "a\\\"b back\\\\slash"},
      {"\r\n\t", "\\r\\n\\t"},
      // No \b or \f shortcuts: every other control gets \u.
      {"\b\f\v\x01\x1f", "\\u0008\\u000c\\u000b\\u0001\\u001f"},
      {"nul\0end"s, "nul\\u0000end"},
      // Left alone: slash, DEL, single quote, '<', and every byte >= 0x80
      // (invalid UTF-8 included, carried through rather than repaired).
      {"a/b\x7f'<\\/script>", "a/b\x7f'<\\\\/script>"},
      {"caf\xc3\xa9 \xe2\x80\xa8 \xf0\x9f\x98\x80 \xff\xfe", "caf\xc3\xa9 \xe2\x80\xa8 \xf0\x9f\x98\x80 \xff\xfe"},
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

}  // namespace
