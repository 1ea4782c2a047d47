// Text the client writes for the page and the host: escaping and base64.
#include "client/base64.h"
#include "client/text_escape.h"

#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/config/test_util.h"

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

// Published vectors, and what the decoder forgives and refuses.
TEST(Base64, Table) {
  const auto rows = nlohmann::json::parse(cfgtest::ReadFile(HVN_PURE_TEST_DATA "/base64.json"));
  for (size_t i = 1; i < rows.size(); ++i) {
    const std::string text = rows[i][0], encoded = rows[i][1];
    std::string out = "stale";
    EXPECT_EQ(Base64Decode(encoded, &out), rows[i][2].get<bool>()) << encoded;
    EXPECT_EQ(out, rows[i][2] ? text : "") << encoded;
    if (rows[i][3]) EXPECT_EQ(Base64Encode(text), encoded);
  }
}

}  // namespace
