// Argument text: lenient UTF-8 to code points and back.
#pragma once

#include <string>

// Never fails: lead bytes pick the sequence length (0x80-0xDF: 1 more byte,
// 0xE0-0xEF: 2, 0xF0-0xFF: 3), continuation bytes give their low 6 bits
// unchecked, and a sequence cut short yields the bits read so far.
std::u32string DecodeUtf8Lenient(const std::string& bytes);

// Shortest-form encoding of each code point (surrogates and values up to
// 0x1FFFFF included), so DecodeUtf8Lenient(ToUtf8(s)) == s for anything the
// decoder can produce.
std::string ToUtf8(const std::u32string& text);
