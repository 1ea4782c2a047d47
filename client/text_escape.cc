#include "client/text_escape.h"

#include <cctype>
#include <charconv>
#include <system_error>

#include "config/utf8.h"

namespace {

// The JSON and JavaScript rules coincide today; both entry points share this
// so a page value and a JSON value can never drift apart by accident.
std::string EscapeQuoted(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + text.size() / 8 + 8);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const unsigned char b = static_cast<unsigned char>(c);
    if (b >= 0x80) {
      // JSON and the browser take valid UTF-8 only; a stray byte costs itself.
      size_t n = Utf8SequenceLength(text, i);
      if (n == 0) {
        out += "\xEF\xBF\xBD";
      } else {
        out.append(text, i, n);
        i += n - 1;
      }
      continue;
    }
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (b < 0x20) {
          out += "\\u00";
          out += kHex[b >> 4];
          out += kHex[b & 0xF];
        } else {
          out += c;
        }
    }
  }
  return out;
}

}  // namespace

std::string EscapeJsonString(const std::string& text) { return EscapeQuoted(text); }

std::string EscapeJsString(const std::string& text) { return EscapeQuoted(text); }

std::string FormatNumber(double value) {
  // to_chars with an explicit precision is defined as printf "%.*g" in the C
  // locale; snprintf would follow LC_NUMERIC, which the engine may change.
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 6);
  if (res.ec != std::errc()) return "0";
  return std::string(buf, res.ptr);
}

std::string MendLoneSurrogates(const std::string& json) {
  auto unit = [&json](size_t at) -> long {
    if (at + 6 > json.size() || json[at] != '\\' || json[at + 1] != 'u') return -1;
    long v = 0;
    for (size_t k = at + 2; k < at + 6; ++k) {
      char c = static_cast<char>(std::tolower(static_cast<unsigned char>(json[k])));
      if (!std::isxdigit(static_cast<unsigned char>(c))) return -1;
      v = v * 16 + (c <= '9' ? c - '0' : c - 'a' + 10);
    }
    return v;
  };
  std::string out;
  out.reserve(json.size());
  for (size_t i = 0; i < json.size(); ++i) {
    if (json[i] != '\\') {
      out += json[i];
      continue;
    }
    long u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF) {
      long next = unit(i + 6);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        out.append(json, i, 12);
        i += 11;
      } else {
        out += "\\ufffd";
        i += 5;
      }
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      out += "\\ufffd";
      i += 5;
    } else if (i + 1 < json.size()) {
      out.append(json, i, 2);  // any other escape (an escaped backslash too) stays whole
      ++i;
    } else {
      out += json[i];
    }
  }
  return out;
}
