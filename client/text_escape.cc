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

std::string FillPlaceholders(const std::string& text,
                             const std::vector<std::pair<std::string, std::string>>& values) {
  std::string out;
  size_t pos = 0;
  for (;;) {
    size_t best = std::string::npos;
    const std::pair<std::string, std::string>* hit = nullptr;
    for (const auto& v : values) {
      size_t at = text.find(v.first, pos);
      if (at < best) best = at, hit = &v;
    }
    if (!hit) break;
    out.append(text, pos, best - pos).append(hit->second);
    pos = best + hit->first.size();
  }
  return out.append(text, pos, std::string::npos);
}
