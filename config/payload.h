// Encrypted payload: 16-byte random IV followed by AES-256-CBC ciphertext
// with PKCS#7 padding, under the key built into this program. Used for the
// configuration file and the output JSON when a data directory is given.
#pragma once

#include <array>
#include <cstdint>
#include <string>

// Both throw std::runtime_error; the callers add their own prefix.
//   EncryptPayload: "Cannot open /dev/urandom", "Short read from /dev/urandom"
//   DecryptPayload: "Encrypted data has invalid length", "Invalid PKCS7 padding"
std::string EncryptPayload(const std::string& plaintext);
std::string DecryptPayload(const std::string& payload);

// Same as EncryptPayload with another random source (tests use it to reach
// the two failure paths).
std::string EncryptPayloadFrom(const std::string& plaintext, const char* randomSourcePath);

// The payload key as 32 bytes, for tests and tools that talk to openssl.
std::array<uint8_t, 32> PayloadKeyBytes();
