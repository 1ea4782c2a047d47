#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/aes.h"
#include "config/payload.h"
#include "test_util.h"

namespace {

using cfgtest::ReadFile;
using cfgtest::TempDir;
using cfgtest::WriteFile;

std::vector<uint8_t> Hex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

std::string ToHex(const uint8_t* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s.push_back(d[p[i] >> 4]);
    s.push_back(d[p[i] & 15]);
  }
  return s;
}

std::string ToHex(const std::string& s) { return ToHex(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

Aes256Schedule Schedule(const std::string& keyHex) {
  const auto key = Hex(keyHex);
  Aes256Schedule ks;
  Aes256ExpandKey(key.data(), ks);
  return ks;
}

const char* kSpKey = "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4";
const char* kSpIv = "000102030405060708090a0b0c0d0e0f";
const char* kSpPlain =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
const char* kSpCipher =
    "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
    "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b";

TEST(Aes256, Fips197AppendixC3) {
  const auto ks = Schedule("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
  // Last round key of the expansion (FIPS 197 appendix A.3, words 56-59).
  EXPECT_EQ(ToHex(ks.bytes.data() + 224, 16), "24fc79ccbf0979e9371ac23c6d68de36");
  const auto pt = Hex("00112233445566778899aabbccddeeff");
  uint8_t ct[16], back[16];
  Aes256EncryptBlock(ks, pt.data(), ct);
  EXPECT_EQ(ToHex(ct, 16), "8ea2b7ca516745bfeafc49904b496089");
  Aes256DecryptBlock(ks, ct, back);
  EXPECT_EQ(ToHex(back, 16), "00112233445566778899aabbccddeeff");
}

TEST(Aes256, Sp80038aCbcEncryptAndDecrypt) {
  const auto ks = Schedule(kSpKey);
  const auto iv = Hex(kSpIv);
  auto buf = Hex(kSpPlain);
  AesCbcEncrypt(buf.data(), buf.size(), ks, iv.data());
  EXPECT_EQ(ToHex(buf.data(), buf.size()), kSpCipher);  // F.2.5
  AesCbcDecrypt(buf.data(), buf.size(), ks, iv.data());
  EXPECT_EQ(ToHex(buf.data(), buf.size()), kSpPlain);  // F.2.6
}

TEST(Aes256, CbcRejectsPartialBlocksWithoutTouchingTheBuffer) {
  const auto ks = Schedule(kSpKey);
  const auto iv = Hex(kSpIv);
  for (size_t len : {1u, 15u, 17u, 33u}) {
    std::vector<uint8_t> buf(len, 0xAB);
    for (auto op : {AesCbcEncrypt, AesCbcDecrypt}) {
      try {
        op(buf.data(), len, ks, iv.data());
        ADD_FAILURE() << "no exception for length " << len;
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "AES CBC: length not a multiple of 16");
      }
      EXPECT_EQ(buf, std::vector<uint8_t>(len, 0xAB));
    }
  }
}

TEST(PayloadKey, AssembledLittleEndianFromTheBuildConstants) {
  const unsigned long long parts[4] = {HVN_TEST_KEY_0, HVN_TEST_KEY_1, HVN_TEST_KEY_2, HVN_TEST_KEY_3};
  const auto key = PayloadKeyBytes();
  for (int p = 0; p < 4; ++p)
    for (int b = 0; b < 8; ++b) EXPECT_EQ(key[8 * p + b], static_cast<uint8_t>(parts[p] >> (8 * b))) << p << "," << b;
}

TEST(Payload, SizesAndRoundTrip) {
  struct Case {
    size_t plainLen;
    size_t payloadLen;
  };
  for (const Case c : {Case{0, 32}, Case{1, 32}, Case{15, 32}, Case{16, 48}, Case{17, 48}, Case{1000, 1024}}) {
    std::string plain(c.plainLen, '\0');
    for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<char>(i * 7 + 3);
    const std::string payload = EncryptPayload(plain);
    EXPECT_EQ(payload.size(), c.payloadLen) << c.plainLen;
    EXPECT_EQ(DecryptPayload(payload), plain) << c.plainLen;
  }
}

TEST(Payload, FreshIvEachTime) {
  const std::string a = EncryptPayload("{\"url\":\"x\"}");
  const std::string b = EncryptPayload("{\"url\":\"x\"}");
  EXPECT_NE(a.substr(0, 16), b.substr(0, 16));
  EXPECT_NE(a, b);
  EXPECT_EQ(DecryptPayload(a), DecryptPayload(b));
}

// Encrypts raw padded blocks under the payload key, so a test can place any
// byte in the padding position.
std::string RawPayload(const std::string& paddedPlain) {
  const auto key = PayloadKeyBytes();
  Aes256Schedule ks;
  Aes256ExpandKey(key.data(), ks);
  const uint8_t iv[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};
  std::string body = paddedPlain;
  AesCbcEncrypt(reinterpret_cast<uint8_t*>(body.data()), body.size(), ks, iv);
  return std::string(reinterpret_cast<const char*>(iv), 16) + body;
}

TEST(Payload, DecryptFailures) {
  struct Case {
    const char* name;
    std::string payload;
    const char* error;
  };
  const Case cases[] = {
      {"empty", "", "Encrypted data has invalid length"},
      {"iv only", std::string(16, 'a'), "Encrypted data has invalid length"},
      {"31 bytes", std::string(31, 'a'), "Encrypted data has invalid length"},
      {"40 bytes", std::string(40, 'a'), "Encrypted data has invalid length"},
      {"pad byte 0", RawPayload(std::string(15, 'x') + '\0'), "Invalid PKCS7 padding"},
      {"pad byte 17", RawPayload(std::string(15, 'x') + '\x11'), "Invalid PKCS7 padding"},
      {"pad byte 0xff", RawPayload(std::string(31, 'x') + '\xff'), "Invalid PKCS7 padding"},
  };
  for (const auto& c : cases) {
    try {
      DecryptPayload(c.payload);
      ADD_FAILURE() << c.name << ": no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), c.error) << c.name;
    }
  }
}

TEST(Payload, OnlyTheLastPaddingByteCounts) {
  // Sixteen bytes removed although the other padding bytes are not 0x10.
  EXPECT_EQ(DecryptPayload(RawPayload("0123456789abcdef" + std::string(15, 'z') + '\x10')), "0123456789abcdef");
  EXPECT_EQ(DecryptPayload(RawPayload("0123456789abcde\x03" + std::string(15, 'q') + '\x03')),
            std::string("0123456789abcde\x03") + std::string(13, 'q'));
}

TEST(Payload, RandomSourceFailures) {
  try {
    EncryptPayloadFrom("x", "/nonexistent/random");
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Cannot open /dev/urandom");
  }
  try {
    EncryptPayloadFrom("x", "/dev/null");
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Short read from /dev/urandom");
  }
}

// --- Interoperability with openssl (test time only) ---

bool HaveOpenssl() { return std::system("openssl version >/dev/null 2>&1") == 0; }

std::string KeyHex() {
  const auto k = PayloadKeyBytes();
  return ToHex(k.data(), k.size());
}

TEST(PayloadOpenssl, OurPayloadDecryptsWithOpenssl) {
  if (!HaveOpenssl()) GTEST_SKIP() << "openssl not installed";
  TempDir dir;
  for (size_t len : {0u, 5u, 16u, 100u}) {
    std::string plain;
    for (size_t i = 0; i < len; ++i) plain.push_back(static_cast<char>('a' + i % 26));
    const std::string payload = EncryptPayload(plain);
    WriteFile(dir.File("ct.bin"), payload.substr(16));
    const std::string cmd = "openssl enc -d -aes-256-cbc -K " + KeyHex() + " -iv " + ToHex(payload.substr(0, 16)) +
                            " -in " + dir.File("ct.bin") + " -out " + dir.File("pt.bin");
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    EXPECT_EQ(ReadFile(dir.File("pt.bin")), plain) << len;
  }
}

TEST(PayloadOpenssl, OpensslCiphertextDecryptsWithOurs) {
  if (!HaveOpenssl()) GTEST_SKIP() << "openssl not installed";
  TempDir dir;
  const std::string iv = "\x10\x32\x54\x76\x98\xba\xdc\xfe\x01\x23\x45\x67\x89\xab\xcd\xef";
  for (size_t len : {0u, 7u, 32u, 77u}) {
    std::string plain;
    for (size_t i = 0; i < len; ++i) plain.push_back(static_cast<char>(i * 13));
    WriteFile(dir.File("pt.bin"), plain);
    const std::string cmd = "openssl enc -aes-256-cbc -K " + KeyHex() + " -iv " + ToHex(iv) + " -in " +
                            dir.File("pt.bin") + " -out " + dir.File("ct.bin");
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    EXPECT_EQ(DecryptPayload(iv + ReadFile(dir.File("ct.bin"))), plain) << len;
  }
}

// --- halvern-payload tool ---

int RunTool(const std::string& args) {
  const std::string cmd = std::string(HVN_PAYLOAD_TOOL) + " " + args + " 2>/dev/null";
  const int rc = std::system(cmd.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

TEST(PayloadTool, EncryptDecryptAndFailures) {
  TempDir dir;
  const std::string plain = "{\"url\":\"https://example.com\",\"landscape\":true}";
  WriteFile(dir.File("in.json"), plain);
  ASSERT_EQ(RunTool("encrypt " + dir.File("in.json") + " " + dir.File("enc.bin")), 0);
  EXPECT_EQ(DecryptPayload(ReadFile(dir.File("enc.bin"))), plain);
  ASSERT_EQ(RunTool("decrypt " + dir.File("enc.bin") + " " + dir.File("out.json")), 0);
  EXPECT_EQ(ReadFile(dir.File("out.json")), plain);

  EXPECT_EQ(RunTool("decrypt " + dir.File("in.json") + " " + dir.File("x")), 1);  // not a payload
  EXPECT_EQ(RunTool("encrypt " + dir.File("missing") + " " + dir.File("x")), 1);
  EXPECT_EQ(RunTool("encrypt " + dir.File("in.json") + " " + dir.File("no/such/dir")), 1);
  EXPECT_EQ(RunTool("scramble " + dir.File("in.json") + " " + dir.File("x")), 1);
  EXPECT_EQ(RunTool(""), 1);
}

}  // namespace
