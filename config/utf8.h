// Argument text: UTF-8 to code points and back, keeping every byte.
#pragma once

#include <cstddef>
#include <string>

// Length of the well-formed UTF-8 sequence at text[i] (1 to 4), 0 when the
// byte there starts none (overlong forms, surrogates and values beyond
// 0x10FFFF are not well formed).
size_t Utf8SequenceLength(const std::string& text, size_t i);

// Never fails: a byte that starts no well-formed sequence becomes U+DC00 plus
// the byte (0xDC80-0xDCFF) on its own, so the bytes after it decode as they
// are and a file name that is not UTF-8 still names the same file.
std::u32string DecodeUtf8Lenient(const std::string& bytes);

// The inverse: 0xDC80-0xDCFF give back their byte; every other code point
// (values up to 0x1FFFFF included) gets its shortest-form encoding.
std::string ToUtf8(const std::u32string& text);

// The text with each byte that starts no well-formed sequence replaced by
// U+FFFD, for places that need valid UTF-8 (JSON, the browser).
std::string ValidUtf8(const std::string& text);
