#include "engine/json_text.h"

namespace engine {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The code unit of a "\uXXXX" escape at text[i], -1 when there is none.
int EscapedUnit(const std::string& text, size_t i) {
  if (i + 6 > text.size() || text[i] != '\\' || text[i + 1] != 'u') return -1;
  int v = 0;
  for (size_t k = i + 2; k < i + 6; ++k) {
    int h = HexValue(text[k]);
    if (h < 0) return -1;
    v = v * 16 + h;
  }
  return v;
}

}  // namespace

std::string ReplaceLoneSurrogates(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out.push_back(text[i++]);
      continue;
    }
    int unit = EscapedUnit(text, i);
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      int low = EscapedUnit(text, i + 6);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        out.append(text, i, 12);
        i += 12;
      } else {
        out += "\\uFFFD";
        i += 6;
      }
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      out += "\\uFFFD";
      i += 6;
    } else {
      out.append(text, i, 2);  // any other escape, "\\" included, is copied whole
      i += 2;
    }
  }
  return out;
}

}  // namespace engine
