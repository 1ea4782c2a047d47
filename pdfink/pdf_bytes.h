// Byte-level PDF syntax shared by the object parser and the file index:
// character classes, comments as white space, literal search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "pdfink/pdf_reader.h"

namespace pdfink {

// Containers nest, and page trees descend, at most this deep.
constexpr int kMaxDepth = 64;
// Cross-reference subsections: highest first object number, most entries;
// and the most objects one document indexes.
constexpr double kMaxFirstObject = 1e9;
constexpr double kMaxSubsection = 1e7;
constexpr std::size_t kMaxIndexed = 10000000;

inline bool isWhite(std::uint8_t c) {
  return c == 0 || c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}
inline bool isDelim(std::uint8_t c) {
  return c == '(' || c == ')' || c == '<' || c == '>' || c == '[' || c == ']' || c == '{' ||
         c == '}' || c == '/' || c == '%';
}
inline bool isRegular(std::uint8_t c) { return !isWhite(c) && !isDelim(c); }
inline bool isDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }
inline int hexValue(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

inline void skipWhite(const std::uint8_t* buf, std::size_t size, std::size_t& pos) {
  while (pos < size) {
    if (isWhite(buf[pos])) {
      ++pos;
    } else if (buf[pos] == '%') {
      while (pos < size && buf[pos] != '\r' && buf[pos] != '\n') ++pos;
    } else {
      break;
    }
  }
}

inline bool startsWith(const std::uint8_t* buf, std::size_t size, std::size_t pos, const char* lit) {
  std::size_t n = std::strlen(lit);
  return pos <= size && size - pos >= n && std::memcmp(buf + pos, lit, n) == 0;
}

// First-byte scan, then compare.
inline std::size_t findBytes(const std::uint8_t* buf, std::size_t size, std::size_t from, const char* lit) {
  std::size_t n = std::strlen(lit);
  while (from < size && size - from >= n) {
    const void* hit = std::memchr(buf + from, lit[0], size - from - n + 1);
    if (hit == nullptr) return std::string::npos;
    std::size_t at = static_cast<const std::uint8_t*>(hit) - buf;
    if (std::memcmp(buf + at, lit, n) == 0) return at;
    from = at + 1;
  }
  return std::string::npos;
}

inline ObjPtr makeObj(std::uint32_t kind) {
  auto o = std::make_shared<Obj>();
  o->kind = kind;
  return o;
}

}  // namespace pdfink
