#include "config/url_host.h"

#include <locale.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cwctype>
#include <vector>

#include "config/utf8.h"

namespace hvn {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts(1);
  for (char c : s) {
    if (c == sep) parts.emplace_back();
    else parts.back() += c;
  }
  return parts;
}

std::string PercentDecode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// Code points the IDNA mapping drops from a host.
bool IsIgnored(char32_t c) {
  return c == 0xAD || c == 0x34F || (c >= 0x180B && c <= 0x180F) || c == 0x200B || (c >= 0x2060 && c <= 0x2064) ||
         (c >= 0xFE00 && c <= 0xFE0F) || c == 0xFEFF || (c >= 0x1BCA0 && c <= 0x1BCA3) ||
         (c >= 0xE0100 && c <= 0xE01EF);
}

// Full-width forms and ideographic full stops become ASCII, as the IDNA
// mapping does, so "１２７。０.0.1" is an address. Other non-ASCII text stays a
// name; the browser hands the request rule its ASCII form anyway.
std::string FoldToAscii(const std::string& host) {
  std::u32string folded;
  for (char32_t c : DecodeUtf8Lenient(host)) {
    if (IsIgnored(c)) continue;
    if (c >= 0xFF01 && c <= 0xFF5E) c -= 0xFEE0;
    else if (c == 0x3002 || c == 0xFF61) c = '.';
    if (c >= 0x80) return host;
    folded += c;
  }
  return ToUtf8(folded);
}

char32_t LowerUnicode(char32_t c) {
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  if (c < 0x80) return static_cast<char32_t>(Lower(static_cast<char>(c)));
  return utf8 ? static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), utf8)) : c;
}

// RFC 3492 with its fixed parameters.
std::string Punycode(const std::u32string& input) {
  constexpr uint32_t kBase = 36, kTMin = 1, kTMax = 26, kSkew = 38, kDamp = 700;
  const auto digit = [](uint32_t d) { return static_cast<char>(d < 26 ? 'a' + d : '0' + d - 26); };
  const auto adapt = [&](uint32_t delta, uint32_t points, bool first) {
    delta = first ? delta / kDamp : delta / 2;
    delta += delta / points;
    uint32_t k = 0;
    for (; delta > ((kBase - kTMin) * kTMax) / 2; k += kBase) delta /= kBase - kTMin;
    return k + (kBase - kTMin + 1) * delta / (delta + kSkew);
  };
  std::string out;
  for (char32_t c : input)
    if (c < 0x80) out += static_cast<char>(c);
  const uint32_t basic = static_cast<uint32_t>(out.size());
  if (basic) out += '-';
  uint32_t n = 0x80, delta = 0, bias = 72, handled = basic;
  while (handled < input.size()) {
    uint32_t m = UINT32_MAX;
    for (char32_t c : input)
      if (c >= n && c < m) m = c;
    delta += (m - n) * (handled + 1);
    n = m;
    for (char32_t c : input) {
      if (c < n) ++delta;
      if (c != n) continue;
      uint32_t q = delta;
      for (uint32_t k = kBase;; k += kBase) {
        const uint32_t t = k <= bias ? kTMin : k >= bias + kTMax ? kTMax : k - bias;
        if (q < t) break;
        out += digit(t + (q - t) % (kBase - t));
        q = (q - t) / (kBase - t);
      }
      out += digit(q);
      bias = adapt(delta, handled + 1, handled == basic);
      delta = 0;
      ++handled;
    }
    ++delta;
    ++n;
  }
  return out;
}

// The ASCII form the browser gives an internationalised name: each label
// with other characters, lower-cased, becomes "xn--" and its punycode.
std::string AsciiName(const std::string& host) {
  std::string out;
  std::u32string label;
  const auto flush = [&] {
    bool ascii = true;
    for (char32_t& c : label) {
      c = LowerUnicode(c);
      ascii = ascii && c < 0x80;
    }
    out += ascii ? ToUtf8(label) : "xn--" + Punycode(label);
    label.clear();
  };
  for (char32_t c : DecodeUtf8Lenient(host)) {
    if (c == '.') {
      flush();
      out += '.';
    } else {
      label += c;
    }
  }
  flush();
  return out;
}

constexpr uint64_t kTooBig = 1ull << 40;

