#include "client/base64.h"

#include <chrono>
#include <random>
#include <string>

#include <gtest/gtest.h>

namespace {

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
