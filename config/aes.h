// AES-256 block cipher and CBC chaining. Byte-oriented and free of
// platform intrinsics so it behaves the same on x86-64 and ARM64.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>


inline constexpr size_t kAesBlockSize = 16;
inline constexpr size_t kAes256KeySize = 32;

// 60 round-key words (15 round keys of 16 bytes), stored as bytes.
struct Aes256Schedule {
  std::array<uint8_t, 240> bytes{};
};

void Aes256ExpandKey(const uint8_t key[kAes256KeySize], Aes256Schedule& out);

void Aes256EncryptBlock(const Aes256Schedule& ks, const uint8_t in[16], uint8_t out[16]);
void Aes256DecryptBlock(const Aes256Schedule& ks, const uint8_t in[16], uint8_t out[16]);

// In-place CBC over len bytes. Throw std::runtime_error when len is not a
// multiple of the block size (the buffer is then left untouched).
void AesCbcEncrypt(uint8_t* buf, size_t len, const Aes256Schedule& ks, const uint8_t iv[16]);
void AesCbcDecrypt(uint8_t* buf, size_t len, const Aes256Schedule& ks, const uint8_t iv[16]);

