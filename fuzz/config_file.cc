// Configuration reader on arbitrary bytes: as plain JSON, as the plaintext
// of an encrypted payload (both must agree), then normalisation and
// validation of what was read.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "config/config_file.h"
#include "config/payload.h"
#include "config/validation.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Error lines always go to standard output; keep the fuzzer's view clean.
  return std::freopen("/dev/null", "w", stdout) ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  RunLog log;
  ConversionSettings plain;
  const bool okPlain = ApplyConfigurationBytes(bytes, "fuzz.json", false, plain, log);

  if (size <= 4096) {
    ConversionSettings enc;
    const bool okEnc = ApplyConfigurationBytes(EncryptPayload(bytes), "fuzz.json", true, enc, log);
    if (okEnc != okPlain) __builtin_trap();
    if (okEnc && (enc.url != plain.url || enc.scale != plain.scale || enc.paperWidth != plain.paperWidth ||
                  enc.httpRequestHeaders != plain.httpRequestHeaders ||
                  enc.clickElementsSelectors != plain.clickElementsSelectors))
      __builtin_trap();
  }

  if (okPlain) {
    plain.hostResolverRules = "MAP * ~NOTFOUND";  // host parsing without DNS traffic
    NormalizeUrl(plain, log);
    if (ValidateSettings(plain, log)) ApplyHttpCacheMode(plain, log);
  }
  return 0;
}
