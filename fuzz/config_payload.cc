// Payload decoder on arbitrary bytes: only the two documented failures may
// come out, and whatever decrypts must survive a fresh round trip.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "config/payload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string payload(reinterpret_cast<const char*>(data), size);
  std::string plain;
  try {
    plain = DecryptPayload(payload);
  } catch (const std::runtime_error& e) {
    if (std::strcmp(e.what(), "Encrypted data has invalid length") != 0 &&
        std::strcmp(e.what(), "Invalid PKCS7 padding") != 0)
      __builtin_trap();
    return 0;
  }
  if (plain.size() > payload.size() - 17) __builtin_trap();  // at least one padding byte and the IV
  if (DecryptPayload(EncryptPayload(plain)) != plain) __builtin_trap();
  return 0;
}
