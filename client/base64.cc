#include "client/base64.h"

#include <array>
#include <cstdint>

namespace {

constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kInvalid = 0xFF;

constexpr std::array<uint8_t, 256> MakeDecodeTable() {
  std::array<uint8_t, 256> t{};
  for (auto& v : t) v = kInvalid;
  for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<uint8_t>(i);
  return t;
}
constexpr std::array<uint8_t, 256> kDecode = MakeDecodeTable();

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.resize((bytes.size() + 2) / 3 * 4);
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t full = bytes.size() / 3 * 3;
  char* o = out.data();
  size_t i = 0;
  for (; i < full; i += 3) {
    const uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    *o++ = kAlphabet[v >> 18];
    *o++ = kAlphabet[(v >> 12) & 63];
    *o++ = kAlphabet[(v >> 6) & 63];
    *o++ = kAlphabet[v & 63];
  }
  const size_t rest = bytes.size() - full;
  if (rest > 0) {
    uint32_t v = uint32_t{in[i]} << 16;
    if (rest == 2) v |= uint32_t{in[i + 1]} << 8;
    *o++ = kAlphabet[v >> 18];
    *o++ = kAlphabet[(v >> 12) & 63];
    *o++ = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    *o++ = '=';
  }
  return out;
}

bool Base64Decode(std::string_view text, std::string* out) {
  out->clear();
  const size_t end = text.find('=');
  const size_t n = end == std::string_view::npos ? text.size() : end;
  if (n % 4 == 1) return false;

  // Screenshots arrive as several megabytes of text: size once, write
  // through a raw pointer, four characters per step.
  out->resize(n / 4 * 3 + (n % 4 == 0 ? 0 : n % 4 - 1));
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  auto* o = reinterpret_cast<unsigned char*>(out->data());
  const size_t full = n / 4 * 4;
  size_t i = 0;
  for (; i < full; i += 4) {
    const uint8_t a = kDecode[in[i]], b = kDecode[in[i + 1]], c = kDecode[in[i + 2]],
                  d = kDecode[in[i + 3]];
    if ((a | b | c | d) & 0x80) {
      out->clear();
      return false;
    }
    const uint32_t v = (uint32_t{a} << 18) | (uint32_t{b} << 12) | (uint32_t{c} << 6) | d;
    *o++ = static_cast<unsigned char>(v >> 16);
    *o++ = static_cast<unsigned char>(v >> 8);
    *o++ = static_cast<unsigned char>(v);
  }
  const size_t rest = n - full;
  if (rest > 0) {
    uint32_t v = 0;
    for (size_t k = 0; k < rest; ++k) {
      const uint8_t s = kDecode[in[i + k]];
      if (s & 0x80) {
        out->clear();
        return false;
      }
      v |= uint32_t{s} << (18 - 6 * k);
    }
    *o++ = static_cast<unsigned char>(v >> 16);
    if (rest == 3) *o++ = static_cast<unsigned char>(v >> 8);
  }
  return true;
}
