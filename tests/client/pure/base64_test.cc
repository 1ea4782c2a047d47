#include "client/base64.h"

#include <chrono>
#include <random>
#include <string>

#include <gtest/gtest.h>

namespace {

// RFC 4648 section 10.
const std::pair<std::string, std::string> kRfcVectors[] = {
    {"", ""},          {"f", "Zg=="},         {"fo", "Zm8="},       {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
};

TEST(Base64, RfcVectors) {
  for (const auto& [plain, encoded] : kRfcVectors) {
    EXPECT_EQ(Base64Encode(plain), encoded);
    std::string out = "stale";
    ASSERT_TRUE(Base64Decode(encoded, &out)) << encoded;
    EXPECT_EQ(out, plain);
  }
}

TEST(Base64, EncodesHighBytesAndAuthorizationValue) {
  EXPECT_EQ(Base64Encode(std::string("\xfb\xff\xbf", 3)), "+/+/");
  EXPECT_EQ("Basic " + Base64Encode("Aladdin:open sesame"), "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
}

TEST(Base64, DecodeEdgeCases) {
  struct Case {
    const char* in;
    bool ok;
    const char* out;
  };
  const Case cases[] = {
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

TEST(Base64, RandomRoundTrip) {
  std::mt19937 rng(7);
  for (size_t n = 0; n < 300; ++n) {
    std::string data(n, '\0');
    for (auto& ch : data) ch = static_cast<char>(rng());
    const std::string enc = Base64Encode(data);
    ASSERT_EQ(enc.size(), (n + 2) / 3 * 4);
    std::string dec;
    ASSERT_TRUE(Base64Decode(enc, &dec));
    ASSERT_EQ(dec, data) << n;
  }
}

// Screenshot-sized input: must stay far below a human-noticeable delay.
TEST(Base64, MultiMegabyteDecode) {
  std::mt19937 rng(11);
  std::string data(12 * 1024 * 1024 + 1, '\0');
  for (auto& ch : data) ch = static_cast<char>(rng());
  std::string dec;
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(Base64Decode(Base64Encode(data), &dec));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));  // catches a quadratic slip
  EXPECT_TRUE(dec == data);
}

}  // namespace