// One IPv4 part: decimal, octal with a leading 0, hex with 0x; "0x" is 0.
bool ParseIpv4Number(std::string s, uint64_t& out) {
  if (s.empty()) return false;
  int radix = 10;
  if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    radix = 16;
    s.erase(0, 2);
  } else if (s.size() >= 2 && s[0] == '0') {
    radix = 8;
    s.erase(0, 1);
  }
  uint64_t v = 0;
  for (char c : s) {
    const int d = HexValue(c);
    if (d < 0 || d >= radix) return false;
    v = v * radix + d;
    if (v > kTooBig) v = kTooBig;
  }
  out = v;
  return true;
}

// A host whose last label is a number is meant as IPv4 and is rejected when
// it is not a valid one; "1.2.3.4.x" stays a name.
bool EndsInNumber(std::vector<std::string> parts) {
  if (parts.back().empty()) {
    if (parts.size() == 1) return false;
    parts.pop_back();
  }
  const std::string& last = parts.back();
  if (!last.empty() && last.find_first_not_of("0123456789") == std::string::npos) return true;
  uint64_t ignored;
  return ParseIpv4Number(last, ignored);
}

// 1-4 parts; every part but the last is one byte, the last fills the rest.
// `exact4` is the form inside IPv6: four parts, no trailing dot.
bool ParseIpv4(const std::string& s, unsigned char out[4], bool exact4) {
  std::vector<std::string> parts = Split(s, '.');
  if (!exact4 && parts.size() > 1 && parts.back().empty()) parts.pop_back();
  if (parts.size() > 4 || (exact4 && parts.size() != 4)) return false;
  std::vector<uint64_t> n(parts.size());
  for (size_t i = 0; i < parts.size(); ++i)
    if (!ParseIpv4Number(parts[i], n[i]) || (i + 1 < parts.size() && n[i] > 255)) return false;
  const size_t free = 5 - parts.size();
  if (n.back() >= (1ull << (8 * free))) return false;
  uint64_t v = n.back();
  for (size_t i = 0; i + 1 < parts.size(); ++i) v += n[i] << (8 * (3 - i));
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(v >> (8 * (3 - i)));
  return true;
}

bool ParseGroups(const std::string& s, std::vector<uint16_t>& out) {
  if (s.empty()) return true;
  for (const std::string& g : Split(s, ':')) {
    if (g.empty() || g.size() > 4) return false;
    uint16_t v = 0;
    for (char c : g) {
      if (HexValue(c) < 0) return false;
      v = static_cast<uint16_t>(v * 16 + HexValue(c));
    }
    out.push_back(v);
  }
  return true;
}

// Inside the brackets; the dotted tail may use any IPv4 number form.
bool ParseIpv6(std::string s, unsigned char out[16]) {
  const size_t lastColon = s.rfind(':');
  if (lastColon == std::string::npos) return false;
  unsigned char tail[4];
  const bool hasTail = s.find('.', lastColon) != std::string::npos;
  if (hasTail) {
    if (!ParseIpv4(s.substr(lastColon + 1), tail, true)) return false;
    s.erase(lastColon + 1);
    if (s.size() < 2 || s.compare(s.size() - 2, 2, "::") != 0) s.pop_back();
  }
  const size_t gap = s.find("::");
  if (gap != std::string::npos && s.find("::", gap + 1) != std::string::npos) return false;
  std::vector<uint16_t> head, rest;
  if (!ParseGroups(gap == std::string::npos ? s : s.substr(0, gap), head)) return false;
  if (gap != std::string::npos && !ParseGroups(s.substr(gap + 2), rest)) return false;
  const size_t groups = head.size() + rest.size() + (hasTail ? 2 : 0);
  if (gap == std::string::npos ? groups != 8 : groups > 7) return false;
  std::vector<uint16_t> all = head;
  all.resize(8 - rest.size() - (hasTail ? 2 : 0), 0);
  all.insert(all.end(), rest.begin(), rest.end());
  for (size_t i = 0; i < all.size(); ++i) {
    out[2 * i] = static_cast<unsigned char>(all[i] >> 8);
    out[2 * i + 1] = static_cast<unsigned char>(all[i]);
  }
  if (hasTail)
    for (int i = 0; i < 4; ++i) out[12 + i] = tail[i];
  return true;
}

int DefaultPort(const std::string& scheme) {
  if (scheme == "http" || scheme == "ws") return 80;
  if (scheme == "https" || scheme == "wss") return 443;
  if (scheme == "ftp") return 21;
  return 0;
}

}  // namespace

