#include "client/text_escape.h"

#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using namespace std::string_literals;

struct EscapeCase {
  std::string in;
  std::string out;
};

// The JSON writer and the page scripts use the same rules.
const EscapeCase kEscapeCases[] = {
    {"", ""},
    {"plain text", "plain text"},
    {"a\"b", "a\\\"b"},
    {"back\\slash", "back\\\\slash"},
    {"\r\n\t", "\\r\\n\\t"},
    // Controls without a short form in either language's strict grammar get
    // \u: no \b or \f shortcuts.
    {"\b\f\v", "\\u0008\\u000c\\u000b"},
    {"nul\0end"s, "nul\\u0000end"},
    {"\x01\x1f", "\\u0001\\u001f"},
    {"quote\" backslash\\ tab\t one\x01", "quote\\\" backslash\\\\ tab\\t one\\u0001"},
    // Left alone: slash, DEL, single quote, '<', and every byte >= 0x80 (also
    // invalid UTF-8, which is carried through rather than repaired).
    {"a/b\x7f'<\\/script>", "a/b\x7f'<\\\\/script>"},
    {"caf\xc3\xa9 \xe2\x80\xa8 \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe2\x80\xa8 \xf0\x9f\x98\x80"},
    {"\xff\xfe", "\xff\xfe"},
};

TEST(TextEscape, JsonAndJsTables) {
  for (const auto& c : kEscapeCases) {
    EXPECT_EQ(EscapeJsonString(c.in), c.out) << "input: " << c.in;
    EXPECT_EQ(EscapeJsString(c.in), c.out) << "input: " << c.in;
  }
}

// Whatever valid UTF-8 goes in must come back unchanged through a JSON parser.
TEST(TextEscape, JsonRoundTripThroughParser) {
  std::mt19937 rng(1234);
  const std::string pieces[] = {"\"", "\\", "/", "\n", "\r", "\t", "\x01", "\x1f", "\x7f",
                                "a",  " ",  "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\0"s};
  for (int round = 0; round < 500; ++round) {
    std::string s;
    const int n = static_cast<int>(rng() % 40);
    for (int i = 0; i < n; ++i) s += pieces[rng() % std::size(pieces)];
    const std::string literal = "\"" + EscapeJsonString(s) + "\"";
    EXPECT_EQ(nlohmann::json::parse(literal).get<std::string>(), s) << literal;
  }
}

TEST(FormatNumber, Table) {
  const std::pair<double, const char*> cases[] = {
      {595.28, "595.28"}, {1.0, "1"},         {-2.5, "-2.5"},          {841.89 - 72 - 500, "269.89"},
      {1e-5, "1e-05"},    {1e6, "1e+06"},     {123456.7, "123457"},    {0.0001, "0.0001"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(FormatNumber(value), text) << value;
}

// Same digits as the C library's "%.6g" in the C locale.
TEST(FormatNumber, MatchesPrintf) {
  std::mt19937_64 rng(99);
  std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
  std::uniform_int_distribution<int> exponent(-12, 12);
  for (int i = 0; i < 5000; ++i) {
    const double v = mantissa(rng) * std::pow(10.0, exponent(rng));
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    ASSERT_EQ(FormatNumber(v), buf) << v;
  }
}

}  // namespace
