#include "config/payload.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "config/aes.h"

// The key is compiled in as four 64-bit constants (a host can rebuild with
// its own through the HALVERN_PAYLOAD_KEY_* cache settings) and put together
// only when needed, so the 32 bytes never sit as one block in the binary.
#ifndef HALVERN_PAYLOAD_KEY_0
#define HALVERN_PAYLOAD_KEY_0 0x6b3f2a9158c4e7d0
#endif
#ifndef HALVERN_PAYLOAD_KEY_1
#define HALVERN_PAYLOAD_KEY_1 0x1e85d6c2f0a74b39
#endif
#ifndef HALVERN_PAYLOAD_KEY_2
#define HALVERN_PAYLOAD_KEY_2 0xa4097ce3b15d628f
#endif
#ifndef HALVERN_PAYLOAD_KEY_3
#define HALVERN_PAYLOAD_KEY_3 0x57d21b8e3c6f90a4
#endif

namespace {

std::array<uint8_t, 32> BuildKey() {
  const uint64_t parts[4] = {
      static_cast<uint64_t>(HALVERN_PAYLOAD_KEY_0), static_cast<uint64_t>(HALVERN_PAYLOAD_KEY_1),
      static_cast<uint64_t>(HALVERN_PAYLOAD_KEY_2), static_cast<uint64_t>(HALVERN_PAYLOAD_KEY_3)};
  std::array<uint8_t, 32> key{};
  for (int p = 0; p < 4; ++p)
    for (int b = 0; b < 8; ++b) key[8 * p + b] = static_cast<uint8_t>(parts[p] >> (8 * b));
  return key;
}

void Wipe(void* p, size_t n) {
  volatile uint8_t* v = static_cast<volatile uint8_t*>(p);
  while (n--) *v++ = 0;
}

Aes256Schedule BuildSchedule() {
  std::array<uint8_t, 32> key = BuildKey();
  Aes256Schedule ks;
  Aes256ExpandKey(key.data(), ks);
  Wipe(key.data(), key.size());
  return ks;
}

}  // namespace

std::array<uint8_t, 32> PayloadKeyBytes() { return BuildKey(); }

std::string EncryptPayloadFrom(const std::string& plaintext, const char* randomSourcePath) {
  Aes256Schedule ks = BuildSchedule();

  uint8_t iv[kAesBlockSize];
  std::FILE* f = std::fopen(randomSourcePath, "rb");
  if (!f) throw std::runtime_error("Cannot open /dev/urandom");
  const size_t got = std::fread(iv, 1, sizeof iv, f);
  std::fclose(f);
  if (got != sizeof iv) throw std::runtime_error("Short read from /dev/urandom");

  const size_t pad = kAesBlockSize - plaintext.size() % kAesBlockSize;
  std::string out;
  out.reserve(kAesBlockSize + plaintext.size() + pad);
  out.append(reinterpret_cast<const char*>(iv), sizeof iv);
  out.append(plaintext);
  out.append(pad, static_cast<char>(pad));

  auto* body = reinterpret_cast<uint8_t*>(out.data()) + kAesBlockSize;
  AesCbcEncrypt(body, out.size() - kAesBlockSize, ks, iv);
  Wipe(ks.bytes.data(), ks.bytes.size());
  return out;
}

std::string EncryptPayload(const std::string& plaintext) {
  return EncryptPayloadFrom(plaintext, "/dev/urandom");
}

std::string DecryptPayload(const std::string& payload) {
  if (payload.size() < 2 * kAesBlockSize || payload.size() % kAesBlockSize != 0)
    throw std::runtime_error("Encrypted data has invalid length");

  Aes256Schedule ks = BuildSchedule();
  uint8_t iv[kAesBlockSize];
  std::memcpy(iv, payload.data(), sizeof iv);
  std::string plain = payload.substr(kAesBlockSize);
  AesCbcDecrypt(reinterpret_cast<uint8_t*>(plain.data()), plain.size(), ks, iv);
  Wipe(ks.bytes.data(), ks.bytes.size());

  // Only the last byte is checked: the format has no authentication, so a
  // stricter check would not make a tampered payload any safer.
  const size_t pad = static_cast<uint8_t>(plain.back());
  if (pad < 1 || pad > kAesBlockSize || pad > plain.size())
    throw std::runtime_error("Invalid PKCS7 padding");
  plain.resize(plain.size() - pad);
  return plain;
}
