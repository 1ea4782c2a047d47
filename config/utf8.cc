#include "config/utf8.h"

std::u32string DecodeUtf8Lenient(const std::string& bytes) {
  std::u32string out;
  out.reserve(bytes.size());
  size_t i = 0;
  const size_t n = bytes.size();
  while (i < n) {
    const auto lead = static_cast<unsigned char>(bytes[i++]);
    char32_t cp;
    int more;
    if (lead < 0x80) {
      cp = lead;
      more = 0;
    } else if (lead < 0xE0) {
      cp = lead & 0x1F;
      more = 1;
    } else if (lead < 0xF0) {
      cp = lead & 0x0F;
      more = 2;
    } else {
      cp = lead & 0x07;
      more = 3;
    }
    for (; more > 0 && i < n; --more) cp = (cp << 6) | (static_cast<unsigned char>(bytes[i++]) & 0x3F);
    out.push_back(cp);
  }
  return out;
}

std::string ToUtf8(const std::u32string& text) {
  std::string out;
  out.reserve(text.size());
  for (char32_t cp : text) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      // Beyond 0x1FFFFF cannot come from the decoder; keep the low 21 bits.
      out.push_back(static_cast<char>(0xF0 | ((cp >> 18) & 0x07)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}