UrlHost ParseHost(const std::string& written) {
  UrlHost h;
  std::string host = PercentDecode(written);
  for (char c : host) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      host = FoldToAscii(host);
      break;
    }
  }
  for (char& c : host) c = Lower(c);
  if (host.empty()) return h;
  if (host.front() == '[') {
    if (host.size() < 2 || host.back() != ']' || !ParseIpv6(host.substr(1, host.size() - 2), h.address)) return h;
    h.kind = UrlHost::Kind::Address;
    h.length = 16;
    return h;
  }
  if (!EndsInNumber(Split(host, '.'))) {
    h.kind = UrlHost::Kind::Name;
    h.name = AsciiName(host);
    return h;
  }
  if (!ParseIpv4(host, h.address, false)) return h;
  h.kind = UrlHost::Kind::Address;
  h.length = 4;
  return h;
}

UrlHost ParseUrlHost(const std::string& raw) {
  // Tabs and line breaks vanish anywhere; controls and spaces at either end.
  std::string url;
  for (char c : raw)
    if (c != '\t' && c != '\n' && c != '\r') url += c;
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  while (!url.empty() && blank(url.back())) url.pop_back();
  url.erase(0, std::find_if_not(url.begin(), url.end(), blank) - url.begin());
  const size_t sep = url.find("://");
  if (sep == std::string::npos) return {};
  std::string scheme = url.substr(0, sep);
  for (char& c : scheme) c = Lower(c);
  scheme = scheme.substr(scheme.rfind(':') + 1);  // blob:http:// reads the inner URL
  const bool file = scheme == "file";
  const bool special = DefaultPort(scheme) != 0 || file;
  size_t start = sep + 3;
  // A file URL has a host only between exactly two slashes: "file:///tmp/x"
  // has none, its first path segment is no host.
  if (file && start < url.size() && (url[start] == '/' || url[start] == '\\')) return {};
  if (special) start = url.find_first_not_of("/\\", start);
  if (start == std::string::npos) return {};
  const size_t end = url.find_first_of(special ? "/\\?#" : "/?#", start);
  std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) authority.erase(0, at + 1);
  // The port follows the last ":" after any "]".
  const size_t close = authority.rfind(']');
  const size_t colon = authority.rfind(':');
  std::string port;
  if (colon != std::string::npos && (close == std::string::npos || colon > close)) {
    port = authority.substr(colon + 1);
    authority.erase(colon);
  }
  int number = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return {};
    number = number * 10 + (c - '0');
    if (number > 65535) return {};
  }
  UrlHost h = ParseHost(authority);
  h.port = port.empty() ? DefaultPort(scheme) : number;
  h.file = file;
  h.scheme = scheme;
  return h;
}

std::string HostText(const UrlHost& h) {
  if (h.kind == UrlHost::Kind::Name) return h.name;
  if (h.kind != UrlHost::Kind::Address) return {};
  const unsigned char* a = h.address;
  if (h.length == 4)
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." + std::to_string(a[3]);
  // RFC 5952: the longest run of two or more zero groups (the first on a tie) becomes "::".
  int groups[8], bestStart = -1, bestLen = 1;
  for (int i = 0; i < 8; ++i) groups[i] = a[2 * i] << 8 | a[2 * i + 1];
  for (int i = 0; i < 8;) {
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > bestLen) bestStart = i, bestLen = j - i;
    i = j == i ? i + 1 : j;
  }
  static const char* kHex = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < 8; ++i) {
    if (i == bestStart) {
      out += "::";
      i += bestLen - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out += ':';
    std::string g;
    for (int v = groups[i]; v || g.empty(); v >>= 4) g.insert(g.begin(), kHex[v & 15]);
    out += g;
  }
  return out;
}

std::string UrlOrigin(const std::string& url) {
  const UrlHost h = ParseUrlHost(url);
  if (h.kind == UrlHost::Kind::None) return {};
  const std::string host = HostText(h);
  std::string origin = h.scheme + "://" + (h.kind == UrlHost::Kind::Address && h.length == 16 ? "[" + host + "]" : host);
  if (h.port != DefaultPort(h.scheme)) origin += ":" + std::to_string(h.port);
  return origin;
}

bool IsLocalhostName(const std::string& name) {
  std::string n = name;
  if (!n.empty() && n.back() == '.') n.pop_back();
  const std::string suffix = ".localhost";
  return n == "localhost" ||
         (n.size() > suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0);
}

}  // namespace hvn
