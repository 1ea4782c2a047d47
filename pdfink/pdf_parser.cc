// The object parser: one PDF value at a time from any byte buffer.
#include <cstdlib>

#include "pdfink/pdf_bytes.h"
#include "pdfink/pdf_reader.h"

namespace pdfink {
namespace {

constexpr double kMaxRefNumber = 1e9;

// Past the depth limit a value still has to be consumed so that the
// enclosing containers keep their structure; it just becomes null.
void skipValue(const std::uint8_t* buf, std::size_t size, std::size_t& pos) {
  int level = 0;
  do {
    skipWhite(buf, size, pos);
    if (pos >= size) return;
    std::uint8_t c = buf[pos];
    if (c == '[' || c == '{') {
      ++level;
      ++pos;
    } else if (c == ']' || c == '}') {
      --level;
      ++pos;
    } else if (c == '<' && pos + 1 < size && buf[pos + 1] == '<') {
      ++level;
      pos += 2;
    } else if (c == '>' && pos + 1 < size && buf[pos + 1] == '>') {
      --level;
      pos += 2;
    } else if (c == '(') {
      int paren = 0;
      for (; pos < size; ++pos) {
        if (buf[pos] == '\\') {
          ++pos;
        } else if (buf[pos] == '(') {
          ++paren;
        } else if (buf[pos] == ')' && --paren == 0) {
          ++pos;
          break;
        }
      }
    } else if (c == '<') {
      while (pos < size && buf[pos] != '>') ++pos;
      if (pos < size) ++pos;
    } else if (c == '/') {
      ++pos;
      while (pos < size && isRegular(buf[pos])) ++pos;
    } else if (isRegular(c)) {
      while (pos < size && isRegular(buf[pos])) ++pos;
    } else {
      ++pos;
    }
  } while (level > 0);
}

ObjPtr parseName(const std::uint8_t* buf, std::size_t size, std::size_t& pos) {
  auto o = makeObj(kName);
  ++pos;
  while (pos < size && isRegular(buf[pos])) {
    if (buf[pos] == '#' && pos + 2 < size && hexValue(buf[pos + 1]) >= 0 &&
        hexValue(buf[pos + 2]) >= 0) {
      o->text.push_back(static_cast<char>(hexValue(buf[pos + 1]) * 16 + hexValue(buf[pos + 2])));
      pos += 3;
    } else {
      o->text.push_back(static_cast<char>(buf[pos++]));
    }
  }
  return o;
}

ObjPtr parseLiteral(const std::uint8_t* buf, std::size_t size, std::size_t& pos) {
  auto o = makeObj(kString);
  ++pos;
  int level = 1;
  while (pos < size) {
    std::uint8_t c = buf[pos++];
    if (c == '(') {
      ++level;
      o->text.push_back('(');
    } else if (c == ')') {
      if (--level == 0) break;
      o->text.push_back(')');
    } else if (c == '\\') {
      if (pos >= size) break;
      std::uint8_t e = buf[pos++];
      switch (e) {
        case 'n': o->text.push_back('\n'); break;
        case 'r': o->text.push_back('\r'); break;
        case 't': o->text.push_back('\t'); break;
        case 'b': o->text.push_back('\b'); break;
        case 'f': o->text.push_back('\f'); break;
        case '\r':
          if (pos < size && buf[pos] == '\n') ++pos;
          break;
        case '\n': break;
        default:
          if (e >= '0' && e <= '7') {
            int v = e - '0';
            for (int i = 0; i < 2 && pos < size && buf[pos] >= '0' && buf[pos] <= '7'; ++i)
              v = v * 8 + (buf[pos++] - '0');
            o->text.push_back(static_cast<char>(v & 0xff));
          } else {
            o->text.push_back(static_cast<char>(e));
          }
      }
    } else {
      o->text.push_back(static_cast<char>(c));
    }
  }
  return o;
}

ObjPtr parseHex(const std::uint8_t* buf, std::size_t size, std::size_t& pos) {
  auto o = makeObj(kString);
  ++pos;
  int high = -1;
  while (pos < size) {
    std::uint8_t c = buf[pos++];
    if (c == '>') break;
    int v = hexValue(c);
    if (v < 0) continue;
    if (high < 0) {
      high = v;
    } else {
      o->text.push_back(static_cast<char>(high * 16 + v));
      high = -1;
    }
  }
  if (high >= 0) o->text.push_back(static_cast<char>(high * 16));
  return o;
}

}  // namespace

ObjPtr parseObject(const std::uint8_t* buf, std::size_t size, std::size_t& pos, int depth) {
  for (;;) {
    skipWhite(buf, size, pos);
    if (pos >= size) return nullptr;
    if (depth > kMaxDepth) {
      skipValue(buf, size, pos);
      return makeObj(kNull);
    }
    std::uint8_t c = buf[pos];
    if (c == '/') return parseName(buf, size, pos);
    if (c == '(') return parseLiteral(buf, size, pos);
    if (c == '<' && pos + 1 < size && buf[pos + 1] == '<') {
      pos += 2;
      auto dict = makeObj(kDictionary);
      for (;;) {
        skipWhite(buf, size, pos);
        if (pos >= size) return dict;
        if (buf[pos] == '>' && pos + 1 < size && buf[pos + 1] == '>') {
          pos += 2;
          return dict;
        }
        ObjPtr key = parseObject(buf, size, pos, depth + 1);
        if (!key) return dict;
        if (key->kind != kName) continue;
        ObjPtr value = parseValue(buf, size, pos, depth + 1);
        if (!value) return dict;
        dict->entries[key->text] = std::move(value);
      }
    }
    if (c == '<') return parseHex(buf, size, pos);
    if (c == '[') {
      ++pos;
      auto arr = makeObj(kArray);
      for (;;) {
        skipWhite(buf, size, pos);
        if (pos >= size) return arr;
        if (buf[pos] == ']') {
          ++pos;
          return arr;
        }
        ObjPtr item = parseValue(buf, size, pos, depth + 1);
        if (!item) return arr;
        arr->items.push_back(std::move(item));
      }
    }
    if (c == '+' || c == '-' || c == '.' || isDigit(c)) {
      std::size_t start = pos;
      while (pos < size && isRegular(buf[pos])) ++pos;
      std::string token(reinterpret_cast<const char*>(buf + start), pos - start);
      auto o = makeObj(kNumber);
      o->number = std::strtod(token.c_str(), nullptr);
      return o;
    }
    if (c == ')' || c == '>' || c == ']' || c == '{' || c == '}') {
      ++pos;
      continue;
    }
    std::size_t start = pos;
    while (pos < size && isRegular(buf[pos])) ++pos;
    std::string token(reinterpret_cast<const char*>(buf + start), pos - start);
    if (token == "true" || token == "false") {
      auto o = makeObj(kBoolean);
      o->boolean = token == "true";
      return o;
    }
    if (token == "null") return makeObj(kNull);
    auto o = makeObj(kKeyword);
    o->text = std::move(token);
    return o;
  }
}

ObjPtr parseValue(const std::uint8_t* buf, std::size_t size, std::size_t& pos, int depth) {
  ObjPtr first = parseObject(buf, size, pos, depth);
  if (!first || first->kind != kNumber) return first;
  const std::size_t afterFirst = pos;
  // The look-ahead reads plain tokens only: a number before a container
  // must not parse that container twice (nested, that doubles per level).
  auto nextIs = [&](bool number) {
    std::size_t p = pos;
    skipWhite(buf, size, p);
    if (p >= size) return false;
    const std::uint8_t c = buf[p];
    return number ? isDigit(c) || c == '+' || c == '-' || c == '.' : c == 'R';
  };
  if (nextIs(true)) {
    ObjPtr second = parseObject(buf, size, pos, depth);
    if (second && second->kind == kNumber && first->number >= 0 && first->number < kMaxRefNumber &&
        second->number >= 0 && second->number < kMaxRefNumber && nextIs(false)) {
      ObjPtr third = parseObject(buf, size, pos, depth);
      if (third && third->kind == kKeyword && third->text == "R") {
        auto ref = makeObj(kReference);
        ref->objectNumber = static_cast<std::int32_t>(first->number);
        ref->generation = static_cast<std::int32_t>(second->number);
        return ref;
      }
    }
  }
  pos = afterFirst;
  return first;
}

}  // namespace pdfink
