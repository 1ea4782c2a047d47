#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

#include "config/aes.h"
#include "config/payload.h"
#include "test_util.h"

namespace {

std::string Hex(const std::string& s) {
  std::string out;
  for (unsigned char c : s) out += std::string{"0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
  return out;
}
std::string Unhex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}
uint8_t* U(std::string& s) { return reinterpret_cast<uint8_t*>(s.data()); }
const uint8_t* U(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string ErrorOf(const std::function<void()>& f) try {
  f();
  return "no exception";
} catch (const std::runtime_error& e) {
  return e.what();
}

// Published vectors, without openssl (data/aes_vectors.tsv: key, IV, plaintext,
// ciphertext): FIPS 197 C.3 (one block, so a zero IV makes CBC the bare
// cipher) and SP 800-38A F.2.5/F.2.6 (CBC, two blocks).
TEST(Aes256, PublishedVectorsAndPartialBlocks) {
  std::istringstream in(cfgtest::ReadFile(HVN_CONFIG_TEST_DATA "/aes_vectors.tsv"));
  Aes256Schedule ks;
  int rows = 0;
  for (std::string key, iv, plain, cipher; std::getline(in, key, '\t') && std::getline(in, iv, '\t');) {
    std::getline(std::getline(in, plain, '\t'), cipher);
    ++rows;
    Aes256ExpandKey(U(Unhex(key)), ks);
    std::string buf = Unhex(plain);
    AesCbcEncrypt(U(buf), buf.size(), ks, U(Unhex(iv)));
    EXPECT_EQ(Hex(buf), cipher);
    AesCbcDecrypt(U(buf), buf.size(), ks, U(Unhex(iv)));
    EXPECT_EQ(Hex(buf), plain);
  }
  EXPECT_EQ(rows, 2);
  // A partial block throws and leaves the buffer untouched.
  for (size_t len : {1u, 15u, 17u}) {
    for (auto op : {AesCbcEncrypt, AesCbcDecrypt}) {
      std::string part(len, '\xAB');
      EXPECT_EQ(ErrorOf([&] { op(U(part), len, ks, U(std::string(16, '\0'))); }), "AES CBC: length not a multiple of 16");
      EXPECT_EQ(part, std::string(len, '\xAB'));
    }
  }
}

// A host sets the key as four 64-bit constants; the byte order is part of
// the contract with payloads it made elsewhere.
TEST(Payload, KeyByteOrderAndFailures) {
  const unsigned long long parts[4] = {HVN_TEST_KEY_0, HVN_TEST_KEY_1, HVN_TEST_KEY_2, HVN_TEST_KEY_3};
  const auto key = PayloadKeyBytes();
  for (int b = 0; b < 32; ++b) EXPECT_EQ(key[b], static_cast<uint8_t>(parts[b / 8] >> (8 * (b % 8)))) << b;

  Aes256Schedule ks;
  Aes256ExpandKey(key.data(), ks);
  const std::string iv("\x09\x08\x07\x06\x05\x04\x03\x02\x01\x00\x01\x02\x03\x04\x05\x06", 16);
  // Encrypts already padded blocks, so that any padding byte can be placed.
  auto raw = [&](std::string padded) {
    AesCbcEncrypt(U(padded), padded.size(), ks, U(iv));
    return iv + padded;
  };
  const std::pair<std::string, const char*> cases[] = {
      {"", "Encrypted data has invalid length"},
      {std::string(16, 'a'), "Encrypted data has invalid length"},
      {std::string(40, 'a'), "Encrypted data has invalid length"},
      {raw(std::string(15, 'x') + '\0'), "Invalid PKCS7 padding"},
      {raw(std::string(15, 'x') + '\x11'), "Invalid PKCS7 padding"},
      {raw(std::string(31, 'x') + '\xff'), "Invalid PKCS7 padding"},
  };
  for (const auto& [payload, error] : cases) EXPECT_EQ(ErrorOf([&] { DecryptPayload(payload); }), error) << payload.size();
  // Only the last byte is checked: sixteen bytes go although the others are not 0x10.
  EXPECT_EQ(DecryptPayload(raw("0123456789abcdef" + std::string(15, 'z') + '\x10')), "0123456789abcdef");
  EXPECT_EQ(ErrorOf([] { EncryptPayloadFrom("x", "/nonexistent/random"); }), "Cannot open /dev/urandom");
  EXPECT_EQ(ErrorOf([] { EncryptPayloadFrom("x", "/dev/null"); }), "Short read from /dev/urandom");
}

// The reference implementation vouches for the cipher both ways; each
// payload is its own IV and whole blocks of padded text.
TEST(PayloadOpenssl, InteroperatesBothWays) {
  if (std::system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "openssl not installed";
  cfgtest::TempDir dir;
  const auto key = PayloadKeyBytes();
  const std::string pt = dir.File("pt.bin"), ct = dir.File("ct.bin");
  const std::string cipher = " -aes-256-cbc -K " + Hex(std::string(key.begin(), key.end())) + " -iv ";
  const std::string iv = "\x10\x32\x54\x76\x98\xba\xdc\xfe\x01\x23\x45\x67\x89\xab\xcd\xef";
  for (size_t len : {0u, 5u, 16u, 77u, 1000u}) {
    std::string plain;
    for (size_t i = 0; i < len; ++i) plain.push_back(static_cast<char>(i * 13));
    const std::string payload = EncryptPayload(plain);
    EXPECT_EQ(payload.size(), 16 + (len / 16 + 1) * 16) << len;
    EXPECT_NE(EncryptPayload(plain).substr(0, 16), payload.substr(0, 16)) << len;
    cfgtest::WriteFile(ct, payload.substr(16));
    std::string cmd = "openssl enc -d" + cipher + Hex(payload.substr(0, 16)) + " -in " + ct + " -out " + pt;
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    EXPECT_EQ(cfgtest::ReadFile(pt), plain) << len;

    cfgtest::WriteFile(pt, plain);
    cmd = "openssl enc" + cipher + Hex(iv) + " -in " + pt + " -out " + ct;
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    EXPECT_EQ(DecryptPayload(iv + cfgtest::ReadFile(ct)), plain) << len;
  }
}

}  // namespace
