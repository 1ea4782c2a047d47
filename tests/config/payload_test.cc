#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "config/aes.h"
#include "config/payload.h"
#include "test_util.h"

namespace {

using cfgtest::ReadFile;
using cfgtest::TempDir;
using cfgtest::WriteFile;

std::string ToHex(const uint8_t* p, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += std::string{"0123456789abcdef"[p[i] >> 4], "0123456789abcdef"[p[i] & 15]};
  return s;
}
std::string ToHex(const std::string& s) { return ToHex(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

template <typename F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no exception";
}

// Published vectors, without openssl: FIPS 197 C.3 (one block, so a zero IV
// makes CBC the bare cipher) and SP 800-38A F.2.5/F.2.6 (CBC, two blocks).
TEST(Aes256, PublishedVectors) {
  auto bytes = [](const std::string& hex) {
    std::vector<uint8_t> v;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) v.push_back(std::stoul(hex.substr(i, 2), nullptr, 16));
    return v;
  };
  struct Row { std::string key, iv, plain, cipher; };
  for (const Row& r : {Row{"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", std::string(32, '0'),
                           "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
                       Row{"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
                           "000102030405060708090a0b0c0d0e0f",
                           "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51",
                           "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"}}) {
    Aes256Schedule ks;
    Aes256ExpandKey(bytes(r.key).data(), ks);
    auto buf = bytes(r.plain);
    AesCbcEncrypt(buf.data(), buf.size(), ks, bytes(r.iv).data());
    EXPECT_EQ(ToHex(buf.data(), buf.size()), r.cipher);
    AesCbcDecrypt(buf.data(), buf.size(), ks, bytes(r.iv).data());
    EXPECT_EQ(ToHex(buf.data(), buf.size()), r.plain);
  }
}

// A host sets the key as four 64-bit constants; the byte order is part of
// the contract with payloads it made elsewhere.
TEST(PayloadKey, AssembledLittleEndianFromTheBuildConstants) {
  const unsigned long long parts[4] = {HVN_TEST_KEY_0, HVN_TEST_KEY_1, HVN_TEST_KEY_2, HVN_TEST_KEY_3};
  const auto key = PayloadKeyBytes();
  for (int b = 0; b < 32; ++b) EXPECT_EQ(key[b], static_cast<uint8_t>(parts[b / 8] >> (8 * (b % 8)))) << b;
}

// Encrypts already padded blocks, so a test can place any padding byte.
std::string RawPayload(const std::string& paddedPlain) {
  Aes256Schedule ks;
  Aes256ExpandKey(PayloadKeyBytes().data(), ks);
  const uint8_t iv[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};
  std::string body = paddedPlain;
  AesCbcEncrypt(reinterpret_cast<uint8_t*>(body.data()), body.size(), ks, iv);
  return std::string(reinterpret_cast<const char*>(iv), 16) + body;
}

TEST(Payload, DecryptAndRandomSourceFailures) {
  const std::pair<std::string, const char*> cases[] = {
      {"", "Encrypted data has invalid length"},
      {std::string(16, 'a'), "Encrypted data has invalid length"},
      {std::string(40, 'a'), "Encrypted data has invalid length"},
      {RawPayload(std::string(15, 'x') + '\0'), "Invalid PKCS7 padding"},
      {RawPayload(std::string(15, 'x') + '\x11'), "Invalid PKCS7 padding"},
      {RawPayload(std::string(31, 'x') + '\xff'), "Invalid PKCS7 padding"},
  };
  for (const auto& [payload, error] : cases)
    EXPECT_EQ(ErrorOf([&] { DecryptPayload(payload); }), error) << payload.size();
  // Only the last byte is checked: sixteen bytes go although the others are not 0x10.
  EXPECT_EQ(DecryptPayload(RawPayload("0123456789abcdef" + std::string(15, 'z') + '\x10')), "0123456789abcdef");

  // A partial block throws and leaves the buffer untouched.
  Aes256Schedule ks;
  Aes256ExpandKey(PayloadKeyBytes().data(), ks);
  const uint8_t iv[16] = {};
  for (size_t len : {1u, 15u, 17u}) {
    for (auto op : {AesCbcEncrypt, AesCbcDecrypt}) {
      std::vector<uint8_t> part(len, 0xAB);
      EXPECT_EQ(ErrorOf([&] { op(part.data(), len, ks, iv); }), "AES CBC: length not a multiple of 16");
      EXPECT_EQ(part, std::vector<uint8_t>(len, 0xAB));
    }
  }

  EXPECT_EQ(ErrorOf([] { EncryptPayloadFrom("x", "/nonexistent/random"); }), "Cannot open /dev/urandom");
  EXPECT_EQ(ErrorOf([] { EncryptPayloadFrom("x", "/dev/null"); }), "Short read from /dev/urandom");
}

// The reference implementation vouches for the cipher both ways; each
// payload is its own IV and whole blocks of padded text.
TEST(PayloadOpenssl, InteroperatesBothWays) {
  if (std::system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "openssl not installed";
  TempDir dir;
  const auto key = PayloadKeyBytes();
  const std::string pt = dir.File("pt.bin"), ct = dir.File("ct.bin");
  const std::string cipher = " -aes-256-cbc -K " + ToHex(key.data(), key.size()) + " -iv ";
  const std::string iv = "\x10\x32\x54\x76\x98\xba\xdc\xfe\x01\x23\x45\x67\x89\xab\xcd\xef";
  for (size_t len : {0u, 5u, 16u, 77u, 1000u}) {
    std::string plain;
    for (size_t i = 0; i < len; ++i) plain.push_back(static_cast<char>(i * 13));
    const std::string payload = EncryptPayload(plain);
    EXPECT_EQ(payload.size(), 16 + (len / 16 + 1) * 16) << len;
    EXPECT_EQ(DecryptPayload(payload), plain) << len;
    EXPECT_NE(EncryptPayload(plain).substr(0, 16), payload.substr(0, 16)) << len;
    WriteFile(ct, payload.substr(16));
    std::string cmd = "openssl enc -d" + cipher + ToHex(payload.substr(0, 16)) + " -in " + ct + " -out " + pt;
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    EXPECT_EQ(ReadFile(pt), plain) << len;

    WriteFile(pt, plain);
    cmd = "openssl enc" + cipher + ToHex(iv) + " -in " + pt + " -out " + ct;
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    EXPECT_EQ(DecryptPayload(iv + ReadFile(ct)), plain) << len;
  }
}

}  // namespace
